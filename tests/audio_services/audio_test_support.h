// Helpers shared by the audio file and audio converter tests: stream descriptions and buffer
// lists over vectors; and by every suite that writes audio files with libsndfile and reads them
// back (the file player's and xnq's too).
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
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

// A folder of this test process, removed with everything in it when the process ends, and a path
// in it.
inline const std::string &ScratchFolder() {
  static const struct Folder {
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string path = ::testing::TempDir() + "xnq_scratch_" + std::to_string(getpid());
  } folder;
  return folder.path;
}
inline std::string ScratchPath(const std::string &name) { return ScratchFolder() + "/" + name; }

// A file's bytes, and a file made of bytes.
inline std::string FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteBytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Writes frames frames of sample(frame, channel) in a libsndfile format.
inline void WriteAudio(const std::string &path, int format, int rate, int channels, int frames,
                       const std::function<double(int frame, int channel)> &sample) {
  SF_INFO info{0, rate, channels, format, 0, 0};
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  std::vector<double> samples;
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) samples.push_back(sample(f, c));
  EXPECT_EQ(sf_writef_double(file, samples.data(), frames), frames) << sf_strerror(file);
  sf_close(file);
}

// The file as libsndfile decodes it, interleaved, to its real end whatever its header claims;
// *info describes it as its header does (nothing when it does not open).
template <class T = float>
std::vector<T> ReadAudio(const std::string &path, SF_INFO *info = nullptr) {
  SF_INFO opened{};
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &opened);
  std::vector<T> samples, block(4096 * size_t(opened.channels));
  auto read = [&]() -> sf_count_t {
    if (file == nullptr) return 0;
    if constexpr (std::is_same_v<T, float>) {
      return sf_readf_float(file, block.data(), 4096);
    } else {
      return sf_readf_double(file, block.data(), 4096);
    }
  };
  while (const sf_count_t n = read())
    samples.insert(samples.end(), block.begin(), block.begin() + n * opened.channels);
  sf_close(file);
  if (info != nullptr) *info = opened;
  return samples;
}

// Makes a FLAC file's header claim a frame count (36 bits) other than the frames it holds.
inline void ClaimFlacFrames(const std::string &path, uint64_t frames) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char count[5];
  file.seekg(21).read(reinterpret_cast<char *>(count), 1);
  count[0] = static_cast<unsigned char>((count[0] & 0xF0) | (frames >> 32));
  for (int i = 1; i < 5; ++i) count[i] = static_cast<unsigned char>(frames >> (32 - 8 * i));
  file.seekp(21).write(reinterpret_cast<const char *>(count), 5);
}

}  // namespace audio_test
