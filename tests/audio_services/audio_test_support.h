// Helpers shared by the audio file and audio converter tests: stream descriptions and buffer
// lists over vectors.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "os/audio_converter.h"
#include "os/audio_file.h"

namespace audio_test {

constexpr UInt32 kSigned = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
constexpr UInt32 kFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
constexpr UInt32 kBig = kAudioFormatFlagIsBigEndian;
constexpr UInt32 kPlanar = kAudioFormatFlagIsNonInterleaved;

// Linear PCM with bits in bytes-wide containers (bytes 0: packed).
inline AudioStreamBasicDescription pcm(Float64 rate, UInt32 channels, UInt32 bits, UInt32 flags,
                                       UInt32 bytes = 0) {
  if (bytes == 0) bytes = (bits + 7) / 8;
  const UInt32 perFrame = (flags & kPlanar) != 0 ? bytes : bytes * channels;
  return {rate, kAudioFormatLinearPCM, flags, perFrame, 1, perFrame, channels, bits, 0};
}

// Room for frames frames: one buffer, or one per channel for a planar format, back to back.
struct Buffers {
  Buffers(const AudioStreamBasicDescription &f, UInt32 frames)
      : count((f.mFormatFlags & kPlanar) != 0 ? f.mChannelsPerFrame : 1),
        bytes(size_t{count} * frames * f.mBytesPerFrame),
        list(count * sizeof(AudioBuffer) + sizeof(AudioBufferList)) {
    at(f, 0, frames);
  }
  // Points the list at frames frames starting at frame first.
  AudioBufferList *at(const AudioStreamBasicDescription &f, UInt32 first, UInt32 frames) {
    auto *l = reinterpret_cast<AudioBufferList *>(list.data());
    l->mNumberBuffers = count;
    for (UInt32 b = 0; b < count; ++b)
      l->mBuffers[b] = {count == 1 ? f.mChannelsPerFrame : 1, frames * f.mBytesPerFrame,
                        bytes.data() + (b * bytes.size() / count) + first * f.mBytesPerFrame};
    return l;
  }
  AudioBufferList *get() { return reinterpret_cast<AudioBufferList *>(list.data()); }
  UInt32 count;
  std::vector<UInt8> bytes;
  std::vector<UInt8> list;
};

}  // namespace audio_test
