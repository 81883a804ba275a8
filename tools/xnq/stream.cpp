// xnq stream: plays raw PCM from a file or standard input, or a generated tone, through
// CoreAudioPlayerXNQ, keeping its queue fed and showing one live status line.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "coreaudio_values.h"
#include "messages.h"
#include "options.h"
#include "subcommand.h"
#include "terminal.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {

using host::Runtime;
using host::Value;

struct Options {
  std::string path = "-";  // "-": standard input
  int bits = 15;           // the player's BitSize; 0 for 32-bit floats
  double rate = 44100;
  int channels = 2;
  std::string device = "default-output";
  double tone = 0;      // Hz; 0: play the input
  double seconds = -1;  // tone length; negative: until Ctrl-C
};

constexpr char kCommand[] = "stream";

bool ParseOptions(const std::vector<std::string> &args, Options *o) {
  bool pathGiven = false;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    if (!pathGiven && (a == "-" || a.rfind("--", 0) != 0)) {
      o->path = a;
      pathGiven = true;
      continue;
    }
    if (k + 1 >= args.size() || a.rfind("--", 0) != 0) {
      Report(kCommand, "", "bad argument '" + a + "' (see xnq stream --help)");
      return false;
    }
    const std::string &value = args[++k];
    double v = 0;
    bool ok = true;
    if (a == "--bits") {
      ok = value == "float" || (ParseFinite(value, &v) && (v == 7 || v == 8 || v == 15 || v == 16 ||
                                                           v == 24 || v == 31 || v == 32));
      if (!ok)
        Report(kCommand, "", "--bits takes 7, 8, 15, 16, 24, 31, 32 or float, not '" + value + "'");
      o->bits = value == "float" ? 0 : static_cast<int>(v);
    } else if (a == "--rate") {
      ok = ParseInRange(kCommand, {"--rate", 1, 768000, false}, value, &o->rate);
    } else if (a == "--channels") {
      ok = ParseInRange(kCommand, {"--channels", 1, 2, true}, value, &v);
      o->channels = static_cast<int>(v);
    } else if (a == "--device") {
      o->device = value;
    } else if (a == "--tone") {
      ok = ParseInRange(kCommand, {"--tone", 1, 100000, false}, value, &o->tone);
    } else if (a == "--seconds") {
      ok = ParseInRange(kCommand, {"--seconds", 0.001, 1e7, false}, value, &o->seconds);
    } else {
      Report(kCommand, "", "unknown option '" + a + "' (see xnq stream --help)");
      return false;
    }
    if (!ok) return false;
  }
  if (o->tone > 0) {
    if (pathGiven) {
      Report(kCommand, "", "give either a file or --tone");
      return false;
    }
    o->channels = 1;
    o->bits = 0;
  }
  return true;
}

int BytesPerSample(int bits) {
  if (bits == 0) return 4;
  return (bits + 1) / 8;
}

// Blocks of PCM from a file descriptor, whole frames each until the end of the input.
class PcmReader {
 public:
  PcmReader(int fd, size_t frameBytes) : fd_(fd), frameBytes_(frameBytes) {}
  // Fills block with up to its size in bytes; returns the bytes read (a whole number of frames
  // unless the input ends), 0 at the end, -1 on an error or an interruption.
  ssize_t read(std::vector<uint8_t> &block) {
    size_t got = 0;
    while (got < block.size()) {
      const ssize_t n = ::read(fd_, block.data() + got, block.size() - got);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR && !stopRequested()) continue;
        return -1;
      }
      got += static_cast<size_t>(n);
      // A pipe delivers what it has: hand over the whole frames read so far rather than wait.
      if (got >= frameBytes_ && got % frameBytes_ == 0) break;
    }
    return static_cast<ssize_t>(got);
  }

 private:
  int fd_;
  size_t frameBytes_;
};

// Samples of a sine tone at a quarter of full scale, continuing its phase from block to block.
class ToneSource {
 public:
  ToneSource(double frequency, double rate) : step_(2 * M_PI * frequency / rate) {}
  void fill(std::vector<float> &block) {
    for (float &s : block) {
      s = static_cast<float>(0.25 * std::sin(phase_));
      phase_ = std::fmod(phase_ + step_, 2 * M_PI);
    }
  }

