// Wrappers of the host functions the plugin resolves by name. Each wrapper keeps one cached
// address. Most are looked up once, on first use, and a missing function stays missing; a few
// (the ones a host may publish late) are looked up again for as long as they are missing.
#include <atomic>

#include "frame/frame.h"

namespace {

// Marks a cache that has never been looked up (distinct from a looked-up null).
char unresolvedMarker;

class HostFunction {
 public:
  enum Retry { kOnce, kWhileNull };

  constexpr HostFunction(const char *name, Retry retry)
      : name_(name), retry_(retry), cached_(&unresolvedMarker) {}

  void *address() {
    void *p = cached_.load(std::memory_order_acquire);
    if (p != &unresolvedMarker && (p != nullptr || retry_ == kOnce)) return p;
    // Before the host is bound nothing can be looked up; that does not count as a lookup.
    if (gResolver == nullptr) return nullptr;
    p = gResolver(name_);
    cached_.store(p, std::memory_order_release);
    return p;
  }

  template <typename Proc>
  Proc as() {
    return reinterpret_cast<Proc>(address());
  }

 private:
  const char *name_;
  Retry retry_;
  // Written by whichever host thread looks the function up, read by every caller.
  std::atomic<void *> cached_;
};

#define HOST_FUNCTION(var, name, retry) HostFunction var(name, HostFunction::retry)

HOST_FUNCTION(hGetRBVersion, "REALGetRBVersion", kOnce);
HOST_FUNCTION(hinRuntime, "REALinRuntime", kOnce);
HOST_FUNCTION(hYieldToRB, "REALYieldToRB", kOnce);
HOST_FUNCTION(hBuildString, "REALBuildString", kOnce);
HOST_FUNCTION(hBuildStringWithEncoding, "REALBuildStringWithEncoding", kOnce);
HOST_FUNCTION(hSetStringEncoding, "REALSetStringEncoding", kOnce);
HOST_FUNCTION(hGetStringEncoding, "REALGetStringEncoding", kOnce);
HOST_FUNCTION(hConvertString, "REALConvertString", kOnce);
HOST_FUNCTION(hGetStringData, "PluginGetStringData", kOnce);
HOST_FUNCTION(hDisposeStringData, "PluginDisposeStringData", kOnce);
HOST_FUNCTION(hLockString, "REALLockString", kOnce);
HOST_FUNCTION(hUnlockString, "REALUnlockString", kOnce);
HOST_FUNCTION(hLockObject, "REALLockObject", kOnce);
HOST_FUNCTION(hUnlockObject, "REALUnlockObject", kOnce);
HOST_FUNCTION(hNewInstance, "PluginNewInstance", kOnce);
HOST_FUNCTION(hSetPropValueString, "REALSetPropValueString", kWhileNull);
HOST_FUNCTION(hSetPropValueInteger, "REALSetPropValueInteger", kWhileNull);
HOST_FUNCTION(hSetPropValueInt, "REALSetPropValueInt", kWhileNull);
HOST_FUNCTION(hLoadObjectMethod, "REALLoadObjectMethod", kOnce);
HOST_FUNCTION(hGetEventInstance, "GetEventInstance", kWhileNull);
HOST_FUNCTION(hRaiseException, "RuntimeRaiseException", kOnce);
HOST_FUNCTION(hStringToVariant, "StringToVariant", kOnce);
HOST_FUNCTION(hIntegerToVariant, "IntegerToVariant", kWhileNull);
HOST_FUNCTION(hInt32ToVariant, "Int32ToVariant", kWhileNull);
HOST_FUNCTION(hUBound, "RuntimeUBound", kOnce);
HOST_FUNCTION(hCreateArray, "RuntimeArrayCreateSingleDimBoundedArray", kOnce);
HOST_FUNCTION(hIntegerInsertProc, "PluginIntegerArrayInsertProc", kWhileNull);
HOST_FUNCTION(hDirectInsertProc, "RuntimeArrayDirectGetInsertProc", kWhileNull);
HOST_FUNCTION(hIntegerGetProc, "PluginIntegerArrayGetProc", kWhileNull);
HOST_FUNCTION(hSingleGetProc, "PluginSingleArrayGetProc", kWhileNull);
HOST_FUNCTION(hDoubleGetProc, "PluginDoubleArrayGetProc", kWhileNull);
HOST_FUNCTION(hDirectGetProc, "RuntimeArrayDirectGetGetProc", kWhileNull);
HOST_FUNCTION(hNewMemoryBlock, "newMemoryBlock", kWhileNull);
HOST_FUNCTION(hMemoryBlockGetPtr, "memoryBlockGetPtr", kOnce);
HOST_FUNCTION(hMemoryBlockGetSize, "memoryBlockGetSize", kOnce);
HOST_FUNCTION(hFSRefFromFolderItem, "REALFSRefFromFolderItem", kOnce);
HOST_FUNCTION(hRegisterPluginVersion, "RegisterPluginVersion", kOnce);
HOST_FUNCTION(hRegisterClass, "PluginRegisterClass", kOnce);

// An array element procedure: the typed host function, else the host's direct one.
void *ArrayProc(HostFunction &typed, REALarray a) {
  if (auto get = typed.as<PluginArrayGetProcProc>()) return get(a);
  if (auto get = hDirectGetProc.as<PluginArrayGetProcProc>()) return get(a);
  return nullptr;
}

}  // namespace

