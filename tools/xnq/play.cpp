// xnq play: plays an audio file through AUPlayerXNQ (rate, pitch, varispeed, volume, pan, EQ,
// loop, device), with a live status line, or renders it offline through the generic output unit
// into a WAV file as fast as the graph runs.
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "coreaudio_values.h"
#include "os/audio_unit.h"
#include "subcommand.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {

using host::CallResult;
using host::Runtime;
using host::Value;

constexpr int kBands = 31;
constexpr int64_t kSliceFrames = 1024;  // within the units' default maximum slice

struct Options {
  std::string path;                           // empty: a file the command writes itself
  double rate = 0, pitch = 0, varispeed = 0;  // 0 (pitch: unset) leaves the class's default
  bool pitchGiven = false;
  double volume = NAN, pan = NAN;
  std::vector<double> eq;
  bool loop = false;
  double loopIn = 0, loopOut = 0;
  long device = -1, outputUnit = -1;
  std::string render;
};

bool ParseNumber(const std::string &text, double *out) {
  char *end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(*out);
}

bool ParseList(const std::string &text, std::vector<double> *out) {
  out->clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    double v = 0;
    if (!ParseNumber(text.substr(start, comma - start), &v)) return false;
    out->push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool Fail(const char *message) {
  std::fprintf(stderr, "xnq play: %s (see xnq play --help)\n", message);
  return false;
}

bool ParseOptions(const std::vector<std::string> &args, Options *o) {
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    const bool hasValue = k + 1 < args.size();
    const std::string value = hasValue ? args[k + 1] : "";
    double v = 0;
    std::vector<double> list;
    bool ok = hasValue;
    if (a == "--rate") {
      ok = ok && ParseNumber(value, &o->rate) && o->rate > 0;
    } else if (a == "--pitch") {
      ok = ok && ParseNumber(value, &o->pitch);
      o->pitchGiven = true;
    } else if (a == "--varispeed") {
      ok = ok && ParseNumber(value, &o->varispeed) && o->varispeed > 0;
    } else if (a == "--volume") {
      ok = ok && ParseNumber(value, &o->volume) && o->volume >= 0;
    } else if (a == "--pan") {
      ok = ok && ParseNumber(value, &o->pan);
    } else if (a == "--eq") {
      ok = ok && ParseList(value, &o->eq) && o->eq.size() <= kBands;
    } else if (a == "--loop") {
      ok = ok && ParseList(value, &list) && list.size() == 2 && list[0] >= 0 && list[1] > list[0];
      o->loop = true;
      if (ok) o->loopIn = list[0], o->loopOut = list[1];
    } else if (a == "--device") {
      ok = ok && ParseNumber(value, &v) && v >= 0;
      o->device = static_cast<long>(v);
    } else if (a == "--output-unit") {
      ok = ok && ParseNumber(value, &v) && v >= 0 && v <= 4 && v == std::floor(v);
      o->outputUnit = static_cast<long>(v);
    } else if (a == "--render") {
      o->render = value;
      ok = ok && !value.empty();
    } else if (o->path.empty() && a.rfind("--", 0) != 0) {
      o->path = a;
      continue;
    } else {
      std::fprintf(stderr, "xnq play: bad argument '%s' (see xnq play --help)\n", a.c_str());
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "xnq play: bad value for %s (see xnq play --help)\n", a.c_str());
      return false;
    }
    ++k;
  }
  if (o->varispeed > 0 && (o->rate > 0 || o->pitchGiven))
    return Fail(
        "--varispeed plays through the varispeed unit; --rate and --pitch through the "
        "time-pitch unit: give one or the other");
  if (!o->render.empty() && o->loop) return Fail("a looping render would never end");
  if (!o->render.empty() && (o->device >= 0 || (o->outputUnit >= 0 && o->outputUnit != 1)))
    return Fail("--render renders through the generic output unit, not to a device");
  return true;
}

