// The stress program's cases: each class's host calls raced from several threads against the
// audio threads (the device IO thread, the render thread) that the calls start and stop.
#include <string.h>

#include <cmath>
#include <mutex>

#include "os/audio_hardware.h"
#include "os/audio_unit.h"
#include "platform/memory_files.h"
#include "platform/sound_channel.h"
#include "stress.h"

namespace stress {
namespace {

// A block of floats for the streaming player: a quiet sine, 2048 samples.
Value FloatBlock() {
  std::vector<float> samples(2048);
  for (size_t k = 0; k < samples.size(); ++k)
    samples[k] = static_cast<float>(0.1 * std::sin(0.05 * static_cast<double>(k)));
  return Runtime::get().newMemoryBlock(samples.data(), static_cast<int64_t>(samples.size() * 4));
}

// A 16-bit WAV file of a sine, as bytes, for memory files the file player loads.
std::string WavBytes(uint32_t frames, uint16_t channels, uint32_t rate) {
  auto le = [](std::string &s, uint32_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) s += static_cast<char>(v >> (8 * k) & 0xFF);
  };
  const uint32_t data = frames * channels * 2;
  std::string s = "RIFF";
  le(s, 36 + data, 4);
  s += "WAVEfmt ";
  le(s, 16, 4), le(s, 1, 2), le(s, channels, 2), le(s, rate, 4), le(s, rate * channels * 2, 4);
  le(s, channels * 2u, 2), le(s, 16, 2);
  s += "data";
  le(s, data, 4);
  for (uint32_t f = 0; f < frames * channels; ++f)
    le(s, static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(0.03 * (f / channels)))), 2);
  return s;
}

// Memory files in a folder that exists: the host names files by folder item.
const char *const kFiles[] = {"/tmp/xnq-stress-stereo.wav", "/tmp/xnq-stress-mono.wav",
                              "/tmp/xnq-stress-short.wav"};

void RegisterFiles() {
  static const bool once = [] {
    const std::string files[] = {WavBytes(22050, 2, 44100), WavBytes(30000, 1, 48000),
                                 WavBytes(300, 2, 8000)};
    for (int k = 0; k < 3; ++k)
      xnq_memory_file_register(kFiles[k], files[k].data(), files[k].size());
    return true;
  }();
  (void)once;
}

AudioObjectID DefaultOutputDevice() {
  AudioObjectID device = 0;
  UInt32 size = sizeof device;
  const AudioObjectPropertyAddress address = {kAudioHardwarePropertyDefaultOutputDevice,
                                              kAudioObjectPropertyScopeGlobal, 0};
  AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device);
  return device;
}

// The objects a round's threads share, made and dropped on the main thread.
struct Shared {
  std::mutex lock;  // guards the Value handles themselves, not the calls made through them
  Value object;
  AudioUnit unit = nullptr;
  Value get() {
    std::lock_guard<std::mutex> hold(lock);
    return object;
  }
} gShared;

// --- CoreAudioPlayerXNQ ---------------------------------------------------------------------

// Players made, fed, started and let go while their IO procedures run.
void PlayerLifetime(Worker &w, int) {
  const Value block = FloatBlock();
  while (running()) {
    w.step("new CoreAudioPlayerXNQ");
    Value player = Runtime::get().newObject("CoreAudioPlayerXNQ").value;
    set(player, "NoUnderflow", Value::boolean(w.pick(2) == 0));
    w.step("PlayFloatAudio");
    call(player, "PlayFloatAudio", {block});
    for (uint32_t k = w.pick(4); k > 0; --k) call(player, "AddFloatAudio", {block});
    w.pause(3);
    switch (w.pick(3)) {
      case 0:
        w.step("Stop");
        call(player, "Stop");
        break;
      case 1:
        w.step("Close");
        call(player, "Close");
        break;
      default:
        break;
    }
    w.step("destructor while playing");
  }
}

void SharePlayer() {
  gShared.object = Runtime::get().newObject("CoreAudioPlayerXNQ").value;
  set(gShared.object, "NoUnderflow", Value::boolean(true));
}

void DropShared() {
  std::lock_guard<std::mutex> hold(gShared.lock);
  gShared.object = Value();
}

