// The four ways a block enters the queue: integer or float samples, one block or a left and a
// right block. Each converts the whole block to floats on the caller's thread, so the IO thread
// only ever reads floats.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>

#include "frame/frame.h"
#include "player/AudioPlayerData.h"
#include "player/SampleConversion.h"

namespace {

constexpr char kNilBlockMessage[] = "Memoryblock is nil";

// How many of the requested bytes lie inside the block. A request that passes the end of the
// block is clamped to what remains rather than refused: the methods turn a count of 0 into the
// whole block's size even when an offset is given, and "from the offset to the end" is what
// such a call means. An offset at or past the end leaves nothing, and the add is refused. A
// host that cannot tell the size leaves the caller's explicit count as the only measure.
int64_t BytesInsideBlock(REALmemoryBlock block, int64_t offsetBytes, int64_t countBytes) {
  if (!MemoryBlockSizeKnown()) return countBytes;
  const int64_t size = MemoryBlockSize(block);
  if (offsetBytes >= size) return 0;
  return std::min(countBytes, size - offsetBytes);
}

// The checks the integer formats make after the blocks are known to hold data, in order:
// BitSize, then the data's sample rate, then its channel count.
bool IntegerFormatAccepted(const AudioPlayerData *player, int64_t bitSize) {
  if (BytesPerSample(bitSize) == 0) return false;
  const float rate = player->sampleRate.load(std::memory_order_relaxed);
  if (!(rate >= 1.0f)) return false;  // also refuses NaN
  const int32_t channels = player->numberOfChannels.load(std::memory_order_relaxed);
  return channels == 1 || channels == 2;
}

bool Queue(AudioPlayerData *player, float *samples, int64_t floatCount, bool clearBuffers) {
  PlayItem item{static_cast<int32_t>(floatCount), samples};
  return AddToPlayList(player, item, clearBuffers);
}

// Interleaves floats from two unaligned sources: left k to 2k, right k to 2k + 1.
void InterleaveFloats(const uint8_t *left, const uint8_t *right, float *destination,
                      int64_t frameCount) {
  for (int64_t k = 0; k < frameCount; ++k) {
    memcpy(destination + 2 * k, left + 4 * k, sizeof(float));
    memcpy(destination + 2 * k + 1, right + 4 * k, sizeof(float));
  }
}

}  // namespace

bool AddSomeAudio(AudioPlayerData *player, REALmemoryBlock data, int64_t offsetBytes,
                  int64_t countBytes, int64_t bitSize, bool clearBuffers) {
  if (data == nullptr) {
    RaiseException("NilObjectException", kNilBlockMessage);
    return false;
  }
  if (offsetBytes < 0 || countBytes <= 0) return false;
  const uint8_t *bytes = static_cast<const uint8_t *>(MemoryBlockData(data));
  if (bytes == nullptr) {
    RaiseException("NilObjectException", kNilBlockMessage);
    return false;
  }
  if (!IntegerFormatAccepted(player, bitSize)) return false;
  const int64_t bytesPerSample = BytesPerSample(bitSize);
  const int64_t sampleCount = BytesInsideBlock(data, offsetBytes, countBytes) / bytesPerSample;
  if (bitSize == 23) return false;  // three-byte samples without a conversion: refused last
  float *samples = NewPlayBuffer(sampleCount);
  if (samples == nullptr) return false;
  ConvertSamples(bitSize, bytes + offsetBytes, samples, static_cast<size_t>(sampleCount));
  return Queue(player, samples, sampleCount, clearBuffers);
}

bool AddSomeAudioStereo(AudioPlayerData *player, REALmemoryBlock left, REALmemoryBlock right,
                        int64_t offsetBytes, int64_t countBytes, int64_t bitSize,
                        bool clearBuffers) {
  if (left == nullptr || right == nullptr) {
    RaiseException("NilObjectException", kNilBlockMessage);
    return false;
  }
  if (offsetBytes < 0 || countBytes <= 0) return false;
  const uint8_t *leftBytes = static_cast<const uint8_t *>(MemoryBlockData(left));
  const uint8_t *rightBytes = static_cast<const uint8_t *>(MemoryBlockData(right));
  if (leftBytes == nullptr || rightBytes == nullptr) {
    RaiseException("NilObjectException", kNilBlockMessage);
    return false;
  }
  if (!IntegerFormatAccepted(player, bitSize)) return false;
  const int64_t inside = std::min(BytesInsideBlock(left, offsetBytes, countBytes),
                                  BytesInsideBlock(right, offsetBytes, countBytes));
  const int64_t frameCount = inside / BytesPerSample(bitSize);
  if (bitSize == 23) return false;
  float *samples = NewPlayBuffer(2 * frameCount);
  if (samples == nullptr) return false;
  ConvertStereoSamples(bitSize, leftBytes + offsetBytes, rightBytes + offsetBytes, samples,
                       static_cast<size_t>(frameCount));
  return Queue(player, samples, 2 * frameCount, clearBuffers);
}

bool AddSomeFloatAudio(AudioPlayerData *player, REALmemoryBlock data, int64_t offsetBytes,
                       int64_t countBytes, bool clearBuffers) {
  if (offsetBytes < 0 || data == nullptr || countBytes <= 0) return false;
  const uint8_t *bytes = static_cast<const uint8_t *>(MemoryBlockData(data));
  if (bytes == nullptr) return false;
  const int64_t sampleCount = BytesInsideBlock(data, offsetBytes, countBytes) / 4;
  float *samples = NewPlayBuffer(sampleCount);
  if (samples == nullptr) return false;
  memcpy(samples, bytes + offsetBytes, static_cast<size_t>(sampleCount) * sizeof(float));
  return Queue(player, samples, sampleCount, clearBuffers);
}

bool AddSomeFloatAudioStereo(AudioPlayerData *player, REALmemoryBlock left, REALmemoryBlock right,
                             int64_t offsetBytes, int64_t countBytes, bool clearBuffers) {
  if (offsetBytes < 0 || left == nullptr || right == nullptr || countBytes <= 0) return false;
  const uint8_t *leftBytes = static_cast<const uint8_t *>(MemoryBlockData(left));
  const uint8_t *rightBytes = static_cast<const uint8_t *>(MemoryBlockData(right));
  if (leftBytes == nullptr || rightBytes == nullptr) return false;
  const int64_t inside = std::min(BytesInsideBlock(left, offsetBytes, countBytes),
                                  BytesInsideBlock(right, offsetBytes, countBytes));
  const int64_t frameCount = inside / 4;
  float *samples = NewPlayBuffer(2 * frameCount);
  if (samples == nullptr) return false;
  InterleaveFloats(leftBytes + offsetBytes, rightBytes + offsetBytes, samples, frameCount);
  return Queue(player, samples, 2 * frameCount, clearBuffers);
}
