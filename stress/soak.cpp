// xnq_soak: plays HOURS of audio through each playing class at once: the streaming player
// (CoreAudioPlayerXNQ, fed block after block), the file player (AUPlayerXNQ looping a file) and
// the sound output component (QTSoundStreamXNQ under a sound channel), each onto a device of its
// own on a free-running clock. Every frame each device plays is checked where it is played, in
// the device's output tap. The streaming player's and the file player's paths are exact at the
// device's rate, so their output is compared sample for sample with the known signal (the file
// player's loop included: its loop ends on a slice boundary, so it wraps without a gap). The
// sound channel plays at 48 kHz into the component's 44.1 kHz mixer, which resamples, so its
// sine is checked for phase continuity (each sample follows from the two before it) and a steady
// level. The streaming player must report no underflow and the process's resident memory must
// stay flat.
//   xnq_soak HOURS       exit 0 when every frame arrived; 1 with the figures of what did not.
// The taps check in place rather than writing capture files: ten hours of float stereo are
// about 13 GB per device, and a file could be checked only after the run.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "os/audio_unit.h"
#include "platform/audio_devices.h"
#include "platform/memory_files.h"
#include "platform/sound_channel.h"
#include "stress.h"

namespace {

using stress::call;
using stress::get;
using stress::integer;
using stress::Runtime;
using stress::set;
using stress::Value;

constexpr double kRate = 44100;
constexpr UInt32 kCycle = 512;

// The exact signal: 16-bit values that never repeat in a pattern a drop or a repeat could hide.
inline int16_t Signal(uint64_t n) { return static_cast<int16_t>(((n + 1) * 2654435761u) >> 16); }

// What a tap found. Written on the device's IO thread, read by the main thread.
struct Tally {
  const char *name;
  uint64_t target = 0;                // frames to check
  std::atomic<uint64_t> checked{0};   // frames checked so far
  std::atomic<uint64_t> bad{0};       // frames that differ (exact) or break the phase
  std::atomic<uint64_t> gaps{0};      // windows without the signal's level (phase check)
  std::atomic<int64_t> firstBad{-1};  // the first frame that was wrong
  bool started = false;               // IO thread only
  // The exact signal's value at a frame and channel; null for the phase check.
  float (*expected)(uint64_t frame, UInt32 channel) = nullptr;
  void fault(uint64_t frame) {
    if (bad.fetch_add(1) == 0) firstBad.store(static_cast<int64_t>(frame));
  }
};

// IO thread of an exact path's device: silence before the signal starts is skipped; after it a
// frame that is not the signal's next is wrong, except silence, which is a gap (the signal
// arrived late: an underflow) and is not a frame of the signal.
void ExactTap(const Float32 *out, UInt32 frames, UInt32 channels, void *context) {
  auto *t = static_cast<Tally *>(context);
  uint64_t n = t->checked.load(std::memory_order_relaxed);
  for (UInt32 f = 0; f < frames && n < t->target; ++f) {
    const Float32 *frame = out + size_t{f} * channels;
    const bool silent = frame[0] == 0 && frame[1] == 0;
    if (!t->started && silent) continue;
    t->started = true;
    const float left = t->expected(n, 0), right = t->expected(n, 1);
    if (frame[0] == left && frame[1] == right) {
      ++n;
    } else if (silent) {
      t->gaps.fetch_add(1, std::memory_order_relaxed);
    } else {
      t->fault(n);
      ++n;
    }
  }
  t->checked.store(n, std::memory_order_relaxed);
}

// The streaming player plays mono 16-bit values, in both channels.
float Streamed(uint64_t frame, UInt32) { return Signal(frame) / 32768.0f; }

// The file player loops a file of kFileFrames stereo frames: left the even values, right the
// odd ones. The file's length is a whole number of 512-frame slices, so the loop wraps exactly
// at its end.
constexpr uint32_t kFileFrames = 512 * 100;
float Looped(uint64_t frame, UInt32 channel) {
  return Signal(2 * (frame % kFileFrames) + channel) / 32768.0f;
}

// The sound channel's sine, at 48000 Hz; the component's mixer plays it at 44100.
constexpr double kSineHz = 441;
constexpr double kChannelRate = 48000;
constexpr UInt32 kChannelBlock = 65536;
constexpr double kSineLevel = 0.5;

struct PhaseTally : Tally {
  double twoCos = 2 * std::cos(2 * M_PI * kSineHz / kRate);
  float prev[2][2] = {};  // the two samples before, per channel
  uint64_t steady = 0;    // frames in a row that followed the phase before checking begins
  float level = 0;        // the level found once steady
  float windowPeak = 0;
  UInt32 windowFrames = 0;
};

// IO thread of the sound component's device. Until the resampler has settled, frames are only
// watched; after that a sample more than kTolerance off the sine through the two before it is a
// break in the phase (a dropped, repeated or garbled frame: a skipped one is about 0.03 off),
// and a 10 ms window whose peak is not within 10 % of the steady level is a gap.
void PhaseTap(const Float32 *out, UInt32 frames, UInt32 channels, void *context) {
  constexpr float kTolerance = 0.01f;
  auto *t = static_cast<PhaseTally *>(context);
  uint64_t n = t->checked.load(std::memory_order_relaxed);
  for (UInt32 f = 0; f < frames && n < t->target; ++f) {
    const Float32 *frame = out + size_t{f} * channels;
    bool follows = true;
    float peak = 0;
    for (int c = 0; c < 2; ++c) {
      const double predicted = t->twoCos * t->prev[c][1] - t->prev[c][0];
      follows = follows && std::fabs(frame[c] - predicted) < kTolerance;
      peak = std::max(peak, std::fabs(frame[c]));
      t->prev[c][0] = t->prev[c][1];
      t->prev[c][1] = frame[c];
    }
    t->windowPeak = std::max(t->windowPeak, peak);
    const bool windowDone = ++t->windowFrames == 441;
    if (!t->started) {
      t->steady = follows ? t->steady + 1 : 0;
      if (windowDone) {
        // A second of frames following the sine, at a level: checking begins.
        if (t->steady >= 44100 && t->windowPeak > 0.1f) t->level = t->windowPeak;
        t->started = t->level > 0;
        t->windowPeak = 0;
        t->windowFrames = 0;
      }
      continue;
    }
    if (!follows) t->fault(n);
    if (windowDone) {
      if (std::fabs(t->windowPeak - t->level) > 0.1f * t->level) t->gaps.fetch_add(1);
      t->windowPeak = 0;
      t->windowFrames = 0;
    }
    ++n;
  }
  t->checked.store(n, std::memory_order_relaxed);
}

long ResidentKiB() {
  long pages = 0, resident = 0;
  if (FILE *f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

AudioDeviceID AddDevice(const char *name, Tally *tally, XnqOutputTap tap) {
  XnqDeviceConfig config{
      "null", name, nullptr, nullptr, kRate, 2, 0, kCycle, XNQ_CLOCK_FREE_RUNNING};
  const AudioDeviceID id = xnq_hal_add_device(&config);
  if (id == 0 || xnq_hal_set_output_tap(id, tap, tally) != noErr) {
    fprintf(stderr, "xnq_soak: cannot add device %s: %s\n", name, xnq_hal_last_error());
    exit(2);
  }
  return id;
}

// The file player's file: kFileFrames frames of the looped signal, stereo float at 44100 Hz.
std::string LoopedFile() {
  std::string s = "RIFF";
  auto le = [&s](uint32_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) s += static_cast<char>(v >> (8 * k) & 0xFF);
  };
  const auto rate = static_cast<uint32_t>(kRate);
  le(36 + kFileFrames * 8, 4);
  s += "WAVEfmt ";
  le(16, 4), le(3, 2), le(2, 2), le(rate, 4), le(rate * 8, 4), le(8, 2), le(32, 2);
  s += "data";
  le(kFileFrames * 8, 4);
  for (uint32_t f = 0; f < kFileFrames; ++f) {
    for (UInt32 c = 0; c < 2; ++c) {
      const float v = Looped(f, c);
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      le(bits, 4);
    }
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  const double hours = argc == 2 ? atof(argv[1]) : 0;
  if (argc != 2 || !(hours > 0)) {
    fprintf(stderr, "usage: xnq_soak HOURS (of audio through each class)\n");
    return 2;
  }
  setenv("XNQ_AUDIO_DEVICES", "none", 1);
  Runtime &host = Runtime::get();
  if (!host.load(XNQ_PLUGIN_PATH)) {
    fprintf(stderr, "xnq_soak: cannot load the plugin: %s\n", host.error().c_str());
    return 2;
  }
  const xnq::host::ReferenceCounts baseline = host.outstanding();
  const auto target = static_cast<uint64_t>(hours * 3600 * kRate);
  Tally streamed{"streaming player"}, looped{"file player"};
  PhaseTally sounded;
  sounded.name = "sound component";
  streamed.expected = Streamed;
  looped.expected = Looped;
  Tally *const tallies[] = {&streamed, &looped, &sounded};
  for (Tally *t : tallies) t->target = target;
  const AudioDeviceID streamDevice = AddDevice("Soak Stream", &streamed, ExactTap);
  const AudioDeviceID fileDevice = AddDevice("Soak File", &looped, ExactTap);
  const AudioDeviceID soundDevice = AddDevice("Soak Sound", &sounded, PhaseTap);
  const auto start = std::chrono::steady_clock::now();

  // The file player loops its whole file on its own device.
  const std::string file = LoopedFile();
  xnq_memory_file_register("/tmp/xnq-soak-loop.wav", file.data(), file.size());
  Value filePlayer = host.newObject("AUPlayerXNQ").value;
  set(filePlayer, "OutputUnit", integer(2));
  call(filePlayer, "LoadFile", {host.newFolderItem("/tmp/xnq-soak-loop.wav")});
  set(filePlayer, "CurrentDeviceID", Value::uint32(fileDevice));
  set(filePlayer, "LoopIn", Value::dbl(0));
  // Half a slice before the end: the slice that reaches it ends at the file's end and wraps.
  set(filePlayer, "LoopOut", Value::dbl((kFileFrames - 256) / kRate));
  set(filePlayer, "Looping", Value::boolean(true));
  call(filePlayer, "Play");
  if (!get(filePlayer, "Playing").asBool() || get(filePlayer, "Lasterror").asInteger() != 0) {
    fprintf(stderr, "xnq_soak: the file player does not play: %lld\n",
            static_cast<long long>(get(filePlayer, "Lasterror").asInteger()));
    return 1;
  }

  // The sound component renders into a HAL output unit on its own device; a thread of its own
  // keeps a sound channel fed.
  Value stream = host.newObject("QTSoundStreamXNQ").value;
  call(stream, "InitComponent");
  call(stream, "OpenComponent");
  AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_HALOutput);
  AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                       &soundDevice, sizeof soundDevice);
  const Value unitHandle = integer(reinterpret_cast<intptr_t>(unit));
  call(stream, "AttachToAudioUnitComponent", {unitHandle});
  call(stream, "AudioUnitInitialize", {unitHandle});
  auto component = reinterpret_cast<Component>(
      static_cast<intptr_t>(get(stream, "SoundOutputComponentHandle").asInteger()));
  XnqSoundFormat format = {kChannelRate, 2, 16, 1};
  XnqSoundChannel *channel = nullptr;
  // Whole blocks at a time (a write takes a block however few frames it holds): 64 of them
  // queue 87 s of sound, so a feeder held up for a moment is no gap.
  if (xnq_sound_channel_open(component, &format, 64, kChannelBlock, &channel) != noErr) {
    fprintf(stderr, "xnq_soak: no sound channel on the component\n");
    return 1;
  }
  std::atomic<bool> feeding{true};
  std::thread soundFeeder([&] {
    std::vector<int16_t> block(2 * kChannelBlock);
    uint64_t n = 0;
    bool started = false;
    // The channel's frames at its rate, and three seconds for the checking to settle.
    const auto toFeed = static_cast<uint64_t>((hours * 3600 + 3) * kChannelRate);
    while (feeding.load() && n < toFeed) {
      const UInt32 frames = static_cast<UInt32>(std::min<uint64_t>(kChannelBlock, toFeed - n));
      const bool full = xnq_sound_channel_free_frames(channel) < frames;
      if (!started && (full || n + frames >= toFeed)) {  // the unit starts on a full queue
        call(stream, "AudioOutputUnitStart", {unitHandle});
        started = true;
      }
      if (full) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      for (UInt32 f = 0; f < frames; ++f) {
        const double phase = 2 * M_PI * kSineHz * static_cast<double>((n + f) % 48000) / 48000;
        const auto v = static_cast<uint16_t>(std::lround(32767 * kSineLevel * std::sin(phase)));
        block[2 * f] = block[2 * f + 1] = static_cast<int16_t>(v << 8 | v >> 8);  // big-endian
      }
      UInt32 written = 0;
      xnq_sound_channel_write(channel, block.data(), frames, &written);
      n += written;
    }
  });

  // The streaming player, fed on this (the main) thread in blocks of 262144 frames: its queue of
  // 200 blocks holds twenty minutes of audio, so a feeder held up for a moment (the devices run
  // hundreds of times faster than real time) is no underflow.
  Value player = host.newObject("CoreAudioPlayerXNQ").value;
  set(player, "OutputDeviceID", integer(streamDevice));
  set(player, "SampleRate", Value::single(static_cast<float>(kRate)));
  set(player, "NoUnderflow", Value::boolean(true));
  constexpr uint32_t kBlock = 262144;
  Value block = host.newMemoryBlock(kBlock * 2);
  uint64_t queued = 0, underflows = 0;
  bool playing = false;
  long residentStart = 0, residentEnd = 0;
  auto lastReport = start, lastProgress = start;
  uint64_t progress = 0;
  bool stalled = false;
  while (streamed.checked.load() < target || looped.checked.load() < target ||
         sounded.checked.load() < target) {
    while (queued < target && call(player, "HasFreeSpace").asBool()) {
      const auto frames = static_cast<uint32_t>(std::min<uint64_t>(kBlock, target - queued));
      auto *samples = reinterpret_cast<int16_t *>(block.data());
      for (uint32_t f = 0; f < frames; ++f) samples[f] = Signal(queued + f);
      call(player, "AddAudio", {block, integer(0), integer(frames * 2), integer(15)});
      queued += frames;
    }
    if (!playing) playing = call(player, "Start").asBool();
    // The queue runs dry only at the end: an underflow before the last block was queued is one.
    if (queued < target && get(player, "HadUnderflow").asBool()) {
      ++underflows;
      set(player, "HadUnderflow", Value::boolean(false));
    }
    const auto now = std::chrono::steady_clock::now();
    // A class whose frames stop arriving (a hang, a stopped device, a signal never found)
    // ends the run with what was checked.
    const uint64_t sum = streamed.checked.load() + looped.checked.load() + sounded.checked.load();
    if (sum != progress) {
      progress = sum;
      lastProgress = now;
    } else if (now - lastProgress > std::chrono::seconds(60)) {
      fprintf(stderr, "xnq_soak: no frame arrived for 60 s\n");
      stalled = true;
      break;
    }
    // Resident memory in the steady state, every queue full: once every class has played 2 %,
    // and again when the first has played 95 %.
    const uint64_t least =
        std::min({streamed.checked.load(), looped.checked.load(), sounded.checked.load()});
    const uint64_t most =
        std::max({streamed.checked.load(), looped.checked.load(), sounded.checked.load()});
    if (residentStart == 0 && least > target / 50) residentStart = ResidentKiB();
    if (residentEnd == 0 && most > target / 100 * 95) residentEnd = ResidentKiB();
    if (now - lastReport > std::chrono::seconds(30)) {
      lastReport = now;
      fprintf(stderr, "xnq_soak: %.0f s: %.2f / %.2f / %.2f h checked\n",
              std::chrono::duration<double>(now - start).count(),
              streamed.checked.load() / kRate / 3600, looped.checked.load() / kRate / 3600,
              sounded.checked.load() / kRate / 3600);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  feeding.store(false);
  soundFeeder.join();
  call(player, "Stop");
  call(filePlayer, "Stop");
  AudioOutputUnitStop(unit);
  xnq_sound_channel_close(channel);
  player = Value();
  block = Value();
  filePlayer = Value();
  call(stream, "CloseComponent");
  stream = Value();
  AudioUnitUninitialize(unit);
  CloseComponent(unit);

  printf("xnq_soak: %.2f h of audio per class in %.0f s (%.0fx real time)\n", hours, took,
         hours * 3600 / took);
  printf("%-18s %14s %10s %10s %12s\n", "class", "frames checked", "wrong", "gaps", "first wrong");
  bool ok = underflows == 0 && !stalled;
  for (Tally *t : tallies) {
    printf("%-18s %14llu %10llu %10llu %12lld\n", t->name,
           static_cast<unsigned long long>(t->checked.load()),
           static_cast<unsigned long long>(t->bad.load()),
           static_cast<unsigned long long>(t->gaps.load()),
           static_cast<long long>(t->firstBad.load()));
    ok = ok && t->checked.load() == target && t->bad.load() == 0 && t->gaps.load() == 0;
  }
  printf("underflows reported by the streaming player: %llu\n",
         static_cast<unsigned long long>(underflows));
  const long growth = residentEnd - residentStart;
  printf(
      "resident memory: %ld KiB with every class past 2 %%, %ld KiB with the first at 95 %% "
      "(%+ld KiB)\n",
      residentStart, residentEnd, growth);
  ok = ok && residentStart > 0 && residentEnd > 0 && growth < 4096;
  const bool balanced = host.outstanding() == baseline && host.accountingErrors() == 0;
  if (!balanced)
    printf("host references: %lld outstanding\n", (long long)host.outstanding().total());
  printf("xnq_soak: %s\n", ok && balanced ? "every frame arrived" : "FAILED");
  return ok && balanced ? 0 : 1;
}
