// Whole-file decoding as the file player does it: ExtAudioFileOpenURL, a float32 interleaved
// client format, one ExtAudioFileRead of every frame, dispose; against libsndfile alone
// (sf_open, one sf_readf_float of every frame, sf_close) on the same file in the same run. The
// files (60 s of 16-bit stereo at 44.1 kHz, FLAC and WAV) are written at start.
// Counter vs_sndfile: libsndfile's time / ours (goal: at least 0.9).
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "os/audio_file.h"

namespace {

constexpr int kRate = 44100;
constexpr int kFrames = 60 * kRate;

// The folder of the generated files, removed when the run ends.
struct Folder {
  Folder() {
    char pattern[] = "/tmp/xnq_decode_bench_XXXXXX";
    path = mkdtemp(pattern);
  }
  ~Folder() {
    for (const char *name : {"/sixty_seconds.flac", "/sixty_seconds.wav"})
      unlink((path + name).c_str());
    rmdir(path.c_str());
  }
  std::string path;
};

// Two detuned tones under noise, so the FLAC encoder has real work. Written once per run.
std::string writeFile(const char *extension, int format) {
  static Folder folder;
  const std::string path = folder.path + "/sixty_seconds." + extension;
  if (access(path.c_str(), R_OK) == 0) return path;
  std::vector<float> samples(size_t{kFrames} * 2);
  std::mt19937 random(1);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = 0.4f * std::sin(2 * 3.14159265f * (i % 2 ? 440.0f : 443.0f) * (i / 2) / kRate) +
                 noise(random);
  SF_INFO info{0, kRate, 2, format, 0, 0};
  SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
  if (sf == nullptr) std::abort();
  sf_writef_float(sf, samples.data(), kFrames);
  sf_close(sf);
  return path;
}

UInt32 extAudioFileDecode(const std::string &path, std::vector<float> &buffer) {
  FSRef ref;
  FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr);
  CFURLRef url = CFURLCreateFromFSRef(kCFAllocatorDefault, &ref);
  ExtAudioFileRef file = nullptr;
  if (ExtAudioFileOpenURL(url, &file) != noErr) std::abort();
  CFRelease(url);
  const AudioStreamBasicDescription client = {
      kRate, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 8, 1, 8, 2, 32, 0};
  ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
  UInt32 frames = kFrames;
  AudioBufferList list{1, {{2, UInt32(buffer.size() * sizeof(float)), buffer.data()}}};
  if (ExtAudioFileRead(file, &frames, &list) != noErr) std::abort();
  ExtAudioFileDispose(file);
  return frames;
}

UInt32 sndfileDecode(const std::string &path, std::vector<float> &buffer) {
  SF_INFO info{};
  SNDFILE *sf = sf_open(path.c_str(), SFM_READ, &info);
  const sf_count_t frames = sf_readf_float(sf, buffer.data(), info.frames);
  sf_close(sf);
  return static_cast<UInt32>(frames);
}

void Decode(benchmark::State &state, const char *extension, int format) {
  const std::string path = writeFile(extension, format);
  std::vector<float> ours(size_t{kFrames} * 2), peer(size_t{kFrames} * 2);
  using Clock = std::chrono::steady_clock;
  double oursSeconds = 0, peerSeconds = 0;
  for (auto _ : state) {
    // Alternate the order, so neither side always runs on the cache the other warmed.
    const bool peerFirst = state.iterations() % 2 == 1;
    auto t0 = Clock::now();
    if (peerFirst && sndfileDecode(path, peer) != kFrames) std::abort();
    auto t1 = Clock::now();
    if (extAudioFileDecode(path, ours) != kFrames) std::abort();
    auto t2 = Clock::now();
    if (!peerFirst && sndfileDecode(path, peer) != kFrames) std::abort();
    auto t3 = Clock::now();
    const double mine = std::chrono::duration<double>(t2 - t1).count();
    oursSeconds += mine;
    peerSeconds += std::chrono::duration<double>(peerFirst ? t1 - t0 : t3 - t2).count();
    state.SetIterationTime(mine);
  }
  benchmark::DoNotOptimize(ours.data());
  state.counters["vs_sndfile"] = peerSeconds / oursSeconds;
  state.counters["sndfile_ms"] = 1000 * peerSeconds / static_cast<double>(state.iterations());
}

void BM_DecodeFlac(benchmark::State &state) {
  Decode(state, "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
}
void BM_DecodeWav(benchmark::State &state) {
  Decode(state, "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

}  // namespace

BENCHMARK(BM_DecodeFlac)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeWav)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
