// The host runtime stand-in: loads a plugin file, keeps the classes it registers, and lets a
// program (a test, a tool) create objects and call their members exactly as the BASIC runtime
// would: by name, through the declaration texts, with defaults, byref arguments, standard
// accessors, raised exceptions and events on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace xnq::host {

// Text encodings of host strings (the platform's 32-bit codes).
enum Encoding : uint32_t {
  kMacRoman = 0x0000,
  kUTF16 = 0x0100,
  kISOLatin1 = 0x0201,
  kWindowsLatin1 = 0x0500,
  kASCII = 0x0600,
  kUnknown = 0xFFFF,
  kUTF8 = 0x08000100,
  kUTF32 = 0x0C000100,
};

// Per-process settings, fixed before the plugin loads.
struct Settings {
  // Answer of REALGetRBVersion; nullopt removes the function.
  std::optional<double> version = 2017.0;
  // Answer of REALinRuntime.
  bool inRuntime = true;
  // Host function names (any of their spellings) that the resolver answers with null.
  std::set<std::string> removed;
  // Whether the platform's dispatch library is present when the plugin is loaded.
  bool dispatchAvailable = true;
  // Whether the platform's graphics library is present when the plugin is loaded: without it the
  // process runs as an older system, which lacks the newer time-pitch unit.
  bool graphicsAvailable = true;
};

enum class Type {
  Nil,
  Integer,  // host word (32 bits on i386, 64 on x86-64)
  Int32,
  UInt32,
  Int64,
  UInt64,
  Single,
  Double,
  Boolean,
  String,
  MemoryBlock,
  FolderItem,
  Dictionary,
  Variant,
  Object,  // instance of a plugin or host class
  IntegerArray,
  SingleArray,
  DoubleArray,
};

class Runtime;

// A host value. Handle-typed values (strings, blocks, objects, arrays, variants, folder items,
// dictionaries) own one host reference, given back when the Value is destroyed; copying a Value
// takes another reference.
class Value {
 public:
  Value();  // nil
  Value(const Value &);
  Value(Value &&) noexcept;
  Value &operator=(const Value &);
  Value &operator=(Value &&) noexcept;
  ~Value();

  static Value nil();
  static Value integer(int64_t v);  // host Integer
  static Value int32(int32_t v);
  static Value uint32(uint32_t v);
  static Value int64(int64_t v);
  static Value uint64(uint64_t v);
  static Value single(float v);
  static Value dbl(double v);
  static Value boolean(bool v);
  // Adopts a handle that already carries one reference for this Value.
  static Value adopt(Type type, void *handle);
  // Takes an additional reference on handle.
  static Value retain(Type type, void *handle);

  Type type() const { return type_; }
  bool isNil() const;         // Nil type, or a handle type with a null handle
  int64_t asInteger() const;  // any integer type or boolean
  uint64_t asUInt64() const;
  double asDouble() const;  // Single or Double (or integers)
  float asSingle() const;
  bool asBool() const;
  void *handle() const { return handle_; }

  // Strings: the stored bytes, their encoding, and the text converted to UTF-8.
  std::string bytes() const;
  uint32_t encoding() const;
  std::string utf8() const;
  // Memory blocks: data and size.
  uint8_t *data() const;
  int64_t size() const;
  // Folder items: the path.
  std::string path() const;

 private:
  friend class Runtime;
  Type type_ = Type::Nil;
  union {
    int64_t i;
    uint64_t u;
    double d;
    float f;
  } num_{};
  void *handle_ = nullptr;
};

struct RaisedException {
  std::string className;
  std::string message;  // UTF-8
  int64_t errorNumber = 0;
};

// The outcome of a call. Faults the host finds before or instead of calling the plugin (unknown
// member, no overload fits the arguments, missing argument, read-only property, a property outside
// the instance data) are reported as an exception of class "HostError"; a member called on a nil
// object as "NilObjectException".
struct CallResult {
  Value value;
  std::optional<RaisedException> exception;
  bool raised() const { return exception.has_value(); }
};

// A parsed parameter of a declaration.
struct ParamInfo {
  std::string name;
  std::string typeName;  // as spelled in the declaration
  bool byRef = false;
  bool assigns = false;
  std::optional<std::string> defaultText;
};

struct MethodInfo {
  std::string name;
  std::string declaration;
  std::vector<ParamInfo> params;
  std::string resultType;  // empty: no result
  intptr_t flags = 0;
  bool shared = false;
  bool hasSetter = false;  // method with an assigning routine
};

struct PropertyInfo {
  std::string name;
  std::string typeName;
  std::string group;  // empty when null
  bool groupIsNull = true;
  intptr_t flags = 0;
  bool standardGetter = false;
  bool standardSetter = false;
  bool readable = false;
  bool writable = false;
  intptr_t param = 0;
};

struct EventInfo {
  std::string name;
  std::string declaration;
  intptr_t identifier = 0;
};

struct ConstantInfo {
  std::string declaration;
  std::string name;
  std::string valueText;
};

