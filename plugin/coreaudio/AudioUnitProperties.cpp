// CoreAudioXNQ: the audio unit property methods. The unit is a component instance handle carried
// in a host Integer; property ID, scope and element pass unchanged as unsigned 32-bit values.
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"
#include "os/audio_unit.h"

namespace {
struct UnitProperty {
  AudioUnit unit;
  AudioUnitPropertyID id;
  AudioUnitScope scope;
  AudioUnitElement element;
  OSStatus info(UInt32 *size, Boolean *writable) const {
    return AudioUnitGetPropertyInfo(unit, id, scope, element, size, writable);
  }
  // The framework takes the data pointer before the size.
  OSStatus read(UInt32 *size, void *data) const {
    return AudioUnitGetProperty(unit, id, scope, element, data, size);
  }
  OSStatus write(UInt32 size, const void *data) const {
    return AudioUnitSetProperty(unit, id, scope, element, data, size);
  }
};

UnitProperty MakeUnitProperty(RBInteger unit, RBInteger propertyID, RBInteger scope,
                              RBInteger element) {
  return {reinterpret_cast<AudioUnit>(unit), static_cast<AudioUnitPropertyID>(propertyID),
          static_cast<AudioUnitScope>(scope), static_cast<AudioUnitElement>(element)};
}
}  // namespace

void rbAudioUnitSetPropertyStr(REALobject self, RBInteger unit, RBInteger propertyID,
                               RBInteger scope, RBInteger element, REALstring data) {
  SetLastError(self, -1);
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  WritePropertyString(self, data,
                      [&](UInt32 size, const void *bytes) { return property.write(size, bytes); });
}

void rbAudioUnitSetPropertyMem(REALobject self, RBInteger unit, RBInteger propertyID,
                               RBInteger scope, RBInteger element, REALmemoryBlock data,
                               RBInteger offset, RBInteger length) {
  SetLastError(self, -1);
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  WritePropertyMemory(self, data, offset, length,
                      [&](UInt32 size, const void *bytes) { return property.write(size, bytes); });
}

void rbAudioUnitGetPropertyInfo(REALobject self, RBInteger unit, RBInteger propertyID,
                                RBInteger scope, RBInteger element, RBInteger *size,
                                RBBoolean *writeable) {
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  PropertyInfo(self, size, writeable, [&](UInt32 *localSize, Boolean *localWritable) {
    return property.info(localSize, localWritable);
  });
}

REALstring rbAudioUnitGetPropertyStr(REALobject self, RBInteger unit, RBInteger propertyID,
                                     RBInteger scope, RBInteger element) {
  SetLastError(self, -1);
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  return ReadPropertyString(
      self, InfoStatusRule::KeptOnFailureOnly,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALmemoryBlock rbAudioUnitGetPropertyMem(REALobject self, RBInteger unit, RBInteger propertyID,
                                          RBInteger scope, RBInteger element) {
  SetLastError(self, -1);
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  return ReadPropertyMemory(
      self, InfoStatusRule::KeptAlways,
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}

REALstring rbAudioUnitGetPropertyCFS(REALobject self, RBInteger unit, RBInteger propertyID,
                                     RBInteger scope, RBInteger element) {
  SetLastError(self, -1);
  const UnitProperty property = MakeUnitProperty(unit, propertyID, scope, element);
  return ReadPropertyCFString(
      self, CFStringInfoRule::KeptAlways, IsCFStringUnitProperty(property.id),
      [&](UInt32 *size, Boolean *writable) { return property.info(size, writable); },
      [&](UInt32 *size, void *data) { return property.read(size, data); });
}
