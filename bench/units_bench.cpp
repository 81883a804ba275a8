// The graphic EQ and the time-pitch unit against the command-line tools people use for the same
// work, on the same 60 s of stereo 44.1 kHz noise, in the same run, and the set-up cost of the
// rate units.
//
// Our side: the noise sits in memory; a generic output unit pulls it through the unit under test
// from a render callback, 1024 frames a slice, as an offline render does; the unit's initialize
// is timed with the render. No file is read or written. Peer side: the tool's whole process
// (starting, reading the WAV file, processing, writing the result to /tmp). Both are timed by the
// wall clock (the benchmark's time) and in CPU seconds (user + system, all threads; the peer's
// from the child process), which the load of the machine and the peer's threads on other cores
// do not count against either. x_peer is the peer's wall time over ours, x_peer_cpu the same in
// CPU time (above 1: faster than the peer).
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "os/audio_unit.h"

extern char **environ;

namespace {

constexpr double kRate = 44100;
constexpr size_t kFrames = 60 * 44100;
const char *const kNoisePath = "/tmp/xnq_bench_noise.wav";

double cpuSeconds(const rusage &usage) {
  auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The noise, per channel, written once to the WAV file the peers read. Its level leaves the
// rubberband tool's output unclipped: on clipping the tool starts again at a lower gain, which
// would time its work twice or more.
const std::vector<std::vector<float>> &noise() {
  static const std::vector<std::vector<float>> channels = [] {
    std::vector<std::vector<float>> c(2, std::vector<float>(kFrames));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-0.25f, 0.25f);
    std::vector<float> interleaved(2 * kFrames);
    for (size_t i = 0; i < kFrames; ++i)
      for (int ch = 0; ch < 2; ++ch) interleaved[2 * i + ch] = c[ch][i] = uniform(random);
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *file = sf_open(kNoisePath, SFM_WRITE, &info);
    sf_writef_float(file, interleaved.data(), kFrames);
    sf_close(file);
    return c;
  }();
  return channels;
}

struct Cost {
  double wall = -1, cpu = -1;  // seconds; -1 when the work failed
};

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs a command and returns its cost.
Cost runPeer(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  double began = wallSeconds();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return {};
  return {wallSeconds() - began, cpuSeconds(usage)};
}

// Our cost against the peer's from the same run, and against real time.
void report(benchmark::State &state, const Cost &ours, const Cost &peer) {
  state.SetIterationTime(ours.wall);
  state.counters["cpu_ms"] = 1000 * ours.cpu;
  state.counters["x_peer"] = peer.wall / ours.wall;
  state.counters["x_peer_cpu"] = peer.cpu / ours.cpu;
  state.counters["x_realtime"] = 60 / ours.wall;
}

struct Feed {
  size_t position = 0;
};

OSStatus feedNoise(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                   UInt32 frames, AudioBufferList *ioData) {
  auto *feed = static_cast<Feed *>(refCon);
  for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
    auto *out = static_cast<float *>(ioData->mBuffers[c].mData);
    const std::vector<float> &from = noise()[c];
    for (UInt32 i = 0; i < frames; ++i) {
      size_t at = feed->position + i;
      out[i] = at < from.size() ? from[at] : 0.0f;
    }
  }
  feed->position += frames;
  return noErr;
}

// Initializes unit and pulls outputFrames through it from the noise with a generic output.
Cost renderThrough(AudioUnit unit, size_t outputFrames) {
  AudioStreamBasicDescription format{
      kRate,
      kAudioFormatLinearPCM,
      kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
      4,
      1,
      4,
      2,
      32,
      0};
  AudioUnit output = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  for (AudioUnit u : {unit, output})
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
      AudioUnitSetProperty(u, kAudioUnitProperty_StreamFormat, scope, 0, &format, sizeof format);
  Feed feed;
  AURenderCallbackStruct callback{feedNoise, &feed};
  AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                       &callback, sizeof callback);
  AudioUnitConnection connection{unit, 0, 0};
  AudioUnitSetProperty(output, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, 0,
                       &connection, sizeof connection);
  std::vector<float> left(1024), right(1024);
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list{2, {{1, 4096, left.data()}, {1, 4096, right.data()}}};
  AudioTimeStamp stamp{};
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  double began = wallSeconds();
  AudioUnitInitialize(unit);
  AudioUnitInitialize(output);
  for (size_t done = 0; done < outputFrames; done += 1024) {
    AudioUnitRender(output, nullptr, &stamp, 0, 1024, reinterpret_cast<AudioBufferList *>(&list));
    stamp.mSampleTime += 1024;
  }
  double wall = wallSeconds() - began;
  getrusage(RUSAGE_SELF, &after);
  CloseComponent(output);
  return {wall, cpuSeconds(after) - cpuSeconds(before)};
}