// One player: Start and Stop, blocks added (and the queue flushed with ClearBuffers), its
// settings read and changed, all at once and against its IO thread.
void PlayerTransport(Worker &w, int index) {
  const Value player = gShared.get();
  const Value block = FloatBlock();
  const Value bytes = Runtime::get().newMemoryBlock(4096);
  static const int64_t kBits[] = {7, 8, 15, 16, 24, 31, 32};
  while (running()) {
    switch (index) {
      case 0:
        w.step("Start");
        call(player, "Start");
        w.pause(4);
        w.step(w.pick(8) == 0 ? "Close" : "Stop");
        call(player, w.pick(8) == 0 ? "Close" : "Stop");
        break;
      case 1:
        w.step("AddAudio");
        call(player, "AddAudio",
             {bytes, integer(0), integer(0), integer(kBits[w.pick(7)]), Value::boolean(false)});
        w.step("AddFloatAudio (ClearBuffers)");
        call(player, "AddFloatAudio",
             {block, integer(0), integer(0), Value::boolean(w.pick(6) == 0)});
        w.step("AddFloatAudioStereo");
        call(player, "AddFloatAudioStereo", {block, block});
        break;
      default:
        w.step("properties");
        get(player, "OutputPosition");
        get(player, "OutputPositionRelative");
        get(player, "IsRunning");
        get(player, "FreeSpace");
        set(player, "HadUnderflow", Value::boolean(false));
        set(player, "NumberOfChannels", integer(1 + w.pick(2)));
        set(player, "SampleRate", Value::single(w.pick(2) ? 44100.0f : 22050.0f));
        set(player, "NoUnderflow", Value::boolean(w.pick(4) != 0));
        break;
    }
    w.pause(1);
  }
}

// --- AUPlayerXNQ ----------------------------------------------------------------------------

Value FileItem(Worker &w) { return Runtime::get().newFolderItem(kFiles[w.pick(3)]); }

void ShareFilePlayer() {
  RegisterFiles();
  gShared.object = Runtime::get().newObject("AUPlayerXNQ").value;
}

// One file player: loads on a worker thread (LoadFileMT) while other threads poll it, play and
// stop it, move its position and loop and change its parameters; beside it, players made,
// loaded, played and let go.
void FilePlayer(Worker &w, int index) {
  const Value player = gShared.get();
  while (running()) {
    switch (index) {
      case 0:
        w.step("LoadFileMT");
        call(player, w.pick(4) == 0 ? "LoadFile" : "LoadFileMT",
             {FileItem(w), integer(1 + w.pick(2)), integer(2)});
        break;
      case 1:
        w.step("Play");
        call(player, "Play");
        w.pause(3);
        w.step("CurrentTime, loop");
        set(player, "CurrentTime", Value::dbl(0.05 * w.pick(10)));
        set(player, "LoopIn", Value::dbl(0.01 * w.pick(10)));
        set(player, "LoopOut", Value::dbl(0.1 + 0.05 * w.pick(10)));
        set(player, "Looping", Value::boolean(w.pick(2) == 0));
        w.step(w.pick(2) ? "Pause" : "Stop");
        call(player, w.pick(2) ? "Pause" : "Stop");
        break;
      case 2:
        w.step("polls");
        get(player, "CurrentTime");
        get(player, "TrackLength");
        get(player, "Playing");
        get(player, "MeterLevel");
        get(player, "ClientFormatString");
        get(player, "Lasterror");
        w.step("parameters");
        set(player, "TimeRate", Value::dbl(0.5 + 0.25 * w.pick(6)));
        set(player, "PitchRate", Value::dbl(-600.0 + 200 * w.pick(7)));
        set(player, "Pan", Value::dbl(-1.0 + 0.5 * w.pick(5)));
        set(player, "OutputVolume", Value::dbl(0.25 * w.pick(5)));
        set(player, "TimePitchUnit", Value::boolean(w.pick(2) == 0));
        break;
      default: {
        w.step("new AUPlayerXNQ");
        Value other = Runtime::get().newObject("AUPlayerXNQ").value;
        w.step("LoadFile");
        call(other, "LoadFile", {FileItem(w)});
        w.step("Play");
        call(other, "Play");
        w.pause(5);
        w.step("destructor while playing");
        break;
      }
    }
    w.pause(1);
  }
}

// --- QTSoundStreamXNQ -----------------------------------------------------------------------

void ShareSoundStream() {
  Value stream = Runtime::get().newObject("QTSoundStreamXNQ").value;
  call(stream, "InitComponent");
  call(stream, "OpenComponent");
  AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput);
  const Value handle = integer(reinterpret_cast<intptr_t>(unit));
  call(stream, "AttachToAudioUnitComponent", {handle});
  call(stream, "AudioUnitInitialize", {handle});
  call(stream, "AudioOutputUnitStart", {handle});
  std::lock_guard<std::mutex> hold(gShared.lock);
  gShared.object = stream;
  gShared.unit = unit;
}

void DropSoundStream() {
  AudioOutputUnitStop(gShared.unit);
  AudioUnitUninitialize(gShared.unit);
  CloseComponent(gShared.unit);
  gShared.unit = nullptr;
  DropShared();
}

