// CoreAudioXNQ: audio units and components driven by handle. Handles are component instances
// carried in host Integers; the caller owns them (destroying the object closes nothing).
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"
#include "os/audio_unit.h"
#include "os/components.h"

namespace {
AudioUnit UnitFromHandle(RBInteger handle) { return reinterpret_cast<AudioUnit>(handle); }

RBInteger StoreStatus(REALobject self, OSStatus status) {
  SetLastError(self, status);
  return status;
}
}  // namespace

RBInteger rbAudioUnitInitialize(REALobject self, RBInteger handle) {
  SetLastError(self, -1);
  return StoreStatus(self, AudioUnitInitialize(UnitFromHandle(handle)));
}

RBInteger rbAudioUnitUninitialize(REALobject self, RBInteger handle) {
  SetLastError(self, -1);
  return StoreStatus(self, AudioUnitUninitialize(UnitFromHandle(handle)));
}

RBInteger rbAudioOutputUnitStart(REALobject self, RBInteger handle) {
  SetLastError(self, -1);
  return StoreStatus(self, AudioOutputUnitStart(UnitFromHandle(handle)));
}

RBInteger rbAudioOutputUnitStop(REALobject self, RBInteger handle) {
  SetLastError(self, -1);
  return StoreStatus(self, AudioOutputUnitStop(UnitFromHandle(handle)));
}

RBInteger rbAudioUnitReset(REALobject self, RBInteger handle, RBInteger scope, RBInteger element) {
  SetLastError(self, -1);
  return StoreStatus(self,
                     AudioUnitReset(UnitFromHandle(handle), static_cast<AudioUnitScope>(scope),
                                    static_cast<AudioUnitElement>(element)));
}

RBInteger rbOpenDefaultComponent(REALobject self, REALstring type, REALstring subtype) {
  SetLastError(self, -1);
  const OSType typeCode = REALstringToOSType(type);
  const OSType subtypeCode = REALstringToOSType(subtype);
  ComponentInstance instance = OpenDefaultComponent(typeCode, subtypeCode);
  // The framework reports no status here: only an opened instance changes Lasterror.
  if (instance == nullptr) return 0;
  SetLastError(self, 0);
  return reinterpret_cast<RBInteger>(instance);
}

void rbCloseComponent(REALobject self, RBInteger handle) {
  SetLastError(self, -1);
  // The 16-bit error keeps its sign in Lasterror.
  const OSErr error = CloseComponent(reinterpret_cast<ComponentInstance>(handle));
  SetLastError(self, static_cast<int32_t>(error));
}

void rbAudioUnitSetParameter(REALobject self, RBInteger unit, RBInteger parameterID,
                             RBInteger scope, RBInteger element, float value,
                             RBInteger bufferOffsetInFrames) {
  SetLastError(self, -1);
  SetLastError(self, AudioUnitSetParameter(
                         UnitFromHandle(unit), static_cast<AudioUnitParameterID>(parameterID),
                         static_cast<AudioUnitScope>(scope), static_cast<AudioUnitElement>(element),
                         value, static_cast<UInt32>(bufferOffsetInFrames)));
}

float rbAudioUnitGetParameter(REALobject self, RBInteger unit, RBInteger parameterID,
                              RBInteger scope, RBInteger element) {
  SetLastError(self, -1);
  AudioUnitParameterValue value = 0.0f;
  SetLastError(self, AudioUnitGetParameter(UnitFromHandle(unit),
                                           static_cast<AudioUnitParameterID>(parameterID),
                                           static_cast<AudioUnitScope>(scope),
                                           static_cast<AudioUnitElement>(element), &value));
  return value;
}
