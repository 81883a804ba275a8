// The load worker: opens the file, decodes all of it into memory as interleaved 32-bit floats,
// describes the formats, then builds the graph. Runs on the caller's thread (LoadFile) or on a
// worker thread (LoadFileMT); it touches only its request and the record the request names.
#include <stdlib.h>
#include <string.h>

#include "auplayer/AUPlayerData.h"
#include "frame/CAStreamBasicDescription.h"
#include "os/audio_file.h"

namespace {

// Linear PCM, 32-bit floats: interleaved and packed for the decoded samples, and one channel
// per buffer between the processing units.
void FillFormat(AudioStreamBasicDescription *format, double sampleRate, int32_t channels,
                bool interleaved) {
  const UInt32 perPacket = interleaved ? static_cast<UInt32>(channels) * 4 : 4;
  *format = AudioStreamBasicDescription();
  format->mSampleRate = sampleRate;
  format->mFormatID = kAudioFormatLinearPCM;
  format->mFormatFlags =
      interleaved ? kAudioFormatFlagsNativeFloatPacked
                  : kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
  format->mBytesPerPacket = perPacket;
  format->mFramesPerPacket = 1;
  format->mBytesPerFrame = perPacket;
  format->mChannelsPerFrame = static_cast<UInt32>(channels);
  format->mBitsPerChannel = 32;
}

// The Data... fields, which describe the client format to the host program.
void DescribeClientFormat(AUPlayerData *player, const AudioStreamBasicDescription &format) {
  const bool pcm = format.mFormatID == kAudioFormatLinearPCM;
  const UInt32 flags = format.mFormatFlags;
  const bool separate = pcm && (flags & kAudioFormatFlagIsNonInterleaved) != 0;
  player->DataIsInterleaved = !separate;
  player->DataIsFloat = pcm && (flags & kAudioFormatFlagIsFloat) != 0;
  player->DataIsNativeEndian = (flags & kAudioFormatFlagIsBigEndian) == 0;
  player->DataIsSignedInteger = pcm && (flags & kAudioFormatFlagIsSignedInteger) != 0;
  player->DataIsPCM = pcm;
  const UInt32 interleavedChannels = separate ? 1 : format.mChannelsPerFrame;
  player->DataNumberInterleavedChannels = interleavedChannels;
  player->DataNumberChannelStreams = separate ? format.mChannelsPerFrame : 1;
  player->DataNumberChannels = format.mChannelsPerFrame;
  player->DataSampleWordSize = format.mBytesPerFrame == 0 || interleavedChannels == 0
                                   ? 0
                                   : format.mBytesPerFrame / interleavedChannels;
}

// A host string of a format's description (nil when there is no text).
REALstring FormatText(const AudioStreamBasicDescription &format) {
  char text[CAStreamBasicDescription::kDescriptionSize] = {};
  CAStreamBasicDescription(format).AsString(text);
  return REALBuildUnicodeString(text, static_cast<int64_t>(strlen(text)), kTextEncodingUTF8);
}

void StoreText(REALstring *field, REALstring text) {
  if (*field != nullptr) REALUnlockString(*field);
  *field = text;
}

// The file's length in frames at the client's rate. The client keeps the file's rate, so the
// scale is 1; a length that is not a finite count (a file without a rate) gives 0.
uint32_t ClientFrames(SInt64 fileFrames, double clientRate, double fileRate) {
  const double frames = static_cast<double>(fileFrames) * (clientRate / fileRate);
  if (!(frames >= 0.0) || frames >= 18446744073709551616.0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(frames));
}

// Decodes the file into the record; false when the worker ends here. The file stays open for
// the caller.
bool DecodeFile(LoadFileRequest *request, ExtAudioFileRef file) {
  AUPlayerData *player = request->player;
  AudioStreamBasicDescription fileFormat = {};
  UInt32 size = sizeof fileFormat;
  OSStatus status =
      ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileDataFormat, &size, &fileFormat);
  SetLasterror(player, status);
  if (status != noErr) return false;

