// xnq soundstream: plays an audio file the way a program written for the older sound services
// does: through a sound channel on the output device component that QTSoundStreamXNQ registers,
// which renders into the default output unit. One live status line; Ctrl-C stops cleanly.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "coreaudio_values.h"
#include "messages.h"
#include "platform/sound_channel.h"
#include "subcommand.h"
#include "terminal.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {

constexpr char kCommand[] = "soundstream";

using host::Runtime;
using host::Value;

// The class's component and output unit, set up as a host program sets them up, and taken
// down in the reverse order.
class SoundStream {
 public:
  SoundStream() : host_(Runtime::get()), obj_(host_.newObject("QTSoundStreamXNQ").value) {}
  ~SoundStream() {
    if (obj_.isNil()) return;
    host_.call(obj_, "CloseComponent");  // stops the unit
    if (unit_ != 0) CloseComponent(reinterpret_cast<ComponentInstance>(unit_));
  }
  // An empty message when the component plays into a running output unit.
  std::string start() {
    if (obj_.isNil()) return "the plugin has no QTSoundStreamXNQ";
    host_.call(obj_, "InitComponent");
    host_.call(obj_, "OpenComponent");
    if (!host_.get(obj_, "IsOpen").value.asBool())
      return "the sound output component was not registered";
    unit_ = static_cast<intptr_t>(
        host_.call(obj_, "OpenDefaultAudioUnitOutputComponent").value.asInteger());
    if (unit_ == 0) return "there is no default output unit";
    for (const char *method :
         {"AttachToAudioUnitComponent", "AudioUnitInitialize", "AudioOutputUnitStart"}) {
      int64_t status = host_.call(obj_, method, {Value::integer(unit_)}).value.asInteger();
      if (status != 0) return std::string(method) + " failed: " + StatusWords(status);
    }
    return "";
  }
  Component component() {
    return reinterpret_cast<Component>(
        static_cast<intptr_t>(host_.get(obj_, "SoundOutputComponentHandle").value.asInteger()));
  }
  bool active() { return host_.get(obj_, "IsStreamActive").value.asBool(); }

 private:
  Runtime &host_;
  Value obj_;
  intptr_t unit_ = 0;
};

void PrintStatus(double played, double total, double queued, bool active) {
  char line[96];
  std::snprintf(line, sizeof line, "  %8.2f / %.2f s   queued %5.2f s   %s", played, total, queued,
                active ? "playing" : "idle");
  DrawStatusLine(line);
}

// The file's length and rate, and the file set to deliver its first two channels (or its one)
// as 16-bit samples in this machine's byte order: what the sound channel plays.
struct Input {
  ExtAudioFileRef file = nullptr;
  Float64 rate = 0;
  UInt32 fileChannels = 0, channels = 0;
  SInt64 frames = 0;
};

OSStatus OpenInput(const std::string &path, Input &in) {
  if (OSStatus status = openAudioFile(path, in.file)) return status;
  AudioStreamBasicDescription format{};
  UInt32 size = sizeof format;
  OSStatus status =
      ExtAudioFileGetProperty(in.file, kExtAudioFileProperty_FileDataFormat, &size, &format);
  size = sizeof in.frames;
  if (status == noErr)
    status =
        ExtAudioFileGetProperty(in.file, kExtAudioFileProperty_FileLengthFrames, &size, &in.frames);
  in.rate = format.mSampleRate;
  in.fileChannels = format.mChannelsPerFrame;
  in.channels = in.fileChannels >= 2 ? 2 : 1;
  const UInt32 frameBytes = 2 * in.channels;
  const AudioStreamBasicDescription client{
      in.rate,
      kAudioFormatLinearPCM,
      kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
      frameBytes,
      1,
      frameBytes,
      in.channels,
      16,
      0};
  if (status == noErr)
    status = ExtAudioFileSetProperty(in.file, kExtAudioFileProperty_ClientDataFormat, sizeof client,
                                     &client);
  return status;
}

