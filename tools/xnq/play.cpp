// xnq play: plays audio files one after another through AUPlayerXNQ (rate, pitch, varispeed,
// volume, pan, EQ, loop, device), with keys and a meter on a terminal, or renders one offline
// through the generic output unit into a file as fast as the graph runs.
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "file_player.h"
#include "messages.h"
#include "options.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

constexpr char kCommand[] = "play";

struct Arguments {
  PlayOptions play;
  std::string device;  // as given; resolved once the plugin is loaded
};

bool ParseOptions(const std::vector<std::string> &args, Arguments *a) {
  PlayOptions &o = a->play;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &arg = args[k];
    if (arg == "-" || arg.rfind("--", 0) != 0) {
      o.paths.push_back(arg);
      continue;
    }
    if (k + 1 >= args.size()) {
      Report(kCommand, "", arg + " needs a value (see xnq play --help)");
      return false;
    }
    const std::string &value = args[++k];
    double v = 0;
    bool ok = true;
    if (arg == "--rate") {
      ok = ParseInRange(kCommand, kRateRange, value, &o.rate);
    } else if (arg == "--pitch") {
      ok = ParseInRange(kCommand, kPitchRange, value, &o.pitch);
      o.pitchGiven = true;
    } else if (arg == "--varispeed") {
      ok = ParseInRange(kCommand, kVarispeedRange, value, &o.varispeed);
    } else if (arg == "--volume") {
      ok = ParseInRange(kCommand, kVolumeRange, value, &o.volume);
    } else if (arg == "--pan") {
      ok = ParseInRange(kCommand, kPanRange, value, &o.pan);
    } else if (arg == "--quality") {
      ok = ParseInRange(kCommand, kQualityRange, value, &v);
      o.quality = static_cast<int>(v);
    } else if (arg == "--start") {
      ok = ParseInRange(kCommand, {"--start", 0, 1e9, false}, value, &o.start);
    } else if (arg == "--eq") {
      ok = ParseGains(kCommand, value, &o.eq);
    } else if (arg == "--loop") {
      const size_t comma = value.find(',');
      ok = comma != std::string::npos && ParseFinite(value.substr(0, comma), &o.loopIn) &&
           ParseFinite(value.substr(comma + 1), &o.loopOut) && o.loopIn >= 0 &&
           o.loopOut > o.loopIn;
      if (!ok) Report(kCommand, "", "--loop takes IN,OUT in seconds with 0 <= IN < OUT");
      o.loop = true;
    } else if (arg == "--device") {
      a->device = value;
    } else if (arg == "--output-unit") {
      ok = ParseInRange(kCommand, {"--output-unit", 0, 4, true}, value, &v);
      o.outputUnit = static_cast<long>(v);
    } else if (arg == "--render") {
      o.render = value;
    } else if (arg == "--bits") {
      ok = ParseBits(value, &o.bits);
      if (!ok) Report(kCommand, "", "--bits takes 16, 24, 32 or float, not '" + value + "'");
    } else {
      Report(kCommand, "", "unknown option '" + arg + "' (see xnq play --help)");
      return false;
    }
    if (!ok) return false;
  }
  auto refuse = [](const std::string &words) {
    Report(kCommand, "", words + " (see xnq play --help)");
    return false;
  };
  if (o.varispeed > 0 && (o.rate > 0 || o.pitchGiven))
    return refuse(
        "--varispeed plays through the varispeed unit; --rate and --pitch through the "
        "time-pitch unit: give one or the other");
  int stdinCount = 0;
  for (const std::string &path : o.paths) stdinCount += path == "-";
  if (stdinCount > 1) return refuse("standard input ('-') can be read once");
  if (o.render.empty()) {
    if (o.outputUnit == 1)
      return refuse("--output-unit 1 (the generic output) cannot play live; use it with --render");
    if (o.bits != SampleBits::Default) return refuse("--bits is for --render");
    return true;
  }
  if (o.loop) return refuse("a looping render would never end");
  if (!a->device.empty() || (o.outputUnit >= 0 && o.outputUnit != 1))
    return refuse("--render renders through the generic output unit, not to a device");
  if (o.paths.size() > 1) return refuse("--render takes one file");
  if (std::string problem = AudioWriter::CheckFormat(o.render, o.bits); !problem.empty())
    return refuse(problem);
  if (std::string problem = AudioWriter::CheckNotInput(o.render, o.paths); !problem.empty())
    return refuse(problem);
  return true;
}