// The component's own calls (close, reopen, attach) against sound channels playing through it
// and the output unit's render thread pulling from it.
void SoundStream(Worker &w, int index) {
  const Value stream = gShared.get();
  const Value unit = integer(reinterpret_cast<intptr_t>(gShared.unit));
  std::vector<int16_t> tone(2 * 1024);
  for (size_t k = 0; k < tone.size(); ++k)
    tone[k] = static_cast<int16_t>(6000 * std::sin(0.06 * static_cast<double>(k / 2)));
  while (running()) {
    if (index == 0) {
      w.step("CloseComponent, OpenComponent");
      call(stream, w.pick(3) == 0 ? "InitComponent" : "CloseComponent");
      w.pause(3);
      call(stream, "OpenComponent");
      w.step("AttachToAudioUnitComponent");
      call(stream, "AttachToAudioUnitComponent", {unit});
      get(stream, "IsStreamActive");
      w.pause(3);
      continue;
    }
    auto component = reinterpret_cast<Component>(
        static_cast<intptr_t>(get(stream, "SoundOutputComponentHandle").asInteger()));
    // The channel's calls reach the component's dispatch as the Sound Manager's own threads do,
    // beside the host's.
    OffTurn off;
    XnqSoundFormat format = {w.pick(2) ? 44100.0 : 22050.0, 2, 16, 0};
    XnqSoundChannel *channel = nullptr;
    w.step("sound channel open");
    if (component == nullptr || xnq_sound_channel_open(component, &format, 4, 1024, &channel)) {
      w.pause(2);
      continue;
    }

    for (uint32_t k = 1 + w.pick(8); k > 0 && running(); --k) {
      w.step("sound channel write");
      xnq_sound_channel_write(channel, tone.data(), 1024, nullptr);
      w.pause(2);
      if (w.pick(6) == 0) {
        w.step("sound channel pause, resume");
        xnq_sound_channel_pause(channel);
        xnq_sound_channel_resume(channel);
      }
    }
    w.step(w.pick(2) ? "sound channel stop" : "sound channel close");
    xnq_sound_channel_stop(channel);
    xnq_sound_channel_close(channel);
  }
}

// --- CoreAudioListenerXNQ and CoreAudioXNQ --------------------------------------------------

// Listeners made and dropped (their Changed events queued for the main thread meanwhile) while
// other threads change the properties they listen to and read them through CoreAudioXNQ.
void Listeners(Worker &w, int index) {
  const AudioObjectID device = DefaultOutputDevice();
  const Value coreAudio = Runtime::get().newObject("CoreAudioXNQ").value;
  while (running()) {
    switch (index) {
      case 0:
      case 1: {
        w.step("new CoreAudioListenerXNQ");
        const bool onDevice = w.pick(3) != 0;
        Value listener =
            Runtime::get()
                .newObject("CoreAudioListenerXNQ",
                           {Value::uint32(onDevice ? device : kAudioObjectSystemObject),
                            Value::uint32(onDevice ? kAudioDevicePropertyNominalSampleRate
                                                   : kAudioHardwarePropertyDevices),
                            Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0)})
                .value;
        Runtime::get().setEventHandler(listener, "Changed", [] {});
        w.pause(5);
        w.step(w.pick(2) ? "Destructor" : "listener dropped");
        if (w.pick(2)) call(listener, "Destructor");
        break;
      }
      case 2: {
        w.step("set nominal rate, buffer size");
        Float64 rate = w.pick(2) ? 44100 : 48000;
        AudioObjectPropertyAddress address = {kAudioDevicePropertyNominalSampleRate,
                                              kAudioObjectPropertyScopeGlobal, 0};
        AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof rate, &rate);
        UInt32 frames = 64u << w.pick(4);
        address.mSelector = kAudioDevicePropertyBufferFrameSize;
        AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof frames, &frames);
        w.pause(2);
        break;
      }
      default:
        w.step("CoreAudioXNQ reads");
        // The name as a C string and as a CFString, each through its own form.
        for (const char *form : {"AudioDeviceGetPropertyString", "AudioDeviceGetPropertyCFString"})
          call(coreAudio, form,
               {integer(device), integer(0), Value::boolean(false),
                Runtime::get().newString(form[22] == 'S' ? "name" : "lnam")});
        call(coreAudio, "CoreAudioGetCurrentHostTimeXNQ");
        w.pause(2);
        break;
    }
  }
}

}  // namespace

std::vector<Case> cases() {
  return {
      {"player-lifetime", "CoreAudioPlayerXNQ objects made, played and let go while playing", 3,
       nullptr, PlayerLifetime, nullptr},
      {"player-transport", "Start, Stop, AddAudio, ClearBuffers and settings on one player", 3,
       SharePlayer, PlayerTransport, DropShared},
      {"file-player", "LoadFileMT while other threads poll, play and set one AUPlayerXNQ", 4,
       ShareFilePlayer, FilePlayer, DropShared},
      {"sound-stream", "QTSoundStreamXNQ closed, reopened, attached while channels play", 3,
       ShareSoundStream, SoundStream, DropSoundStream},
      {"listeners", "listeners made and dropped while their properties change", 4, nullptr,
       Listeners, nullptr},
  };
}

}  // namespace stress