// A few seconds of notes, written where the command can find them again, for a run without a
// file: an arpeggio whose notes alternate between the left and the right channel.
std::string WriteDemoFile() {
  char folder[] = "/tmp/xnq-play-XXXXXX";
  if (mkdtemp(folder) == nullptr) return "";
  const std::string path = std::string(folder) + "/arpeggio.wav";
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return "";
  const double notes[] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 261.63, 196.00};
  const int noteFrames = 44100 * 3 / 8;
  std::vector<float> frames(static_cast<size_t>(noteFrames) * 2);
  for (size_t n = 0; n < sizeof notes / sizeof notes[0]; ++n) {
    for (int f = 0; f < noteFrames; ++f) {
      const double t = f / 44100.0;
      const double s = 0.4 * std::exp(-3 * t) * std::sin(2 * M_PI * notes[n] * t);
      frames[f * 2] = static_cast<float>(n % 2 == 0 ? s : 0.3 * s);
      frames[f * 2 + 1] = static_cast<float>(n % 2 == 0 ? 0.3 * s : s);
    }
    sf_writef_float(file, frames.data(), noteFrames);
  }
  sf_close(file);
  return path;
}

void RemoveDemoFile(const std::string &path) {
  unlink(path.c_str());
  rmdir(path.substr(0, path.rfind('/')).c_str());
}

// The player as this command drives it: every call by name, Lasterror after each setter.
class Player {
 public:
  bool create() {
    CallResult r = host().newObject("AUPlayerXNQ");
    object_ = r.value;
    return !r.raised() && !object_.isNil();
  }
  Value get(const char *property) { return host().get(object_, property).value; }
  double number(const char *property) { return get(property).asDouble(); }
  // Sets a property and reports a status the class kept; false when a unit refused.
  bool set(const char *property, const Value &value, const char *what) {
    host().set(object_, property, value);
    const int64_t status = get("Lasterror").asInteger();
    if (status == 0) return true;
    std::fprintf(stderr, "xnq play: %s refused (%s)\n", what, StatusText(status).c_str());
    return false;
  }
  CallResult call(const char *method, std::vector<Value> args = {}) {
    return host().call(object_, method, args);
  }
  const Value &object() const { return object_; }

 private:
  static Runtime &host() { return Runtime::get(); }
  Value object_;
};

bool Configure(Player &player, const Options &o) {
  bool ok = true;
  if (o.varispeed > 0) {
    ok &= player.set("TimePitchUnit", Value::integer(2), "the varispeed unit");
    ok &= player.set("TimeRate", Value::dbl(o.varispeed), "--varispeed");
  } else if (o.rate > 0 || o.pitchGiven) {
    ok &= player.set("TimePitchUnit", Value::integer(1), "the time-pitch unit");
    if (o.rate > 0) ok &= player.set("TimeRate", Value::dbl(o.rate), "--rate");
    if (o.pitchGiven) ok &= player.set("PitchRate", Value::dbl(o.pitch), "--pitch");
  }
  if (!std::isnan(o.volume)) ok &= player.set("OutputVolume", Value::dbl(o.volume), "--volume");
  if (!std::isnan(o.pan)) ok &= player.set("Pan", Value::dbl(o.pan), "--pan");
  if (!o.eq.empty()) {
    std::vector<double> bands(o.eq);
    bands.resize(kBands, 0.0);
    player.call("updateEQ", {Runtime::get().newDoubleArray(bands)});
  }
  if (o.loop) {
    player.set("LoopIn", Value::dbl(o.loopIn), "--loop");
    player.set("LoopOut", Value::dbl(o.loopOut), "--loop");
    player.set("Looping", Value::boolean(true), "--loop");
    if (!player.get("Looping").asBool()) ok = Fail("--loop: the loop points are not in the file");
  }
  if (o.device >= 0)
    ok &= player.set("CurrentDeviceID", Value::uint32(static_cast<uint32_t>(o.device)), "--device");
  return ok;
}

// The output in frames of the whole file (its duration at its rate) at the rate unit's speed,
// with the unit's latency added.
int64_t RenderFrames(Player &player, const Options &o) {
  const double rate = player.number("SampleRate");
  const double fileFrames = std::round(player.number("TrackLength") * rate);
  const double speed = o.varispeed > 0 || o.rate > 0 ? player.number("TimeRate") : 1.0;
  const char *unit = o.varispeed > 0 ? "VariSpeedHandle" : "TimePitchHandle";
  auto handle = reinterpret_cast<AudioUnit>(static_cast<intptr_t>(player.get(unit).asInteger()));
  Float64 latency = 0;
  UInt32 size = sizeof latency;
  if (AudioUnitGetProperty(handle, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &latency,
                           &size) != 0)
    latency = 0;
  return std::llround(fileFrames / speed + latency * rate);
}

