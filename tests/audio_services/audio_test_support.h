// Helpers shared by the audio file and audio converter tests: stream descriptions and buffer
// lists over vectors.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
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

// One buffer (interleaved) or one per channel, each of bytesPerBuffer bytes.
struct Buffers {
  Buffers(const AudioStreamBasicDescription &f, UInt32 frames)
      : count((f.mFormatFlags & kPlanar) != 0 ? f.mChannelsPerFrame : 1),
        bytes(size_t{count} * frames * f.mBytesPerFrame),
        list(count * sizeof(AudioBuffer) + sizeof(AudioBufferList)) {
    auto *l = get();
    l->mNumberBuffers = count;
    for (UInt32 b = 0; b < count; ++b)
      l->mBuffers[b] = {count == 1 ? f.mChannelsPerFrame : 1, frames * f.mBytesPerFrame,
                        bytes.data() + size_t{b} * frames * f.mBytesPerFrame};
  }
  AudioBufferList *get() { return reinterpret_cast<AudioBufferList *>(list.data()); }
  UInt32 count;
  std::vector<UInt8> bytes;
  std::vector<UInt8> list;
};

inline double db(double ratio) { return 20 * std::log10(ratio); }

// Residual of the best fit of a sine at frequency (cycles per sample) over x, relative to the
// sine: THD+N as a ratio.
inline double thdPlusNoise(const std::vector<double> &x, double frequency) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double s = std::sin(2 * M_PI * frequency * i), c = std::cos(2 * M_PI * frequency * i);
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double signal = 0, residual = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double fit =
        a * std::sin(2 * M_PI * frequency * i) + b * std::cos(2 * M_PI * frequency * i);
    signal += fit * fit;
    residual += (x[i] - fit) * (x[i] - fit);
  }
  return std::sqrt(residual / signal);
}

}  // namespace audio_test
