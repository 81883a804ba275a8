// The host functions a plugin resolves by name. Each checks its handles against the table of
// live host values, so a nil or stale handle gives a neutral answer and, where it is an
// accounting fault, a counted error, never a crash.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "os/cf.h"

namespace xnq::host::detail {
namespace {

using Obj = void *;

// Blocks above this size are refused as out of memory, so that the failure path does not depend
// on how much memory the machine has.
constexpr int64_t kMaxBlockSize = int64_t(1) << 30;

// Marks a string data record filled by PluginGetStringData (host word 0 of the record).
constexpr Word kStringDataMark = 0x58535444;

double hostGetRBVersion() {
  countCall("REALGetRBVersion");
  return impl().settings.version.value_or(0.0);
}

void hostRegisterPluginVersion(int32_t version) {
  countCall("RegisterPluginVersion");
  std::lock_guard lock(impl().tableMutex);
  impl().pluginVersion = version;
}

void hostPluginRegisterClass(void *definition) {
  countCall("PluginRegisterClass");
  registerDefinition(definition);
}

unsigned char hostInRuntime() {
  countCall("REALinRuntime");
  return impl().settings.inRuntime ? 1 : 0;
}

void hostYieldToRB() {
  countCall("REALYieldToRB");
  Impl &im = impl();
  im.yields.fetch_add(1);
  std::function<void()> hook;
  {
    std::lock_guard lock(im.hookMutex);
    hook = im.yieldHook;
  }
  if (hook) hook();
  if (std::this_thread::get_id() == im.mainThread && im.drainMainQueue) im.drainMainQueue();
}

Obj buildString(const char *bytes, Word length, uint32_t encoding) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  return makeString(std::string(bytes ? bytes : "", static_cast<size_t>(length)), encoding);
}

Obj hostBuildString(const char *bytes, Word length) {
  countCall("REALBuildString");
  // A string built without an encoding is tagged unknown until the plugin sets one.
  return buildString(bytes, length, kUnknown);
}

Obj hostBuildStringWithEncoding(const char *bytes, Word length, uint32_t encoding) {
  countCall("REALBuildStringWithEncoding");
  return buildString(bytes, length, encoding);
}

void hostSetStringEncoding(Obj s, uint32_t encoding) {
  countCall("REALSetStringEncoding");
  if (auto *h = static_cast<StringHandle *>(lookup(s, Kind::String))) h->words[4] = encoding;
}

uint32_t hostGetStringEncoding(Obj s) {
  countCall("REALGetStringEncoding");
  auto *h = static_cast<StringHandle *>(lookup(s, Kind::String));
  return h ? h->encoding() : kUnknown;
}

Obj hostConvertString(Obj s, uint32_t encoding) {
  countCall("REALConvertString");
  auto *h = static_cast<StringHandle *>(lookup(s, Kind::String));
  if (!h) return nullptr;
  auto converted = convertText(h->text, h->encoding(), encoding);
  if (!converted) return nullptr;
  return makeString(std::move(*converted), encoding);
}

struct StringData {
  const void *data;
  Word length;
  Word hostPrivate[3];
};

unsigned char hostGetStringData(Obj s, uint32_t encoding, StringData *out) {
  countCall("PluginGetStringData");
  if (!out) return 0;
  std::memset(out, 0, sizeof *out);
  auto *h = static_cast<StringHandle *>(lookup(s, Kind::String));
  if (!h) return 0;
  auto converted = convertText(h->text, h->encoding(), encoding);
  if (!converted) return 0;
  // Four zero bytes after the text so that even UTF-32 text ends in a terminator.
  char *buffer = static_cast<char *>(std::calloc(converted->size() + 4, 1));
  if (!buffer) return 0;
  std::memcpy(buffer, converted->data(), converted->size());
  out->data = buffer;
  out->length = static_cast<Word>(converted->size());
  out->hostPrivate[0] = kStringDataMark;
  out->hostPrivate[1] = reinterpret_cast<Word>(buffer);
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  im.counts.stringData += 1;
  return 1;
}

void hostDisposeStringData(StringData *data) {
  countCall("PluginDisposeStringData");
  if (!data) return;
  if (data->hostPrivate[0] != kStringDataMark) {
    noteAccountingError();
    return;
  }
  std::free(reinterpret_cast<void *>(data->hostPrivate[1]));
  std::memset(data, 0, sizeof *data);
  Impl &im = impl();
  std::lock_guard lock(im.handleMutex);
  im.counts.stringData -= 1;
}

void hostLockString(Obj s) {
  countCall("REALLockString");
  retainHandle(s);
}
void hostUnlockString(Obj s) {
  countCall("REALUnlockString");
  releaseHandle(s);
}
void hostLockObject(Obj o) {
  countCall("REALLockObject");
  retainHandle(o);
}
void hostUnlockObject(Obj o) {
  countCall("REALUnlockObject");
  releaseHandle(o);
}

Obj hostNewInstance(const char *className) {
  countCall("PluginNewInstance");
  if (!className) return nullptr;
  ClassEntry *cls = findClassEntry(className);
  if (!cls) return nullptr;
  ObjectHandle *o = makeObject(cls);
  if (cls->constructor) cls->constructor(o);
  return o;
}

unsigned char setProp(Obj o, const char *name, const Value &v) {
  auto *h = static_cast<ObjectHandle *>(lookup(o, Kind::Object));
  if (!h || !name) return 0;
  return setPropertyDirect(h, name, v) ? 1 : 0;
}

unsigned char hostSetPropValueString(Obj o, const char *name, Obj s) {
  countCall("REALSetPropValueString");
  if (s && !lookup(s, Kind::String)) return 0;
  return setProp(o, name, Value::retain(Type::String, s));
}

unsigned char hostSetPropValueInteger(Obj o, const char *name, Word v) {
  countCall("REALSetPropValueInteger");
  return setProp(o, name, Value::integer(v));
}

unsigned char hostSetPropValueInt(Obj o, const char *name, int32_t v) {
  countCall("REALSetPropValueInt");
  return setProp(o, name, Value::int32(v));
}

// Finds a member by its declaration: the name, the parameter count and whether it assigns.
void *hostLoadObjectMethod(Obj o, const char *declaration) {
  countCall("REALLoadObjectMethod");
  ClassEntry *cls = classOf(o);
  if (!cls || !declaration) return nullptr;
  auto wanted = parseDeclaration(declaration, nullptr);
  if (!wanted) return nullptr;
  bool assigning = !wanted->params.empty() && wanted->params.back().assigns;
  size_t n = wanted->params.size() - (assigning ? 1 : 0);
  for (const MethodEntry &m : cls->methods) {
    if (!caseEqual(m.info.name, wanted->name)) continue;
    bool mAssigns = !m.info.params.empty() && m.info.params.back().assigns;
    size_t mn = m.info.params.size() - (mAssigns ? 1 : 0);
    if (mn != n) continue;
    if (assigning) {
      if (mAssigns) return m.function;
      if (m.setter) return m.setter;
    } else if (!mAssigns && m.function) {
      return m.function;
    }
  }
  return nullptr;
}

void *hostGetEventInstance(Obj o, Word identifier) {
  countCall("GetEventInstance");
  if (!lookup(o, Kind::Object)) return nullptr;
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  if (!im.eventHandlers.count({o, identifier})) return nullptr;
  return eventTrampoline(identifier);
}

void hostRaiseException(Obj exception) {
  countCall("RuntimeRaiseException");
  raisePending(exception);
}

Obj hostStringToVariant(Obj s) {
  countCall("StringToVariant");
  if (s && !lookup(s, Kind::String)) {
    noteAccountingError();
    return nullptr;
  }
  return makeStringVariant(static_cast<Handle *>(s));
}

Obj hostIntegerToVariant(Word v) {
  countCall("IntegerToVariant");
  return makeIntegerVariant(v);
}

Obj hostInt32ToVariant(int32_t v) {
  countCall("Int32ToVariant");
  return makeIntegerVariant(v);
}

ArrayHandle *arrayOf(Obj a) { return static_cast<ArrayHandle *>(lookup(a, Kind::Array)); }

Word hostUBound(Obj a) {
  countCall("RuntimeUBound");
  ArrayHandle *h = arrayOf(a);
  return h ? h->count - 1 : -1;
}

Obj hostCreateArray(int32_t elementType, Word upperBound) {
  countCall("RuntimeArrayCreateSingleDimBoundedArray");
  if (elementType < 0 || elementType > 2 || upperBound < -1) return nullptr;
  return makeArray(static_cast<ElementType>(elementType), upperBound + 1);
}

void integerInserter(Obj a, Word index, Word value) {
  ArrayHandle *h = arrayOf(a);
  if (!h || h->elementType != ElementType::Integer) return;
  if (index < 0) index = 0;
  if (index > h->count) index = h->count;
  auto at = h->storage.begin() + static_cast<ptrdiff_t>(index * sizeof(Word));
  const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
  h->storage.insert(at, bytes, bytes + sizeof(Word));
  h->count += 1;
  h->publish();
}

template <typename T, ElementType E>
T elementReader(Obj a, Word index) {
  ArrayHandle *h = arrayOf(a);
  if (!h || h->elementType != E || index < 0 || index >= h->count) return T(0);
  T v;
  std::memcpy(&v, h->storage.data() + index * sizeof(T), sizeof(T));
  return v;
}

void *hostIntegerArrayInsertProc(Obj a) {
  countCall("PluginIntegerArrayInsertProc");
  ArrayHandle *h = arrayOf(a);
  return h && h->elementType == ElementType::Integer ? reinterpret_cast<void *>(integerInserter)
                                                     : nullptr;
}

void *hostDirectGetInsertProc(Obj a) {
  countCall("RuntimeArrayDirectGetInsertProc");
  ArrayHandle *h = arrayOf(a);
  return h && h->elementType == ElementType::Integer ? reinterpret_cast<void *>(integerInserter)
                                                     : nullptr;
}

void *readerFor(ArrayHandle *h, ElementType wanted) {
  if (!h || h->elementType != wanted) return nullptr;
  switch (wanted) {
    case ElementType::Integer:
      return reinterpret_cast<void *>(elementReader<Word, ElementType::Integer>);
    case ElementType::Single:
      return reinterpret_cast<void *>(elementReader<float, ElementType::Single>);
    case ElementType::Double:
      return reinterpret_cast<void *>(elementReader<double, ElementType::Double>);
  }
  return nullptr;
}

void *hostIntegerArrayGetProc(Obj a) {
  countCall("PluginIntegerArrayGetProc");
  return readerFor(arrayOf(a), ElementType::Integer);
}
void *hostSingleArrayGetProc(Obj a) {
  countCall("PluginSingleArrayGetProc");
  return readerFor(arrayOf(a), ElementType::Single);
}
void *hostDoubleArrayGetProc(Obj a) {
  countCall("PluginDoubleArrayGetProc");
  return readerFor(arrayOf(a), ElementType::Double);
}
// The direct reader matches the array's own element type.
void *hostDirectGetGetProc(Obj a) {
  countCall("RuntimeArrayDirectGetGetProc");
  ArrayHandle *h = arrayOf(a);
  return h ? readerFor(h, h->elementType) : nullptr;
}

Obj hostNewMemoryBlock(int32_t size) {
  countCall("newMemoryBlock");
  if (size < 0 || size > kMaxBlockSize) return nullptr;
  try {
    return makeBlock(static_cast<size_t>(size));
  } catch (const std::exception &) {
    return nullptr;
  }
}

void *hostMemoryBlockGetPtr(Obj b) {
  countCall("memoryBlockGetPtr");
  auto *h = static_cast<BlockHandle *>(lookup(b, Kind::Block));
  return h ? reinterpret_cast<void *>(h->words[7]) : nullptr;
}

Word hostMemoryBlockGetSize(Obj b) {
  countCall("memoryBlockGetSize");
  auto *h = static_cast<BlockHandle *>(lookup(b, Kind::Block));
  return h ? h->words[6] : 0;
}

// Without a name record the reference names the item itself, which must exist. With one it
// names the item's folder and the record holds the item's name, so that an item that does not
// exist yet (a file about to be written) can be named too.
unsigned char hostFSRefFromFolderItem(Obj f, FSRef *ref, HFSUniStr255 *name) {
  countCall("REALFSRefFromFolderItem");
  auto *h = static_cast<FolderItemHandle *>(lookup(f, Kind::FolderItem));
  if (!h || !ref) return 0;
  std::string path = h->path, last;
  if (name) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.find_last_of('/');
    last = slash == std::string::npos ? path : path.substr(slash + 1);
    path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  Boolean isDirectory = 0;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), ref, &isDirectory) != 0)
    return 0;
  if (name) {
    auto units = convertText(last, kUTF8, kUTF16).value_or(std::string());
    size_t count = std::min<size_t>(units.size() / 2, 255);
    name->length = static_cast<UInt16>(count);
    std::memcpy(name->unicode, units.data(), count * 2);
  }
  return 1;
}

