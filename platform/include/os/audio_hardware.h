// The audio hardware layer: the system object, devices and streams, their properties and
// listeners, IO procedures, and host time.
#pragma once

#include "os/audio_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 AudioObjectID;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef UInt32 AudioHardwarePropertyID;
typedef UInt32 AudioDevicePropertyID;
typedef UInt32 AudioStreamPropertyID;

typedef struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

enum {
  kAudioObjectSystemObject = 1,
  kAudioObjectUnknown = 0,
  kAudioDeviceUnknown = 0,

  kAudioObjectPropertyScopeGlobal = XNQ_FOURCC('g', 'l', 'o', 'b'),
  kAudioObjectPropertyScopeInput = XNQ_FOURCC('i', 'n', 'p', 't'),
  kAudioObjectPropertyScopeOutput = XNQ_FOURCC('o', 'u', 't', 'p'),
  kAudioObjectPropertyScopePlayThrough = XNQ_FOURCC('p', 't', 'r', 'u'),
  kAudioObjectPropertyElementMaster = 0,
  kAudioObjectPropertySelectorWildcard = XNQ_FOURCC('*', '*', '*', '*'),
  kAudioObjectPropertyScopeWildcard = XNQ_FOURCC('*', '*', '*', '*'),
  kAudioObjectPropertyElementWildcard = 0xFFFFFFFFu,
  kAudioPropertyWildcardPropertyID = XNQ_FOURCC('*', '*', '*', '*'),
  kAudioPropertyWildcardSection = 0xFF,
  kAudioPropertyWildcardChannel = 0xFFFFFFFFu,

  // Object properties.
  kAudioObjectPropertyName = XNQ_FOURCC('l', 'n', 'a', 'm'),
  kAudioObjectPropertyManufacturer = XNQ_FOURCC('l', 'm', 'a', 'k'),
  kAudioObjectPropertyClass = XNQ_FOURCC('c', 'l', 'a', 's'),
  kAudioObjectPropertyOwner = XNQ_FOURCC('s', 't', 'd', 'v'),
  kAudioObjectPropertyOwnedObjects = XNQ_FOURCC('o', 'w', 'n', 'd'),

  // Object classes.
  kAudioSystemObjectClassID = XNQ_FOURCC('a', 's', 'y', 's'),
  kAudioDeviceClassID = XNQ_FOURCC('a', 'd', 'e', 'v'),
  kAudioStreamClassID = XNQ_FOURCC('a', 's', 't', 'r'),

  // Hardware (system object) properties.
  kAudioHardwarePropertyDevices = XNQ_FOURCC('d', 'e', 'v', '#'),
  kAudioHardwarePropertyDefaultInputDevice = XNQ_FOURCC('d', 'I', 'n', ' '),
  kAudioHardwarePropertyDefaultOutputDevice = XNQ_FOURCC('d', 'O', 'u', 't'),
  kAudioHardwarePropertyDefaultSystemOutputDevice = XNQ_FOURCC('s', 'O', 'u', 't'),
  kAudioHardwarePropertyDeviceForUID = XNQ_FOURCC('d', 'u', 'i', 'd'),
  kAudioHardwarePropertySleepingIsAllowed = XNQ_FOURCC('s', 'l', 'e', 'p'),
  kAudioHardwarePropertyUnloadingIsAllowed = XNQ_FOURCC('u', 'n', 'l', 'd'),
  kAudioHardwarePropertyRunLoop = XNQ_FOURCC('r', 'n', 'l', 'p'),

