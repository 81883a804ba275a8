// The host runtime's own records and tables, shared by the host's source files. The records the
// plugin reads directly are described here by word index, independently of the plugin's headers,
// so that a disagreement between the two shows up as a failing test rather than a silent match.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "xnq/host.h"

namespace xnq::host::detail {

using Word = intptr_t;

// What a host handle is. Objects include the host's own classes (exceptions, Dictionary).
enum class Kind : uint8_t { String, Object, Block, Array, Variant, FolderItem };

// Every handle starts with eight host words the plugin may read directly:
//   string: word 1 = address one byte before the text, word 3 = byte length, word 4 = encoding;
//   memory block: word 6 = size, word 7 = data;
//   array: word 2 and word 7 = element storage.
struct Handle {
  Word words[8] = {};
  Kind kind;
  // Written by whoever retains or releases (any host thread); read by the same.
  std::atomic<intptr_t> refs{1};
  explicit Handle(Kind k) : kind(k) {}
};
// No virtual functions anywhere in the handle types: the words must start the record.
static_assert(offsetof(Handle, words) == 0);

struct StringHandle : Handle {
  std::string text;  // the bytes, kept NUL-terminated by std::string
  StringHandle() : Handle(Kind::String) {}
  void publish(uint32_t encoding) {
    words[1] = reinterpret_cast<Word>(text.data()) - 1;
    words[3] = static_cast<Word>(text.size());
    words[4] = static_cast<Word>(encoding);
  }
  uint32_t encoding() const { return static_cast<uint32_t>(words[4]); }
};

struct BlockHandle : Handle {
  uint8_t *storage = nullptr;  // calloc'd, so large blocks are zero pages until written
  BlockHandle() : Handle(Kind::Block) {}
  ~BlockHandle() { std::free(storage); }
};

enum class ElementType { Integer, Single, Double };

struct ArrayHandle : Handle {
  ElementType elementType = ElementType::Integer;
  std::vector<uint8_t> storage;  // elements of elementSize() bytes
  intptr_t count = 0;
  ArrayHandle() : Handle(Kind::Array) {}
  size_t elementSize() const {
    return elementType == ElementType::Integer  ? sizeof(Word)
           : elementType == ElementType::Single ? sizeof(float)
                                                : sizeof(double);
  }
  void publish() {
    void *p = storage.empty() ? nullptr : storage.data();
    words[2] = reinterpret_cast<Word>(p);
    words[7] = reinterpret_cast<Word>(p);
  }
};

// A variant holds an Integer or a String (its own reference on the string).
struct VariantHandle : Handle {
  Type contentType = Type::Nil;
  int64_t integer = 0;
  Handle *string = nullptr;
  VariantHandle() : Handle(Kind::Variant) {}
};

struct FolderItemHandle : Handle {
  std::string path;
  FolderItemHandle() : Handle(Kind::FolderItem) {}
};

struct ClassEntry;

// An object of a plugin class or of a host class. Its instance data follows the header at
// kObjectDataOffset; the whole allocation is 16-byte aligned.
struct ObjectHandle : Handle {
  ClassEntry *cls = nullptr;
  ObjectHandle() : Handle(Kind::Object) {}
};

constexpr intptr_t kObjectDataOffset = (sizeof(ObjectHandle) + 15) / 16 * 16;

inline void *objectData(ObjectHandle *o) { return reinterpret_cast<char *>(o) + kObjectDataOffset; }

// The C representation a declared type travels in.
enum class CType {
  Void,
  Word,  // host Integer
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Single,
  Double,
  Boolean,
  Handle,
};

struct TypeDesc {
  CType ctype = CType::Void;
  Type valueType = Type::Nil;  // the Value type a result of this type becomes
  bool known = true;
};

TypeDesc describeType(const std::string &typeName);

// A parsed declaration: "Name(params) as Result".
struct Declaration {
  std::string name;
  std::vector<ParamInfo> params;
  std::string resultType;
};
// Empty optional (with why) when the text can't be parsed.
std::optional<Declaration> parseDeclaration(const std::string &text, std::string *why);

struct MethodEntry {
  MethodInfo info;
  void *function = nullptr;
  void *setter = nullptr;
};

struct PropertyEntry {
  PropertyInfo info;
  void *getter = nullptr;
  void *setter = nullptr;
};

struct ClassEntry {
  ClassInfo info;
  std::vector<MethodEntry> methods;
  std::vector<MethodEntry> sharedMethods;
  std::vector<PropertyEntry> properties;
  std::vector<PropertyEntry> sharedProperties;
  void (*constructor)(void *) = nullptr;
  void (*destructor)(void *) = nullptr;
  bool hostClass = false;
  bool exceptionClass = false;
};

// Host functions the resolver answers, each with its call counter.
struct HostFunction {
  const char *name;
  void *address;
};
const std::vector<HostFunction> &hostFunctions();
void countCall(const char *name);

struct Impl {
  Settings settings;
  std::string error;
  bool loaded = false;
  std::thread::id mainThread;
  void *pluginLibrary = nullptr;
  void *dispatchLibrary = nullptr;
  void *graphicsLibrary = nullptr;
  int (*drainMainQueue)() = nullptr;
  int (*waitMainQueue)(int) = nullptr;