template <typename F>
void *fn(F f) {
  return reinterpret_cast<void *>(f);
}

}  // namespace

const std::vector<HostFunction> &hostFunctions() {
  static const std::vector<HostFunction> table = {
      {"REALGetRBVersion", fn(hostGetRBVersion)},
      {"RegisterPluginVersion", fn(hostRegisterPluginVersion)},
      {"PluginRegisterClass", fn(hostPluginRegisterClass)},
      {"REALinRuntime", fn(hostInRuntime)},
      {"REALYieldToRB", fn(hostYieldToRB)},
      {"REALBuildString", fn(hostBuildString)},
      {"REALBuildStringWithEncoding", fn(hostBuildStringWithEncoding)},
      {"REALSetStringEncoding", fn(hostSetStringEncoding)},
      {"REALGetStringEncoding", fn(hostGetStringEncoding)},
      {"REALConvertString", fn(hostConvertString)},
      {"PluginGetStringData", fn(hostGetStringData)},
      {"PluginDisposeStringData", fn(hostDisposeStringData)},
      {"REALLockString", fn(hostLockString)},
      {"REALUnlockString", fn(hostUnlockString)},
      {"REALLockObject", fn(hostLockObject)},
      {"REALUnlockObject", fn(hostUnlockObject)},
      {"PluginNewInstance", fn(hostNewInstance)},
      {"REALSetPropValueString", fn(hostSetPropValueString)},
      {"REALSetPropValueInteger", fn(hostSetPropValueInteger)},
      {"REALSetPropValueInt", fn(hostSetPropValueInt)},
      {"REALLoadObjectMethod", fn(hostLoadObjectMethod)},
      {"GetEventInstance", fn(hostGetEventInstance)},
      {"RuntimeRaiseException", fn(hostRaiseException)},
      {"StringToVariant", fn(hostStringToVariant)},
      {"IntegerToVariant", fn(hostIntegerToVariant)},
      {"Int32ToVariant", fn(hostInt32ToVariant)},
      {"RuntimeUBound", fn(hostUBound)},
      {"RuntimeArrayCreateSingleDimBoundedArray", fn(hostCreateArray)},
      {"PluginIntegerArrayInsertProc", fn(hostIntegerArrayInsertProc)},
      {"RuntimeArrayDirectGetInsertProc", fn(hostDirectGetInsertProc)},
      {"PluginIntegerArrayGetProc", fn(hostIntegerArrayGetProc)},
      {"PluginSingleArrayGetProc", fn(hostSingleArrayGetProc)},
      {"PluginDoubleArrayGetProc", fn(hostDoubleArrayGetProc)},
      {"RuntimeArrayDirectGetGetProc", fn(hostDirectGetGetProc)},
      {"newMemoryBlock", fn(hostNewMemoryBlock)},
      {"memoryBlockGetPtr", fn(hostMemoryBlockGetPtr)},
      {"memoryBlockGetSize", fn(hostMemoryBlockGetSize)},
      {"REALFSRefFromFolderItem", fn(hostFSRefFromFolderItem)},
  };
  return table;
}

void countCall(const char *name) {
  Impl &im = impl();
  std::lock_guard lock(im.tableMutex);
  im.callCounts[name] += 1;
}

}  // namespace xnq::host::detail