double REALGetRBVersion() {
  auto f = hGetRBVersion.as<REALGetRBVersionProc>();
  return f ? f() : 0.0;
}

bool HostHasREALGetRBVersion() { return hGetRBVersion.address() != nullptr; }

void RegisterPluginVersion(int32_t version) {
  if (auto f = hRegisterPluginVersion.as<RegisterPluginVersionProc>()) f(version);
}

bool REALRegisterClass(REALclassDefinition *definition) {
  auto f = hRegisterClass.as<PluginRegisterClassProc>();
  if (f == nullptr) return false;
  f(definition);
  return true;
}

RBBoolean REALinRuntime() {
  auto f = hinRuntime.as<REALinRuntimeProc>();
  return f ? f() : 0;
}

void REALYieldToRB() {
  if (auto f = hYieldToRB.as<REALYieldToRBProc>()) f();
}

REALstring originalREALBuildString(const char *bytes, RBInteger length) {
  auto f = hBuildString.as<REALBuildStringProc>();
  return f ? f(bytes, length) : nullptr;
}

REALstring REALBuildStringWithEncoding(const char *bytes, RBInteger length, uint32_t encoding) {
  auto f = hBuildStringWithEncoding.as<REALBuildStringWithEncodingProc>();
  return f ? f(bytes, length, encoding) : nullptr;
}

void REALSetStringEncoding(REALstring s, uint32_t encoding) {
  if (auto f = hSetStringEncoding.as<REALSetStringEncodingProc>()) f(s, encoding);
}

uint32_t REALGetStringEncoding(REALstring s) {
  auto f = hGetStringEncoding.as<REALGetStringEncodingProc>();
  return f ? f(s) : 0;
}

bool HostHasREALGetStringEncoding() { return hGetStringEncoding.address() != nullptr; }

REALstring REALConvertString(REALstring s, uint32_t encoding) {
  auto f = hConvertString.as<REALConvertStringProc>();
  return f ? f(s, encoding) : nullptr;
}

bool REALGetStringData(REALstring s, uint32_t encoding, REALstringData *out) {
  auto f = hGetStringData.as<PluginGetStringDataProc>();
  return f ? f(s, encoding, out) != 0 : false;
}

void REALDisposeStringData(REALstringData *data) {
  if (auto f = hDisposeStringData.as<PluginDisposeStringDataProc>()) f(data);
}

void REALLockString(REALstring s) {
  if (auto f = hLockString.as<REALLockStringProc>()) f(s);
}

void REALUnlockString(REALstring s) {
  if (auto f = hUnlockString.as<REALUnlockStringProc>()) f(s);
}

void REALLockObject(REALobject o) {
  if (auto f = hLockObject.as<REALLockObjectProc>()) f(o);
}

void REALUnlockObject(REALobject o) {
  if (auto f = hUnlockObject.as<REALUnlockObjectProc>()) f(o);
}

REALobject REALnewInstance(const char *className) {
  auto f = hNewInstance.as<PluginNewInstanceProc>();
  return f ? f(className) : nullptr;
}