void ShowProgress(int64_t done, int64_t total, double rate) {
  const int width = 40;
  const int filled = total > 0 ? static_cast<int>(width * done / total) : width;
  std::fprintf(stderr, "\r  [%s%s] %3d%%  %7.2f / %.2f s", std::string(filled, '#').c_str(),
               std::string(width - filled, '.').c_str(),
               total > 0 ? static_cast<int>(100 * done / total) : 100, done / rate, total / rate);
  std::fflush(stderr);
}

int Render(Player &player, const Options &o) {
  const UInt32 channels = 2;
  const double rate = player.number("SampleRate");
  const int64_t total = RenderFrames(player, o);
  auto output =
      reinterpret_cast<AudioUnit>(static_cast<intptr_t>(player.get("OutputHandle").asInteger()));
  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(rate));
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE *file = sf_open(o.render.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "xnq play: cannot write %s: %s\n", o.render.c_str(), sf_strerror(nullptr));
    return 1;
  }
  // No PEAK chunk: keeping it would scan every sample written for the file's maxima.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  const bool terminal = isatty(STDERR_FILENO);
  const auto began = std::chrono::steady_clock::now();
  player.call("Play");
  // The file is written in blocks of many slices, so that writing costs few calls.
  const int64_t blockFrames = kSliceFrames * 64;
  std::vector<float> planes(kSliceFrames * channels), interleaved(blockFrames * channels);
  struct {
    UInt32 count;
    AudioBuffer buffers[channels];
  } list;
  AudioTimeStamp stamp{};
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  int64_t done = 0;
  int status = 0;
  while (done < total && !stopRequested()) {
    const auto n = static_cast<UInt32>(std::min(kSliceFrames, total - done));
    list.count = channels;
    for (UInt32 c = 0; c < channels; ++c) list.buffers[c] = {1, n * 4, &planes[c * kSliceFrames]};
    AudioUnitRenderActionFlags flags = 0;
    if (OSStatus s = AudioUnitRender(output, &flags, &stamp, 0, n,
                                     reinterpret_cast<AudioBufferList *>(&list))) {
      std::fprintf(stderr, "\nxnq play: the graph failed to render (%s)\n", StatusText(s).c_str());
      status = 1;
      break;
    }
    float *to = &interleaved[(done % blockFrames) * channels];
    for (UInt32 f = 0; f < n; ++f) {
      for (UInt32 c = 0; c < channels; ++c) to[f * channels + c] = planes[c * kSliceFrames + f];
    }
    stamp.mSampleTime += n;
    done += n;
    if (done % blockFrames == 0 || done == total) {
      sf_writef_float(file, interleaved.data(), (done - 1) % blockFrames + 1);
      if (terminal) ShowProgress(done, total, rate);
    }
  }
  // A render cut short keeps what was rendered.
  if (done < total && done % blockFrames != 0)
    sf_writef_float(file, interleaved.data(), done % blockFrames);
  player.call("Pause");
  sf_close(file);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::fprintf(stderr, "%sxnq play: %s %lld frames (%.2f s) to %s in %.3f s, %.0fx real time\n",
               terminal ? "\n" : "", stopRequested() ? "stopped after" : "rendered",
               static_cast<long long>(done), done / rate, o.render.c_str(), seconds,
               done / rate / std::max(seconds, 1e-9));
  return stopRequested() ? 130 : status;
}

void ShowStatus(Player &player, const Options &o) {
  const double level = player.number("MeterLevel");  // dB, -120 … 0
  const int width = 24;
  const int lit = std::clamp(static_cast<int>((level + 60) / 60 * width), 0, width);
  char loop[64] = "";
  if (o.loop) std::snprintf(loop, sizeof loop, "  loop %.2f-%.2f s", o.loopIn, o.loopOut);
  std::fprintf(stderr, "\r  %7.2f / %.2f s%s  [%s%s] %6.1f dB ", player.number("CurrentTime"),
               player.number("TrackLength"), loop, std::string(lit, '=').c_str(),
               std::string(width - lit, ' ').c_str(), std::max(level, -120.0));
  std::fflush(stderr);
}

