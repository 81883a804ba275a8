// The shapes that the device, stream, hardware and audio unit property methods share. Each
// method supplies its framework calls as small callables; the family decides the order of the
// calls, what Lasterror holds afterwards and how the bytes become a host value.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include "coreaudio/CoreAudioData.h"

// Which status a read keeps from its info call once that call succeeded.
enum class InfoStatusRule {
  KeptAlways,         // Lasterror holds the info call's 0 before the read
  KeptOnFailureOnly,  // Lasterror stays -1 until the read
};

// Info kind: the byref size and writeable are cleared first and always receive what the
// framework left in the local copies, whatever the status. info(UInt32*, Boolean*).
template <class Info>
void PropertyInfo(REALobject self, RBInteger *size, RBBoolean *writeable, Info info) {
  SetLastError(self, -1);
  if (size != nullptr) *size = 0;
  if (writeable != nullptr) *writeable = false;
  UInt32 localSize = 0;
  Boolean localWritable = false;
  OSStatus status = info(&localSize, &localWritable);
  SetLastError(self, status);
  if (writeable != nullptr) *writeable = localWritable;
  if (size != nullptr) *size = static_cast<RBInteger>(localSize);
}

// The info call, then the read into a new zero-filled buffer sized by it. Returns the buffer
// (the caller frees it) with *size the byte count the read reported, or null. No exception is
// raised here: a size of 0, an oversized property and a refused allocation all give null.
// info(UInt32*, Boolean*), read(UInt32* ioSize, void* buffer).
template <class Info, class Read>
void *ReadPropertyBytes(REALobject self, InfoStatusRule rule, UInt32 *size, Info info, Read read) {
  *size = 0;
  Boolean writable = false;
  OSStatus status = info(size, &writable);
  if (status != 0) {
    SetLastError(self, status);
    return nullptr;
  }
  if (rule == InfoStatusRule::KeptAlways) SetLastError(self, status);
  if (*size == 0 || *size > 0x7FFFFFFFu) return nullptr;
  const UInt32 capacity = *size;
  void *buffer = calloc(capacity, 1);
  if (buffer == nullptr) return nullptr;
  status = read(size, buffer);
  SetLastError(self, status);
  if (status != 0) {
    free(buffer);
    return nullptr;
  }
  // A framework that reports more than it was given room for never makes us read past the buffer.
  if (*size > capacity) *size = capacity;
  return buffer;
}

// String read: the property's bytes as a host string of unknown encoding.
template <class Info, class Read>
REALstring ReadPropertyString(REALobject self, InfoStatusRule rule, Info info, Read read) {
  UInt32 size = 0;
  void *buffer = ReadPropertyBytes(self, rule, &size, info, read);
  if (buffer == nullptr) return nullptr;
  REALstring result = REALBuildUnicodeString(buffer, size, kTextEncodingUnknown);
  free(buffer);
  return result;
}

// Memory read: the property's bytes as a new host memory block.
template <class Info, class Read>
REALmemoryBlock ReadPropertyMemory(REALobject self, InfoStatusRule rule, Info info, Read read) {
  UInt32 size = 0;
  void *buffer = ReadPropertyBytes(self, rule, &size, info, read);
  if (buffer == nullptr) return nullptr;
  REALmemoryBlock result = REALBuildMemoryblock(buffer, size);
  free(buffer);
  return result;
}

// Which status a CFString read keeps from a failed info call.
enum class CFStringInfoRule {
  DeviceLeavesMarker,  // a failed info call leaves -1; a size mismatch writes 0 explicitly
  KeptAlways,          // the info call's status is always stored
};

// Whether a device, stream or hardware property holds a CFString reference. The size check alone
// would take any value of a reference's size (a UInt32 in the 32-bit build, a Float64 in the
// 64-bit one) for a string and dereference it, so only the codes the platform defines as
// CFString-valued are read as references; any other property is treated as "not a CFString".
bool IsCFStringPropertyCode(OSType code);
// The same for audio unit properties.
bool IsCFStringUnitProperty(UInt32 propertyID);

// CFString read: the property must be exactly one CFString reference (4 bytes in the 32-bit
// build, a pointer's size in general) of a CFString-valued property. The method owns the string
// the read returns and releases it after converting it.
template <class Info, class Read>
REALstring ReadPropertyCFString(REALobject self, CFStringInfoRule rule, bool holdsCFString,
                                Info info, Read read) {
  SetLastError(self, -1);
  UInt32 size = 0;
  Boolean writable = false;
  OSStatus status = info(&size, &writable);
  if (rule == CFStringInfoRule::KeptAlways) SetLastError(self, status);
  if (status != 0) return nullptr;
  if (size != sizeof(CFStringRef) || !holdsCFString) {
    SetLastError(self, 0);
    return nullptr;
  }
  CFStringRef reference = nullptr;
  size = sizeof(reference);
  status = read(&size, &reference);
  SetLastError(self, status);
  if (status != 0) return nullptr;
  REALstring result = CFString2RBString(reference);
  if (reference != nullptr) CFRelease(reference);
  return result;
}

// String write: the string's stored bytes, held locked for the call. write(UInt32 size, const
// void* data).
template <class Write>
void WritePropertyString(REALobject self, REALstring data, Write write) {
  if (data != nullptr) REALLockString(data);
  BlockBytes bytes = ReadStringBytes(data);
  OSStatus status = write(bytes.size, bytes.data);
  SetLastError(self, status);
  if (data != nullptr) REALUnlockString(data);
}

// Memory write: length bytes of the block from offset. The block is not locked: the call holds
// the host's own reference for its duration.
template <class Write>
void WritePropertyMemory(REALobject self, REALmemoryBlock data, RBInteger offset, RBInteger length,
                         Write write) {
  BlockBytes range;
  if (!BlockRange(data, offset, length, &range)) return;
  OSStatus status = write(range.size, range.data);
  SetLastError(self, status);
}

// Device, stream and hardware codes: the host string as a four-character code.
inline OSType PropertyCode(REALstring propertyID) { return REALstringToOSType(propertyID); }