 private:
  double step_;
  double phase_ = 0;
};

void PrintStatus(Runtime &host, const Value &player, double rate, int64_t underflows) {
  if (!StatusOnTerminal()) return;
  const double position = host.get(player, "OutputPosition").value.asDouble();
  const int64_t freeSpace = host.call(player, "FreeSpace").value.asInteger();
  char line[96];
  std::snprintf(line, sizeof line, "  %9.2f s   queue %3lld/200   underflows %lld", position / rate,
                static_cast<long long>(200 - freeSpace), static_cast<long long>(underflows));
  DrawStatusLine(line);
}

int Run(const std::vector<std::string> &args) {
  Options o;
  if (!ParseOptions(args, &o)) return kExitUsage;
  int fd = -1;
  if (o.tone == 0 && o.path != "-") {
    // A raw file may be a FIFO here: that is how raw PCM often arrives.
    if (std::string problem = InputProblem(o.path);
        !problem.empty() && problem != "not a regular file") {
      Report(kCommand, o.path, problem);
      return kExitFailed;
    }
    fd = ::open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Report(kCommand, o.path, SystemWords(errno));
      return kExitFailed;
    }
  } else if (o.tone == 0) {
    fd = STDIN_FILENO;
  }
  if (!loadPlugin()) return kExitFailed;
  CoreAudioClient audio;
  if (!audio.create()) return kExitFailed;
  std::string problem;
  const std::optional<uint32_t> device = ResolveDevice(audio, o.device, true, &problem);
  if (!device) {
    Report(kCommand, "", problem);
    return kExitFailed;
  }
  Runtime &host = Runtime::get();
  host::CallResult created = host.newObject("CoreAudioPlayerXNQ");
  if (created.raised() || created.value.isNil()) {
    Report(kCommand, "", "the plugin has no CoreAudioPlayerXNQ");
    return kExitFailed;
  }
  const Value player = created.value;
  host.set(player, "SampleRate", Value::single(static_cast<float>(o.rate)));
  host.set(player, "NumberOfChannels", Value::integer(o.channels));
  host.set(player, "OutputDeviceID", Value::integer(*device));
  // While data keep coming, a late block means silence, not a stopped device.
  host.set(player, "NoUnderflow", Value::boolean(true));

  // Blocks of a tenth of a second: 200 of them keep 20 seconds queued.
  const size_t blockFrames = static_cast<size_t>(std::max(1.0, o.rate / 10));
  const size_t frameBytes = static_cast<size_t>(BytesPerSample(o.bits) * o.channels);
  PcmReader reader(fd, frameBytes);
  ToneSource tone(o.tone, o.rate);
  std::vector<uint8_t> bytes(blockFrames * frameBytes);
  std::vector<float> floats(blockFrames);
  double toneFramesLeft = o.seconds > 0 ? o.seconds * o.rate : HUGE_VAL;

  std::fprintf(stderr, "xnq stream: %s at %g Hz, %d channel%s, %s, on '%s' (device %u)\n",
               o.tone > 0 ? "tone" : (o.path == "-" ? "standard input" : o.path.c_str()), o.rate,
               o.channels, o.channels == 1 ? "" : "s",
               o.bits == 0 ? "float" : (std::to_string(o.bits) + "-bit").c_str(),
               audio.deviceCFString(*device, false, "lnam").c_str(), *device);
  bool ended = false, started = false;
  int64_t underflows = 0;
  int status = 0;
  while (!stopRequested()) {
    while (!ended && !stopRequested() && host.call(player, "HasFreeSpace").value.asBool()) {
      bool added = false;
      if (o.tone > 0) {
        if (toneFramesLeft < 1) {
          ended = true;
          break;
        }
        floats.resize(static_cast<size_t>(std::min<double>(blockFrames, toneFramesLeft)));
        tone.fill(floats);
        toneFramesLeft -= static_cast<double>(floats.size());
        Value block = host.newMemoryBlock(floats.data(), static_cast<int64_t>(floats.size() * 4));
        added = host.call(player, "AddFloatAudio", {block}).value.asBool();
      } else {
        const ssize_t n = reader.read(bytes);
        if (n <= 0) {
          if (n < 0 && !stopRequested()) {
            Report(kCommand, o.path == "-" ? "standard input" : o.path, SystemWords(errno));
            status = kExitFailed;
          }
          ended = true;
          break;
        }
        Value block = host.newMemoryBlock(bytes.data(), n);
        const char *method = o.bits == 0 ? "AddFloatAudio" : "AddAudio";
        std::vector<Value> callArgs{block, Value::integer(0), Value::integer(0)};
        if (o.bits != 0) callArgs.push_back(Value::integer(o.bits));
        added = host.call(player, method, callArgs).value.asBool();
      }
      if (!added) break;  // a block shorter than one sample; the next read brings more
    }
    if (!started && !stopRequested()) {
      if (!host.call(player, "Start").value.asBool()) {
        Report(kCommand, "",
               "the output device did not start: " +
                   StatusWords(host.get(player, "Lasterror").value.asInteger()));
        status = kExitFailed;
        break;
      }
      started = true;
    }
    if (ended) host.set(player, "NoUnderflow", Value::boolean(false));  // stop when played out
    if (host.get(player, "HadUnderflow").value.asBool()) {
      ++underflows;
      host.set(player, "HadUnderflow", Value::boolean(false));
    }
    PrintStatus(host, player, o.rate, underflows);
    if (started && !host.get(player, "IsRunning").value.asBool()) {
      // The player stops by itself when it has played everything, or when its device went away
      // (the whole tone may be queued long before that).
      const bool alive = audio.deviceAlive(*device);
      if (ended && alive) break;  // played out
      Report(kCommand, "",
             alive ? "the output device stopped by itself" : "the output device went away");
      status = kExitFailed;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  host.call(player, "Stop");
  if (started) PrintStatus(host, player, o.rate, underflows);
  EndStatusLine();
  if (fd > STDIN_FILENO) ::close(fd);
  char summary[128];
  std::snprintf(summary, sizeof summary, "%s after %.2f s, %lld underflow%s",
                stopRequested() ? "stopped"
                : status == 0   ? "played"
                                : "failed",
                host.get(player, "OutputPosition").value.asDouble() / o.rate,
                static_cast<long long>(underflows), underflows == 1 ? "" : "s");
  Report(kCommand, "", summary);
  return stopRequested() ? stopExitCode() : status;
}

const Registrar registrar({
    "stream",
    "play raw PCM (a file or standard input) or a tone through CoreAudioPlayerXNQ",
    "usage: xnq stream [FILE|-] [--bits 7|8|15|16|24|31|32|float] [--rate HZ] [--channels 1|2]\n"
    "                  [--device DEVICE]\n"
    "       xnq stream --tone HZ [--seconds S] [--rate HZ] [--device DEVICE]\n"
    "\n"
    "Plays raw interleaved PCM from FILE, or from standard input when FILE is '-' or missing,\n"
    "keeping the player's queue fed, with a live line of position, queued blocks and\n"
    "underflows (on a terminal; a summary line otherwise). Ctrl-C stops cleanly (exit 130).\n"
    "  --bits      sample format, as the player's BitSize: odd sizes are signed, even sizes\n"
    "              unsigned, little-endian except 24 (most significant byte first); 'float'\n"
    "              is 32-bit float. Default 15 (signed 16-bit little-endian).\n"
    "  --rate      sample rate of the data in Hz, 1 to 768000 (default 44100)\n"
    "  --channels  1 or 2 interleaved channels (default 2)\n"
    "  --device    the output device: its ID, UID or name, or default-output (the default)\n"
    "  --tone      play a sine tone of this frequency instead, for --seconds or until Ctrl-C",
    Run,
});

}  // namespace
}  // namespace xnq::tool