int Run(const std::vector<std::string> &args) {
  if (args.size() != 1 || args[0].rfind("--", 0) == 0) {
    Report(kCommand, "", "give one audio file (see xnq soundstream --help)");
    return kExitUsage;
  }
  if (std::string problem = InputProblem(args[0]); !problem.empty()) {
    Report(kCommand, args[0], problem);
    return kExitFailed;
  }
  Input in;
  if (OSStatus opened = OpenInput(args[0], in)) {
    Report(kCommand, args[0], StatusWords(opened));
    if (in.file != nullptr) ExtAudioFileDispose(in.file);
    return kExitFailed;
  }
  if (!loadPlugin()) {
    ExtAudioFileDispose(in.file);
    return kExitFailed;
  }
  CoreAudioClient audio;
  if (!audio.create()) {
    ExtAudioFileDispose(in.file);
    return kExitFailed;
  }
  int status = 0;
  {
    SoundStream stream;
    std::string failure = stream.start();
    XnqSoundFormat format{in.rate, in.channels, 16, 0};
    XnqSoundChannel *channel = nullptr;
    OSStatus opened = failure.empty()
                          ? xnq_sound_channel_open(stream.component(), &format, 0, 0, &channel)
                          : noErr;
    if (failure.empty() && opened != noErr)
      failure = "the sound channel did not open: " + StatusWords(opened);
    if (!failure.empty()) {
      Report(kCommand, args[0], failure);
      status = kExitFailed;
    } else {
      const uint32_t device = audio.hardwareUInt32("dOut").value_or(0);
      std::fprintf(stderr, "xnq soundstream: %s, %g Hz, %u channel%s, on '%s' (device %u)\n",
                   args[0].c_str(), in.rate, in.fileChannels, in.fileChannels == 1 ? "" : "s",
                   audio.deviceCFString(device, false, "lnam").c_str(), device);
      const double total = static_cast<double>(in.frames) / in.rate;
      constexpr UInt32 kBlock = 4096;
      std::vector<short> samples(kBlock * 2);
      bool ended = false;
      while (!stopRequested()) {
        // Once the device went away nothing takes the queued sound any more.
        if (!audio.deviceAlive(device)) {
          Report(kCommand, args[0], "the output device went away");
          status = kExitFailed;
          break;
        }
        while (!ended && xnq_sound_channel_free_frames(channel) >= kBlock) {
          UInt32 got = kBlock;
          AudioBufferList list{1, {{in.channels, kBlock * 2 * in.channels, samples.data()}}};
          // A read error ends the file after what it delivered, and fails the command.
          const OSStatus read = ExtAudioFileRead(in.file, &got, &list);
          if (got > 0) xnq_sound_channel_write(channel, samples.data(), got, nullptr);
          if (read != noErr) {
            Report(kCommand, args[0], "reading failed: " + StatusWords(read));
            status = kExitFailed;
          }
          if (read != noErr || got == 0) {
            ended = true;
            break;
          }
        }
        const UInt32 queued = xnq_sound_channel_queued_frames(channel);
        PrintStatus(xnq_sound_channel_played_frames(channel) / in.rate, total, queued / in.rate,
                    stream.active());
        if (ended && queued == 0) {
          // The last block has been taken; its samples still pass the mixer's current buffer
          // and the device's before they are heard.
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      const double played = xnq_sound_channel_played_frames(channel) / in.rate;
      xnq_sound_channel_close(channel);
      EndStatusLine();
      Report(kCommand, args[0],
             std::string(stopRequested() || status != 0 ? "stopped after " : "played ") +
                 std::to_string(played).substr(0, std::to_string(played).find('.') + 3) + " s");
    }
  }
  ExtAudioFileDispose(in.file);
  return stopRequested() ? stopExitCode() : status;
}

const Registrar registrar({
    "soundstream",
    "play an audio file through the sound output component of QTSoundStreamXNQ",
    "usage: xnq soundstream FILE\n"
    "\n"
    "Registers the sound output component through QTSoundStreamXNQ, attaches it to the default\n"
    "output unit and plays FILE (any format the audio file service reads; its first two channels) "
    "through a\n"
    "sound channel on that component, as a program written for the older sound services plays\n"
    "through an output device. A live line shows the time played, the time queued and whether\n"
    "the stream is active. Ctrl-C stops cleanly; the command ends when the file has played.",
    Run,
});

}  // namespace
}  // namespace xnq::tool
