// Conversion throughput of every integer sample format the player accepts, on 1 MiB source
// blocks, against memcpy of the same converted (float) bytes timed in the same run.
// Counter vs_memcpy: memcpy time / conversion time (1.0 = as fast as copying the floats).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "player/SampleConversion.h"

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;

// Converts one 1 MiB block (stereo: a left and a right block of 1 MiB each, interleaved).
void ConvertBlock(benchmark::State &state, int64_t bitSize, bool stereo) {
  const size_t bytesPerSample = static_cast<size_t>(BytesPerSample(bitSize));
  const size_t count = kBlockBytes / bytesPerSample;
  const size_t sides = stereo ? 2 : 1;
  std::vector<uint8_t> source(sides * kBlockBytes);
  std::mt19937 random(7);
  for (uint8_t &b : source) b = static_cast<uint8_t>(random());
  std::vector<float> converted(sides * count), copy(sides * count);
  const size_t floatBytes = converted.size() * sizeof(float);

  using Clock = std::chrono::steady_clock;
  double convertSeconds = 0.0, copySeconds = 0.0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (stereo) {
      ConvertStereoSamples(bitSize, source.data(), source.data() + kBlockBytes, converted.data(),
                           count);
    } else {
      ConvertSamples(bitSize, source.data(), converted.data(), count);
    }
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    std::memcpy(copy.data(), converted.data(), floatBytes);
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double convert = std::chrono::duration<double>(t1 - t0).count();
    convertSeconds += convert;
    copySeconds += std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(convert);
  }
  benchmark::DoNotOptimize(copy.data());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sides * kBlockBytes));
  state.counters["vs_memcpy"] = copySeconds / convertSeconds;
}

void BM_Convert(benchmark::State &state) { ConvertBlock(state, state.range(0), false); }
void BM_ConvertStereo(benchmark::State &state) { ConvertBlock(state, state.range(0), true); }

}  // namespace

BENCHMARK(BM_Convert)
    ->ArgName("BitSize")
    ->DenseRange(7, 8)
    ->DenseRange(15, 16)
    ->Arg(24)
    ->DenseRange(31, 32)
    ->UseManualTime();
BENCHMARK(BM_ConvertStereo)->ArgName("BitSize")->Arg(8)->Arg(15)->Arg(16)->Arg(24)->UseManualTime();

BENCHMARK_MAIN();
