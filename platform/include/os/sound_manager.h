// The Sound Manager's component interface: sound components, the mixer that combines the
// sources playing through an output device, and the calls an output device component makes.
#pragma once

#include "os/components.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  kSoundComponentType = XNQ_FOURCC('s', 'i', 'f', 't'),
  kMixerType = XNQ_FOURCC('m', 'i', 'x', 'r'),
  kSoundOutputDeviceType = XNQ_FOURCC('s', 'd', 'e', 'v'),
};

// Sample formats: big-endian signed, little-endian signed, unsigned 8-bit offset binary.
enum {
  kTwosComplement = XNQ_FOURCC('t', 'w', 'o', 's'),
  k16BitLittleEndianFormat = XNQ_FOURCC('s', 'o', 'w', 't'),
  kOffsetBinary = XNQ_FOURCC('r', 'a', 'w', ' '),
};

// Component flags of sound components: what sample sizes and channel counts they take and give.
enum {
  k8BitRawIn = 1 << 0,
  k8BitTwosIn = 1 << 1,
  k16BitIn = 1 << 2,
  kStereoIn = 1 << 3,
  k8BitRawOut = 1 << 8,
  k8BitTwosOut = 1 << 9,
  k16BitOut = 1 << 10,
  kStereoOut = 1 << 11,
};

// Selectors of the sound component calls.
enum {
  kSoundComponentInitOutputDeviceSelect = 0x0001,
  kSoundComponentSetSourceSelect = 0x0002,
  kSoundComponentGetSourceSelect = 0x0003,
  kSoundComponentGetSourceDataSelect = 0x0004,
  kSoundComponentSetOutputSelect = 0x0005,
  kSoundComponentAddSourceSelect = 0x0101,
  kSoundComponentRemoveSourceSelect = 0x0102,
  kSoundComponentGetInfoSelect = 0x0103,
  kSoundComponentSetInfoSelect = 0x0104,
  kSoundComponentStartSourceSelect = 0x0105,
  kSoundComponentStopSourceSelect = 0x0106,
  kSoundComponentPauseSourceSelect = 0x0107,
  kSoundComponentPlaySourceBufferSelect = 0x0108,
};

// Info selectors.
enum {
  siNumberChannels = XNQ_FOURCC('c', 'h', 'a', 'n'),
  siChannelAvailable = XNQ_FOURCC('c', 'h', 'a', 'v'),
  siSampleRate = XNQ_FOURCC('s', 'r', 'a', 't'),
  siSampleRateAvailable = XNQ_FOURCC('s', 'r', 'a', 'v'),
  siSampleSizeAvailable = XNQ_FOURCC('s', 's', 'a', 'v'),
  siSampleSize = XNQ_FOURCC('s', 's', 'i', 'z'),
};

// Play-source-buffer actions: the source is queued paused.
enum { kSourcePaused = 1 << 0 };

enum {
  notEnoughHardwareErr = -201,
  badChannel = -205,
  badFormat = -206,
  notEnoughBufferSpace = -207,
  siInvalidSampleRate = -225,
  siInvalidSampleSize = -226,
  siUnknownInfoType = -231,
};

// A block of samples: its format and where the samples are. sampleCount counts frames.
typedef struct SoundComponentData {
  long flags;
  OSType format;
  short numChannels;
  short sampleSize;
  UnsignedFixed sampleRate;  // 16.16
  long sampleCount;
  Byte *buffer;
  long reserved;
} SoundComponentData, *SoundComponentDataPtr;

// One sound source of a mixer, as AddSource hands it out.
typedef struct SoundSourceRecord *SoundSource;

typedef struct SoundParamBlock SoundParamBlock, *SoundParamBlockPtr;
typedef Boolean (*SoundParamProcPtr)(SoundParamBlockPtr *pb);

// What PlaySourceBuffer plays. The samples that desc names must stay valid until the block's
// completion routine has run (or its source was stopped or removed).
struct SoundParamBlock {
  long recordSize;
  SoundComponentDataPtr desc;
  UnsignedFixed rateMultiplier;  // 16.16; 0 plays at the samples' own rate
  short leftVolume;              // not applied: the mixer plays every source at full level
  short rightVolume;
  long quality;
  ComponentInstance filter;
  SoundParamProcPtr moreRtn;  // not called
  // Called once the mixer has taken the last sample of the block, on the thread that pulls
  // the mixer's output (an audio thread): it must not allocate, lock or call the mixer.
  SoundParamProcPtr completionRtn;
  long refCon;
  short result;
};

// A list answered by get-info selectors: a count and a handle of that many values, which the
// caller disposes of.
#pragma pack(push, 2)
typedef struct SoundInfoList {
  short count;
  Handle infoHandle;
} SoundInfoList, *SoundInfoListPtr;
#pragma pack(pop)

// The mixer: opens a mixer component that delivers outputDescription's format (16-bit 'twos',
// one or two channels, any rate, sampleCount frames per buffer; 0 means 1024).
OSErr OpenMixerSoundComponent(SoundComponentDataPtr outputDescription, long outputFlags,
                              ComponentInstance *mixerComponent);
// The caller makes sure no call of the mixer is in progress on another thread.
OSErr CloseMixerSoundComponent(ComponentInstance mixerComponent);

// The sound component calls, sent to any sound component instance through its dispatch.
ComponentResult SoundComponentInitOutputDevice(ComponentInstance ti, long actions);
ComponentResult SoundComponentSetSource(ComponentInstance ti, SoundSource sourceID,
                                        ComponentInstance source);
ComponentResult SoundComponentGetSource(ComponentInstance ti, SoundSource sourceID,
                                        ComponentInstance *source);
// Called by the output device on its audio thread: the next buffer of mixed output, in the
// mixer's output format. The record belongs to the mixer and is valid until the next call; the
// caller may advance its buffer and sampleCount while it consumes the samples.
ComponentResult SoundComponentGetSourceData(ComponentInstance ti,
                                            SoundComponentDataPtr *sourceData);
ComponentResult SoundComponentSetOutput(ComponentInstance ti, SoundComponentDataPtr requested,
                                        SoundComponentDataPtr *actual);
ComponentResult SoundComponentAddSource(ComponentInstance ti, SoundSource *sourceID);
ComponentResult SoundComponentRemoveSource(ComponentInstance ti, SoundSource sourceID);
ComponentResult SoundComponentGetInfo(ComponentInstance ti, SoundSource sourceID, OSType selector,
                                      void *infoPtr);
ComponentResult SoundComponentSetInfo(ComponentInstance ti, SoundSource sourceID, OSType selector,
                                      void *infoPtr);
ComponentResult SoundComponentStartSource(ComponentInstance ti, short count, SoundSource *sources);
// Stopping drops the source's queued blocks without calling their completion routines; when the
// call returns, the mixer no longer reads them.
ComponentResult SoundComponentStopSource(ComponentInstance ti, short count, SoundSource *sources);
ComponentResult SoundComponentPauseSource(ComponentInstance ti, short count, SoundSource *sources);
ComponentResult SoundComponentPlaySourceBuffer(ComponentInstance ti, SoundSource sourceID,
                                               SoundParamBlockPtr pb, long actions);

#ifdef __cplusplus
}
#endif
