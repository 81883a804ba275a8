// Ten minutes of 16-bit stereo streamed through CoreAudioPlayerXNQ onto a free-running null
// device, the host program keeping the queue fed one second per block, as a multiple of real
// time. Counter x_realtime: seconds of audio played per second of wall-clock time;
// x_realtime_cpu: per second of CPU time of the whole process (all threads).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace {

using xnq::host::Runtime;
using xnq::host::Value;

constexpr int kRate = 44100;

// CPU time of the whole process (host thread and device IO thread), in seconds.
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
constexpr int kSeconds = 600;

bool LoadPlugin() {
  static const bool loaded = Runtime::get().load(XNQ_PLUGIN_PATH);
  return loaded;
}

// One second of a signed 16-bit tone for one side.
Value ToneBlock(double frequency) {
  std::vector<int16_t> samples(kRate);
  for (int k = 0; k < kRate; ++k) {
    samples[k] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * frequency * k / kRate));
  }
  return Runtime::get().newMemoryBlock(samples.data(), kRate * 2);
}

void BM_StreamTenMinutesStereo16(benchmark::State &state) {
  if (!LoadPlugin()) {
    state.SkipWithError("cannot load the plugin");
    return;
  }
  Runtime &host = Runtime::get();
  xnq_hal_reset();
  XnqDeviceConfig config{};
  config.backend = "null";
  config.sampleRate = kRate;
  config.outputChannels = 2;
  config.bufferFrames = 512;
  config.clock = XNQ_CLOCK_FREE_RUNNING;
  if (xnq_hal_add_device(&config) == 0) {
    state.SkipWithError("cannot add the null device");
    return;
  }
  const Value left = ToneBlock(440), right = ToneBlock(660);
  int64_t underflows = 0;
  double wallSeconds = 0.0, cpuSeconds = 0.0;
  for (auto _ : state) {
    const auto began = std::chrono::steady_clock::now();
    const double cpuBegan = ProcessCpuSeconds();
    Value player = host.newObject("CoreAudioPlayerXNQ").value;
    host.set(player, "NumberOfChannels", Value::integer(2));
    host.set(player, "NoUnderflow", Value::boolean(true));
    int queued = 0;
    bool started = false;
    while (host.get(player, "OutputPosition").value.asDouble() < double{kRate} * kSeconds) {
      while (queued < kSeconds && host.call(player, "HasFreeSpace").value.asBool()) {
        host.call(player, "AddAudioStereo",
                  {left, right, Value::integer(0), Value::integer(0), Value::integer(15)});
        ++queued;
      }
      if (!started) started = host.call(player, "Start").value.asBool();
      if (host.get(player, "HadUnderflow").value.asBool()) {
        ++underflows;
        host.set(player, "HadUnderflow", Value::boolean(false));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    cpuSeconds += ProcessCpuSeconds() - cpuBegan;
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    host.call(player, "Stop");
  }
  // Wall-clock time: the host thread mostly sleeps while the IO thread works.
  state.counters["x_realtime"] = static_cast<double>(state.iterations()) * kSeconds / wallSeconds;
  // The same against the CPU time all threads used: what a machine of its own would reach.
  state.counters["x_realtime_cpu"] =
      static_cast<double>(state.iterations()) * kSeconds / cpuSeconds;
  // Dry cycles while the host fed the queue (the start, and the end of the data, count too).
  state.counters["underflow_polls"] = static_cast<double>(underflows);
}

}  // namespace

BENCHMARK(BM_StreamTenMinutesStereo16)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