  AudioFileBuffer *audio = player->decodedAudio;
  if (audio == nullptr || player->clientFormat == nullptr || player->outputFormat == nullptr) {
    // The constructor could not allocate the records a load fills.
    request->outOfMemory = 1;
    return false;
  }
  AudioStreamBasicDescription &client = *player->clientFormat;
  FillFormat(&client, fileFormat.mSampleRate, request->InputChannels, true);
  FillFormat(player->outputFormat, fileFormat.mSampleRate, request->OutputChannels, false);
  player->playPosition.store(0, std::memory_order_relaxed);
  player->totalFrames = 0;

  SInt64 fileFrames = 0;
  size = sizeof fileFrames;
  status =
      ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileLengthFrames, &size, &fileFrames);
  SetLasterror(player, status);
  if (status != noErr) return false;
  const uint32_t frames = ClientFrames(fileFrames, client.mSampleRate, fileFormat.mSampleRate);

  status =
      ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
  SetLasterror(player, status);
  if (status != noErr) return false;

  // The byte size is a 32-bit count: a decoded size beyond it cannot be held and counts as an
  // allocation failure. An empty file gets a buffer of its own all the same, holding no bytes.
  const uint64_t samples = uint64_t{client.mChannelsPerFrame} * frames;
  if (samples * 4 > UINT32_MAX || samples > SIZE_MAX / 4) {
    request->outOfMemory = 1;
    return false;
  }
  audio->frames = frames;
  audio->format = client;
  // Zero-filled before the decoder writes it: another thread may read the data while a threaded
  // load runs, and frames the decoder does not deliver stay silent.
  audio->samples = static_cast<float *>(calloc(samples > 0 ? samples : 1, 4));
  if (audio->samples == nullptr) {
    request->outOfMemory = 1;
    return false;
  }
  audio->byteSize = static_cast<uint32_t>(samples * 4);

  DescribeClientFormat(player, client);
  StoreText(&player->ClientFormatString, FormatText(client));
  StoreText(&player->OutputFormatString, FormatText(*player->outputFormat));

  AudioBufferList list;
  list.mNumberBuffers = 1;
  list.mBuffers[0].mNumberChannels = client.mChannelsPerFrame;
  list.mBuffers[0].mDataByteSize = audio->byteSize;
  list.mBuffers[0].mData = audio->samples;
  UInt32 delivered = frames;
  // The read's status is not kept: Lasterror stays at that of setting the client format.
  if (ExtAudioFileRead(file, &delivered, &list) != noErr) {
    free(audio->samples);
    audio->samples = nullptr;
    return false;
  }
  // The decoder never delivers more than the buffer holds.
  if (delivered > frames) delivered = frames;
  audio->frames = delivered;
  player->totalFrames = delivered;
  player->loopInFrame.store(-1.0, std::memory_order_relaxed);
  player->loopOutFrame.store(-1.0, std::memory_order_relaxed);
  player->Looping.store(0, std::memory_order_relaxed);

  AudioFileID audioFile = nullptr;
  size = sizeof audioFile;
  status = ExtAudioFileGetProperty(file, kExtAudioFileProperty_AudioFile, &size, &audioFile);
  SetLasterror(player, status);
  if (status != noErr) return false;
  Float64 duration = 0;
  size = sizeof duration;
  status = AudioFileGetProperty(audioFile, kAudioFilePropertyEstimatedDuration, &size, &duration);
  SetLasterror(player, status);
  if (status != noErr) return false;
  player->trackLength = duration;
  player->sampleRate = fileFormat.mSampleRate;
  return true;
}

}  // namespace

void LoadFileInternal(void *argument) {
  auto *request = static_cast<LoadFileRequest *>(argument);
  AUPlayerData *player = request->player;
  request->success = 0;
  ExtAudioFileRef file = nullptr;
  OSStatus status = ExtAudioFileOpenURL(request->fileURL, &file);
  SetLasterror(player, status);
  if (status != noErr || file == nullptr) return;
  // Closing keeps Lasterror: it holds the status that ended the decoding, or the last one read.
  const bool decoded = DecodeFile(request, file);
  ExtAudioFileDispose(file);
  if (!decoded) return;
  request->success = BuildGraph(player) ? 1 : 0;
}
