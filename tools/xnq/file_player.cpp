#include "file_player.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "messages.h"
#include "options.h"
#include "os/audio_unit.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

using host::Runtime;
using host::Value;

constexpr char kCommand[] = "play";
constexpr UInt32 kSliceFrames = 1024;  // within the units' default maximum slice
constexpr UInt32 kChannels = 2;        // the player's output channels
constexpr double kSeekShort = 5, kSeekLong = 60, kVolumeStep = 0.05;

AudioUnit UnitOf(const Value &handle) {
  return reinterpret_cast<AudioUnit>(static_cast<intptr_t>(handle.asInteger()));
}

// A bar of width columns lit up to level dB (-60 … 0), with the held peak marked.
std::string MeterBar(double level, double peak, int width) {
  auto column = [&](double db) {
    return std::clamp(static_cast<int>((db + 60) / 60 * width), 0, width);
  };
  std::string bar(static_cast<size_t>(width), ' ');
  std::fill_n(bar.begin(), column(level), '=');
  const int held = column(peak);
  if (held > 0) bar[static_cast<size_t>(held - 1)] = '|';
  return "[" + bar + "]";
}

}  // namespace

Value FilePlayer::get(const char *property) { return Runtime::get().get(object_, property).value; }

bool FilePlayer::set(const char *property, const Value &value, const std::string &what) {
  Runtime::get().set(object_, property, value);
  const int64_t status = get("Lasterror").asInteger();
  if (status == 0) return true;
  Report(kCommand, name_, what + " was refused: " + StatusWords(status));
  return false;
}

bool FilePlayer::load(const std::string &path, const std::string &name, const PlayOptions &o) {
  name_ = name;
  host::CallResult created = Runtime::get().newObject("AUPlayerXNQ");
  object_ = created.value;
  if (created.raised() || object_.isNil()) {
    Report(kCommand, "", "the plugin has no AUPlayerXNQ");
    return false;
  }
  if (!o.render.empty() || o.outputUnit >= 0) {
    const long unit = o.render.empty() ? o.outputUnit : 1;
    if (!set("OutputUnit", Value::integer(unit), "--output-unit")) return false;
  }
  host::CallResult loaded =
      Runtime::get().call(object_, "LoadFile", {Runtime::get().newFolderItem(path)});
  if (loaded.raised()) {
    Report(kCommand, name_, loaded.exception->message);
    return false;
  }
  if (!loaded.value.asBool()) {
    Report(kCommand, name_, StatusWords(get("Lasterror").asInteger()));
    return false;
  }
  length_ = number("TrackLength");
  rate_ = number("SampleRate");
  if (!(length_ > 0) || !(rate_ > 0)) {
    Report(kCommand, name_, "no sound could be decoded: " + StatusWords(FourCharStatus("dta?")));
    return false;
  }
  return true;
}

bool FilePlayer::setQuality(int quality) {
  const UInt32 value = static_cast<UInt32>(quality);
  for (const char *unit : {"TimePitchHandle", "VariSpeedHandle"}) {
    Value block = Runtime::get().newMemoryBlock(&value, sizeof value);
    audio_.call("AudioUnitSetPropertyMemory",
                {get(unit), Value::integer(kAudioUnitProperty_RenderQuality),
                 Value::integer(kAudioUnitScope_Global), Value::integer(0), block,
                 Value::integer(0), Value::integer(sizeof value)});
    if (const int64_t status = audio_.lastError(); status != 0) {
      Report(kCommand, name_, "--quality was refused: " + StatusWords(status));
      return false;
    }
  }
  return true;
}

