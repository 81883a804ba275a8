// The cost of one 512-frame cycle of the player's IO procedure into a two-channel device
// buffer, mono and stereo data, at steps 1.0, 0.5 and 44100/48000.
// Counter of_realtime: the cycle's CPU time as a fraction of the 512 frames' duration at the
// device's rate (0.001 = 0.1 %).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "player/AudioPlayerData.h"

namespace {

constexpr UInt32 kFrames = 512;
constexpr int32_t kItemFloats = 1 << 20;

struct Rates {
  float data;
  float device;
};
constexpr Rates kRates[] = {{44100.0f, 44100.0f}, {22050.0f, 44100.0f}, {44100.0f, 48000.0f}};

void BM_IOCycle(benchmark::State &state) {
  const int channels = static_cast<int>(state.range(0));
  const Rates rates = kRates[state.range(1)];

  alignas(16) static unsigned char storage[sizeof(AudioPlayerData)];
  AudioPlayerData *player = reinterpret_cast<AudioPlayerData *>(storage);
  InitPlayer(player);
  player->numberOfChannels.store(channels);
  player->sampleRate.store(rates.data);
  player->hardwareSampleRate.store(rates.device);
  PlayItem item{kItemFloats, static_cast<float *>(calloc(kItemFloats, sizeof(float)))};
  for (int32_t k = 0; k < kItemFloats; ++k) item.samples[k] = static_cast<float>(k % 1000) / 1000;
  AddToPlayList(player, item, false);

  std::vector<float> out(2 * kFrames);
  AudioBufferList list;
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{2, static_cast<UInt32>(out.size() * sizeof(float)), out.data()};
  // The item stays current: the read position goes back to its start well before its end.
  const double rewindAt = kItemFloats / channels - 4.0 * kFrames;
  for (auto _ : state) {
    MyPlayIOProc(0, nullptr, nullptr, nullptr, &list, nullptr, player);
    if (player->outputPositionAbsolute.load(std::memory_order_relaxed) > rewindAt) {
      player->outputPositionAbsolute.store(0.0, std::memory_order_relaxed);
    }
    benchmark::DoNotOptimize(out.data());
  }
  const double cycleSeconds = kFrames / static_cast<double>(rates.device);
  state.counters["of_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * cycleSeconds,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  EmptyPlayer(player);
}

}  // namespace

// Arguments: data channels (1 mono, 2 stereo), rates (0: step 1.0, 1: step 0.5,
// 2: 44100 data on a 48000 device).
BENCHMARK(BM_IOCycle)->ArgNames({"channels", "rates"})->ArgsProduct({{1, 2}, {0, 1, 2}});

BENCHMARK_MAIN();