  // Device properties.
  kAudioDevicePropertyDeviceName = XNQ_FOURCC('n', 'a', 'm', 'e'),
  kAudioDevicePropertyDeviceNameCFString = XNQ_FOURCC('l', 'n', 'a', 'm'),
  kAudioDevicePropertyDeviceManufacturer = XNQ_FOURCC('m', 'a', 'k', 'r'),
  kAudioDevicePropertyDeviceManufacturerCFString = XNQ_FOURCC('l', 'm', 'a', 'k'),
  kAudioDevicePropertyPlugIn = XNQ_FOURCC('p', 'l', 'u', 'g'),
  kAudioDevicePropertyDeviceUID = XNQ_FOURCC('u', 'i', 'd', ' '),
  kAudioDevicePropertyTransportType = XNQ_FOURCC('t', 'r', 'a', 'n'),
  kAudioDevicePropertyDeviceIsAlive = XNQ_FOURCC('l', 'i', 'v', 'n'),
  kAudioDevicePropertyDeviceIsRunning = XNQ_FOURCC('g', 'o', 'i', 'n'),
  kAudioDevicePropertyDeviceIsRunningSomewhere = XNQ_FOURCC('g', 'o', 'n', 'e'),
  kAudioDevicePropertyDeviceCanBeDefaultDevice = XNQ_FOURCC('d', 'f', 'l', 't'),
  kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = XNQ_FOURCC('s', 'f', 'l', 't'),
  kAudioDevicePropertyJackIsConnected = XNQ_FOURCC('j', 'a', 'c', 'k'),
  kAudioDeviceProcessorOverload = XNQ_FOURCC('o', 'v', 'e', 'r'),
  kAudioDevicePropertyHogMode = XNQ_FOURCC('o', 'i', 'n', 'k'),
  kAudioDevicePropertyLatency = XNQ_FOURCC('l', 't', 'n', 'c'),
  kAudioDevicePropertyBufferSize = XNQ_FOURCC('b', 's', 'i', 'z'),
  kAudioDevicePropertyBufferSizeRange = XNQ_FOURCC('b', 's', 'z', '#'),
  kAudioDevicePropertyBufferFrameSize = XNQ_FOURCC('f', 's', 'i', 'z'),
  kAudioDevicePropertyBufferFrameSizeRange = XNQ_FOURCC('f', 's', 'z', '#'),
  kAudioDevicePropertyUsesVariableBufferFrameSizes = XNQ_FOURCC('v', 'f', 's', 'z'),
  kAudioDevicePropertyStreams = XNQ_FOURCC('s', 't', 'm', '#'),
  kAudioDevicePropertySafetyOffset = XNQ_FOURCC('s', 'a', 'f', 't'),
  kAudioDevicePropertySupportsMixing = XNQ_FOURCC('m', 'i', 'x', '?'),
  kAudioDevicePropertyStreamConfiguration = XNQ_FOURCC('s', 'l', 'a', 'y'),
  kAudioDevicePropertyPreferredChannelsForStereo = XNQ_FOURCC('d', 'c', 'h', '2'),
  kAudioDevicePropertyNominalSampleRate = XNQ_FOURCC('n', 's', 'r', 't'),
  kAudioDevicePropertyAvailableNominalSampleRates = XNQ_FOURCC('n', 's', 'r', '#'),
  kAudioDevicePropertyActualSampleRate = XNQ_FOURCC('a', 's', 'r', 't'),
  kAudioDevicePropertyStreamFormat = XNQ_FOURCC('s', 'f', 'm', 't'),
  kAudioDevicePropertyStreamFormats = XNQ_FOURCC('s', 'f', 'm', '#'),
  kAudioDevicePropertyStreamFormatSupported = XNQ_FOURCC('s', 'f', 'm', '?'),
  kAudioDevicePropertyStreamFormatMatch = XNQ_FOURCC('s', 'f', 'm', 'm'),
  kAudioDevicePropertyVolumeScalar = XNQ_FOURCC('v', 'o', 'l', 'm'),
  kAudioDevicePropertyVolumeDecibels = XNQ_FOURCC('v', 'o', 'l', 'd'),
  kAudioDevicePropertyVolumeRangeDecibels = XNQ_FOURCC('v', 'd', 'b', '#'),
  kAudioDevicePropertyVolumeScalarToDecibels = XNQ_FOURCC('v', '2', 'd', 'b'),
  kAudioDevicePropertyVolumeDecibelsToScalar = XNQ_FOURCC('d', 'b', '2', 'v'),
  kAudioDevicePropertyMute = XNQ_FOURCC('m', 'u', 't', 'e'),
  kAudioDevicePropertyPlayThru = XNQ_FOURCC('t', 'h', 'r', 'u'),
  kAudioDevicePropertyDataSource = XNQ_FOURCC('s', 's', 'r', 'c'),
  kAudioDevicePropertyDataSources = XNQ_FOURCC('s', 's', 'c', '#'),
  kAudioDevicePropertyDataSourceNameForIDCFString = XNQ_FOURCC('l', 's', 'c', 'n'),
  kAudioDevicePropertyClockSource = XNQ_FOURCC('c', 's', 'r', 'c'),
  kAudioDevicePropertyClockSources = XNQ_FOURCC('c', 's', 'c', '#'),
  kAudioDevicePropertyClockSourceNameForIDCFString = XNQ_FOURCC('l', 'c', 's', 'n'),
  kAudioDevicePropertyClockSourceNameForID = XNQ_FOURCC('c', 's', 'c', 'n'),

  // Stream properties.
  kAudioStreamPropertyOwningDevice = XNQ_FOURCC('s', 't', 'd', 'v'),
  kAudioStreamPropertyDirection = XNQ_FOURCC('s', 'd', 'i', 'r'),
  kAudioStreamPropertyTerminalType = XNQ_FOURCC('t', 'e', 'r', 'm'),
  kAudioStreamPropertyStartingChannel = XNQ_FOURCC('s', 'c', 'h', 'n'),
  kAudioStreamPropertyPhysicalFormat = XNQ_FOURCC('p', 'f', 't', ' '),
  kAudioStreamPropertyPhysicalFormats = XNQ_FOURCC('p', 'f', 't', '#'),
  kAudioStreamPropertyPhysicalFormatSupported = XNQ_FOURCC('p', 'f', 't', '?'),
  kAudioStreamPropertyPhysicalFormatMatch = XNQ_FOURCC('p', 'f', 't', 'm'),

