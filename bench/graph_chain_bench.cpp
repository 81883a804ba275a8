// The whole offline chain of xnq render (converter, mixer, 31-band EQ, time-pitch, varispeed,
// generic output) at its defaults, on 60 s of stereo 44.1 kHz noise, as a multiple of real time;
// and the same chain with each identity unit bypassed, to show what each one costs.
// Counter x_real_time: seconds of audio rendered per second of the rendering thread's CPU time
// (goal: at least 500), so that other work on a shared machine does not count against it.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>
#include <random>
#include <vector>

#include "render_chain.h"

namespace {

constexpr double kRate = 44100;
constexpr UInt32 kChannels = 2;
constexpr size_t kFrames = static_cast<size_t>(60 * kRate);
constexpr UInt32 kSlice = xnq::tool::RenderChain::kSliceFrames;

struct Noise {
  std::vector<Float32> samples;
  size_t position = 0;  // frame
};

const std::vector<Float32> &noise() {
  static const std::vector<Float32> samples = [] {
    std::vector<Float32> made(kFrames * kChannels);
    std::mt19937 random(11);
    std::uniform_real_distribution<Float32> uniform(-0.5f, 0.5f);
    for (Float32 &s : made) s = uniform(random);
    return made;
  }();
  return samples;
}

// The caller's thread: hands out the noise in a loop, as a file player hands out its samples.
OSStatus playNoise(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                   UInt32 frames, AudioBufferList *ioData) {
  auto &position = *static_cast<size_t *>(refCon);
  const std::vector<Float32> &samples = noise();
  auto *out = static_cast<Float32 *>(ioData->mBuffers[0].mData);
  for (UInt32 done = 0; done < frames;) {
    size_t count = std::min<size_t>(frames - done, kFrames - position);
    std::memcpy(out + done * kChannels, samples.data() + position * kChannels,
                count * kChannels * sizeof(Float32));
    done += static_cast<UInt32>(count);
    position = (position + count) % kFrames;
  }
  return noErr;
}

void renderChain(benchmark::State &state, xnq::tool::ChainSettings settings) {
  noise();
  size_t position = 0;
  xnq::tool::RenderChain chain;
  if (OSStatus status = chain.build(kRate, kChannels, settings, {playNoise, &position})) {
    state.SkipWithError((chain.failedStep() + " failed: " + std::to_string(status)).c_str());
    return;
  }
  std::vector<Float32> out(kSlice * kChannels);
  auto cpuSeconds = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
  };
  double spent = 0;
  for (auto _ : state) {
    const double start = cpuSeconds();
    for (size_t done = 0; done < kFrames; done += kSlice) {
      auto frames = static_cast<UInt32>(std::min<size_t>(kSlice, kFrames - done));
      if (chain.render(frames, out.data()) != noErr) {
        state.SkipWithError("render failed");
        return;
      }
    }
    benchmark::DoNotOptimize(out.data());
    spent += cpuSeconds() - start;
  }
  state.counters["x_real_time"] =
      static_cast<double>(state.iterations()) * (static_cast<double>(kFrames) / kRate) / spent;
}

xnq::tool::ChainSettings bypassing(bool eq, bool timePitch, bool varispeed) {
  xnq::tool::ChainSettings settings;
  settings.bypassEq = eq;
  settings.bypassTimePitch = timePitch;
  settings.bypassVarispeed = varispeed;
  return settings;
}

}  // namespace

BENCHMARK_CAPTURE(renderChain, defaults, bypassing(false, false, false))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderChain, eq_bypassed, bypassing(true, false, false))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderChain, time_pitch_bypassed, bypassing(false, true, false))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderChain, varispeed_bypassed, bypassing(false, false, true))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderChain, all_three_bypassed, bypassing(true, true, true))
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
