// CoreAudioXNQ: the stream property methods. Unlike the device members, every stream read keeps
// the status of its info call.
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"

void rbAudioStreamSetPropertyStr(REALobject self, RBInteger stream, REALmemoryBlock when,
                                 RBInteger channel, REALstring propertyID, REALstring data) {
  SetLastError(self, -1);
  const AudioTimeStamp *stamp = nullptr;
  if (!TimeStampFromBlock(when, &stamp)) return;
  const OSType code = PropertyCode(propertyID);
  WritePropertyString(self, data, [&](UInt32 size, const void *bytes) {
    return AudioStreamSetProperty(static_cast<UInt32>(stream), stamp, static_cast<UInt32>(channel),
                                  code, size, bytes);
  });
}

void rbAudioStreamSetPropertyMem(REALobject self, RBInteger stream, REALmemoryBlock when,
                                 RBInteger channel, REALstring propertyID, REALmemoryBlock data,
                                 RBInteger offset, RBInteger length) {
  SetLastError(self, -1);
  const AudioTimeStamp *stamp = nullptr;
  if (!TimeStampFromBlock(when, &stamp)) return;
  const OSType code = PropertyCode(propertyID);
  WritePropertyMemory(self, data, offset, length, [&](UInt32 size, const void *bytes) {
    return AudioStreamSetProperty(static_cast<UInt32>(stream), stamp, static_cast<UInt32>(channel),
                                  code, size, bytes);
  });
}

namespace {
struct StreamProperty {
  UInt32 stream;
  UInt32 channel;
  OSType code;
  OSStatus info(UInt32 *size, Boolean *writable) const {
    return AudioStreamGetPropertyInfo(stream, channel, code, size, writable);
  }
  OSStatus read(UInt32 *size, void *data) const {
    return AudioStreamGetProperty(stream, channel, code, size, data);
  }
};

StreamProperty MakeStreamProperty(RBInteger stream, RBInteger channel, REALstring propertyID) {
  return {static_cast<UInt32>(stream), static_cast<UInt32>(channel), PropertyCode(propertyID)};
}
}  // namespace

void rbAudioStreamGetPropertyInfo(REALobject self, RBInteger stream, RBInteger channel,
                                  REALstring propertyID, RBInteger *size, RBBoolean *writeable) {
  PropertyInfo(self, size, writeable, [&](UInt32 *localSize, Boolean *localWritable) {
    return MakeStreamProperty(stream, channel, propertyID).info(localSize, localWritable);
  });
}

REALstring rbAudioStreamGetPropertyStr(REALobject self, RBInteger stream, RBInteger channel,
                                       REALstring propertyID) {
  SetLastError(self, -1);
  const StreamProperty property = MakeStreamProperty(stream, channel, propertyID);
  return ReadPropertyString(
      self, InfoStatusRule::KeptAlways,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALmemoryBlock rbAudioStreamGetPropertyMem(REALobject self, RBInteger stream, RBInteger channel,
                                            REALstring propertyID) {
  SetLastError(self, -1);
  const StreamProperty property = MakeStreamProperty(stream, channel, propertyID);
  return ReadPropertyMemory(
      self, InfoStatusRule::KeptAlways,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALstring rbAudioStreamGetPropertyCFS(REALobject self, RBInteger stream, RBInteger channel,
                                       REALstring propertyID) {
  SetLastError(self, -1);
  const StreamProperty property = MakeStreamProperty(stream, channel, propertyID);
  return ReadPropertyCFString(
      self, CFStringInfoRule::KeptAlways, IsCFStringPropertyCode(property.code),
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}
