// The load worker: opens the file, decodes all of it into memory as interleaved 32-bit floats,
// describes the formats, then builds the graph. Runs on the caller's thread (LoadFile) or on a
// worker thread (LoadFileMT); it touches only its request and the record the request names.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>

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

// A host string of a format's description (nil when there is no text).
REALstring FormatText(const AudioStreamBasicDescription &format) {
  char text[CAStreamBasicDescription::kDescriptionSize] = {};
  CAStreamBasicDescription(format).AsString(text);
  return REALBuildUnicodeString(text, static_cast<int64_t>(strlen(text)), kTextEncodingUTF8);
}

// The file's length in frames at the client's rate, as its header claims it. The client keeps
// the file's rate, so the scale is 1; a length that is not a finite count (a file without a rate)
// gives 0, one beyond 64 bits the largest count.
uint64_t ClientFrames(SInt64 fileFrames, double clientRate, double fileRate) {
  const double frames = static_cast<double>(fileFrames) * (clientRate / fileRate);
  if (!(frames >= 0.0)) return 0;
  return frames >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(frames);
}

// The first allocation holds the frames the header claims, but at most this many bytes; the
// buffer then doubles as the decoder delivers more. A header that claims far more than its file
// holds so costs no more memory than the file fills, and cannot fail a small file's load.
constexpr uint64_t kFirstAllocationBytes = uint64_t{32} << 20;

// Whether the file really holds a claimed frame count that is too large to load: a second
// reader of the same file delivers the claim's last frame. Reading up to it instead would first
// decode gigabytes; seeking the load's own reader is not an option, as some decoders cannot go
// back after a seek past their real end. A claim that cannot be checked counts as a lie, and the
// load follows what decodes. Nothing here reaches Lasterror.
bool ClaimHolds(const LoadFileRequest *request, const AudioStreamBasicDescription &client,
                uint64_t claim) {
  ExtAudioFileRef probe = nullptr;
  if (ExtAudioFileOpenURL(request->fileURL, &probe) != noErr || probe == nullptr) return false;
  void *frame = calloc(client.mChannelsPerFrame, 4);
  AudioBufferList list;
  list.mNumberBuffers = 1;
  list.mBuffers[0] = {client.mChannelsPerFrame, client.mChannelsPerFrame * 4, frame};
  UInt32 frames = 1;
  const bool holds = frame != nullptr &&
                     ExtAudioFileSetProperty(probe, kExtAudioFileProperty_ClientDataFormat,
                                             sizeof client, &client) == noErr &&
                     claim <= static_cast<uint64_t>(INT64_MAX) &&
                     ExtAudioFileSeek(probe, static_cast<SInt64>(claim - 1)) == noErr &&
                     ExtAudioFileRead(probe, &frames, &list) == noErr && frames == 1;
  free(frame);
  ExtAudioFileDispose(probe);
  return holds;
}

// Publishes the decoded frames to host threads (Data during LoadFileMT). The decoder writes only
// past the frames published, so a reader under the lock never sees a sample being written.
void Publish(AudioFileBuffer *audio, float *samples, uint64_t frames, uint64_t bytesPerFrame) {
  std::lock_guard<std::mutex> lock(gLoadLock);
  audio->samples = samples;
  audio->frames = static_cast<uint32_t>(frames);
  audio->byteSize = static_cast<uint32_t>(frames * bytesPerFrame);
}

// The buffer with room for capacity frames, moved under the lock: a host thread may be copying
// from the old one. Null (the old one kept) when it cannot be had.
float *Resize(AudioFileBuffer *audio, uint64_t capacity, uint64_t bytesPerFrame) {
  std::lock_guard<std::mutex> lock(gLoadLock);
  void *moved = realloc(audio->samples, static_cast<size_t>(capacity * bytesPerFrame));
  if (moved != nullptr) audio->samples = static_cast<float *>(moved);
  return static_cast<float *>(moved);
}

void Discard(AudioFileBuffer *audio) {
  float *samples = nullptr;
  {
    std::lock_guard<std::mutex> lock(gLoadLock);
    std::swap(samples, audio->samples);
    audio->frames = 0;
    audio->byteSize = 0;
  }
  free(samples);
}

// The decoded frames and bytes are 32-bit counts: a file that decodes to more frames than this
// (of a client frame's bytes) is too large to load, as is one whose buffer cannot be allocated.
uint64_t MostFrames(uint64_t bytesPerFrame) { return UINT32_MAX / bytesPerFrame; }

// Allocates the buffer for the frames the header claims, within the first allocation's bound,
// and publishes it empty. The capacity in frames, or 0 when the file is too large to load.
uint64_t AllocateForClaim(const LoadFileRequest *request, const AudioStreamBasicDescription &client,
                          uint64_t claim, uint64_t bytesPerFrame) {
  const uint64_t most = MostFrames(bytesPerFrame);
  if (most == 0 || (claim > most && ClaimHolds(request, client, claim))) return 0;
  // One frame more than claimed: the read that meets the end then finds room, and an honest
  // header costs no second allocation.
  const uint64_t capacity =
      std::min({claim < most ? claim + 1 : most + 1,
                std::max<uint64_t>(1, kFirstAllocationBytes / bytesPerFrame)});
  auto *samples = static_cast<float *>(calloc(static_cast<size_t>(capacity), bytesPerFrame));
  if (samples == nullptr) return 0;
  Publish(request->player->decodedAudio, samples, 0, bytesPerFrame);
  return capacity;
}