// A smile curve for the 31 bands: +6 dB at both ends, -3 dB in the middle, no band at 0 dB.
float curveDb(int band) { return 9.0f * (band - 15) * (band - 15) / 225.0f - 3.0f; }
constexpr double kThirds[] = {20,   25,   31.5, 40,   50,   63,    80,    100,   125,  160,  200,
                              250,  315,  400,  500,  630,  800,   1000,  1250,  1600, 2000, 2500,
                              3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

Cost soxCost;
Cost rubberbandCost[2];  // the tool's faster engine, its finer engine (-3)

void BM_Peer_Sox31Equalizers(benchmark::State &state) {
  noise();
  std::vector<std::string> args = {"sox", kNoisePath, "/tmp/xnq_bench_sox.wav"};
  for (int b = 0; b < 31; ++b) {
    args.insert(args.end(),
                {"equalizer", std::to_string(kThirds[b]), "4.32q", std::to_string(curveDb(b))});
  }
  for (auto _ : state) {
    soxCost = runPeer(args);
    if (soxCost.wall < 0) return state.SkipWithError("sox failed");
    state.SetIterationTime(soxCost.wall);
    state.counters["cpu_ms"] = 1000 * soxCost.cpu;
  }
}

void BM_GraphicEq31Bands(benchmark::State &state) {
  noise();
  for (auto _ : state) {
    AudioUnit eq = OpenDefaultComponent(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ);
    AudioUnitSetParameter(eq, kGraphicEQParam_NumberOfBands, 0, 0, 1, 0);
    for (int b = 0; b < 31; ++b) AudioUnitSetParameter(eq, b, 0, 0, curveDb(b), 0);
    Cost cost = renderThrough(eq, kFrames);
    CloseComponent(eq);
    report(state, cost, soxCost);
  }
}

// The tool at its defaults but for the two settings, as auplayer_bench runs it: range(0) 0 with
// its faster engine, 1 with its finer one (-3).
void BM_Peer_RubberbandCli(benchmark::State &state) {
  noise();
  const bool finer = state.range(0) == 1;
  state.SetLabel(finer ? "rubberband -3" : "rubberband");
  std::vector<std::string> args = {"rubberband", "-q", "-T", "1.25", "-p", "3"};
  if (finer) args.insert(args.begin() + 2, "-3");
  args.insert(args.end(), {kNoisePath, "/tmp/xnq_bench_rb.wav"});
  for (auto _ : state) {
    rubberbandCost[finer] = runPeer(args);
    if (rubberbandCost[finer].wall < 0) return state.SkipWithError("rubberband failed");
    state.SetIterationTime(rubberbandCost[finer].wall);
    state.counters["cpu_ms"] = 1000 * rubberbandCost[finer].cpu;
  }
}

// The time-pitch unit at render quality range(0): above 64 it runs the finer engine, against
// the tool's -3; at 64 the faster, against the tool's default. Rendered offline through the
// generic output, so the stretcher runs on a worker thread beside the render thread.
void BM_TimePitchRate125Pitch300(benchmark::State &state) {
  noise();
  const auto quality = static_cast<UInt32>(state.range(0));
  for (auto _ : state) {
    AudioUnit unit =
        OpenDefaultComponent(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch);
    AudioUnitSetParameter(unit, kNewTimePitchParam_Rate, 0, 0, 1.25f, 0);
    AudioUnitSetParameter(unit, kNewTimePitchParam_Pitch, 0, 0, 300, 0);
    AudioUnitSetProperty(unit, kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0,
                         &quality, sizeof quality);
    Cost cost = renderThrough(unit, static_cast<size_t>(kFrames / 1.25));
    CloseComponent(unit);
    report(state, cost, rubberbandCost[quality > 64]);
  }
}

// Set-up of a rate unit: initialize at a maximum slice of range(1) frames, then the rate moved
// to range(2) / 100 (100: left at identity) as a host moves it once the unit is in use.
void BM_RateUnitSetUp(benchmark::State &state) {
  const OSType subType =
      state.range(0) == 0 ? kAudioUnitSubType_NewTimePitch : kAudioUnitSubType_Varispeed;
  const auto maxFrames = static_cast<UInt32>(state.range(1));
  const auto rate = static_cast<Float32>(state.range(2) / 100.0);
  state.SetLabel(state.range(0) == 0 ? "time-pitch" : "varispeed");
  for (auto _ : state) {
    AudioUnit unit = OpenDefaultComponent(kAudioUnitType_FormatConverter, subType);
    AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                         &maxFrames, sizeof maxFrames);
    double began = wallSeconds();
    AudioUnitInitialize(unit);
    AudioUnitSetParameter(unit, 0, kAudioUnitScope_Global, 0, rate, 0);  // rate, on both units
    state.SetIterationTime(wallSeconds() - began);
    CloseComponent(unit);
  }
}

}  // namespace

BENCHMARK(BM_Peer_Sox31Equalizers)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GraphicEq31Bands)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_RubberbandCli)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimePitchRate125Pitch300)
    ->Arg(64)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_RubberbandCli)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimePitchRate125Pitch300)
    ->Arg(127)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RateUnitSetUp)
    ->ArgsProduct({{0, 1}, {1156, 4096}, {100, 125}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
