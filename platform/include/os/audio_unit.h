// Audio units: components with properties in scopes and elements, parameters, and rendering.
#pragma once

#include "os/audio_types.h"
#include "os/components.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ComponentInstance AudioUnit;
typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitParameterID;
typedef Float32 AudioUnitParameterValue;
typedef UInt32 AudioUnitRenderActionFlags;

enum {
  kAudioUnitType_Output = XNQ_FOURCC('a', 'u', 'o', 'u'),
  kAudioUnitType_FormatConverter = XNQ_FOURCC('a', 'u', 'f', 'c'),
  kAudioUnitType_Effect = XNQ_FOURCC('a', 'u', 'f', 'x'),
  kAudioUnitType_Mixer = XNQ_FOURCC('a', 'u', 'm', 'x'),
  kAudioUnitManufacturer_Platform = XNQ_FOURCC('a', 'p', 'p', 'l'),
  kAudioUnitSubType_GenericOutput = XNQ_FOURCC('g', 'e', 'n', 'r'),
  kAudioUnitSubType_HALOutput = XNQ_FOURCC('a', 'h', 'a', 'l'),
  kAudioUnitSubType_DefaultOutput = XNQ_FOURCC('d', 'e', 'f', ' '),
  kAudioUnitSubType_SystemOutput = XNQ_FOURCC('s', 'y', 's', ' '),
  kAudioUnitSubType_AUConverter = XNQ_FOURCC('c', 'o', 'n', 'v'),
  kAudioUnitSubType_NewTimePitch = XNQ_FOURCC('n', 'u', 't', 'p'),
  kAudioUnitSubType_TimePitch = XNQ_FOURCC('t', 'm', 'p', 't'),
  kAudioUnitSubType_Varispeed = XNQ_FOURCC('v', 'a', 'r', 'i'),
  kAudioUnitSubType_GraphicEQ = XNQ_FOURCC('g', 'r', 'e', 'q'),
  kAudioUnitSubType_MultiChannelMixer = XNQ_FOURCC('m', 'c', 'm', 'x'),
};

enum { kAudioUnitScope_Global = 0, kAudioUnitScope_Input = 1, kAudioUnitScope_Output = 2 };

enum {
  kAudioUnitProperty_ClassInfo = 0,
  kAudioUnitProperty_MakeConnection = 1,
  kAudioUnitProperty_SampleRate = 2,
  kAudioUnitProperty_ParameterList = 3,
  kAudioUnitProperty_ParameterInfo = 4,
  kAudioUnitProperty_StreamFormat = 8,
  kAudioUnitProperty_ElementCount = 11,
  kAudioUnitProperty_Latency = 12,
  kAudioUnitProperty_MaximumFramesPerSlice = 14,
  kAudioUnitProperty_TailTime = 20,
  kAudioUnitProperty_BypassEffect = 21,
  kAudioUnitProperty_LastRenderError = 22,
  kAudioUnitProperty_SetRenderCallback = 23,
  kAudioUnitProperty_RenderQuality = 26,
  kAudioUnitProperty_OfflineRender = 37,
  kAudioUnitProperty_MeteringMode = 3007,
  kAudioOutputUnitProperty_CurrentDevice = 2000,
  kAudioOutputUnitProperty_IsRunning = 2001,
  kAudioOutputUnitProperty_ChannelMap = 2002,
  kAudioOutputUnitProperty_EnableIO = 2003,
  kAudioOutputUnitProperty_HasIO = 2006,
};

enum {
  kAudioUnitErr_InvalidProperty = -10879,
  kAudioUnitErr_InvalidParameter = -10878,
  kAudioUnitErr_InvalidElement = -10877,
  kAudioUnitErr_NoConnection = -10876,
  kAudioUnitErr_FailedInitialization = -10875,
  kAudioUnitErr_TooManyFramesToProcess = -10874,
  kAudioUnitErr_FormatNotSupported = -10868,
  kAudioUnitErr_Uninitialized = -10867,
  kAudioUnitErr_InvalidScope = -10866,
  kAudioUnitErr_PropertyNotWritable = -10865,
  kAudioUnitErr_CannotDoInCurrentContext = -10863,
  kAudioUnitErr_InvalidPropertyValue = -10851,
  kAudioUnitErr_Initialized = -10849,
};

