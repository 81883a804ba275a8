// Sound played through the component reaching an output unit: sample for sample across the
// mixer's buffers, silence whenever nothing can play, and tones in the Sound Manager's formats
// arriving at a device as float stereo, the unit stopped by CloseComponent.
#include <cmath>
#include <utility>

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

// Frames of the ramp from first on, or silence when first is negative.
void ExpectRamp(const std::vector<float> &out, int first) {
  for (size_t f = 0; f < out.size() / 2; ++f) {
    float v = first < 0 ? 0.0f : (first + static_cast<int>(f)) / 32768.0f;
    ASSERT_EQ(out[2 * f], v) << "frame " << f;
    ASSERT_EQ(out[2 * f + 1], -v) << "frame " << f;
  }
}

TEST_F(SoundStreamTest, RenderTakesWhatIsLeftOfAMixerBufferBeforeTheNext) {
  Value obj = OpenStream();
  AudioUnit unit = AttachGenericUnit(obj);
  ExpectRamp(Render(unit, 256), -1);  // no instance open yet
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj));
  ExpectRamp(Render(unit, 128), -1);  // open, nothing queued
  std::vector<Byte> ramp = Ramp(3000);
  ASSERT_EQ(xnq_sound_channel_write(channel, ramp.data(), 3000, nullptr), noErr);
  // The mixer's buffers hold 1024 frames: the rest of the silent one goes first, then renders
  // cross from one buffer into the next, taking the 24 frames left of the first before it.
  ExpectRamp(Render(unit, 896), -1);
  ExpectRamp(Render(unit, 1000), 0);
  ExpectRamp(Render(unit, 100), 1000);
  ExpectRamp(Render(unit, 1100), 1100);
  // The state's second word is its converter. Without one, as when it could not be made, nothing
  // is written and the mixer is not pulled: the unit's buffers keep the last render's start.
  auto **words = Pointer<void **>(Get(obj, "Handle"));
  void *converter = std::exchange(words[1], nullptr);
  ExpectRamp(Render(unit, 512), 1100);
  words[1] = converter;
  ExpectRamp(Render(unit, 100), 2200);

  // A second instance takes over the output; the first closing leaves it playing, though it
  // ends IsStreamActive, as any instance's close does.
  XnqSoundChannel *second = OpenChannel(ComponentOf(obj));
  ASSERT_EQ(xnq_sound_channel_write(second, ramp.data(), 3000, nullptr), noErr);
  ExpectRamp(Render(unit, 1000), 0);
  xnq_sound_channel_close(channel);
  EXPECT_FALSE(Get(obj, "IsStreamActive"));
  ExpectRamp(Render(unit, 500), 1000);
  // A second unit attached renders the stream too, and the first one still does.
  AudioUnit another = AttachGenericUnit(obj);
  ExpectRamp(Render(another, 100), 1500);
  ExpectRamp(Render(unit, 100), 1600);
  xnq_sound_channel_close(second);
  ExpectRamp(Render(unit, 512), -1);
  // CloseComponent stops the unit but leaves it attached: registered anew, the state plays
  // through it again.
  Call(obj, "CloseComponent");
  Call(obj, "OpenComponent");
  channel = OpenChannel(ComponentOf(obj));
  ASSERT_EQ(xnq_sound_channel_write(channel, ramp.data(), 3000, nullptr), noErr);
  ExpectRamp(Render(another, 1000), 0);
  xnq_sound_channel_close(channel);
  CloseComponent(unit);
  CloseComponent(another);
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
  AudioDeviceID device = player_test::AddDevice(44100, 2);
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
    Byte pair[2] = {Byte(format.bigEndian ? q >> 8 : q), Byte(format.bigEndian ? q : q >> 8)};
    for (UInt32 c = 0; c < format.channels; ++c)
      bytes.insert(bytes.end(), pair, pair + format.bits / 8);
  }
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj), format);
  ASSERT_EQ(xnq_sound_channel_write(channel, bytes.data(), frames, nullptr), noErr);
  ASSERT_EQ(xnq_hal_step(device, 24), 24u);  // 12288 frames of the 11025 played
  EXPECT_TRUE(Get(obj, "IsStreamActive"));
  xnq_sound_channel_close(channel);
  // CloseComponent stops the unit; a second one does not stop it again.
  auto *output = Pointer<AudioUnit>(unit.asInteger());
  EXPECT_TRUE(Running(output));
  Call(obj, "CloseComponent");
  EXPECT_FALSE(Running(output));
  AudioOutputUnitStart(output);
  Call(obj, "CloseComponent");
  EXPECT_TRUE(Running(output));
  CloseComponent(output);

  ASSERT_EQ(capture.channels.load(), 2u);
  ExpectTone(capture.samples, 2, 10000);  // past the resampler's first frame
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