// Decodes the whole file into the buffer, reading until the decoder delivers nothing more: what
// decodes is what loads, whatever the header claimed. The buffer doubles when it fills; it ends
// holding the frames delivered and no more. The reads' status does not reach Lasterror.
enum class Decoded { kAll, kTooLarge, kFailed };
Decoded ReadAll(const LoadFileRequest *request, ExtAudioFileRef file, UInt32 channels,
                uint64_t capacity, uint64_t bytesPerFrame) {
  AudioFileBuffer *audio = request->player->decodedAudio;
  const uint64_t most = MostFrames(bytesPerFrame);
  float *samples = audio->samples;
  uint64_t delivered = 0;
  for (;;) {
    if (delivered == capacity) {
      capacity = std::min(capacity * 2, most + 1);
      if (delivered > most || capacity * bytesPerFrame > SIZE_MAX) return Decoded::kTooLarge;
      samples = Resize(audio, capacity, bytesPerFrame);
      if (samples == nullptr) return Decoded::kTooLarge;
    }
    // A read's byte count is 32 bits too.
    const auto asked = static_cast<UInt32>(std::min(capacity - delivered, most));
    AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {channels, static_cast<UInt32>(asked * bytesPerFrame),
                        samples + delivered * channels};
    UInt32 frames = asked;
    if (ExtAudioFileRead(file, &frames, &list) != noErr) return Decoded::kFailed;
    if (frames == 0) break;
    delivered += std::min(frames, asked);
    Publish(audio, samples, delivered, bytesPerFrame);
  }
  if (delivered + 1 < capacity) Resize(audio, std::max<uint64_t>(delivered, 1), bytesPerFrame);
  return Decoded::kAll;
}

// Decodes the file into the record; false when the worker ends here. The file stays open for
// the caller.
bool DecodeFile(LoadFileRequest *request, ExtAudioFileRef file) {
  AUPlayerData *player = request->player;
  AudioStreamBasicDescription fileFormat = {};
  UInt32 size = sizeof fileFormat;
  OSStatus status =
      ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileDataFormat, &size, &fileFormat);
  Report(request, status);
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
  Report(request, status);
  if (status != noErr) return false;
  const uint64_t claim = ClientFrames(fileFrames, client.mSampleRate, fileFormat.mSampleRate);

  status =
      ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
  Report(request, status);
  if (status != noErr) return false;

  // A client without channels (which the file refuses) still gets a buffer of its own.
  const uint64_t bytesPerFrame = uint64_t{std::max<UInt32>(client.mChannelsPerFrame, 1)} * 4;
  const uint64_t capacity = AllocateForClaim(request, client, claim, bytesPerFrame);
  if (capacity == 0) {
    request->outOfMemory = 1;
    return false;
  }
  audio->format = client;
  // The Data... fields and the texts are the host's to read at any time, so the calling host
  // thread stores them once this worker has returned (DescribeLoad).
  request->described = 1;
  request->clientFormat = client;
  request->clientFormatText = FormatText(client);
  request->outputFormatText = FormatText(*player->outputFormat);

  const Decoded decoded = ReadAll(request, file, client.mChannelsPerFrame, capacity, bytesPerFrame);
  if (decoded != Decoded::kAll) {
    Discard(audio);
    request->outOfMemory = decoded == Decoded::kTooLarge;
    return false;
  }
  player->totalFrames = audio->frames;
  player->loopInFrame.store(-1.0, std::memory_order_relaxed);
  player->loopOutFrame.store(-1.0, std::memory_order_relaxed);
  player->Looping.store(0, std::memory_order_relaxed);

  AudioFileID audioFile = nullptr;
  size = sizeof audioFile;
  status = ExtAudioFileGetProperty(file, kExtAudioFileProperty_AudioFile, &size, &audioFile);
  Report(request, status);
  if (status != noErr) return false;
  Float64 duration = 0;
  size = sizeof duration;
  status = AudioFileGetProperty(audioFile, kAudioFilePropertyEstimatedDuration, &size, &duration);
  Report(request, status);
  if (status != noErr) return false;
  player->trackLength = duration;
  player->sampleRate = fileFormat.mSampleRate;
  return true;
}

}  // namespace

std::mutex gLoadLock;

void Report(LoadFileRequest *request, OSStatus status) {
  request->status = status;
  SetLasterror(request->player, status);
}

void LoadFileInternal(void *argument) {
  auto *request = static_cast<LoadFileRequest *>(argument);
  request->success = 0;
  ExtAudioFileRef file = nullptr;
  OSStatus status = ExtAudioFileOpenURL(request->fileURL, &file);
  Report(request, status);
  if (status != noErr || file == nullptr) return;
  // Closing keeps Lasterror: it holds the status that ended the decoding, or the last one read.
  const bool decoded = DecodeFile(request, file);
  ExtAudioFileDispose(file);
  if (!decoded) return;
  request->success = BuildGraph(request) ? 1 : 0;
}