// Parameters of the platform's units.
enum {
  kMultiChannelMixerParam_Volume = 0,
  kMultiChannelMixerParam_Enable = 1,
  kMultiChannelMixerParam_Pan = 2,
  kMultiChannelMixerParam_PreAveragePower = 1000,
  kMultiChannelMixerParam_PrePeakHoldLevel = 2000,
  kMultiChannelMixerParam_PostAveragePower = 3000,
  kMultiChannelMixerParam_PostPeakHoldLevel = 4000,
};
enum {
  kNewTimePitchParam_Rate = 0,
  kNewTimePitchParam_Pitch = 1,
  kNewTimePitchParam_Overlap = 4,
  kNewTimePitchParam_EnablePeakLocking = 6,
};
enum { kTimePitchParam_Rate = 0, kTimePitchParam_Pitch = 1, kTimePitchParam_EffectBlend = 2 };
enum { kVarispeedParam_PlaybackRate = 0, kVarispeedParam_PlaybackCents = 1 };
enum { kGraphicEQParam_NumberOfBands = 10000 };

enum {
  kAudioUnitRenderAction_PreRender = 0x4,
  kAudioUnitRenderAction_PostRender = 0x8,
  kAudioUnitRenderAction_OutputIsSilence = 0x10,
};

typedef OSStatus (*AURenderCallback)(void *inRefCon, AudioUnitRenderActionFlags *ioActionFlags,
                                     const AudioTimeStamp *inTimeStamp, UInt32 inBusNumber,
                                     UInt32 inNumberFrames, AudioBufferList *ioData);

typedef struct AURenderCallbackStruct {
  AURenderCallback inputProc;
  void *inputProcRefCon;
} AURenderCallbackStruct;

typedef struct AudioUnitConnection {
  AudioUnit sourceAudioUnit;
  UInt32 sourceOutputNumber;
  UInt32 destInputNumber;
} AudioUnitConnection;

enum {
  kAudioUnitParameterUnit_Generic = 0,
  kAudioUnitParameterUnit_Indexed = 1,
  kAudioUnitParameterUnit_LinearGain = 5,
  kAudioUnitParameterUnit_Rate = 10,
  kAudioUnitParameterUnit_Cents = 9,
  kAudioUnitParameterUnit_Decibels = 13,
  kAudioUnitParameterUnit_Boolean = 2,
  kAudioUnitParameterUnit_Pan = 28,
};

enum {
  kAudioUnitParameterFlag_IsReadable = 0x40000000,
  kAudioUnitParameterFlag_IsWritable = 0x80000000,
};

typedef struct AudioUnitParameterInfo {
  char name[52];
  const void *unitName;
  UInt32 clumpID;
  const void *cfNameString;
  UInt32 unit;
  AudioUnitParameterValue minValue;
  AudioUnitParameterValue maxValue;
  AudioUnitParameterValue defaultValue;
  UInt32 flags;
} AudioUnitParameterInfo;

OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioUnitUninitialize(AudioUnit inUnit);
OSStatus AudioUnitReset(AudioUnit inUnit, AudioUnitScope inScope, AudioUnitElement inElement);
OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID,
                                  AudioUnitScope inScope, AudioUnitElement inElement,
                                  UInt32 *outDataSize, Boolean *outWritable);
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void *outData, UInt32 *ioDataSize);
OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void *inData, UInt32 inDataSize);
OSStatus AudioUnitGetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue *outValue);
OSStatus AudioUnitSetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue inValue,
                               UInt32 inBufferOffsetInFrames);
OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags *ioActionFlags,
                         const AudioTimeStamp *inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList *ioData);
OSStatus AudioUnitAddRenderNotify(AudioUnit inUnit, AURenderCallback inProc, void *inProcRefCon);
OSStatus AudioUnitRemoveRenderNotify(AudioUnit inUnit, AURenderCallback inProc, void *inProcRefCon);
OSStatus AudioOutputUnitStart(AudioUnit ci);
OSStatus AudioOutputUnitStop(AudioUnit ci);

#ifdef __cplusplus
}
#endif