bool HostHasREALnewInstance() { return hNewInstance.address() != nullptr; }

void REALSetPropValueString(REALobject o, const char *property, REALstring value) {
  if (auto f = hSetPropValueString.as<REALSetPropValueStringProc>()) f(o, property, value);
}

void REALSetPropValueInteger(REALobject o, const char *property, RBInteger value) {
  if (auto f = hSetPropValueInteger.as<REALSetPropValueIntegerProc>()) {
    f(o, property, value);
  } else if (auto g = hSetPropValueInt.as<REALSetPropValueIntProc>()) {
    g(o, property, static_cast<int32_t>(value));
  }
}

void *REALLoadObjectMethod(REALobject o, const char *declaration) {
  auto f = hLoadObjectMethod.as<REALLoadObjectMethodProc>();
  return f ? f(o, declaration) : nullptr;
}

REALEventHandler REALGetEventInstance(REALobject o, intptr_t eventIdentifier) {
  auto f = hGetEventInstance.as<GetEventInstanceProc>();
  return f ? f(o, eventIdentifier) : nullptr;
}

void REALRaiseException(REALobject exception) {
  if (auto f = hRaiseException.as<RuntimeRaiseExceptionProc>()) f(exception);
}

REALobject REALNewVariantString(REALstring s) {
  auto f = hStringToVariant.as<StringToVariantProc>();
  return f ? f(s) : nullptr;
}

REALobject REALNewVariantInteger(RBInteger v) {
  if (auto f = hIntegerToVariant.as<IntegerToVariantProc>()) return f(v);
  if (auto g = hInt32ToVariant.as<Int32ToVariantProc>()) return g(static_cast<int32_t>(v));
  return nullptr;
}

RBInteger REALGetArrayUBound(REALarray a) {
  auto f = hUBound.as<RuntimeUBoundProc>();
  return f ? f(a) : 0;
}

REALarray REALCreateArray() {
  auto f = hCreateArray.as<RuntimeArrayCreateSingleDimBoundedArrayProc>();
  return f ? f(kREALArrayOfInteger, -1) : nullptr;
}

REALIntegerArrayInserter REALInsertArrayValueInteger(REALarray a) {
  if (auto f = hIntegerInsertProc.as<PluginIntegerArrayInsertProcProc>()) return f(a);
  if (auto g = hDirectInsertProc.as<PluginIntegerArrayInsertProcProc>()) return g(a);
  return nullptr;
}

REALIntegerArrayGetter REALGetArrayValueInteger(REALarray a) {
  return reinterpret_cast<REALIntegerArrayGetter>(ArrayProc(hIntegerGetProc, a));
}

REALSingleArrayGetter REALGetArrayValueSingle(REALarray a) {
  return reinterpret_cast<REALSingleArrayGetter>(ArrayProc(hSingleGetProc, a));
}

REALDoubleArrayGetter REALGetArrayValueDouble(REALarray a) {
  return reinterpret_cast<REALDoubleArrayGetter>(ArrayProc(hDoubleGetProc, a));
}

REALmemoryBlock REALNewMemoryBlockOriginal(int32_t size) {
  auto f = hNewMemoryBlock.as<newMemoryBlockProc>();
  return f ? f(size) : nullptr;
}

void *REALMemoryBlockGetPtr(REALmemoryBlock b) {
  auto f = hMemoryBlockGetPtr.as<memoryBlockGetPtrProc>();
  return f ? f(b) : nullptr;
}

bool HostHasREALMemoryBlockGetPtr() { return hMemoryBlockGetPtr.address() != nullptr; }

bool HostHasREALMemoryBlockGetSize() { return hMemoryBlockGetSize.address() != nullptr; }

RBInteger REALMemoryBlockGetSize(REALmemoryBlock b) {
  auto f = hMemoryBlockGetSize.as<memoryBlockGetSizeProc>();
  return f ? f(b) : 0;
}

bool REALFSRefFromFolderItem(REALfolderItem f, FSRef *ref, HFSUniStr255 *name) {
  auto proc = hFSRefFromFolderItem.as<REALFSRefFromFolderItemProc>();
  return proc ? proc(f, ref, name) != 0 : false;
}
