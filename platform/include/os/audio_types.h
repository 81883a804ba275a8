// Records shared by the audio interfaces: stream formats, buffers and time stamps.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
} AudioStreamBasicDescription;

enum {
  kAudioFormatLinearPCM = XNQ_FOURCC('l', 'p', 'c', 'm'),
  kAudioFormatLossless = XNQ_FOURCC('a', 'l', 'a', 'c'),
  kAudioFormatULaw = XNQ_FOURCC('u', 'l', 'a', 'w'),
  kAudioFormatALaw = XNQ_FOURCC('a', 'l', 'a', 'w'),
  kAudioFormatIMA4 = XNQ_FOURCC('i', 'm', 'a', '4'),
  kAudioFormatGSM610 = 0x6D730031,
  kAudioFormatMPEGLayer1 = XNQ_FOURCC('.', 'm', 'p', '1'),
  kAudioFormatMPEGLayer2 = XNQ_FOURCC('.', 'm', 'p', '2'),
  kAudioFormatMPEGLayer3 = XNQ_FOURCC('.', 'm', 'p', '3'),
  kAudioFormatFLAC = XNQ_FOURCC('f', 'l', 'a', 'c'),
  kAudioFormatOpus = XNQ_FOURCC('o', 'p', 'u', 's'),
};

enum {
  kAudioFormatFlagIsFloat = 0x1,
  kAudioFormatFlagIsBigEndian = 0x2,
  kAudioFormatFlagIsSignedInteger = 0x4,
  kAudioFormatFlagIsPacked = 0x8,
  kAudioFormatFlagIsAlignedHigh = 0x10,
  kAudioFormatFlagIsNonInterleaved = 0x20,
  kAudioFormatFlagIsNonMixable = 0x40,
  kLinearPCMFormatFlagsSampleFractionShift = 7,
  kLinearPCMFormatFlagsSampleFractionMask = 0x3F << 7,
  kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
};

typedef struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void *mData;
} AudioBuffer;

typedef struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];
} AudioBufferList;

typedef struct SMPTETime {
  SInt16 mSubframes;
  SInt16 mSubframeDivisor;
  UInt32 mCounter;
  UInt32 mType;
  UInt32 mFlags;
  SInt16 mHours;
  SInt16 mMinutes;
  SInt16 mSeconds;
  SInt16 mFrames;
} SMPTETime;

typedef struct AudioTimeStamp {
  Float64 mSampleTime;
  UInt64 mHostTime;
  Float64 mRateScalar;
  UInt64 mWordClockTime;
  SMPTETime mSMPTETime;
  UInt32 mFlags;
  UInt32 mReserved;
} AudioTimeStamp;

enum {
  kAudioTimeStampSampleTimeValid = 1,
  kAudioTimeStampHostTimeValid = 2,
  kAudioTimeStampRateScalarValid = 4,
};

typedef struct AudioValueRange {
  Float64 mMinimum;
  Float64 mMaximum;
} AudioValueRange;

typedef struct AudioValueTranslation {
  void *mInputData;
  UInt32 mInputDataSize;
  void *mOutputData;
  UInt32 mOutputDataSize;
} AudioValueTranslation;

#ifdef __cplusplus
}
#endif
