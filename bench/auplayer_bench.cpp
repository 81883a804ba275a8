// The file player against its peers, in the same run, on 60 s of stereo 44.1 kHz (tones over
// noise) written as 16-bit WAV and FLAC:
// - `xnq play --render` at the defaults (x_realtime: seconds of audio per second of wall time;
//   x_realtime_cpu: per second of the program's CPU time);
//   with a 31-band EQ curve against sox with the same 31 `equalizer` effects; with rate 1.25 and
//   +300 cents at render quality 64 against the rubberband command-line tool on the same
//   settings, and at 127 against the tool's finer engine (-3). Each peer runs just before, and
//   x_peer is the peer's wall time over xnq's (above 1: xnq is faster), x_peer_cpu the same in
//   CPU time;
// - LoadFile against libsndfile's sf_readf_float of the same file alone, and the peak memory of a
//   process that loads the file (peak_MB) against 1.1 × the decoded size + 20 MB (limit_MB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "xnq/host.h"

extern char **environ;

namespace {

using xnq::host::Runtime;
using xnq::host::Value;

constexpr int kRate = 44100, kSeconds = 60;
const double kBandCentres[31] = {
    20,  25,   31.5, 40,   50,   63,   80,   100,  125,  160,  200,  250,   315,   400,   500,  630,
    800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

std::string gSelf;
std::string Temp(const std::string &name) {
  return "/tmp/auplayer_bench_" + std::to_string(getpid()) + "_" + name;
}
const std::string &Wav() {
  static const std::string path = Temp("in.wav");
  return path;
}
const std::string &Flac() {
  static const std::string path = Temp("in.flac");
  return path;
}

void WriteInputs() {
  std::vector<float> samples(size_t{kRate} * kSeconds * 2);
  std::mt19937 noise(7);
  std::uniform_real_distribution<float> white(-0.05f, 0.05f);
  for (size_t f = 0; f < samples.size() / 2; ++f) {
    const double t = static_cast<double>(f) / kRate;
    samples[2 * f] = static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) + white(noise));
    samples[2 * f + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * 330 * t) + white(noise));
  }
  for (const std::string *path : {&Wav(), &Flac()}) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = (path == &Wav() ? SF_FORMAT_WAV : SF_FORMAT_FLAC) | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path->c_str(), SFM_WRITE, &info);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
    sf_close(file);
  }
}

// Gain of band i of the EQ curve, in dB: a gentle wave across the bands.
double CurveGain(int band) { return 6 * std::sin(band * 0.45); }

