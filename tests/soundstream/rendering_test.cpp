// Sound played through the component reaching an output unit: sample for sample across the
// mixer's buffers, silence whenever nothing can play, the unit stopped by CloseComponent, and
// tones in the Sound Manager's formats arriving at a device as float stereo.
#include <cmath>

#include "soundstream/soundstream_test_support.h"

namespace soundstream_test {
namespace {

// Frame f of a ramp: left +f, right -f, 16-bit big-endian.
std::vector<Byte> Ramp(int frames) {
  std::vector<Byte> bytes;
  for (int f = 0; f < frames; ++f)
    for (int v : {f, -f}) bytes.insert(bytes.end(), {Byte(v >> 8), Byte(v)});
  return bytes;
}

void ExpectRamp(const std::vector<float> &out, int first) {
  for (size_t f = 0; f < out.size() / 2; ++f) {
    ASSERT_EQ(out[2 * f], (first + static_cast<int>(f)) / 32768.0f) << "frame " << first + f;
    ASSERT_EQ(out[2 * f + 1], -(first + static_cast<int>(f)) / 32768.0f);
  }
}

void ExpectSilence(const std::vector<float> &out) {
  for (float s : out) ASSERT_EQ(s, 0.0f);
}

TEST_F(SoundStreamTest, RenderTakesWhatIsLeftOfAMixerBufferBeforeTheNext) {
  Value obj = OpenStream();
  AudioUnit unit = AttachGenericUnit(obj);
  ExpectSilence(Render(unit, 256));  // no instance open yet
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj));
  ExpectSilence(Render(unit, 128));  // open, nothing queued
  std::vector<Byte> ramp = Ramp(3000);
  ASSERT_EQ(xnq_sound_channel_write(channel, ramp.data(), 3000, nullptr), noErr);
  // The mixer's buffers hold 1024 frames: the rest of the silent one goes first, then renders
  // cross from one buffer into the next, taking the 24 frames left of the first before it.
  ExpectSilence(Render(unit, 896));
  ExpectRamp(Render(unit, 1000), 0);
  ExpectRamp(Render(unit, 100), 1000);
  ExpectRamp(Render(unit, 1100), 1100);

  // A second instance takes over the output; the first closing leaves it playing.
  XnqSoundChannel *second = OpenChannel(ComponentOf(obj));
  ASSERT_EQ(xnq_sound_channel_write(second, ramp.data(), 3000, nullptr), noErr);
  ExpectRamp(Render(unit, 1000), 0);
  xnq_sound_channel_close(channel);
  EXPECT_TRUE(Get(obj, "IsStreamActive"));
  ExpectRamp(Render(unit, 500), 1000);
  xnq_sound_channel_close(second);
  ExpectSilence(Render(unit, 512));
  EXPECT_FALSE(Get(obj, "IsStreamActive"));
  CloseComponent(unit);
}

TEST_F(SoundStreamTest, AStateWithoutConverterRendersSilence) {
  Value obj = OpenStream();
  AudioUnit unit = AttachGenericUnit(obj);
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj));
  std::vector<Byte> ramp = Ramp(2000);
  ASSERT_EQ(xnq_sound_channel_write(channel, ramp.data(), 2000, nullptr), noErr);
  // The state's second word is its converter; a host program holding Handle can clear it, as
  // a converter that could not be made leaves it.
  auto **words = Pointer<void **>(Get(obj, "Handle"));
  void *converter = words[1];
  words[1] = nullptr;
  ExpectSilence(Render(unit, 512));
  words[1] = converter;
  ExpectRamp(Render(unit, 512), 0);  // the mixer was not pulled meanwhile
  xnq_sound_channel_close(channel);
  CloseComponent(unit);
}

TEST_F(SoundStreamTest, CloseComponentStopsTheAttachedUnitOnce) {
  player_test::AddSteppedDevice(44100, 2);
  Value obj = OpenStream();
  auto unit = Call(obj, "OpenDefaultAudioUnitOutputComponent");
  ASSERT_NE(unit, 0);
  EXPECT_EQ(Call(obj, "AttachToAudioUnitComponent", {Value::integer(unit)}), 0);
  EXPECT_EQ(Call(obj, "AudioUnitInitialize", {Value::integer(unit)}), 0);
  EXPECT_EQ(Call(obj, "AudioOutputUnitStart", {Value::integer(unit)}), 0);
  auto running = [unit] {
    UInt32 value = 0, size = sizeof value;
    AudioUnitGetProperty(Pointer<AudioUnit>(unit), kAudioOutputUnitProperty_IsRunning,
                         kAudioUnitScope_Global, 0, &value, &size);
    return value != 0;
  };
  EXPECT_TRUE(running());
  Call(obj, "CloseComponent");
  EXPECT_FALSE(running());
  AudioOutputUnitStart(Pointer<AudioUnit>(unit));
  Call(obj, "CloseComponent");
  EXPECT_TRUE(running());
  CloseComponent(Pointer<AudioUnit>(unit));
}

