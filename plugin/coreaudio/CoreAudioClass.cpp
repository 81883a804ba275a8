// The class table of CoreAudioXNQ: 82 properties (81 constants, then Lasterror), 36 methods and
// 5 shared host-time methods, in the order the host sees them.
#include <stddef.h>

#include <iterator>

#include "coreaudio/CoreAudioData.h"
#include "coreaudio/CoreAudioMethods.h"

namespace {
// Instance data that does no work: the host zero-fills it and Lasterror starts at 0.
void CoreAudioConstructor(REALobject) {}
void CoreAudioDestructor(REALobject) {}

#define XNQ_CODE_PROPERTY(name, code) \
  {"Constants", #name, "String", 6, Routine(Get##name), nullptr, 0, 0, 0, 0, nullptr, 0},

REALproperty CoreAudioProperties[] = {
    XNQ_PROPERTY_CODE_CONSTANTS(XNQ_CODE_PROPERTY){
        "Constants", "kAudioPropertyWildcardSection", "Integer", 6,
        Routine(GetkAudioPropertyWildcardSection), nullptr, 0, 0, 0, 0, nullptr, 0},
    {"Constants", "kAudioPropertyWildcardChannel", "Integer", 6,
     Routine(GetkAudioPropertyWildcardChannel), nullptr, 0, 0, 0, 0, nullptr, 0},
    {"", "Lasterror", "Integer", 6, REALstandardAccessor, REALstandardAccessor,
     offsetof(CoreAudioData, lastError), 0, 0, 0, nullptr, 0},
};
#undef XNQ_CODE_PROPERTY
static_assert(sizeof(CoreAudioProperties) / sizeof(CoreAudioProperties[0]) == 82);

REALmethodDefinition CoreAudioMethods[] = {
    {Routine(rbAudioObjectGetPropertyDataSize), nullptr,
     "AudioObjectGetPropertyDataSize(inObjectID as integer, AddressSelector as UInt32, "
     "AddressScope as UInt32, AddressElement as UInt32, QualifierData as memoryblock = nil) as "
     "UInt32",
     0, nullptr, 0},
    {Routine(rbAudioObjectGetPropertyData), nullptr,
     "AudioObjectGetPropertyData(inObjectID as integer, AddressSelector as UInt32, AddressScope as "
     "UInt32, AddressElement as UInt32, QualifierData as memoryblock = nil, InputData as "
     "Memoryblock = nil) as memoryblock",
     0, nullptr, 0},
    {Routine(rbAudioObjectSetPropertyData), nullptr,
     "AudioObjectSetPropertyData(inObjectID as integer, AddressSelector as UInt32, AddressScope as "
     "UInt32, AddressElement as UInt32, Data as Memoryblock, QualifierData as memoryblock = nil)",
     0, nullptr, 0},
    {Routine(rbAudioUnitInitialize), nullptr,
     "AudioUnitInitialize(componenthandle as integer) as integer", 0, nullptr, 0},
    {Routine(rbAudioUnitUninitialize), nullptr,
     "AudioUnitUninitialize(componenthandle as integer) as integer", 0, nullptr, 0},
    {Routine(rbAudioOutputUnitStart), nullptr,
     "AudioOutputUnitStart(componenthandle as integer) as integer", 0, nullptr, 0},
    {Routine(rbAudioOutputUnitStop), nullptr,
     "AudioOutputUnitStop(componenthandle as integer) as integer", 0, nullptr, 0},
    {Routine(rbAudioUnitReset), nullptr,
     "AudioUnitReset(componenthandle as integer, scope as integer, element as integer) as integer",
     0, nullptr, 0},
    {Routine(rbOpenDefaultComponent), nullptr,
     "OpenDefaultComponent(type as string, subtype as string) as integer", 4, nullptr, 0},
    {Routine(rbCloseComponent), nullptr, "CloseComponent(componenthandle as integer)", 4, nullptr,
     0},
    {Routine(rbAudioUnitSetParameter), nullptr,
     "AudioUnitSetParameter(AudioUnit as integer, ParameterID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer, value as single, BufferOffsetInFrames as integer)",
     4, nullptr, 0},
    {Routine(rbAudioUnitGetParameter), nullptr,
     "AudioUnitGetParameter(AudioUnit as integer, ParameterID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer) as single",
     4, nullptr, 0},
    {Routine(rbAudioDeviceSetPropertyStr), nullptr,
     "AudioDeviceSetPropertyString(AudioDeviceID as integer, when as memoryblock, channel as "
     "integer, isinput as boolean, propertyID as string, data as string)",
     4, nullptr, 0},
    {Routine(rbAudioDeviceSetPropertyMem), nullptr,
     "AudioDeviceSetPropertyMemory(AudioDeviceID as integer, when as memoryblock, channel as "
     "integer, isinput as boolean, propertyID as string, data as memoryblock, offset as integer, "
     "length as integer)",
     4, nullptr, 0},
    {Routine(rbAudioDeviceGetPropertyInfo), nullptr,
     "AudioDeviceGetPropertyInfo(AudioDeviceID as integer, channel as integer, isinput as boolean, "
     "propertyID as string, byref size as integer, byref writeable as boolean)",
     4, nullptr, 0},
    {Routine(rbAudioDeviceGetPropertyStr), nullptr,
     "AudioDeviceGetPropertyString(AudioDeviceID as integer, channel as integer, isinput as "
     "boolean, propertyID as string) as string",
     4, nullptr, 0},
    {Routine(rbAudioDeviceGetPropertyMem), nullptr,
     "AudioDeviceGetPropertyMemory(AudioDeviceID as integer, channel as integer, isinput as "
     "boolean, propertyID as string) as memoryblock",
     4, nullptr, 0},
    {Routine(rbAudioDeviceGetPropertyCFS), nullptr,
     "AudioDeviceGetPropertyCFString(AudioDeviceID as integer, channel as integer, isinput as "
     "boolean, propertyID as string) as string",
     4, nullptr, 0},
    {Routine(rbAudioStreamSetPropertyStr), nullptr,
     "AudioStreamSetPropertyString(AudioStreamID as integer, when as memoryblock, channel as "
     "integer, propertyID as string, data as string)",
     4, nullptr, 0},
    {Routine(rbAudioStreamSetPropertyMem), nullptr,
     "AudioStreamSetPropertyMemory(AudioStreamID as integer, when as memoryblock, channel as "
     "integer, propertyID as string, data as memoryblock, offset as integer, length as integer)",
     4, nullptr, 0},
    {Routine(rbAudioStreamGetPropertyInfo), nullptr,
     "AudioStreamGetPropertyInfo(AudioStreamID as integer, channel as integer, propertyID as "
     "string, byref size as integer, byref writeable as boolean)",
     4, nullptr, 0},
    {Routine(rbAudioStreamGetPropertyStr), nullptr,
     "AudioStreamGetPropertyString(AudioStreamID as integer, channel as integer, propertyID as "
     "string) as string",
     4, nullptr, 0},
    {Routine(rbAudioStreamGetPropertyMem), nullptr,
     "AudioStreamGetPropertyMemory(AudioStreamID as integer, channel as integer, propertyID as "
     "string) as memoryblock",
     4, nullptr, 0},
    {Routine(rbAudioStreamGetPropertyCFS), nullptr,
     "AudioStreamGetPropertyCFString(AudioStreamID as integer, channel as integer, propertyID as "
     "string) as string",
     4, nullptr, 0},
    {Routine(rbAudioHardwareSetPropertyStr), nullptr,
     "AudioHardwareSetPropertyString(propertyID as string, data as string)", 4, nullptr, 0},
    {Routine(rbAudioHardwareSetPropertyMem), nullptr,
     "AudioHardwareSetPropertyMemory(propertyID as string, data as memoryblock, offset as integer, "
     "length as integer)",
     4, nullptr, 0},
    {Routine(rbAudioHardwareGetPropertyInfo), nullptr,
     "AudioHardwareGetPropertyInfo(propertyID as string, byref size as integer, byref writeable as "
     "boolean)",
     4, nullptr, 0},
    {Routine(rbAudioHardwareGetPropertyStr), nullptr,
     "AudioHardwareGetPropertyString(propertyID as string) as string", 4, nullptr, 0},
    {Routine(rbAudioHardwareGetPropertyMem), nullptr,
     "AudioHardwareGetPropertyMemory(propertyID as string) as memoryblock", 4, nullptr, 0},
    {Routine(rbAudioHardwareGetPropertyCFS), nullptr,
     "AudioHardwareGetPropertyCFString(propertyID as string) as string", 4, nullptr, 0},
    {Routine(rbAudioUnitSetPropertyStr), nullptr,
     "AudioUnitSetPropertyString(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer, data as string)",
     4, nullptr, 0},
    {Routine(rbAudioUnitSetPropertyMem), nullptr,
     "AudioUnitSetPropertyMemory(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer, data as memoryblock, offset as integer, length as "
     "integer)",
     4, nullptr, 0},
    {Routine(rbAudioUnitGetPropertyInfo), nullptr,
     "AudioUnitGetPropertyInfo(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer, byref size as integer, byref writeable as boolean)",
     4, nullptr, 0},
    {Routine(rbAudioUnitGetPropertyStr), nullptr,
     "AudioUnitGetPropertyString(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer) as string",
     4, nullptr, 0},
    {Routine(rbAudioUnitGetPropertyMem), nullptr,
     "AudioUnitGetPropertyMemory(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer) as memoryblock",
     4, nullptr, 0},
    {Routine(rbAudioUnitGetPropertyCFS), nullptr,
     "AudioUnitGetPropertyCFString(AudioUnit as integer, propertyID as integer, AudioUnitScope as "
     "integer, AudioUnitElement as integer) as string",
     4, nullptr, 0},
};
static_assert(sizeof(CoreAudioMethods) / sizeof(CoreAudioMethods[0]) == 36);

REALmethodDefinition CoreAudioSharedMethods[] = {
    {Routine(CoreAudioGetHostClockFrequency), nullptr,
     "CoreAudioGetHostClockFrequencyXNQ as double", 4, nullptr, 0},
    {Routine(GetHostClockMinimumTimeDelta), nullptr, "GetHostClockMinimumTimeDeltaXNQ as integer",
     4, nullptr, 0},
    {Routine(CoreAudioGetCurrentHostTimeUINT64), nullptr,
     "CoreAudioGetCurrentHostTimeXNQ as UInt64", 4, nullptr, 0},
    {Routine(CoreAudioConvertHostTimeToNanosUINT64), nullptr,
     "CoreAudioConvertHostTimeToNanosXNQ(inHostTime as UInt64) as UInt64", 4, nullptr, 0},
    {Routine(CoreAudioConvertNanosToHostTimeUINT64), nullptr,
     "CoreAudioConvertNanosToHostTimeXNQ(inNanos as UInt64) as UInt64", 4, nullptr, 0},
};
}  // namespace

// Fields not named here stay empty; the version is replaced at registration and the host writes
// the instance data's offset into forSystemUse.
REALclassDefinition CoreAudioClass = {
    .version = 13,
    .name = "CoreAudioXNQ",
    .dataSize = sizeof(CoreAudioData),
    .constructor = CoreAudioConstructor,
    .destructor = CoreAudioDestructor,
    .properties = CoreAudioProperties,
    .propertyCount = std::size(CoreAudioProperties),
    .methods = CoreAudioMethods,
    .methodCount = std::size(CoreAudioMethods),
    .mFlags = 4,
    .sharedMethods = CoreAudioSharedMethods,
    .sharedMethodCount = std::size(CoreAudioSharedMethods),
};
