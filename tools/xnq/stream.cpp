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
#include <string>
#include <thread>
#include <vector>

#include "subcommand.h"
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
  long device = 0;
  double tone = 0;      // Hz; 0: play the input
  double seconds = -1;  // tone length; negative: until Ctrl-C
};

bool ParseNumber(const std::string &text, double *out) {
  char *end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(*out);
}

bool ParseOptions(const std::vector<std::string> &args, Options *o) {
  bool pathGiven = false;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    const bool hasValue = k + 1 < args.size();
    double v = 0;
    if (a == "--bits" && hasValue) {
      const std::string &b = args[++k];
      if (b == "float") {
        o->bits = 0;
      } else if (ParseNumber(b, &v) &&
                 (v == 7 || v == 8 || v == 15 || v == 16 || v == 24 || v == 31 || v == 32)) {
        o->bits = static_cast<int>(v);
      } else {
        std::fprintf(stderr, "xnq stream: --bits takes 7, 8, 15, 16, 24, 31, 32 or float\n");
        return false;
      }
    } else if (a == "--rate" && hasValue && ParseNumber(args[k + 1], &v) && v >= 1) {
      o->rate = v;
      ++k;
    } else if (a == "--channels" && hasValue && ParseNumber(args[k + 1], &v) &&
               (v == 1 || v == 2)) {
      o->channels = static_cast<int>(v);
      ++k;
    } else if (a == "--device" && hasValue && ParseNumber(args[k + 1], &v) && v >= 0) {
      o->device = static_cast<long>(v);
      ++k;
    } else if (a == "--tone" && hasValue && ParseNumber(args[k + 1], &v) && v > 0) {
      o->tone = v;
      ++k;
    } else if (a == "--seconds" && hasValue && ParseNumber(args[k + 1], &v) && v > 0) {
      o->seconds = v;
      ++k;
    } else if (!pathGiven && (a == "-" || a.rfind("--", 0) != 0)) {
      o->path = a;
      pathGiven = true;
    } else {
      std::fprintf(stderr, "xnq stream: bad argument '%s' (see xnq stream --help)\n", a.c_str());
      return false;
    }
  }
  if (o->tone > 0) {
    if (pathGiven) {
      std::fprintf(stderr, "xnq stream: give either a file or --tone\n");
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
  const double position = host.get(player, "OutputPosition").value.asDouble();
  const int64_t freeSpace = host.call(player, "FreeSpace").value.asInteger();
  std::fprintf(stderr, "\r  %9.2f s   queue %3lld/200   underflows %lld   ", position / rate,
               static_cast<long long>(200 - freeSpace), static_cast<long long>(underflows));
  std::fflush(stderr);
}

int Run(const std::vector<std::string> &args) {
  Options o;
  if (!ParseOptions(args, &o)) return 2;
  int fd = -1;
  if (o.tone == 0) {
    fd = o.path == "-" ? STDIN_FILENO : ::open(o.path.c_str(), O_RDONLY);
    if (fd < 0) {
      std::fprintf(stderr, "xnq stream: cannot open %s\n", o.path.c_str());
      return 1;
    }
  }
  if (!loadPlugin()) return 1;
  Runtime &host = Runtime::get();
  host::CallResult created = host.newObject("CoreAudioPlayerXNQ");
  if (created.raised() || created.value.isNil()) {
    std::fprintf(stderr, "xnq stream: the plugin has no CoreAudioPlayerXNQ\n");
    return 1;
  }
  const Value player = created.value;
  host.set(player, "SampleRate", Value::single(static_cast<float>(o.rate)));
  host.set(player, "NumberOfChannels", Value::integer(o.channels));
  host.set(player, "OutputDeviceID", Value::integer(o.device));
  // While data keep coming, a late block means silence, not a stopped device.
  host.set(player, "NoUnderflow", Value::boolean(true));

  catchStopSignals();

  // Blocks of a tenth of a second: 200 of them keep 20 seconds queued.
  const size_t blockFrames = static_cast<size_t>(std::max(1.0, o.rate / 10));
  const size_t frameBytes = static_cast<size_t>(BytesPerSample(o.bits) * o.channels);
  PcmReader reader(fd, frameBytes);
  ToneSource tone(o.tone, o.rate);
  std::vector<uint8_t> bytes(blockFrames * frameBytes);
  std::vector<float> floats(blockFrames);
  double toneFramesLeft = o.seconds > 0 ? o.seconds * o.rate : HUGE_VAL;

  std::fprintf(stderr, "xnq stream: %s at %g Hz, %d channel%s, %s, device %ld (Ctrl-C stops)\n",
               o.tone > 0 ? "tone" : (o.path == "-" ? "standard input" : o.path.c_str()), o.rate,
               o.channels, o.channels == 1 ? "" : "s",
               o.bits == 0 ? "float" : (std::to_string(o.bits) + "-bit").c_str(), o.device);
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
          if (n < 0 && !stopRequested()) std::fprintf(stderr, "\nxnq stream: read error\n");
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
        std::fprintf(stderr, "xnq stream: the output device did not start\n");
        status = 1;
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
    if (ended && !host.get(player, "IsRunning").value.asBool()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  host.call(player, "Stop");
  if (started) PrintStatus(host, player, o.rate, underflows);
  std::fprintf(stderr, "\n%s", stopRequested() ? "xnq stream: stopped\n" : "");
  if (fd > STDIN_FILENO) ::close(fd);
  return status;
}

const Registrar registrar({
    "stream",
    "play raw PCM (a file or standard input) or a tone through CoreAudioPlayerXNQ",
    "usage: xnq stream [FILE|-] [--bits 7|8|15|16|24|31|32|float] [--rate HZ] [--channels 1|2]\n"
    "                  [--device ID]\n"
    "       xnq stream --tone HZ [--seconds S] [--rate HZ] [--device ID]\n"
    "\n"
    "Plays raw interleaved PCM from FILE, or from standard input when FILE is '-' or missing,\n"
    "keeping the player's queue fed, with a live line of position, queued blocks and\n"
    "underflows. Ctrl-C stops cleanly.\n"
    "  --bits      sample format, as the player's BitSize: odd sizes are signed, even sizes\n"
    "              unsigned, little-endian except 24 (most significant byte first); 'float'\n"
    "              is 32-bit float. Default 15 (signed 16-bit little-endian).\n"
    "  --rate      sample rate of the data in Hz (default 44100)\n"
    "  --channels  1 or 2 interleaved channels (default 2)\n"
    "  --device    output device ID (default 0: the default output device)\n"
    "  --tone      play a sine tone of this frequency instead, for --seconds or until Ctrl-C",
    Run,
});

}  // namespace
}  // namespace xnq::tool
