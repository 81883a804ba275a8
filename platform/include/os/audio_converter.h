// The audio converter: linear PCM in any layout to linear PCM in any other, sample rate included.
#pragma once

#include "os/audio_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueAudioConverter *AudioConverterRef;
typedef UInt32 AudioConverterPropertyID;

typedef struct AudioStreamPacketDescription {
  SInt64 mStartOffset;
  UInt32 mVariableFramesInPacket;
  UInt32 mDataByteSize;
} AudioStreamPacketDescription;

enum {
  kAudioConverterErr_FormatNotSupported = XNQ_FOURCC('f', 'm', 't', '?'),
  kAudioConverterErr_OperationNotSupported = XNQ_FOURCC('o', 'p', '?', '?'),
  kAudioConverterErr_PropertyNotSupported = XNQ_FOURCC('p', 'r', 'o', 'p'),
  kAudioConverterErr_InvalidInputSize = XNQ_FOURCC('i', 'n', 's', 'z'),
  kAudioConverterErr_InvalidOutputSize = XNQ_FOURCC('o', 't', 's', 'z'),
  kAudioConverterErr_UnspecifiedError = XNQ_FOURCC('w', 'h', 'a', 't'),
  kAudioConverterErr_BadPropertySizeError = XNQ_FOURCC('!', 's', 'i', 'z'),
};

enum {
  kAudioConverterCurrentInputStreamDescription = XNQ_FOURCC('a', 'c', 'i', 'd'),
  kAudioConverterCurrentOutputStreamDescription = XNQ_FOURCC('a', 'c', 'o', 'd'),
  kAudioConverterSampleRateConverterQuality = XNQ_FOURCC('s', 'r', 'c', 'q'),
  kAudioConverterPrimeInfo = XNQ_FOURCC('p', 'r', 'i', 'm'),
};

enum {
  kAudioConverterQuality_Max = 0x7F,
  kAudioConverterQuality_High = 0x60,
  kAudioConverterQuality_Medium = 0x40,
  kAudioConverterQuality_Low = 0x20,
  kAudioConverterQuality_Min = 0,
};

typedef struct AudioConverterPrimeInfo {
  UInt32 leadingFrames;
  UInt32 trailingFrames;
} AudioConverterPrimeInfo;

// Called by AudioConverterFillComplexBuffer whenever it needs input. On entry
// *ioNumberDataPackets is the packets wanted; the procedure points ioData's buffers at its data
// and sets the packets it supplied (fewer is fine; 0 means the input has ended). A nonzero result
// stops the fill, which returns it.
typedef OSStatus (*AudioConverterComplexInputDataProc)(
    AudioConverterRef inAudioConverter, UInt32 *ioNumberDataPackets, AudioBufferList *ioData,
    AudioStreamPacketDescription **outDataPacketDescription, void *inUserData);

OSStatus AudioConverterNew(const AudioStreamBasicDescription *inSourceFormat,
                           const AudioStreamBasicDescription *inDestinationFormat,
                           AudioConverterRef *outAudioConverter);
OSStatus AudioConverterDispose(AudioConverterRef inAudioConverter);
// Forgets buffered input and the resampler's history, as after a seek.
OSStatus AudioConverterReset(AudioConverterRef inAudioConverter);
OSStatus AudioConverterGetPropertyInfo(AudioConverterRef inAudioConverter,
                                       AudioConverterPropertyID inPropertyID, UInt32 *outSize,
                                       Boolean *outWritable);
OSStatus AudioConverterGetProperty(AudioConverterRef inAudioConverter,
                                   AudioConverterPropertyID inPropertyID,
                                   UInt32 *ioPropertyDataSize, void *outPropertyData);
OSStatus AudioConverterSetProperty(AudioConverterRef inAudioConverter,
                                   AudioConverterPropertyID inPropertyID, UInt32 inPropertyDataSize,
                                   const void *inPropertyData);
// Fills outOutputData with up to *ioOutputDataPacketSize packets, pulling input through
// inInputDataProc; on return *ioOutputDataPacketSize holds the packets written.
OSStatus AudioConverterFillComplexBuffer(AudioConverterRef inAudioConverter,
                                         AudioConverterComplexInputDataProc inInputDataProc,
                                         void *inInputDataProcUserData,
                                         UInt32 *ioOutputDataPacketSize,
                                         AudioBufferList *outOutputData,
                                         AudioStreamPacketDescription *outPacketDescription);
// One interleaved buffer in, one out; only where the two rates are equal.
OSStatus AudioConverterConvertBuffer(AudioConverterRef inAudioConverter, UInt32 inInputDataSize,
                                     const void *inInputData, UInt32 *ioOutputDataSize,
                                     void *outOutputData);

#ifdef __cplusplus
}
#endif