struct Tone {
  XnqSoundFormat format;
  const char *name;
};

class ToneTest : public SoundStreamTest, public ::testing::WithParamInterface<Tone> {};

// A 1 kHz sine at half scale in the channel's format, played on a stepped device through the
// default output unit, arrives as float stereo at 1 kHz, at that level, without gaps or clicks.
TEST_P(ToneTest, ArrivesAtTheDeviceAsFloatStereo) {
  const XnqSoundFormat format = GetParam().format;
  AudioDeviceID device = player_test::AddSteppedDevice(44100, 2);
  Capture capture(44100 * 2);
  xnq_hal_set_output_tap(device, &Capture::Tap, &capture);
  Value obj = OpenStream();
  auto unit = Value::integer(Call(obj, "OpenDefaultAudioUnitOutputComponent"));
  for (const char *method :
       {"AttachToAudioUnitComponent", "AudioUnitInitialize", "AudioOutputUnitStart"})
    ASSERT_EQ(Call(obj, method, {unit}), 0) << method;

  const int frames = static_cast<int>(format.sampleRate * 0.25);
  std::vector<Byte> bytes;
  for (int f = 0; f < frames; ++f) {
    double v = 0.5 * std::sin(2 * M_PI * 1000 * f / format.sampleRate);
    int q = format.bits == 8 ? static_cast<int>(std::lround(v * 127)) + 128
                             : static_cast<int>(std::lround(v * 32767));
    for (UInt32 c = 0; c < format.channels; ++c) {
      if (format.bits == 8)
        bytes.push_back(Byte(q));
      else if (format.bigEndian)
        bytes.insert(bytes.end(), {Byte(q >> 8), Byte(q)});
      else
        bytes.insert(bytes.end(), {Byte(q), Byte(q >> 8)});
    }
  }
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj), format);
  ASSERT_EQ(xnq_sound_channel_write(channel, bytes.data(), frames, nullptr), noErr);
  ASSERT_EQ(xnq_hal_step(device, 24), 24u);  // 12288 frames of the 11025 played
  EXPECT_TRUE(Get(obj, "IsStreamActive"));
  xnq_sound_channel_close(channel);
  Call(obj, "CloseComponent");
  CloseComponent(Pointer<AudioUnit>(unit.asInteger()));

  ASSERT_EQ(capture.channels.load(), 2u);
  // Skip the resampler's first frame; judge 10000 frames of steady tone.
  double energy = 0, worstStep = 0;
  int crossings = 0;
  for (size_t f = 2; f < 10002; ++f) {
    ASSERT_EQ(capture.at(f, 0), capture.at(f, 1)) << f;
    float s = capture.at(f, 0), before = capture.at(f - 1, 0);
    energy += s * s;
    worstStep = std::max(worstStep, std::fabs(double(s) - before));
    crossings += (before < 0) != (s < 0);
  }
  EXPECT_NEAR(std::sqrt(energy / 10000), 0.5 / std::sqrt(2.0), 0.01);  // level, and no gaps
  EXPECT_NEAR(crossings / (2 * 10000 / 44100.0), 1000, 10);            // 1 kHz
  EXPECT_LT(worstStep, 2 * M_PI * 1000 / 44100 * 0.5 * 1.15);          // no clicks
}

INSTANTIATE_TEST_SUITE_P(Formats, ToneTest,
                         ::testing::Values(Tone{{22050, 1, 8, 0}, "Mono8Bit22050"},
                                           Tone{{44100, 2, 16, 1}, "Stereo16Bit44100"},
                                           Tone{{32000, 2, 16, 0}, "Stereo16BitLittleEndian32000"}),
                         [](const ::testing::TestParamInfo<Tone> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace soundstream_test