bool FilePlayer::configure(const PlayOptions &o) {
  char range[128];
  if (o.loop && o.loopOut > length_) {
    std::snprintf(range, sizeof range, "--loop %g,%g ends past the end of the file (%.2f s long)",
                  o.loopIn, o.loopOut, length_);
    Report(kCommand, name_, range);
    return false;
  }
  if (o.start >= length_ && o.start > 0) {
    std::snprintf(range, sizeof range, "--start %g is past the end of the file (%.2f s long)",
                  o.start, length_);
    Report(kCommand, name_, range);
    return false;
  }
  bool ok = true;
  if (o.varispeed > 0) {
    ok = ok && set("TimePitchUnit", Value::integer(2), "the varispeed unit");
    ok = ok && set("TimeRate", Value::dbl(o.varispeed), "--varispeed");
  } else if (o.rate > 0 || o.pitchGiven) {
    ok = ok && set("TimePitchUnit", Value::integer(1), "the time-pitch unit");
    if (o.rate > 0) ok = ok && set("TimeRate", Value::dbl(o.rate), "--rate");
    if (o.pitchGiven) ok = ok && set("PitchRate", Value::dbl(o.pitch), "--pitch");
  }
  if (o.quality >= 0) ok = ok && setQuality(o.quality);
  if (!std::isnan(o.volume)) ok = ok && set("OutputVolume", Value::dbl(o.volume), "--volume");
  if (!std::isnan(o.pan)) ok = ok && set("Pan", Value::dbl(o.pan), "--pan");
  if (ok && !o.eq.empty()) {
    std::vector<double> bands(o.eq);
    bands.resize(kEqBands, 0.0);
    Runtime::get().call(object_, "updateEQ", {Runtime::get().newDoubleArray(bands)});
    if (const int64_t status = get("Lasterror").asInteger(); status != 0) {
      Report(kCommand, name_, "--eq was refused: " + StatusWords(status));
      ok = false;
    }
  }
  if (ok && o.loop) {
    Runtime::get().set(object_, "LoopIn", Value::dbl(o.loopIn));
    Runtime::get().set(object_, "LoopOut", Value::dbl(o.loopOut));
    Runtime::get().set(object_, "Looping", Value::boolean(true));
    if (!get("Looping").asBool()) {
      Report(kCommand, name_, "--loop: the player did not take the loop points");
      ok = false;
    }
  }
  if (ok && o.device != 0)
    ok = set("CurrentDeviceID", Value::uint32(o.device), "--device " + std::to_string(o.device));
  if (ok && o.start > 0) Runtime::get().set(object_, "CurrentTime", Value::dbl(o.start));
  return ok;
}

void FilePlayer::announce(const PlayOptions &o) {
  std::string where;
  if (!o.render.empty()) {
    where = "rendering to " + (o.render == "-" ? std::string("standard output") : o.render);
  } else {
    device_ = static_cast<uint32_t>(get("CurrentDeviceID").asInteger());
    const std::string deviceName = audio_.deviceCFString(device_, false, "lnam");
    where = "on '" + deviceName + "' (device " + std::to_string(device_) + ")";
  }
  std::fprintf(stderr, "xnq play: %s, %.2f s at %.0f Hz, %s\n", name_.c_str(), length_, rate_,
               where.c_str());
}

void FilePlayer::readMeter() {
  const Value mixer = get("MixerHandle");
  auto parameter = [&](int64_t id) {
    return audio_
        .call("AudioUnitGetParameter", {mixer, Value::integer(id),
                                        Value::integer(kAudioUnitScope_Output), Value::integer(0)})
        .asDouble();
  };
  bool full = false;
  for (int c = 0; c < 2; ++c) {
    level_[c] = parameter(kMultiChannelMixerParam_PostAveragePower + c);
    peak_[c] = parameter(kMultiChannelMixerParam_PostPeakHoldLevel + c);
    loudest_ = std::max(loudest_, level_[c]);
    // The meters read at most 0 dB: a peak there reached full scale.
    full = full || peak_[c] >= -0.001;
  }
  if (full && !atFullScale_) ++clips_;
  atFullScale_ = full;
}

void FilePlayer::drawStatus(bool paused) {
  if (!StatusOnTerminal()) return;
  char head[160];
  std::snprintf(head, sizeof head, "%s %7.2f / %.2f s%s  vol %.2f ", paused ? "||" : "> ",
                number("CurrentTime"), length_, get("Looping").asBool() ? "  loop" : "",
                number("OutputVolume"));
  char tail[48];
  std::snprintf(tail, sizeof tail, " %6.1f dB%s", std::max(level_[0], level_[1]),
                clips_ > 0 ? ("  clips " + std::to_string(clips_)).c_str() : "");
  const int room = TerminalWidth() - 1 - static_cast<int>(std::strlen(head) + std::strlen(tail));
  const int bar = std::clamp((room - 8) / 2, 4, 30);
  DrawStatusLine(std::string(head) + "L" + MeterBar(level_[0], peak_[0], bar) + " R" +
                 MeterBar(level_[1], peak_[1], bar) + tail);
}

