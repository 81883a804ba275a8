// CoreAudioXNQ: the hardware (system object) property methods, addressed by code alone.
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"

void rbAudioHardwareSetPropertyStr(REALobject self, REALstring propertyID, REALstring data) {
  SetLastError(self, -1);
  const OSType code = PropertyCode(propertyID);
  WritePropertyString(self, data, [&](UInt32 size, const void *bytes) {
    return AudioHardwareSetProperty(code, size, bytes);
  });
}

void rbAudioHardwareSetPropertyMem(REALobject self, REALstring propertyID, REALmemoryBlock data,
                                   RBInteger offset, RBInteger length) {
  SetLastError(self, -1);
  const OSType code = PropertyCode(propertyID);
  WritePropertyMemory(self, data, offset, length, [&](UInt32 size, const void *bytes) {
    return AudioHardwareSetProperty(code, size, bytes);
  });
}

void rbAudioHardwareGetPropertyInfo(REALobject self, REALstring propertyID, RBInteger *size,
                                    RBBoolean *writeable) {
  PropertyInfo(self, size, writeable, [&](UInt32 *localSize, Boolean *localWritable) {
    return AudioHardwareGetPropertyInfo(PropertyCode(propertyID), localSize, localWritable);
  });
}

namespace {
OSStatus HardwareInfo(OSType code, UInt32 *size, Boolean *writable) {
  return AudioHardwareGetPropertyInfo(code, size, writable);
}
OSStatus HardwareRead(OSType code, UInt32 *size, void *data) {
  return AudioHardwareGetProperty(code, size, data);
}
}  // namespace

REALstring rbAudioHardwareGetPropertyStr(REALobject self, REALstring propertyID) {
  SetLastError(self, -1);
  const OSType code = PropertyCode(propertyID);
  return ReadPropertyString(
      self, InfoStatusRule::KeptOnFailureOnly,
      [&](UInt32 *size, Boolean *writable) { return HardwareInfo(code, size, writable); },
      [&](UInt32 *size, void *data) { return HardwareRead(code, size, data); });
}

REALmemoryBlock rbAudioHardwareGetPropertyMem(REALobject self, REALstring propertyID) {
  SetLastError(self, -1);
  const OSType code = PropertyCode(propertyID);
  return ReadPropertyMemory(
      self, InfoStatusRule::KeptOnFailureOnly,
      [&](UInt32 *size, Boolean *writable) { return HardwareInfo(code, size, writable); },
      [&](UInt32 *size, void *data) { return HardwareRead(code, size, data); });
}

REALstring rbAudioHardwareGetPropertyCFS(REALobject self, REALstring propertyID) {
  SetLastError(self, -1);
  const OSType code = PropertyCode(propertyID);
  return ReadPropertyCFString(
      self, CFStringInfoRule::KeptAlways, IsCFStringPropertyCode(code),
      [&](UInt32 *size, Boolean *writable) { return HardwareInfo(code, size, writable); },
      [&](UInt32 *size, void *data) { return HardwareRead(code, size, data); });
}
