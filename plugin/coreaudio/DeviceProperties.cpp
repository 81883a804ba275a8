// CoreAudioXNQ: the device property methods (write by string or memory, info, read as string,
// memory block or CFString). Device IDs and channels pass as unsigned 32-bit values and isinput
// as the framework's one-byte Boolean.
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"

void rbAudioDeviceSetPropertyStr(REALobject self, RBInteger device, REALmemoryBlock when,
                                 RBInteger channel, RBBoolean isInput, REALstring propertyID,
                                 REALstring data) {
  SetLastError(self, -1);
  const AudioTimeStamp *stamp = nullptr;
  if (!TimeStampFromBlock(when, &stamp)) return;
  const OSType code = PropertyCode(propertyID);
  WritePropertyString(self, data, [&](UInt32 size, const void *bytes) {
    return AudioDeviceSetProperty(static_cast<UInt32>(device), stamp, static_cast<UInt32>(channel),
                                  isInput != 0, code, size, bytes);
  });
}

void rbAudioDeviceSetPropertyMem(REALobject self, RBInteger device, REALmemoryBlock when,
                                 RBInteger channel, RBBoolean isInput, REALstring propertyID,
                                 REALmemoryBlock data, RBInteger offset, RBInteger length) {
  SetLastError(self, -1);
  const AudioTimeStamp *stamp = nullptr;
  if (!TimeStampFromBlock(when, &stamp)) return;
  const OSType code = PropertyCode(propertyID);
  WritePropertyMemory(self, data, offset, length, [&](UInt32 size, const void *bytes) {
    return AudioDeviceSetProperty(static_cast<UInt32>(device), stamp, static_cast<UInt32>(channel),
                                  isInput != 0, code, size, bytes);
  });
}

namespace {
struct DeviceProperty {
  UInt32 device;
  UInt32 channel;
  Boolean isInput;
  OSType code;
  OSStatus info(UInt32 *size, Boolean *writable) const {
    return AudioDeviceGetPropertyInfo(device, channel, isInput, code, size, writable);
  }
  OSStatus read(UInt32 *size, void *data) const {
    return AudioDeviceGetProperty(device, channel, isInput, code, size, data);
  }
};

DeviceProperty MakeDeviceProperty(RBInteger device, RBInteger channel, RBBoolean isInput,
                                  REALstring propertyID) {
  return {static_cast<UInt32>(device), static_cast<UInt32>(channel),
          static_cast<Boolean>(isInput != 0), PropertyCode(propertyID)};
}
}  // namespace

void rbAudioDeviceGetPropertyInfo(REALobject self, RBInteger device, RBInteger channel,
                                  RBBoolean isInput, REALstring propertyID, RBInteger *size,
                                  RBBoolean *writeable) {
  PropertyInfo(self, size, writeable, [&](UInt32 *localSize, Boolean *localWritable) {
    return MakeDeviceProperty(device, channel, isInput, propertyID).info(localSize, localWritable);
  });
}

REALstring rbAudioDeviceGetPropertyStr(REALobject self, RBInteger device, RBInteger channel,
                                       RBBoolean isInput, REALstring propertyID) {
  SetLastError(self, -1);
  const DeviceProperty property = MakeDeviceProperty(device, channel, isInput, propertyID);
  return ReadPropertyString(
      self, InfoStatusRule::KeptOnFailureOnly,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALmemoryBlock rbAudioDeviceGetPropertyMem(REALobject self, RBInteger device, RBInteger channel,
                                            RBBoolean isInput, REALstring propertyID) {
  SetLastError(self, -1);
  const DeviceProperty property = MakeDeviceProperty(device, channel, isInput, propertyID);
  return ReadPropertyMemory(
      self, InfoStatusRule::KeptOnFailureOnly,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALstring rbAudioDeviceGetPropertyCFS(REALobject self, RBInteger device, RBInteger channel,
                                       RBBoolean isInput, REALstring propertyID) {
  SetLastError(self, -1);
  const DeviceProperty property = MakeDeviceProperty(device, channel, isInput, propertyID);
  return ReadPropertyCFString(
      self, CFStringInfoRule::DeviceLeavesMarker, IsCFStringPropertyCode(property.code),
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}
