// The audio file service and the extended audio file service: open a file by URL, learn its
// format and length, and read it decoded into a client format of the caller's choice.
#pragma once

#include "os/audio_types.h"
#include "os/cf.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueAudioFileID *AudioFileID;
typedef struct OpaqueExtAudioFile *ExtAudioFileRef;
typedef UInt32 AudioFilePropertyID;
typedef UInt32 ExtAudioFilePropertyID;
typedef UInt32 AudioFileTypeID;

enum {
  kAudioFilePropertyDataFormat = XNQ_FOURCC('d', 'f', 'm', 't'),
  kAudioFilePropertyEstimatedDuration = XNQ_FOURCC('e', 'd', 'u', 'r'),
  kAudioFilePropertyAudioDataPacketCount = XNQ_FOURCC('p', 'c', 'n', 't'),
};

enum {
  kExtAudioFileProperty_FileDataFormat = XNQ_FOURCC('f', 'f', 'm', 't'),
  kExtAudioFileProperty_ClientDataFormat = XNQ_FOURCC('c', 'f', 'm', 't'),
  kExtAudioFileProperty_AudioFile = XNQ_FOURCC('a', 'f', 'i', 'l'),
  kExtAudioFileProperty_FileLengthFrames = XNQ_FOURCC('#', 'f', 'r', 'm'),
  kExtAudioFileProperty_AudioConverter = XNQ_FOURCC('a', 'c', 'n', 'v'),
};

enum {
  kAudioFileUnspecifiedError = XNQ_FOURCC('w', 'h', 't', '?'),
  kAudioFileUnsupportedFileTypeError = XNQ_FOURCC('t', 'y', 'p', '?'),
  kAudioFileUnsupportedDataFormatError = XNQ_FOURCC('f', 'm', 't', '?'),
  kAudioFileUnsupportedPropertyError = XNQ_FOURCC('p', 't', 'y', '?'),
  kAudioFileBadPropertySizeError = XNQ_FOURCC('!', 's', 'i', 'z'),
  kAudioFilePermissionsError = XNQ_FOURCC('p', 'r', 'm', '?'),
  kAudioFileInvalidFileError = XNQ_FOURCC('d', 't', 'a', '?'),
  kAudioFileNotOpenError = -38,
  kAudioFileEndOfFileError = -39,
  kAudioFileFileNotFoundError = -43,
};

enum {
  kExtAudioFileError_InvalidProperty = -66561,
  kExtAudioFileError_InvalidPropertySize = -66562,
  kExtAudioFileError_NonPCMClientFormat = -66563,
  kExtAudioFileError_InvalidOperationOrder = -66565,
  kExtAudioFileError_InvalidDataFormat = -66566,
  kExtAudioFileError_InvalidSeek = -66568,
};

enum { kAudioFileReadPermission = 1 };

// The audio file service. A file that an extended audio file opened belongs to it and closes
// with it.
OSStatus AudioFileOpenURL(CFURLRef inFileRef, SInt8 inPermissions, AudioFileTypeID inFileTypeHint,
                          AudioFileID *outAudioFile);
OSStatus AudioFileClose(AudioFileID inAudioFile);
OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID,
                                  UInt32 *outDataSize, UInt32 *isWritable);
OSStatus AudioFileGetProperty(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID,
                              UInt32 *ioDataSize, void *outPropertyData);

// The extended audio file service: reads deliver the client format (the file's own format until
// a client format is set; a compressed file needs one before it can be read). The client format
// may be any linear PCM at any rate. When its channel count differs from the file's, a mono file
// fills every client channel; otherwise client channel c takes file channel c, and client
// channels the file lacks are silent.
// The file data format of compressed files is the codec's format ID with its usual packet size:
// 'flac' (flags 1 to 4 for 16, 20, 24 and 32 source bits, 4096 frames per packet), 'opus' (960),
// '.mp3' (1152), 'alac', 'ulaw', 'alaw', and 'vorb' for Ogg Vorbis; bits per channel 0.
// The audio converter ('acnv') is the one reads go through (null when libsndfile decodes straight
// into the caller's buffer); its properties may be set, and it goes with the file.
// Null, disposed and made-up references get paramErr.
OSStatus ExtAudioFileOpenURL(CFURLRef inURL, ExtAudioFileRef *outExtAudioFile);
OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile);
// ioNumberFrames: the frames asked for on entry, the frames delivered on return (no more than the
// buffers hold; fewer at the end of the file, 0 after it).
OSStatus ExtAudioFileRead(ExtAudioFileRef inExtAudioFile, UInt32 *ioNumberFrames,
                          AudioBufferList *ioData);
OSStatus ExtAudioFileSeek(ExtAudioFileRef inExtAudioFile, SInt64 inFrameOffset);
OSStatus ExtAudioFileTell(ExtAudioFileRef inExtAudioFile, SInt64 *outFrameOffset);
OSStatus ExtAudioFileGetPropertyInfo(ExtAudioFileRef inExtAudioFile,
                                     ExtAudioFilePropertyID inPropertyID, UInt32 *outSize,
                                     Boolean *outWritable);
OSStatus ExtAudioFileGetProperty(ExtAudioFileRef inExtAudioFile,
                                 ExtAudioFilePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                 void *outPropertyData);
OSStatus ExtAudioFileSetProperty(ExtAudioFileRef inExtAudioFile,
                                 ExtAudioFilePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                 const void *inPropertyData);

#ifdef __cplusplus
}
#endif