// A few seconds of notes, written where the command can find them again, for a run without a
// file: an arpeggio whose notes alternate between the left and the right channel.
std::string WriteDemoFile(const std::string &folder) {
  const std::string path = folder + "/arpeggio.wav";
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return "";
  const double notes[] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 261.63, 196.00};
  const int noteFrames = 44100 * 3 / 8;
  std::vector<float> frames(static_cast<size_t>(noteFrames) * 2);
  bool ok = true;
  for (size_t n = 0; n < sizeof notes / sizeof notes[0]; ++n) {
    for (int f = 0; f < noteFrames; ++f) {
      const double t = f / 44100.0;
      const double s = 0.4 * std::exp(-3 * t) * std::sin(2 * M_PI * notes[n] * t);
      frames[f * 2] = static_cast<float>(n % 2 == 0 ? s : 0.3 * s);
      frames[f * 2 + 1] = static_cast<float>(n % 2 == 0 ? 0.3 * s : s);
    }
    ok = ok && sf_writef_float(file, frames.data(), noteFrames) == noteFrames;
  }
  ok = sf_close(file) == 0 && ok;
  return ok ? path : "";
}

// Standard input copied into a file of the folder, since the class loads a file by its path.
std::string CopyStandardInput(const std::string &folder) {
  const std::string path = folder + "/standard-input";
  FILE *out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return "";
  char buffer[1 << 16];
  bool ok = true;
  for (size_t n; !stopRequested() && (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
    ok = ok && std::fwrite(buffer, 1, n, out) == n;
  ok = std::fclose(out) == 0 && ok && !std::ferror(stdin) && !stopRequested();
  return ok ? path : "";
}

// The folder for the demo or standard input, removed with what it holds when the command ends.
class ScratchFolder {
 public:
  ~ScratchFolder() {
    for (const std::string &file : files_) unlink(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  const std::string &path() {
    char name[] = "/tmp/xnq-play-XXXXXX";
    if (path_.empty() && mkdtemp(name) != nullptr) path_ = name;
    return path_;
  }
  std::string keep(const std::string &file) {
    if (!file.empty()) files_.push_back(file);
    return file;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

int Run(const std::vector<std::string> &args) {
  Arguments a;
  if (!ParseOptions(args, &a)) return kExitUsage;
  PlayOptions &o = a.play;
  if (!loadPlugin()) return kExitFailed;
  CoreAudioClient audio;
  if (!audio.create()) return kExitFailed;
  if (!a.device.empty()) {
    std::string problem;
    std::optional<uint32_t> device = ResolveDevice(audio, a.device, true, &problem);
    if (!device) {
      Report(kCommand, "", problem);
      return kExitFailed;
    }
    o.device = *device;
  }
  ScratchFolder scratch;
  const bool demo = o.paths.empty();
  if (demo) {
    const std::string path =
        scratch.path().empty() ? "" : scratch.keep(WriteDemoFile(scratch.path()));
    if (path.empty()) {
      Report(kCommand, "", "cannot write the demo file");
      return kExitFailed;
    }
    o.paths.push_back(path);
  }
  // Keys come from standard input only when it is a terminal and not the sound itself.
  bool readsStandardInput = false;
  for (const std::string &path : o.paths) readsStandardInput = readsStandardInput || path == "-";
  KeyReader keys(o.render.empty() && !readsStandardInput);
  int failures = 0;
  for (size_t i = 0; i < o.paths.size(); ++i) {
    std::string path = o.paths[i];
    const std::string name = demo ? "demo arpeggio" : path == "-" ? "standard input" : path;
    if (path == "-") {
      path = scratch.path().empty() ? "" : scratch.keep(CopyStandardInput(scratch.path()));
      if (stopRequested()) break;
      if (path.empty()) {
        Report(kCommand, name, "cannot copy it to a temporary file");
        ++failures;
        continue;
      }
    } else if (std::string problem = InputProblem(path); !problem.empty()) {
      Report(kCommand, name, problem);
      ++failures;
      continue;
    }
    PlayEnd end = PlayEnd::Failed;
    {
      FilePlayer player(audio);
      if (player.load(path, name, o) && (o.render.empty() || player.measureDecodedFrames()) &&
          player.configure(o)) {
        player.announce(o);
        AudioWriter writer;
        end = o.render.empty() ? player.playLive(o, keys) : player.render(o, writer);
      }
    }
    if (end == PlayEnd::Failed) ++failures;
    if (end == PlayEnd::Quit || end == PlayEnd::Stopped) break;
  }
  if (stopRequested()) return stopExitCode();
  return failures > 0 ? kExitFailed : kExitDone;
}

const Registrar registrar({
    "play",
    "play audio files (or a demo) through AUPlayerXNQ, or render one to a file",
    "usage: xnq play [FILE...|-] [--rate R] [--pitch CENTS] [--varispeed R] [--volume V]\n"
    "                [--pan P] [--eq G1,...] [--loop IN,OUT] [--start S] [--quality Q]\n"
    "                [--device DEVICE] [--output-unit N] [--render OUT [--bits B]]\n"
    "\n"
    "Plays each FILE in turn (any format the platform reads; '-' reads one file from standard\n"
    "input; without FILE a short arpeggio the command writes itself) through AUPlayerXNQ on the\n"
    "output device. A file that fails is reported and skipped. On a terminal a status line shows\n"
    "the position, the loop, the volume and a meter per channel (the mixer's output after volume\n"
    "and pan, with the peak held and full-scale peaks counted as clips), and these keys work:\n"
    "  space pause/resume   <- -> seek 5 s   down/up seek 60 s   9 0 (or - +) volume\n"
    "  l loop on/off (the whole file without --loop)   n or Enter next file   q or Esc quit\n"
    "Off a terminal nothing reads standard input and a summary line ends each file.\n"
    "  --rate R         speed through the time-pitch unit, pitch kept, 0.04 to 32 (0.01 steps)\n"
    "  --pitch CENTS    pitch shift through the time-pitch unit, -2400 to 2400\n"
    "  --varispeed R    speed and pitch together through the varispeed unit, 0.25 to 4\n"
    "  --volume V       the mixer's output volume, 0 to 1 (default 1)\n"
    "  --pan P          the mixer's pan, -1 (left) to 1 (right)\n"
    "  --eq G1,...      up to 31 band gains in dB (-20 to 12), 20 Hz to 20 kHz (missing: 0)\n"
    "  --loop IN,OUT    loop between these times in seconds (within the file)\n"
    "  --start S        start S seconds in\n"
    "  --quality Q      render quality of the rate units, 0 to 127 (default 127)\n"
    "  --device DEVICE  play on this device: its ID, UID or name, or default-output\n"
    "  --output-unit N  0 or 2 HAL output, 3 default output, 4 system output (1, the generic\n"
    "                   output, only renders)\n"
    "  --render OUT     render the one FILE offline through the generic output unit into OUT,\n"
    "                   at the file's rate with two channels, in the format OUT's extension\n"
    "                   names (.wav .aiff .caf .flac .ogg .opus .au .w64 .rf64; '-' a WAV on\n"
    "                   standard output), as fast as the graph runs\n"
    "  --bits B         the render's sample size: 16, 24, 32 or float (default float; FLAC 24)\n"
    "Exit status: 0 all played, 1 a file failed, 2 usage, 128+N stopped by signal N (130 for\n"
    "Ctrl-C); q ends with 0.",
    Run,
});

}  // namespace
}  // namespace xnq::tool