  mutable std::mutex tableMutex;  // classes, names, counts, errors, event handlers
  std::vector<std::unique_ptr<ClassEntry>> classes;
  std::vector<std::string> resolvedNames;
  std::map<std::string, int64_t> callCounts;
  std::vector<std::string> errors;
  int pluginVersion = 0;
  intptr_t nextEventId = 1;
  std::map<std::pair<void *, intptr_t>, std::function<void()>> eventHandlers;

  mutable std::mutex handleMutex;  // the set of live handles
  std::unordered_map<void *, Handle *> live;
  // Written under handleMutex by every retain/release; read by outstanding().
  ReferenceCounts counts;
  int64_t accountingErrors = 0;

  // Written by any thread that yields; read by tests.
  std::atomic<int64_t> yields{0};
  std::mutex hookMutex;
  std::function<void()> yieldHook;
};

Impl &impl();

// Handles: creation (one reference, counted), lookup and reference accounting.
StringHandle *makeString(std::string bytes, uint32_t encoding);
BlockHandle *makeBlock(size_t size);  // null when the memory can't be had
ArrayHandle *makeArray(ElementType type, intptr_t count);
VariantHandle *makeIntegerVariant(int64_t v);
VariantHandle *makeStringVariant(Handle *string);  // takes its own reference on string
FolderItemHandle *makeFolderItem(const std::string &path);
ObjectHandle *makeObject(ClassEntry *cls);  // zero-filled data, no constructor run yet
// The handle if p is a live host handle (optionally of a kind), else null.
Handle *lookup(const void *p);
Handle *lookup(const void *p, Kind kind);
void retainHandle(const void *p);
void releaseHandle(const void *p);
intptr_t referenceCountOf(const void *p);
void noteAccountingError();
void noteError(const std::string &message);
Type valueTypeOf(const Handle *h);

// Strings.
std::optional<std::string> convertText(const std::string &bytes, uint32_t from, uint32_t to);
std::string utf8Of(const StringHandle *s);

// Classes.
ClassEntry *findClassEntry(const std::string &name);
ClassEntry *classOf(const void *object);
void registerHostClasses();
void addHostClass(std::unique_ptr<ClassEntry> e);
std::vector<std::pair<Handle *, Handle *>> dictionaryContents(void *dict);
void registerDefinition(const void *definition);
const PropertyEntry *findProperty(const ClassEntry *cls, const std::string &name);

// Object lifetime: runs the destructor (or Destructor method) and releases handle fields.
void destroyObject(ObjectHandle *o);
void destroyObjectMemory(ObjectHandle *o);  // frees without running anything

// Calls. Pending exceptions are per thread, raised by RuntimeRaiseException.
void raisePending(void *exception);
std::optional<RaisedException> takePending();
// One call from a host program into plugin code: an exception pending from outside the call
// (raised by a destructor or an event between calls) is not reported as this call's. At the
// outermost level such a leftover is given back; inside another call (an event handler that
// calls the plugin again) it is kept for the outer call.
class PendingScope {
 public:
  PendingScope();
  ~PendingScope();
  PendingScope(const PendingScope &) = delete;
  PendingScope &operator=(const PendingScope &) = delete;

 private:
  void *saved_;
};
CallResult invokeMethod(const MethodEntry &m, void *object, std::vector<Value> &args,
                        const Value *assignValue);
const MethodEntry *chooseOverload(const std::vector<MethodEntry> &methods, const std::string &name,
                                  const std::vector<Value> &args, bool assigning, std::string *why);
CallResult getProperty(ObjectHandle *o, const PropertyEntry &p);
CallResult setProperty(ObjectHandle *o, const PropertyEntry &p, const Value &v);
bool setPropertyDirect(ObjectHandle *o, const std::string &name, const Value &v);
CallResult hostError(const std::string &message);

// Events.
void *eventTrampoline(intptr_t identifier);
constexpr intptr_t kMaxEvents = 64;

bool caseEqual(const std::string &a, const std::string &b);
std::string lower(std::string s);

}  // namespace xnq::host::detail
