// What CoreAudioPlayerXNQ hands to a stepped device, sample by sample: resampling steps, channel
// layouts, item boundaries, positions, underflow, the stopping cycle, several players, and the
// queue played out.
#include <cmath>

#include "player_test_support.h"

namespace player_test {
namespace {

// The interpolations of the IO procedure: mono in double precision rounded to single, stereo in
// single precision.
float Mono(float s0, float s1, double t) { return static_cast<float>(t * s1 + (1.0 - t) * s0); }
float Stereo(float s0, float s1, float t) { return t * s1 + (1.0f - t) * s0; }

class PlayerOutput : public PlayerTest {};

// For each step (1, a half, 44100 on 48000, and 3 data frames per device frame), mono data on
// every channel and stereo data on the first two: each output frame is the interpolation at the
// read position, which advances by the step per frame.
TEST_F(PlayerOutput, EveryFrameInterpolatesAtTheReadPositionForEachStepAndLayout) {
  UseDevice(48000, 3, 512, 7.0f);
  Value player = NewPlayer();
  const std::vector<float> left = Ramp(2000, -0.75f), right = Ramp(2000, 0.125f);
  std::vector<float> interleaved;
  for (size_t k = 0; k < left.size(); ++k)
    interleaved.insert(interleaved.end(), {left[k], right[k]});
  size_t frame = 0;
  for (const float rate : {48000.0f, 24000.0f, 44100.0f, 144000.0f}) {
    for (const int channels : {1, 2}) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels");
      Set(player, "SampleRate", Value::single(rate));
      Set(player, "NumberOfChannels", Int(channels));
      ASSERT_TRUE(channels == 1
                      ? CallBool(player, "PlayFloatAudio", {Floats(left)})
                      : CallBool(player, "PlayFloatAudioStereo", {Floats(left), Floats(right)}));
      ASSERT_EQ(Step(), 1u);
      const double step = static_cast<double>(rate / 48000.0f);
      double pos = 0.0;
      for (size_t f = 0; f < 512; ++f, pos += step) {
        const auto i = static_cast<size_t>(pos);
        if (channels == 1) {
          const float v = Mono(left[i], left[i + 1], pos - i);
          ASSERT_EQ(capture_->at(frame + f, 0), v) << f;
          ASSERT_EQ(capture_->at(frame + f, 2), v) << f;
        } else {
          const float t = static_cast<float>(pos - i);
          ASSERT_EQ(capture_->at(frame + f, 0), Stereo(left[i], left[i + 1], t)) << f;
          ASSERT_EQ(capture_->at(frame + f, 1), Stereo(right[i], right[i + 1], t)) << f;
          ASSERT_EQ(capture_->at(frame + f, 2), 7.0f) << f;  // further channels untouched
        }
      }
      EXPECT_EQ(Get(player, "OutputPosition").asDouble(), pos);
      StopWhileStepping(player);
      frame = capture_->frames();
    }
  }
}

// Any NumberOfChannels other than 2 plays one float per frame on every channel; a one-channel
// device gets the mix of a stereo pair, never a pair that spills into the next frame.
TEST_F(PlayerOutput, OtherLayoutsAndOneChannelDevices) {
  UseDevice(44100, 2);
  const AudioDeviceID mono = UseDevice(44100, 1);
  Value player = NewPlayer();
  const std::vector<float> samples = Ramp(700, -0.75f), others = Ramp(700, 0.0f);
  Set(player, "NumberOfChannels", Int(3));
  EXPECT_FALSE(CallBool(player, "AddAudio", {Bytes({0, 0})}));
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(samples)}));
  ASSERT_EQ(Step(), 1u);
  for (size_t f = 0; f < 512; ++f) {
    ASSERT_EQ(capture_->at(f, 0), samples[f]) << f;
    ASSERT_EQ(capture_->at(f, 1), samples[f]) << f;
  }
  StopWhileStepping(player);
  Set(player, "NumberOfChannels", Int(2));
  Set(player, "OutputDeviceID", Int(mono));
  ASSERT_TRUE(CallBool(player, "PlayFloatAudioStereo", {Floats(samples), Floats(others)}));
  ASSERT_EQ(xnq_hal_step(mono, 1), 1u);
  const Capture &mixed = *captures_[1];
  ASSERT_EQ(mixed.frames(), 512u);
  for (size_t f = 0; f < 512; ++f) ASSERT_EQ(mixed.at(f), 0.5f * (samples[f] + others[f])) << f;
}