struct ClassInfo {
  std::string name;
  int layoutVersion = 0;    // word 0 as registered: 9 to 13
  intptr_t dataSize = 0;    // as registered
  intptr_t dataOffset = 0;  // what the host wrote into word 4
  bool hasConstructor = false;
  bool hasDestructor = false;
  intptr_t flags = 0;
  std::vector<PropertyInfo> properties;
  std::vector<MethodInfo> methods;
  std::vector<EventInfo> events;
  std::vector<ConstantInfo> constants;
  std::vector<PropertyInfo> sharedProperties;
  std::vector<MethodInfo> sharedMethods;
  const void *definition = nullptr;  // the record the plugin handed over
};

// Counts of host references handed out and given back, by kind.
struct ReferenceCounts {
  int64_t strings = 0, objects = 0, blocks = 0, arrays = 0, variants = 0, folderItems = 0;
  // String data records filled by PluginGetStringData and not yet disposed.
  int64_t stringData = 0;
  int64_t total() const {
    return strings + objects + blocks + arrays + variants + folderItems + stringData;
  }
  bool operator==(const ReferenceCounts &) const = default;
};

class Runtime {
 public:
  // The one runtime of this process.
  static Runtime &get();

  // Applies the settings, opens the plugin file and calls REALPluginMain with the resolver on
  // the calling thread, which becomes the main thread. False (with error()) when the file can't
  // be loaded or lacks the entry. A process loads at most one plugin.
  bool load(const std::string &pluginPath, const Settings &settings = {});
  // Applies settings without a plugin file, for programs that link plugin code directly.
  void configure(const Settings &settings);
  const Settings &settings() const;
  const std::string &error() const;

  // The resolver handed to the plugin.
  static void *resolve(const char *name);
  // Which host functions the plugin looked up, in order, with the spelling it asked for.
  std::vector<std::string> resolvedNames() const;
  // How many times each host function was called.
  int64_t callCount(const std::string &hostFunction) const;
  // The class-definition version the plugin told RegisterPluginVersion (0 if never).
  int registeredPluginVersion() const;

  // Classes, in registration order.
  std::vector<const ClassInfo *> classes() const;
  const ClassInfo *findClass(const std::string &name) const;
  // Errors found while registering or calling (unparseable declarations and the like).
  std::vector<std::string> registrationErrors() const;

  // Host values.
  Value newString(std::string_view bytes, uint32_t encoding = kUTF8);
  Value newMemoryBlock(int64_t size);  // zero-filled
  Value newMemoryBlock(const void *bytes, int64_t size);
  Value newFolderItem(const std::string &path);
  Value newIntegerArray(const std::vector<int64_t> &values);
  Value newSingleArray(const std::vector<float> &values);
  Value newDoubleArray(const std::vector<double> &values);
  Value newDictionary();
  Value newVariant(const Value &v);
  // Reads an array or dictionary back. Dictionary entries are the contents of their variants
  // (an Integer or a String Value); Values of type Variant also answer asInteger()/utf8() with
  // their contents.
  std::vector<int64_t> integerArray(const Value &array) const;
  // Any array's elements as doubles (Integer, Single or Double arrays).
  std::vector<double> numberArray(const Value &array) const;
  std::vector<std::pair<Value, Value>> dictionaryEntries(const Value &dict) const;

  // Objects of plugin classes. Runs the constructor, or a "Constructor" method with ctorArgs.
  CallResult newObject(const std::string &className, std::vector<Value> ctorArgs = {});
  // Calls a method by name; the overload is chosen from the arguments' types and count, and
  // defaults are applied. Byref arguments are written back into args.
  CallResult call(const Value &object, const std::string &method, std::vector<Value> &args);
  CallResult call(const Value &object, const std::string &method, std::vector<Value> &&args = {});
  CallResult callShared(const std::string &className, const std::string &method,
                        std::vector<Value> args = {});
  // Assigns to a method that has an assigning routine: object.method(args) = value.
  CallResult assign(const Value &object, const std::string &method, std::vector<Value> args,
                    const Value &value);
  CallResult get(const Value &object, const std::string &property);
  CallResult set(const Value &object, const std::string &property, const Value &value);
  // The instance data of an object of a plugin class.
  void *instanceData(const Value &object) const;
  // References currently held on an object (by anyone).
  int64_t referenceCount(const Value &handleValue) const;

  // Events: installs a handler for an object's event, by event name.
  void setEventHandler(const Value &object, const std::string &event,
                       std::function<void()> handler);

  // Main thread: the thread that loaded the plugin. Drains the platform's main queue.
  bool isMainThread() const;
  void runLoopOnce();
  // Runs the main loop until pred() is true or the timeout passes; returns pred().
  bool runUntil(const std::function<bool()> &pred, int timeoutMs);
  // Host yields made by the plugin (REALYieldToRB).
  int64_t yieldCount() const;
  // Called at every REALYieldToRB, on the yielding thread (tests observe the order of events).
  void setYieldHook(std::function<void()> hook);

  // Reference accounting: references handed out and not yet given back.
  ReferenceCounts outstanding() const;
  // Unlocks of things with no reference left, and other accounting faults.
  int64_t accountingErrors() const;

 private:
  Runtime();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Helper for tests: asserts-friendly snapshot of outstanding references.
inline ReferenceCounts outstanding() { return Runtime::get().outstanding(); }

}  // namespace xnq::host
