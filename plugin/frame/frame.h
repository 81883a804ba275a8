// What the plugin's classes use of the frame: host binding, instance data, host exceptions,
// memory blocks, threaded work and text conversion. Each class includes this header only.
#pragma once

#include <stdint.h>

#include "frame/REALplugin.h"
#include "os/audio_types.h"
#include "os/cf.h"
#include "os/components.h"

// ---- Process-wide state, written once by REALPluginMain (or BindHost) ----
extern REALResolver gResolver;
extern double rbversion_rbversion;
extern int32_t CurrentREALControlVersion;
// The sound output component's dispatch routine: set by REALPluginMain only when the host's
// REALinRuntime answers true, null otherwise.
extern ComponentRoutineUPP sDispatchUPP;

// Stores the resolver, reads the host version and chooses the class-definition version: the
// first steps of REALPluginMain, also used by programs that link the frame directly.
void BindHost(REALResolver resolver);
// Registers a class with the host in the layout the host understands.
void MyREALRegisterClass(REALclassDefinition *definition);
REALproperty9 *FixProperties(const REALproperty *properties, RBInteger count);
// The identifier the host gave an event of a registered class.
intptr_t EventIdentifier(const REALevent *event);

// The instance data of obj, an object of the class that definition describes.
template <typename T>
inline T *InstanceData(const REALclassDefinition &definition, REALobject obj) {
  return reinterpret_cast<T *>(reinterpret_cast<char *>(obj) + definition.forSystemUse);
}

// A routine as a class table holds it: the word the host calls through by the declaration.
template <typename F>
inline void *Routine(F *function) {
  return reinterpret_cast<void *>(function);
}

// ---- Host function wrappers (missing functions are no-ops yielding null, 0 or false) ----
double REALGetRBVersion();
RBBoolean REALinRuntime();
void REALYieldToRB();
REALstring originalREALBuildString(const char *bytes, RBInteger length);
REALstring REALBuildStringWithEncoding(const char *bytes, RBInteger length, uint32_t encoding);
void REALSetStringEncoding(REALstring s, uint32_t encoding);
uint32_t REALGetStringEncoding(REALstring s);
bool HostHasREALGetStringEncoding();
REALstring REALConvertString(REALstring s, uint32_t encoding);
bool REALGetStringData(REALstring s, uint32_t encoding, REALstringData *out);
void REALDisposeStringData(REALstringData *data);
void REALLockString(REALstring s);
void REALUnlockString(REALstring s);
void REALLockObject(REALobject o);
void REALUnlockObject(REALobject o);
REALobject REALnewInstance(const char *className);
void REALSetPropValueString(REALobject o, const char *property, REALstring value);
void REALSetPropValueInteger(REALobject o, const char *property, RBInteger value);
void *REALLoadObjectMethod(REALobject o, const char *declaration);
REALEventHandler REALGetEventInstance(REALobject o, intptr_t eventIdentifier);
void REALRaiseException(REALobject exception);
REALobject REALNewVariantString(REALstring s);
REALobject REALNewVariantInteger(RBInteger v);
RBInteger REALGetArrayUBound(REALarray a);
REALarray REALCreateArray();  // empty array of integers
REALIntegerArrayInserter REALInsertArrayValueInteger(REALarray a);
REALIntegerArrayGetter REALGetArrayValueInteger(REALarray a);
REALSingleArrayGetter REALGetArrayValueSingle(REALarray a);
REALDoubleArrayGetter REALGetArrayValueDouble(REALarray a);
REALmemoryBlock REALNewMemoryBlockOriginal(int32_t size);
void *REALMemoryBlockGetPtr(REALmemoryBlock b);
RBInteger REALMemoryBlockGetSize(REALmemoryBlock b);
bool REALFSRefFromFolderItem(REALfolderItem f, FSRef *ref, HFSUniStr255 *name);

// ---- Runtime services ----
// Raises a host exception of the named class (falling back to "RuntimeException") with a UTF-8
// message and ErrorNumber 0. Returns normally; the caller then returns its failure value.
void RaiseException(const char *className, const char *message);
void RaiseOutOfBoundsException(int64_t index, int64_t count);
// A new host memory block holding a copy of the bytes, or nil.
REALmemoryBlock REALBuildMemoryblock(const void *bytes, int64_t size);
// A host memory block's data and size by the host version's rule: the accessors from 2017.0 on,
// the block record below. A missing accessor gives null or 0.
void *MemoryBlockData(REALmemoryBlock b);
int64_t MemoryBlockSize(REALmemoryBlock b);
// False when this host cannot tell a block's size at all (from 2017.0 on, a host without the
// size accessor), so that a size of 0 from MemoryBlockSize means "unknown", not "empty".
bool MemoryBlockSizeKnown();
// Runs work(data) on another thread, yielding to the host every millisecond until it is done.
void RunThreadedBlocks(void *data, void (*work)(void *), void (*idle)(void *));
// Turns any exception in flight into a host exception (the translation table); call it from a
// catch (...) block.
void TranslateCurrentException();

// ---- Text ----
REALstring REALBuildUnicodeString(const void *bytes, int64_t length, uint32_t encoding);
REALstring REALBuildUnicodeStringUTF16(const void *bytes, int64_t length);
REALstring CFString2RBString(CFStringRef cf);
OSType REALstringToOSType(REALstring s);
// The stored bytes and byte length of a host string, as they are, read from the string record
// itself on every host version (its layout is the same on all of them).
const char *StringBytes(REALstring s, int64_t *length);

// The encodings of host strings.
enum : uint32_t {
  kTextEncodingMacRoman = 0x0000,
  kTextEncodingUTF16 = 0x0100,
  kTextEncodingISOLatin1 = 0x0201,
  kTextEncodingWindowsLatin1 = 0x0500,
  kTextEncodingASCII = 0x0600,
  kTextEncodingUnknown = 0xFFFF,
  kTextEncodingUTF8 = 0x08000100,
  kTextEncodingUTF32 = 0x0C000100,
};