// Item boundaries fall anywhere in a cycle and the interpolation runs across them; the relative
// position starts again when an item becomes current; a step longer than the next item moves on
// through the queue; the cycle after the last sample finds the queue dry and stops the device.
TEST_F(PlayerOutput, ItemsFollowEachOtherInsideACycleAndTheLastOneStopsTheDevice) {
  UseDevice(44100, 1, 512, 7.0f);
  Value player = NewPlayer();
  const std::vector<float> first = Ramp(300, -0.5f), second = Ramp(700, 0.25f);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(first)}));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(second)}));
  ASSERT_TRUE(CallBool(player, "Start"));
  ASSERT_EQ(Step(), 1u);
  for (size_t f = 0; f < 512; ++f) ASSERT_EQ(capture_->at(f), f < 300 ? first[f] : second[f - 300]);
  // The second item became current when frame 299 fetched its look-ahead sample.
  EXPECT_EQ(Get(player, "OutputPositionRelative").asDouble(), 213.0);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  ASSERT_EQ(Step(), 1u);
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 1024.0);
  EXPECT_EQ(Get(player, "OutputPositionRelative").asDouble(), 725.0);
  for (size_t f = 1000; f < 1024; ++f) ASSERT_EQ(capture_->at(f), 0.0f);
  EXPECT_EQ(Step(), 1u);  // dry: silence over the prefill, and the device stops
  for (size_t f = 1024; f < 1536; ++f) ASSERT_EQ(capture_->at(f), 0.0f);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_FALSE(Get(player, "HadUnderflow").asBool());
  EXPECT_EQ(Step(), 0u);

  Set(player, "SampleRate", Value::single(22050.0f));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats({0.25f, 0.5f, 0.75f})}));
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(Ramp(600, -0.25f))}));
  ASSERT_EQ(Step(), 1u);
  EXPECT_EQ(capture_->at(1536 + 5), Mono(0.75f, -0.25f, 0.5));
  StopWhileStepping(player);
  Set(player, "SampleRate", Value::single(3 * 44100.0f));
  for (float v : {0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f}) {
    ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats({v})}));
  }
  const size_t at = capture_->frames();
  ASSERT_TRUE(CallBool(player, "Start"));
  ASSERT_EQ(Step(), 1u);
  const float steps[] = {0.125f, 0.5f, 0.875f, 0.0f};
  for (size_t f = 0; f < 4; ++f) EXPECT_EQ(capture_->at(at + f), steps[f]) << f;
}

// ClearBuffers while playing drops what waits, not the block that plays: it finishes, then the
// new one follows. The queue takes 200 blocks, plays them all in order and has room again.
TEST_F(PlayerOutput, ClearBuffersWhilePlayingAndAFullQueuePlayedOut) {
  UseDevice(44100, 1, 256);
  Value player = NewPlayer();
  const std::vector<float> playing = Ramp(400, -0.5f), dropped = Ramp(100, 0.9f),
                           next = Ramp(200, 0.125f);
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(playing)}));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(dropped)}));
  ASSERT_EQ(Step(), 1u);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(next), Int(0), Int(0), Bool(true)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 199);
  ASSERT_EQ(Step(), 1u);
  for (size_t f = 0; f < 512; ++f) {
    ASSERT_EQ(capture_->at(f), f < 400 ? playing[f] : next[f - 400]) << f;
  }
  Step(2);  // played out: the device stops
  ASSERT_FALSE(Get(player, "IsRunning").asBool());
  for (int k = 0; k < 200; ++k) {
    ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats({k / 256.0f, -k / 256.0f})}));
  }
  EXPECT_FALSE(CallBool(player, "HasFreeSpace"));
  const size_t at = capture_->frames();
  ASSERT_TRUE(CallBool(player, "Start"));
  EXPECT_EQ(Step(4), 3u);  // 400 samples, then the dry cycle that stops
  for (size_t f = 0; f < 400; ++f) {
    ASSERT_EQ(capture_->at(at + f), (f % 2 ? -1.0f : 1.0f) * static_cast<float>(f / 2) / 256.0f);
  }
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

// Stop is honoured by the next cycle, which writes silence over the whole buffer; with
// NoUnderflow a dry queue plays silence without stopping, sets HadUnderflow (which only the host
// clears), and a block added later plays without another Start.
TEST_F(PlayerOutput, TheStoppingCycleAndDryCyclesAreSilent) {
  UseDevice(44100, 2, 512, 7.0f);
  Value player = NewPlayer();
  Set(player, "NoUnderflow", Bool(true));
  ASSERT_TRUE(CallBool(player, "Start"));
  ASSERT_EQ(Step(2), 2u);
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  EXPECT_TRUE(Get(player, "HadUnderflow").asBool());
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 0.0);  // dry cycles don't advance
  const std::vector<float> samples = Ramp(2000);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
  ASSERT_EQ(Step(), 1u);
  Set(player, "HadUnderflow", Bool(false));
  EXPECT_FALSE(Get(player, "HadUnderflow").asBool());
  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    Host().call(player, "Stop");
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // several ticks of polling
  EXPECT_FALSE(returned);                                       // Stop waits for the next cycle
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  ASSERT_EQ(Step(), 1u);
  stopper.join();
  EXPECT_EQ(Step(), 0u);  // the procedure has removed itself
  ASSERT_EQ(capture_->frames(), 4u * 512);
  for (size_t f = 0; f < 4 * 512; ++f) {
    const float expected = f >= 1024 && f < 1536 ? samples[f - 1024] : 0.0f;
    ASSERT_EQ(capture_->at(f, 0), expected) << f;
    ASSERT_EQ(capture_->at(f, 1), expected) << f;
  }
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

