// renderInput: hands the converter slices of the decoded samples, advances the play position
// and applies the loop points.
#include <math.h>
#include <string.h>

#include "auplayer/AUPlayerData.h"

uint32_t TruncatedLow32(double value) {
  if (!isfinite(value)) return 0;
  const double truncated = trunc(value);
  // The range of a signed 64-bit integer: -2^63 up to (not including) 2^63.
  if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(truncated)));
}

namespace {

void Silence(AudioBufferList *list) {
  for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
    if (list->mBuffers[b].mData != nullptr)
      memset(list->mBuffers[b].mData, 0, list->mBuffers[b].mDataByteSize);
  }
}

}  // namespace

// Audio render thread: no allocation, no lock, no host call. The decoded audio, the total frames
// and the formats were written by the load before the graph existed and do not change while it
// renders; the play position, the loop points and Looping are atomics shared with host threads.
OSStatus renderInput(void *inRefCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                     UInt32 inNumberFrames, AudioBufferList *ioData) {
  auto *player = static_cast<AUPlayerData *>(inRefCon);
  const AudioFileBuffer *audio = player->decodedAudio;
  const uint32_t available = audio != nullptr && audio->samples != nullptr ? audio->frames : 0;
  const uint32_t channels = available > 0 ? audio->format.mChannelsPerFrame : 0;
  const uint64_t bytesPerFrame = available > 0 ? audio->format.mBytesPerFrame : 0;

  const uint32_t start = player->playPosition.load(std::memory_order_relaxed);
  const uint64_t n = inNumberFrames;
  if (ioData != nullptr && ioData->mNumberBuffers > 0) {
    AudioBuffer &first = ioData->mBuffers[0];
    // Never more than the converter's buffer holds.
    const uint64_t room = first.mData != nullptr ? first.mDataByteSize : 0;
    // A slice that reaches past the data is silent after it.
    if (uint64_t{start} + n > available) Silence(ioData);
    if (start < available && room > 0) {
      const uint64_t frames = uint64_t{start} + n <= available ? n : available - start;
      const uint64_t bytes = frames * bytesPerFrame;
      memcpy(first.mData, audio->samples + uint64_t{start} * channels, bytes < room ? bytes : room);
    }
  }

  // The end of the data holds the position; later slices are silent.
  const uint32_t total = player->totalFrames.load(std::memory_order_relaxed);
  uint64_t next = uint64_t{start} + n;
  if (next >= total) next = total;
  auto position = static_cast<uint32_t>(next);
  // The loop is checked once per slice, after it: playback runs up to one slice past the
  // loop-out frame before it wraps.
  if (player->Looping.load(std::memory_order_relaxed) != 0) {
    const double loopIn = player->loopInFrame.load(std::memory_order_relaxed);
    const double loopOut = player->loopOutFrame.load(std::memory_order_relaxed);
    if (loopIn > position) position = TruncatedLow32(loopIn);
    if (position >= loopOut) position = TruncatedLow32(loopIn);
  }
  // A host thread that moved the position during this slice keeps its value: that is the order
  // in which its store would have come after this one.
  uint32_t expected = start;
  player->playPosition.compare_exchange_strong(expected, position, std::memory_order_relaxed);
  return noErr;
}