PlayEnd FilePlayer::playLive(const PlayOptions &, KeyReader &keys) {
  Runtime &host = Runtime::get();
  host.call(object_, "Play");
  if (!get("Playing").asBool()) {
    Report(kCommand, name_,
           "the output did not start: " + StatusWords(get("Lasterror").asInteger()));
    return PlayEnd::Failed;
  }
  PlayEnd end = PlayEnd::Ended;
  bool paused = false;
  int tail = -1;  // rounds left once the end is reached, while the device plays out its buffer
  while (tail != 0) {
    if (stopRequested()) {
      end = PlayEnd::Stopped;
      break;
    }
    // A graph whose device went away renders nothing more: its position would never move on.
    if (device_ != 0 && !audio_.deviceAlive(device_)) {
      Report(kCommand, name_, "the output device went away");
      end = PlayEnd::Failed;
      break;
    }
    const Key key = keys.next(50);
    if (key == Key::Quit || key == Key::Next) {
      end = key == Key::Quit ? PlayEnd::Quit : PlayEnd::Next;
      break;
    }
    if (key == Key::Space) {
      host.call(object_, paused ? "Play" : "Pause");
      paused = !paused;
    } else if (key == Key::Left || key == Key::Right || key == Key::Up || key == Key::Down) {
      const double step = key == Key::Left    ? -kSeekShort
                          : key == Key::Right ? kSeekShort
                          : key == Key::Down  ? -kSeekLong
                                              : kSeekLong;
      host.set(object_, "CurrentTime",
               Value::dbl(std::clamp(number("CurrentTime") + step, 0.0, length_)));
      tail = -1;
    } else if (key == Key::VolumeDown || key == Key::VolumeUp) {
      const double step = key == Key::VolumeUp ? kVolumeStep : -kVolumeStep;
      host.set(object_, "OutputVolume",
               Value::dbl(std::clamp(number("OutputVolume") + step, 0.0, 1.0)));
    } else if (key == Key::Loop) {
      if (get("Looping").asBool()) {
        host.set(object_, "Looping", Value::boolean(false));
      } else {
        // Without loop points the loop is the whole file.
        if (number("LoopOut") <= 0) {
          host.set(object_, "LoopIn", Value::dbl(0));
          host.set(object_, "LoopOut", Value::dbl(length_));
        }
        host.set(object_, "Looping", Value::boolean(true));
      }
    }
    readMeter();
    drawStatus(paused);
    const bool atEnd = number("CurrentTime") >= length_ * (1 - 1e-9);
    if (paused || get("Looping").asBool() || !atEnd) {
      tail = -1;
    } else if (tail < 0) {
      tail = 5;
    } else {
      --tail;
    }
  }
  const double at = number("CurrentTime");
  host.call(object_, "Pause");
  EndStatusLine();
  char summary[160];
  std::snprintf(summary, sizeof summary, "%s at %.2f of %.2f s; loudest %.1f dB, %d clip%s",
                end == PlayEnd::Ended    ? "played to the end"
                : end == PlayEnd::Failed ? "failed"
                                         : "stopped",
                at, length_, loudest_, clips_, clips_ == 1 ? "" : "s");
  Report(kCommand, name_, summary);
  return end;
}

// Renders slices of the generic output into interleaved frames; false after reporting a failure.
bool FilePlayer::renderSlice(uint32_t frames, float *interleaved) {
  float planes[kSliceFrames * kChannels];
  struct {
    UInt32 count;
    AudioBuffer buffers[kChannels];
  } list;
  list.count = kChannels;
  for (UInt32 c = 0; c < kChannels; ++c)
    list.buffers[c] = {1, frames * 4, &planes[c * kSliceFrames]};
  AudioTimeStamp stamp{};
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  stamp.mSampleTime = renderedFrames_;
  AudioUnitRenderActionFlags flags = 0;
  if (output_ == nullptr) output_ = UnitOf(get("OutputHandle"));
  if (OSStatus s = AudioUnitRender(static_cast<AudioUnit>(output_), &flags, &stamp, 0, frames,
                                   reinterpret_cast<AudioBufferList *>(&list))) {
    Report(kCommand, name_, "the graph failed to render: " + StatusWords(s));
    return false;
  }
  renderedFrames_ += frames;
  for (UInt32 f = 0; f < frames; ++f) {
    for (UInt32 c = 0; c < kChannels; ++c)
      interleaved[f * kChannels + c] = planes[c * kSliceFrames + f];
  }
  return true;
}