// A rate that names no step (NaN, either infinity) is a cycle without data: silence, then the
// stop, or with NoUnderflow the underflow flag. The queue stays, and a usable rate plays on.
TEST_F(PlayerOutput, ARateWithoutAStepIsAnUnderflow) {
  UseDevice(44100, 1, 512, 7.0f);
  Value player = NewPlayer();
  const std::vector<float> samples = Ramp(2000);
  for (const bool noUnderflow : {true, false}) {
    for (const float rate : {std::nanf(""), INFINITY, -INFINITY}) {
      SCOPED_TRACE(testing::Message() << "rate " << rate << ", NoUnderflow " << noUnderflow);
      Set(player, "NoUnderflow", Bool(noUnderflow));
      Set(player, "HadUnderflow", Bool(false));
      Set(player, "SampleRate", Value::single(rate));
      ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(samples)}));
      const size_t frame = capture_->frames();
      ASSERT_EQ(Step(), 1u);
      for (size_t f = 0; f < 512; ++f) EXPECT_EQ(capture_->at(frame + f), 0.0f) << f;
      EXPECT_EQ(Get(player, "IsRunning").asBool(), noUnderflow);
      EXPECT_EQ(Get(player, "HadUnderflow").asBool(), noUnderflow);
      Set(player, "SampleRate", Value::single(44100.0f));
      ASSERT_TRUE(CallBool(player, "Start"));
      ASSERT_EQ(Step(), 1u);
      EXPECT_EQ(capture_->at(frame + 512), samples[0]);
      StopWhileStepping(player);
    }
  }
}

// Two players on one device are summed; on two devices each plays on its own. OutputDeviceID
// chooses the device at Start; the hardware queries read the default device all the same.
TEST_F(PlayerOutput, SeveralPlayersOnOneDeviceOrOnTwo) {
  UseDevice(44100, 2);
  const AudioDeviceID other = UseDevice(48000, 1);
  Value a = NewPlayer(), b = NewPlayer(), c = NewPlayer();
  Set(c, "OutputDeviceID", Int(other));
  const std::vector<float> ramp = Ramp(2000, -0.5f), fixed(2000, 0.25f);
  ASSERT_TRUE(CallBool(a, "PlayFloatAudio", {Floats(ramp)}));
  ASSERT_TRUE(CallBool(b, "PlayFloatAudio", {Floats(fixed)}));
  ASSERT_TRUE(CallBool(c, "PlayFloatAudio", {Floats(ramp)}));
  ASSERT_EQ(Step(), 1u);
  ASSERT_EQ(xnq_hal_step(other, 1), 1u);
  double pos = 0.0;
  for (size_t f = 0; f < 512; ++f, pos += static_cast<double>(44100.0f / 48000.0f)) {
    ASSERT_EQ(capture_->at(f, 1), ramp[f] + 0.25f) << f;
    const auto i = static_cast<size_t>(pos);
    ASSERT_EQ(captures_[1]->at(f), Mono(ramp[i], ramp[i + 1], pos - i)) << f;
  }
  EXPECT_EQ(Get(c, "OutputPosition").asDouble(), pos);
  EXPECT_EQ(Host().call(c, "HardwareSampleRate").value.asSingle(), 44100.0f);
  EXPECT_EQ(CallInteger(c, "HardwareNumberOfChannels"), 2);
}

// Start while running changes nothing and play methods just queue; Close stops and empties the
// player, which plays again afterwards; a refused start is undone; a request past a block's end
// plays what remains from the offset (the count-0 default among them).
TEST_F(PlayerOutput, StartCloseFailedStartsAndRequestsPastABlocksEnd) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(Ramp(2000))}));
  ASSERT_EQ(Step(), 1u);
  EXPECT_TRUE(CallBool(player, "Start"));
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 512.0);
  EXPECT_TRUE(CallBool(player, "PlayAudio", {Bytes({0, 0x80})}));
  EXPECT_TRUE(CallBool(player, "PlayAudioStereo", {Bytes({0, 0x80}), Bytes({0, 0x40})}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 198);
  StopWhileStepping(player, "Close");
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(Ramp(100))}));
  xnq_hal_fail_next_start(device_, kAudioHardwareUnspecifiedError);
  EXPECT_FALSE(CallBool(player, "Start"));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(Step(), 0u);
  Host().call(player, "Stop");  // nothing runs: returns at once
  Value block = Bytes({0x00, 0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x40});
  ASSERT_TRUE(CallBool(player, "AddAudio", {block, Int(2)}));
  ASSERT_TRUE(CallBool(player, "AddAudio", {block, Int(6), Int(100)}));
  ASSERT_TRUE(CallBool(player, "AddAudioStereo", {block, Bytes({0, 0x80}), Int(0), Int(8)}));
  const size_t at = capture_->frames();
  ASSERT_TRUE(CallBool(player, "Start"));
  ASSERT_EQ(Step(), 1u);
  const float expected[] = {0.125f, 0.1875f, 0.25f, 0.25f, 0.0625f, 0.5f, 0.0f};
  for (size_t f = 0; f < 7; ++f) EXPECT_EQ(capture_->at(at + f), expected[f]) << f;
}

}  // namespace
}  // namespace player_test