  // Stream terminal types.
  kAudioStreamTerminalTypeUnknown = 0,
  kAudioStreamTerminalTypeLine = XNQ_FOURCC('l', 'i', 'n', 'e'),
  kAudioStreamTerminalTypeSpeaker = XNQ_FOURCC('s', 'p', 'k', 'r'),
  kAudioStreamTerminalTypeMicrophone = XNQ_FOURCC('m', 'i', 'c', 'r'),

  // Transport types.
  kAudioDeviceTransportTypeBuiltIn = XNQ_FOURCC('b', 'l', 't', 'n'),
  kAudioDeviceTransportTypeUSB = XNQ_FOURCC('u', 's', 'b', ' '),
  kAudioDeviceTransportTypeVirtual = XNQ_FOURCC('v', 'i', 'r', 't'),
  kAudioDeviceTransportTypeUnknown = 0,
};

// Status codes.
enum {
  kAudioHardwareNoError = 0,
  kAudioHardwareNotRunningError = XNQ_FOURCC('s', 't', 'o', 'p'),
  kAudioHardwareUnspecifiedError = XNQ_FOURCC('w', 'h', 'a', 't'),
  kAudioHardwareUnknownPropertyError = XNQ_FOURCC('w', 'h', 'o', '?'),
  kAudioHardwareBadPropertySizeError = XNQ_FOURCC('!', 's', 'i', 'z'),
  kAudioHardwareIllegalOperationError = XNQ_FOURCC('n', 'o', 'p', 'e'),
  kAudioHardwareBadObjectError = XNQ_FOURCC('!', 'o', 'b', 'j'),
  kAudioHardwareBadDeviceError = XNQ_FOURCC('!', 'd', 'e', 'v'),
  kAudioHardwareBadStreamError = XNQ_FOURCC('!', 's', 't', 'r'),
  kAudioHardwareUnsupportedOperationError = XNQ_FOURCC('u', 'n', 'o', 'p'),
  kAudioDeviceUnsupportedFormatError = XNQ_FOURCC('!', 'd', 'a', 't'),
  kAudioDevicePermissionsError = XNQ_FOURCC('!', 'h', 'o', 'g'),
};

// Object interface.
typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress *inAddresses,
                                                    void *inClientData);

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress *inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress *inAddress,
                                       Boolean *outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress *inAddress,
                                        UInt32 inQualifierDataSize, const void *inQualifierData,
                                        UInt32 *outDataSize);
// ioDataSize holds the buffer's size on entry and the bytes written on return. Translation
// properties read their input from outData before they write the result there.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress *inAddress,
                                    UInt32 inQualifierDataSize, const void *inQualifierData,
                                    UInt32 *ioDataSize, void *outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress *inAddress,
                                    UInt32 inQualifierDataSize, const void *inQualifierData,
                                    UInt32 inDataSize, const void *inData);
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress *inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void *inClientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress *inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void *inClientData);

// Hardware interface (properties of the system object).
OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32 *outSize,
                                      Boolean *outWritable);
OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                  void *outPropertyData);
OSStatus AudioHardwareSetProperty(AudioHardwarePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                  const void *inPropertyData);

// Device interface. Channel 0 is the master channel; isInput selects the input or output side.
typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp *inNow,
                                      const AudioBufferList *inInputData,
                                      const AudioTimeStamp *inInputTime,
                                      AudioBufferList *outOutputData,
                                      const AudioTimeStamp *inOutputTime, void *inClientData);

OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32 *outSize,
                                    Boolean *outWritable);
OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                void *outPropertyData);
OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp *inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void *inPropertyData);
OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc, void *inClientData);
OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc);
OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProcID);
OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProcID);

// Stream interface.
OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                    AudioStreamPropertyID inPropertyID, UInt32 *outSize,
                                    Boolean *outWritable);
OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                AudioStreamPropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                void *outPropertyData);
OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp *inWhen,
                                UInt32 inChannel, AudioStreamPropertyID inPropertyID,
                                UInt32 inPropertyDataSize, const void *inPropertyData);

// Host time: ticks of the monotonic clock.
UInt64 AudioGetCurrentHostTime(void);
Float64 AudioGetHostClockFrequency(void);
UInt32 AudioGetHostClockMinimumTimeDelta(void);
UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime);
UInt64 AudioConvertNanosToHostTime(UInt64 inNanos);

#ifdef __cplusplus
}
#endif
