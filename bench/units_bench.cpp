// The graphic EQ and the time-pitch unit against the command-line tools people use for the same
// work, on the same 60 s of stereo 44.1 kHz noise, in the same run.
//
// Our side: the noise sits in memory; a generic output unit pulls it through the unit under test
// from a render callback, 1024 frames a slice, as an offline render does. No file is read or
// written. Peer side: the tool's whole process (starting, reading the WAV file, processing,
// writing the result to /tmp). Both are timed in CPU seconds (user + system; the peer's from the
// child process), so the load of the machine counts against neither; counter x_peer is the
// peer's time over ours (above 1: faster than the peer).
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

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

// The noise, per channel, written once to the WAV file the peers read.
const std::vector<std::vector<float>> &noise() {
  static const std::vector<std::vector<float>> channels = [] {
    std::vector<std::vector<float>> c(2, std::vector<float>(kFrames));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
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

// Runs a command and returns its CPU seconds, or -1 when it failed.
double runPeer(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return cpuSeconds(usage);
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

// Pulls outputFrames through unit from the noise with a generic output; returns CPU seconds.
double renderThrough(AudioUnit unit, size_t outputFrames) {
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
  AudioUnitInitialize(unit);
  AudioUnitInitialize(output);
  std::vector<float> left(1024), right(1024);
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list{2, {{1, 4096, left.data()}, {1, 4096, right.data()}}};
  AudioTimeStamp stamp{};
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  for (size_t done = 0; done < outputFrames; done += 1024) {
    AudioUnitRender(output, nullptr, &stamp, 0, 1024, reinterpret_cast<AudioBufferList *>(&list));
    stamp.mSampleTime += 1024;
  }
  getrusage(RUSAGE_SELF, &after);
  CloseComponent(output);
  return cpuSeconds(after) - cpuSeconds(before);
}

// A smile curve for the 31 bands: +6 dB at both ends, -3 dB in the middle, no band at 0 dB.
float curveDb(int band) { return 9.0f * (band - 15) * (band - 15) / 225.0f - 3.0f; }
constexpr double kThirds[] = {20,   25,   31.5, 40,   50,   63,    80,    100,   125,  160,  200,
                              250,  315,  400,  500,  630,  800,   1000,  1250,  1600, 2000, 2500,
                              3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

double soxSeconds = 0, rubberbandSeconds = 0;

void BM_Peer_Sox31Equalizers(benchmark::State &state) {
  noise();
  std::vector<std::string> args = {"sox", kNoisePath, "/tmp/xnq_bench_sox.wav"};
  for (int b = 0; b < 31; ++b) {
    args.insert(args.end(),
                {"equalizer", std::to_string(kThirds[b]), "4.32q", std::to_string(curveDb(b))});
  }
  for (auto _ : state) {
    double seconds = runPeer(args);
    if (seconds < 0) return state.SkipWithError("sox failed");
    soxSeconds = seconds;
    state.SetIterationTime(seconds);
  }
}

void BM_GraphicEq31Bands(benchmark::State &state) {
  noise();
  for (auto _ : state) {
    AudioUnit eq = OpenDefaultComponent(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ);
    AudioUnitSetParameter(eq, kGraphicEQParam_NumberOfBands, 0, 0, 1, 0);
    for (int b = 0; b < 31; ++b) AudioUnitSetParameter(eq, b, 0, 0, curveDb(b), 0);
    double seconds = renderThrough(eq, kFrames);
    CloseComponent(eq);
    state.SetIterationTime(seconds);
    state.counters["x_peer"] = soxSeconds / seconds;
    state.counters["x_realtime"] = 60 / seconds;
  }
}

void BM_Peer_RubberbandCli(benchmark::State &state) {
  noise();
  for (auto _ : state) {
    double seconds =
        runPeer({"rubberband", "-q", "-t", "0.8", "-p", "3", kNoisePath, "/tmp/xnq_bench_rb.wav"});
    if (seconds < 0) return state.SkipWithError("rubberband failed");
    rubberbandSeconds = seconds;
    state.SetIterationTime(seconds);
  }
}

void BM_TimePitchRate125Pitch300(benchmark::State &state) {
  noise();
  for (auto _ : state) {
    AudioUnit unit =
        OpenDefaultComponent(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch);
    AudioUnitSetParameter(unit, kNewTimePitchParam_Rate, 0, 0, 1.25f, 0);
    AudioUnitSetParameter(unit, kNewTimePitchParam_Pitch, 0, 0, 300, 0);
    double seconds = renderThrough(unit, static_cast<size_t>(kFrames / 1.25));
    CloseComponent(unit);
    state.SetIterationTime(seconds);
    state.counters["x_peer"] = rubberbandSeconds / seconds;
    state.counters["x_realtime"] = 60 / seconds;
  }
}

}  // namespace

BENCHMARK(BM_Peer_Sox31Equalizers)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GraphicEq31Bands)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_RubberbandCli)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimePitchRate125Pitch300)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