// Runs a program with its output discarded; its resource use comes back in usage.
bool Spawn(std::vector<std::string> argv, rusage *usage = nullptr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> args;
  for (std::string &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const bool started = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage ignored{};
  if (!started || wait4(pid, &status, 0, usage ? usage : &ignored) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Cost {
  double wall = 0, cpu = 0;  // seconds per run
};
Cost gSox, gRubberband[2];  // the peers' costs, measured just before xnq's

// Times a command over the 60 s input as seconds of audio per second of wall time (x_realtime)
// and per second of the command's CPU time, all its threads (x_realtime_cpu); returns its cost
// per run.
Cost TimeCommand(benchmark::State &state, const std::vector<std::string> &argv) {
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto began = std::chrono::steady_clock::now();
    rusage usage{};
    if (!Spawn(argv, &usage)) {
      state.SkipWithError(("failed: " + argv[0]).c_str());
      return {};
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    state.SetIterationTime(seconds);
    wall += seconds;
    cpu += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["x_realtime_cpu"] = kSeconds * runs / cpu;
  return {wall / runs, cpu / runs};
}

void ComparePeer(benchmark::State &state, const Cost &ours, const Cost &peer) {
  if (ours.wall <= 0 || peer.wall <= 0) return;
  state.counters["x_peer"] = peer.wall / ours.wall;
  state.counters["x_peer_cpu"] = peer.cpu / ours.cpu;
}

std::vector<std::string> XnqRender(std::vector<std::string> options) {
  std::vector<std::string> argv{XNQ_TOOL_PATH, "play", Wav(), "--render", Temp("xnq.wav")};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

void BM_XnqRenderDefaults(benchmark::State &state) { TimeCommand(state, XnqRender({})); }

void BM_SoxEq31(benchmark::State &state) {
  std::vector<std::string> argv{"sox", Wav(), Temp("sox.wav")};
  for (int b = 0; b < 31; ++b) {
    // A third of an octave wide, as the player's bands are.
    argv.insert(argv.end(), {"equalizer", std::to_string(kBandCentres[b]), "4.32q",
                             std::to_string(CurveGain(b))});
  }
  gSox = TimeCommand(state, argv);
}

void BM_XnqRenderEq31(benchmark::State &state) {
  std::string curve;
  for (int b = 0; b < 31; ++b) curve += (b ? "," : "") + std::to_string(CurveGain(b));
  ComparePeer(state, TimeCommand(state, XnqRender({"--eq", curve})), gSox);
}

// range(0) 0: the tool's faster engine; 1: its finer engine (-3).
void BM_RubberbandRate125Pitch300(benchmark::State &state) {
  const bool finer = state.range(0) == 1;
  state.SetLabel(finer ? "rubberband -3" : "rubberband");
  std::vector<std::string> argv{"rubberband", "-q", "-T", "1.25", "-p", "3"};
  if (finer) argv.insert(argv.begin() + 2, "-3");
  argv.insert(argv.end(), {Wav(), Temp("rubberband.wav")});
  gRubberband[finer] = TimeCommand(state, argv);
}

// range(0): the render quality, which above 64 picks the time-pitch unit's finer engine.
void BM_XnqRenderRate125Pitch300(benchmark::State &state) {
  const std::string quality = std::to_string(state.range(0));
  ComparePeer(
      state,
      TimeCommand(state, XnqRender({"--rate", "1.25", "--pitch", "300", "--quality", quality})),
      gRubberband[state.range(0) > 64]);
}

const std::string &InputFile(const benchmark::State &state) {
  return state.range(0) == 0 ? Wav() : Flac();
}

void BM_LoadFile(benchmark::State &state) {
  static const bool loaded = Runtime::get().load(XNQ_PLUGIN_PATH);
  Runtime &host = Runtime::get();
  if (!loaded) {
    state.SkipWithError("cannot load the plugin");
    return;
  }
  state.SetLabel(state.range(0) == 0 ? "wav" : "flac");
  for (auto _ : state) {
    Value player = host.newObject("AUPlayerXNQ").value;
    host.set(player, "OutputUnit", Value::integer(1));
    if (!host.call(player, "LoadFile", {host.newFolderItem(InputFile(state))}).value.asBool()) {
      state.SkipWithError("LoadFile failed");
      return;
    }
  }
}

// The peer decodes into memory it allocates for the whole file, as a load does.
void BM_SndfileReadFloat(benchmark::State &state) {
  state.SetLabel(state.range(0) == 0 ? "wav" : "flac");
  for (auto _ : state) {
    SF_INFO info{};
    SNDFILE *file = sf_open(InputFile(state).c_str(), SFM_READ, &info);
    std::unique_ptr<float[]> samples(new float[static_cast<size_t>(info.frames * info.channels)]);
    benchmark::DoNotOptimize(sf_readf_float(file, samples.get(), info.frames));
    sf_close(file);
  }
}

// A process of its own that loads the file and reports its peak resident size. The process
// reads the peak itself: the maximum its parent sees through wait4 also counts the address space
// the spawn started from, which is this process's, grown by the benchmarks before.
void BM_LoadFilePeakMemory(benchmark::State &state) {
  state.SetLabel(state.range(0) == 0 ? "wav" : "flac");
  const std::string report = Temp("peak.txt");
  long peakKB = 0;
  for (auto _ : state) {
    if (!Spawn({gSelf, "--load-once", InputFile(state), report}) ||
        !(std::ifstream(report) >> peakKB)) {
      state.SkipWithError("the loading process failed");
      return;
    }
  }
  std::remove(report.c_str());
  const double decodedMB = double{kRate} * kSeconds * 2 * 4 / 1e6;
  state.counters["peak_MB"] = peakKB * 1024 / 1e6;
  state.counters["decoded_MB"] = decodedMB;
  state.counters["limit_MB"] = 1.1 * decodedMB + 20;
}

// Loads the file and writes the process's peak resident size in kB (VmHWM) to report.
int LoadOnce(const char *path, const char *report) {
  Runtime &host = Runtime::get();
  if (!host.load(XNQ_PLUGIN_PATH)) return 1;
  Value player = host.newObject("AUPlayerXNQ").value;
  host.set(player, "OutputUnit", Value::integer(1));
  if (!host.call(player, "LoadFile", {host.newFolderItem(path)}).value.asBool()) return 1;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::ofstream(report) << std::stol(line.substr(6));
      return 0;
    }
  }
  return 1;
}

}  // namespace

BENCHMARK(BM_XnqRenderDefaults)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SoxEq31)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_XnqRenderEq31)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RubberbandRate125Pitch300)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XnqRenderRate125Pitch300)
    ->Arg(64)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RubberbandRate125Pitch300)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XnqRenderRate125Pitch300)
    ->Arg(127)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SndfileReadFloat)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFilePeakMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--load-once") == 0) return LoadOnce(argv[2], argv[3]);
  gSelf = argv[0];
  WriteInputs();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const std::string &path :
       {Wav(), Flac(), Temp("xnq.wav"), Temp("sox.wav"), Temp("rubberband.wav")})
    std::remove(path.c_str());
  return 0;
}