int Play(Player &player, const Options &o) {
  player.call("Play");
  if (!player.get("Playing").asBool()) {
    std::fprintf(stderr, "xnq play: the output did not start (%s)\n",
                 StatusText(player.get("Lasterror").asInteger()).c_str());
    return 1;
  }
  const double length = player.number("TrackLength");
  int tail = -1;  // status rounds left once the end is reached, so the device plays it out
  while (!stopRequested() && tail != 0) {
    ShowStatus(player, o);
    if (tail < 0 && !o.loop && player.number("CurrentTime") >= length * (1 - 1e-9)) tail = 5;
    if (tail > 0) --tail;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  player.call("Pause");
  ShowStatus(player, o);
  std::fprintf(stderr, "\n%s", stopRequested() ? "xnq play: stopped\n" : "");
  return 0;  // Ctrl-C is a clean stop, as at the end
}

int Run(const std::vector<std::string> &args) {
  Options o;
  if (!ParseOptions(args, &o)) return 2;
  const bool demo = o.path.empty();
  if (demo && (o.path = WriteDemoFile()).empty()) {
    std::fprintf(stderr, "xnq play: cannot write the demo file\n");
    return 1;
  }
  catchStopSignals();

  int status = 1;
  Player player;
  if (!loadPlugin()) {
  } else if (!player.create()) {
    std::fprintf(stderr, "xnq play: the plugin has no AUPlayerXNQ\n");
  } else {
    if (!o.render.empty() || o.outputUnit >= 0)
      player.set("OutputUnit", Value::integer(o.render.empty() ? o.outputUnit : 1), "OutputUnit");
    CallResult loaded = player.call("LoadFile", {Runtime::get().newFolderItem(o.path)});
    if (loaded.raised() || !loaded.value.asBool()) {
      std::fprintf(stderr, "xnq play: cannot play %s: %s\n", o.path.c_str(),
                   loaded.raised() ? loaded.exception->message.c_str()
                                   : StatusText(player.get("Lasterror").asInteger()).c_str());
    } else if (Configure(player, o)) {
      std::fprintf(stderr, "xnq play: %s, %.2f s at %.0f Hz\n",
                   demo ? "demo arpeggio" : o.path.c_str(), player.number("TrackLength"),
                   player.number("SampleRate"));
      status = o.render.empty() ? Play(player, o) : Render(player, o);
    }
  }
  if (demo) RemoveDemoFile(o.path);
  return status;
}

const Registrar registrar({
    "play",
    "play an audio file (or a demo) through AUPlayerXNQ, or render it to a WAV file",
    "usage: xnq play [FILE] [--rate R] [--pitch CENTS] [--varispeed R] [--volume V] [--pan P]\n"
    "                [--eq G1,...,G31] [--loop IN,OUT] [--device ID] [--output-unit N]\n"
    "                [--render OUT.wav]\n"
    "\n"
    "Loads FILE (any format the platform reads; without FILE a short arpeggio the command\n"
    "writes itself) into AUPlayerXNQ and plays it on the output device, with a live line of\n"
    "position / length, the loop and the mixer's level. It stops at the end or on Ctrl-C.\n"
    "  --rate R        playback speed through the time-pitch unit, pitch kept (0.01 steps)\n"
    "  --pitch CENTS   pitch shift through the time-pitch unit, speed kept\n"
    "  --varispeed R   speed and pitch together through the varispeed unit\n"
    "  --volume V      the mixer's output volume (1: unity)\n"
    "  --pan P         the mixer's pan, -1 (left) to 1 (right)\n"
    "  --eq G1,...     gains in dB of the 31 equalizer bands, 20 Hz to 20 kHz (missing: 0)\n"
    "  --loop IN,OUT   loop between these times in seconds\n"
    "  --device ID     play to this device (the HAL output unit)\n"
    "  --output-unit N 0 or 2 HAL output, 3 default output, 4 system output\n"
    "  --render OUT    render the whole file offline through the generic output unit into a\n"
    "                  32-bit float WAV at the file's rate, as fast as the graph runs",
    Run,
});

}  // namespace
}  // namespace xnq::tool
