// The handlers of CoreAudioXNQ as its class table names them. Each instance handler takes the
// host object first, then the declared parameters: host Integers as RBInteger, UInt32 as
// uint32_t, byref Integer and Boolean as RBInteger* and RBBoolean*.
#pragma once

#include <stdint.h>

#include "coreaudio/PropertyCodeConstants.h"
#include "frame/REALplugin.h"

// Audio objects.
uint32_t rbAudioObjectGetPropertyDataSize(REALobject self, RBInteger object, uint32_t selector,
                                          uint32_t scope, uint32_t element,
                                          REALmemoryBlock qualifierData);
REALmemoryBlock rbAudioObjectGetPropertyData(REALobject self, RBInteger object, uint32_t selector,
                                             uint32_t scope, uint32_t element,
                                             REALmemoryBlock qualifierData,
                                             REALmemoryBlock inputData);
void rbAudioObjectSetPropertyData(REALobject self, RBInteger object, uint32_t selector,
                                  uint32_t scope, uint32_t element, REALmemoryBlock data,
                                  REALmemoryBlock qualifierData);

// Audio units and components.
RBInteger rbAudioUnitInitialize(REALobject self, RBInteger handle);
RBInteger rbAudioUnitUninitialize(REALobject self, RBInteger handle);
RBInteger rbAudioOutputUnitStart(REALobject self, RBInteger handle);
RBInteger rbAudioOutputUnitStop(REALobject self, RBInteger handle);
RBInteger rbAudioUnitReset(REALobject self, RBInteger handle, RBInteger scope, RBInteger element);
RBInteger rbOpenDefaultComponent(REALobject self, REALstring type, REALstring subtype);
void rbCloseComponent(REALobject self, RBInteger handle);
void rbAudioUnitSetParameter(REALobject self, RBInteger unit, RBInteger parameterID,
                             RBInteger scope, RBInteger element, float value,
                             RBInteger bufferOffsetInFrames);
float rbAudioUnitGetParameter(REALobject self, RBInteger unit, RBInteger parameterID,
                              RBInteger scope, RBInteger element);

// Devices.
void rbAudioDeviceSetPropertyStr(REALobject self, RBInteger device, REALmemoryBlock when,
                                 RBInteger channel, RBBoolean isInput, REALstring propertyID,
                                 REALstring data);
void rbAudioDeviceSetPropertyMem(REALobject self, RBInteger device, REALmemoryBlock when,
                                 RBInteger channel, RBBoolean isInput, REALstring propertyID,
                                 REALmemoryBlock data, RBInteger offset, RBInteger length);
void rbAudioDeviceGetPropertyInfo(REALobject self, RBInteger device, RBInteger channel,
                                  RBBoolean isInput, REALstring propertyID, RBInteger *size,
                                  RBBoolean *writeable);
REALstring rbAudioDeviceGetPropertyStr(REALobject self, RBInteger device, RBInteger channel,
                                       RBBoolean isInput, REALstring propertyID);
REALmemoryBlock rbAudioDeviceGetPropertyMem(REALobject self, RBInteger device, RBInteger channel,
                                            RBBoolean isInput, REALstring propertyID);
REALstring rbAudioDeviceGetPropertyCFS(REALobject self, RBInteger device, RBInteger channel,
                                       RBBoolean isInput, REALstring propertyID);

// Streams.
void rbAudioStreamSetPropertyStr(REALobject self, RBInteger stream, REALmemoryBlock when,
                                 RBInteger channel, REALstring propertyID, REALstring data);
void rbAudioStreamSetPropertyMem(REALobject self, RBInteger stream, REALmemoryBlock when,
                                 RBInteger channel, REALstring propertyID, REALmemoryBlock data,
                                 RBInteger offset, RBInteger length);
void rbAudioStreamGetPropertyInfo(REALobject self, RBInteger stream, RBInteger channel,
                                  REALstring propertyID, RBInteger *size, RBBoolean *writeable);
REALstring rbAudioStreamGetPropertyStr(REALobject self, RBInteger stream, RBInteger channel,
                                       REALstring propertyID);
REALmemoryBlock rbAudioStreamGetPropertyMem(REALobject self, RBInteger stream, RBInteger channel,
                                            REALstring propertyID);
REALstring rbAudioStreamGetPropertyCFS(REALobject self, RBInteger stream, RBInteger channel,
                                       REALstring propertyID);

// The hardware.
void rbAudioHardwareSetPropertyStr(REALobject self, REALstring propertyID, REALstring data);
void rbAudioHardwareSetPropertyMem(REALobject self, REALstring propertyID, REALmemoryBlock data,
                                   RBInteger offset, RBInteger length);
void rbAudioHardwareGetPropertyInfo(REALobject self, REALstring propertyID, RBInteger *size,
                                    RBBoolean *writeable);
REALstring rbAudioHardwareGetPropertyStr(REALobject self, REALstring propertyID);
REALmemoryBlock rbAudioHardwareGetPropertyMem(REALobject self, REALstring propertyID);
REALstring rbAudioHardwareGetPropertyCFS(REALobject self, REALstring propertyID);

// Audio unit properties.
void rbAudioUnitSetPropertyStr(REALobject self, RBInteger unit, RBInteger propertyID,
                               RBInteger scope, RBInteger element, REALstring data);
void rbAudioUnitSetPropertyMem(REALobject self, RBInteger unit, RBInteger propertyID,
                               RBInteger scope, RBInteger element, REALmemoryBlock data,
                               RBInteger offset, RBInteger length);
void rbAudioUnitGetPropertyInfo(REALobject self, RBInteger unit, RBInteger propertyID,
                                RBInteger scope, RBInteger element, RBInteger *size,
                                RBBoolean *writeable);
REALstring rbAudioUnitGetPropertyStr(REALobject self, RBInteger unit, RBInteger propertyID,
                                     RBInteger scope, RBInteger element);
REALmemoryBlock rbAudioUnitGetPropertyMem(REALobject self, RBInteger unit, RBInteger propertyID,
                                          RBInteger scope, RBInteger element);
REALstring rbAudioUnitGetPropertyCFS(REALobject self, RBInteger unit, RBInteger propertyID,
                                     RBInteger scope, RBInteger element);

// Constants: getters called with (object, parameter word), both ignored.
#define XNQ_DECLARE_CODE_GETTER(name, code) REALstring Get##name(REALobject, RBInteger);
XNQ_PROPERTY_CODE_CONSTANTS(XNQ_DECLARE_CODE_GETTER)
#undef XNQ_DECLARE_CODE_GETTER
RBInteger GetkAudioPropertyWildcardSection(REALobject, RBInteger);
RBInteger GetkAudioPropertyWildcardChannel(REALobject, RBInteger);

// Shared host-time methods (no instance).
double CoreAudioGetHostClockFrequency();
RBInteger GetHostClockMinimumTimeDelta();
uint64_t CoreAudioGetCurrentHostTimeUINT64();
uint64_t CoreAudioConvertHostTimeToNanosUINT64(uint64_t hostTime);
uint64_t CoreAudioConvertNanosToHostTimeUINT64(uint64_t nanos);