bool FilePlayer::measureDecodedFrames() {
  // The header's length is only a claim. The position counts decoded frames over CurrentTime's
  // seconds, so one frame rendered at rate 1 (before any rate unit moves) tells how many frames
  // a second of it is, and with the track's length how many frames decoded. Then the position
  // goes back to the start and the units forget the frame.
  Runtime &host = Runtime::get();
  float frame[kChannels];
  host.call(object_, "Play");
  const bool rendered = renderSlice(1, frame);
  const double at = number("CurrentTime");
  host.call(object_, "Pause");
  host.set(object_, "CurrentTime", Value::dbl(0));
  host.call(object_, "Reset");
  if (!rendered) return false;
  decodedFrames_ = at > 0 ? std::llround(length_ / at) : 0;
  return true;
}

PlayEnd FilePlayer::render(const PlayOptions &o, AudioWriter &writer) {
  Runtime &host = Runtime::get();
  if (!writer.open(o.render, rate_, kChannels, o.bits, o.paths)) {
    Report(kCommand, o.render, writer.problem());
    return PlayEnd::Failed;
  }
  const bool ratesMove = o.varispeed > 0 || o.rate > 0;
  const double speed = ratesMove ? number("TimeRate") : 1.0;
  // The rate unit's latency is rendered after the end, so the output holds the whole file.
  Value latencyBlock = audio_.call("AudioUnitGetPropertyMemory",
                                   {get(o.varispeed > 0 ? "VariSpeedHandle" : "TimePitchHandle"),
                                    Value::integer(kAudioUnitProperty_Latency),
                                    Value::integer(kAudioUnitScope_Global), Value::integer(0)});
  double latency = 0;
  if (!latencyBlock.isNil() && latencyBlock.size() == 8)
    std::memcpy(&latency, latencyBlock.data(), 8);
  const int64_t total =
      std::llround(static_cast<double>(decodedFrames_) / speed) + std::llround(latency * rate_);
  host.call(object_, "Play");
  // Slices are gathered in blocks, so that writing costs few calls.
  constexpr int64_t kBlockFrames = kSliceFrames * 64;
  std::vector<float> interleaved(kBlockFrames * kChannels);
  const auto began = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  PlayEnd end = PlayEnd::Ended;
  int64_t done = 0;
  while (done < total && end == PlayEnd::Ended) {
    int64_t inBlock = 0;
    while (inBlock < kBlockFrames && done + inBlock < total) {
      if (stopRequested()) {
        end = PlayEnd::Stopped;
        break;
      }
      const auto n = static_cast<UInt32>(std::min<int64_t>(kSliceFrames, total - done - inBlock));
      if (!renderSlice(n, &interleaved[inBlock * kChannels])) {
        end = PlayEnd::Failed;
        break;
      }
      inBlock += n;
    }
    if (!writer.write(interleaved.data(), inBlock)) end = PlayEnd::Failed;
    done += inBlock;
    DrawProgress(static_cast<double>(done) / rate_, static_cast<double>(total) / rate_, elapsed());
  }
  host.call(object_, "Pause");
  if (!writer.finish() || end == PlayEnd::Failed) {
    Report(kCommand, o.render, writer.problem().empty() ? "not complete" : writer.problem());
    end = PlayEnd::Failed;
  }
  EndStatusLine();
  const double seconds = static_cast<double>(writer.framesWritten()) / rate_;
  char summary[200];
  std::snprintf(summary, sizeof summary, "%s %lld frames (%.2f s) to %s in %.3f s, %.0fx real time",
                end == PlayEnd::Ended ? "rendered" : "stopped after",
                static_cast<long long>(writer.framesWritten()), seconds,
                writer.toStandardOutput() ? "standard output" : o.render.c_str(), elapsed(),
                seconds / std::max(elapsed(), 1e-9));
  Report(kCommand, name_, summary);
  return end;
}

}  // namespace xnq::tool
