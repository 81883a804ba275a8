// The audio file service: files open for reading, their data format, length and duration.
// A reference names a slot of the audio file table, so null, closed and made-up references get
// paramErr.
#include <cstring>

#include "audiofile/sound_file.h"

using xnq::audiofile::audioFiles;
using xnq::audiofile::SoundFile;

namespace {

OSStatus propertySize(AudioFilePropertyID id, UInt32 &size) {
  switch (id) {
    case kAudioFilePropertyDataFormat:
      size = sizeof(AudioStreamBasicDescription);
      return noErr;
    case kAudioFilePropertyEstimatedDuration:
      size = sizeof(Float64);
      return noErr;
    case kAudioFilePropertyAudioDataPacketCount:
      size = sizeof(UInt64);
      return noErr;
    default:
      return kAudioFileUnsupportedPropertyError;
  }
}

}  // namespace

extern "C" {

OSStatus AudioFileOpenURL(CFURLRef inFileRef, SInt8 inPermissions, AudioFileTypeID,
                          AudioFileID *outAudioFile) {
  // The type hint is not needed: libsndfile recognises formats by their content.
  if (outAudioFile == nullptr) return paramErr;
  *outAudioFile = nullptr;
  if (inPermissions != kAudioFileReadPermission) return kAudioFilePermissionsError;
  std::unique_ptr<SoundFile> file;
  const OSStatus status = SoundFile::open(inFileRef, file);
  if (status != noErr) return status;
  *outAudioFile = audioFiles().add<AudioFileID>(std::move(file));
  return *outAudioFile == nullptr ? memFullErr : noErr;
}

OSStatus AudioFileClose(AudioFileID inAudioFile) {
  const SoundFile *file = audioFiles().find(inAudioFile);
  if (file == nullptr || file->ownedByExtendedFile) return paramErr;
  audioFiles().remove(inAudioFile);
  return noErr;
}

OSStatus AudioFileGetPropertyInfo(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID,
                                  UInt32 *outDataSize, UInt32 *isWritable) {
  if (audioFiles().find(inAudioFile) == nullptr) return paramErr;
  UInt32 size = 0;
  const OSStatus status = propertySize(inPropertyID, size);
  if (status != noErr) return status;
  if (outDataSize != nullptr) *outDataSize = size;
  if (isWritable != nullptr) *isWritable = 0;
  return noErr;
}

OSStatus AudioFileGetProperty(AudioFileID inAudioFile, AudioFilePropertyID inPropertyID,
                              UInt32 *ioDataSize, void *outPropertyData) {
  const SoundFile *file = audioFiles().find(inAudioFile);
  if (file == nullptr || ioDataSize == nullptr || outPropertyData == nullptr) return paramErr;
  UInt32 size = 0;
  const OSStatus status = propertySize(inPropertyID, size);
  if (status != noErr) return status;
  if (*ioDataSize < size) return kAudioFileBadPropertySizeError;
  const Float64 duration = static_cast<Float64>(file->frames()) / file->rate();
  const UInt64 packets = file->packets();
  const void *value =
      inPropertyID == kAudioFilePropertyDataFormat ? static_cast<const void *>(&file->dataFormat())
      : inPropertyID == kAudioFilePropertyEstimatedDuration ? static_cast<const void *>(&duration)
                                                            : static_cast<const void *>(&packets);
  std::memcpy(outPropertyData, value, size);
  *ioDataSize = size;
  return noErr;
}

}  // extern "C"
