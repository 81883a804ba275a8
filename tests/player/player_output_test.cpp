// What CoreAudioPlayerXNQ hands to a stepped device, sample by sample: resampling steps, channel
// layouts, item boundaries inside a cycle, positions, underflow, queue space and the devices.
#include <cmath>

#include "player_test_support.h"

namespace player_test {
namespace {

// Distinct, exactly representable samples.
std::vector<float> Ramp(size_t n, float first = -0.5f) {
  std::vector<float> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = first + static_cast<float>(k % 509) / 512.0f;
  return v;
}

// The mono interpolation: computed in double, rounded to single.
float Between(float s0, float s1, double t) { return static_cast<float>(t * s1 + (1.0 - t) * s0); }

class PlayerOutput : public PlayerTest {};

TEST_F(PlayerOutput, AtStepOneTheOutputIsTheQueuedFloatsOnEveryChannelThenTheDeviceStops) {
  UseDevice(44100, 2);
  Value player = NewPlayer();
  const std::vector<float> samples = Ramp(1000);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
  StartAndStep(player, 1);
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 512.0);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 1024.0);
  ASSERT_EQ(capture_->frames(), 1024u);
  for (size_t f = 0; f < 1000; ++f) {
    ASSERT_EQ(capture_->at(f, 0), samples[f]) << f;
    ASSERT_EQ(capture_->at(f, 1), samples[f]) << f;
  }
  for (size_t f = 1000; f < 1024; ++f) EXPECT_EQ(capture_->at(f, 0), 0.0f) << f;

  // The next cycle finds the queue empty: silence, the device stops, IsRunning reads false.
  EXPECT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_FALSE(Get(player, "HadUnderflow").asBool());
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

TEST_F(PlayerOutput, HalfTheDeviceRateGivesMidpointsOnEveryOtherFrame) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  Set(player, "SampleRate", Value::single(22050.0f));
  const std::vector<float> samples = Ramp(400, -0.9f);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
  StartAndStep(player, 1);
  for (size_t j = 0; j < 256; ++j) {
    ASSERT_EQ(capture_->at(2 * j, 0), samples[j]) << j;
    ASSERT_EQ(capture_->at(2 * j + 1, 0), Between(samples[j], samples[j + 1], 0.5)) << j;
  }
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 256.0);
  StopWhileStepping(player, device_);
}

TEST_F(PlayerOutput, AConvertingRateAdvancesThePositionByItsStepPerFrame) {
  UseDevice(48000, 1);
  Value player = NewPlayer();
  const std::vector<float> samples = Ramp(1000);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
  StartAndStep(player, 1);
  const double step = static_cast<double>(44100.0f / 48000.0f);
  double pos = 0.0;
  for (size_t f = 0; f < 512; ++f) {
    const auto i = static_cast<size_t>(pos);
    ASSERT_EQ(capture_->at(f, 0), Between(samples[i], samples[i + 1], pos - i)) << f;
    pos += step;
  }
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), pos);
  StopWhileStepping(player, device_);
}

TEST_F(PlayerOutput, StereoDataFillsTheFirstTwoChannelsAndLeavesTheOthersUntouched) {
  UseDevice(44100, 4, 512, 7.0f);
  Value player = NewPlayer();
  Set(player, "NumberOfChannels", Integer(2));
  const std::vector<float> left = Ramp(600, -0.75f), right = Ramp(600, 0.125f);
  ASSERT_TRUE(CallBool(player, "AddFloatAudioStereo", {Floats(left), Floats(right)}));
  StartAndStep(player, 1);
  for (size_t f = 0; f < 512; ++f) {
    ASSERT_EQ(capture_->at(f, 0), left[f]) << f;
    ASSERT_EQ(capture_->at(f, 1), right[f]) << f;
    ASSERT_EQ(capture_->at(f, 2), 7.0f) << f;
    ASSERT_EQ(capture_->at(f, 3), 7.0f) << f;
  }
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 512.0);
  StopWhileStepping(player, device_);
}

// A one-channel buffer can't take a left/right pair per frame: it gets their mix, and no frame
// spills into the next one or past the buffer's end.
TEST_F(PlayerOutput, StereoDataOnAOneChannelDeviceIsMixedDownFrameByFrame) {
  UseDevice(44100, 1, 512, 7.0f);
  Value player = NewPlayer();
  Set(player, "NumberOfChannels", Integer(2));
  const std::vector<float> left = Ramp(700, -0.75f), right = Ramp(700, 0.0f);
  ASSERT_TRUE(CallBool(player, "AddFloatAudioStereo", {Floats(left), Floats(right)}));
  StartAndStep(player, 1);
  ASSERT_EQ(capture_->frames(), 512u);
  for (size_t f = 0; f < 512; ++f) ASSERT_EQ(capture_->at(f, 0), 0.5f * (left[f] + right[f])) << f;
  StopWhileStepping(player, device_);
}

TEST_F(PlayerOutput, ItemBoundariesFallInsideACycleAndTheRelativePositionRestarts) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  const std::vector<float> first = Ramp(300, -0.5f), second = Ramp(700, 0.25f);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(first)}));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(second)}));
  StartAndStep(player, 1);
  for (size_t f = 0; f < 512; ++f) {
    ASSERT_EQ(capture_->at(f, 0), f < 300 ? first[f] : second[f - 300]) << f;
  }
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 512.0);
  // The second item becomes current when frame 299 fetches its look-ahead sample, so the
  // relative position counts from there: frames 299 to 511.
  EXPECT_EQ(Get(player, "OutputPositionRelative").asDouble(), 213.0);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 1024.0);
  EXPECT_EQ(Get(player, "OutputPositionRelative").asDouble(), 725.0);
  StopWhileStepping(player, device_);
}

TEST_F(PlayerOutput, InterpolationRunsAcrossAnItemBoundary) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  Set(player, "SampleRate", Value::single(22050.0f));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats({0.25f, 0.5f, 0.75f})}));
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(Ramp(600, -0.25f))}));
  StartAndStep(player, 1);
  EXPECT_EQ(capture_->at(4, 0), 0.75f);
  EXPECT_EQ(capture_->at(5, 0), Between(0.75f, -0.25f, 0.5));
  EXPECT_EQ(capture_->at(6, 0), -0.25f);
  StopWhileStepping(player, device_);
}

// A read position that jumps past the next item too (items shorter than a step) moves on
// through the queue, so every sample still comes from inside an item.
TEST_F(PlayerOutput, AStepLongerThanTheNextItemMovesOnThroughTheQueue) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  Set(player, "SampleRate", Value::single(3 * 44100.0f));
  for (float v : {0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f}) {
    ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats({v})}));
  }
  StartAndStep(player, 1);
  EXPECT_EQ(capture_->at(0, 0), 0.125f);
  EXPECT_EQ(capture_->at(1, 0), 0.5f);
  EXPECT_EQ(capture_->at(2, 0), 0.875f);
  EXPECT_EQ(capture_->at(3, 0), 0.0f);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  xnq_hal_step(device_, 1);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

TEST_F(PlayerOutput, WithNoUnderflowADryQueuePlaysSilenceUntilDataArrives) {
  UseDevice(44100, 2, 512, 7.0f);
  Value player = NewPlayer();
  Set(player, "NoUnderflow", Bool(true));
  StartAndStep(player, 2);
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  EXPECT_TRUE(Get(player, "HadUnderflow").asBool());
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 0.0);  // dry cycles don't advance
  for (size_t f = 0; f < 1024; ++f) ASSERT_EQ(capture_->at(f, 1), 0.0f) << f;

  const std::vector<float> samples = Ramp(512);
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);  // no second Start needed
  for (size_t f = 0; f < 512; ++f) ASSERT_EQ(capture_->at(1024 + f, 0), samples[f]) << f;
  EXPECT_TRUE(Get(player, "HadUnderflow").asBool());  // only the host clears it
  Set(player, "HadUnderflow", Bool(false));
  EXPECT_FALSE(Get(player, "HadUnderflow").asBool());
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_TRUE(Get(player, "HadUnderflow").asBool());
  StopWhileStepping(player, device_);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

// A rate that names no step (NaN, either infinity) is a cycle without data: silence, then the
// stop, or with NoUnderflow the underflow flag. The queue stays, and a usable rate plays on.
TEST_F(PlayerOutput, ARateWithoutAStepIsAnUnderflow) {
  UseDevice(44100, 1, 512, 7.0f);
  Value player = NewPlayer();
  const std::vector<float> samples = Ramp(2000);
  const float rates[] = {std::nanf(""), INFINITY, -INFINITY};
  size_t frame = 0;
  for (const bool noUnderflow : {true, false}) {
    for (const float rate : rates) {
      SCOPED_TRACE(testing::Message() << "rate " << rate << ", NoUnderflow " << noUnderflow);
      Set(player, "NoUnderflow", Bool(noUnderflow));
      Set(player, "HadUnderflow", Bool(false));
      Set(player, "SampleRate", Value::single(rate));
      ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(samples)}));
      ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
      for (size_t f = 0; f < 512; ++f) ASSERT_EQ(capture_->at(frame + f, 0), 0.0f) << f;
      frame += 512;
      EXPECT_EQ(Get(player, "IsRunning").asBool(), noUnderflow);
      EXPECT_EQ(Get(player, "HadUnderflow").asBool(), noUnderflow);
      EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 0.0);
      Set(player, "SampleRate", Value::single(44100.0f));
      ASSERT_TRUE(CallBool(player, "Start"));
      ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
      EXPECT_EQ(capture_->at(frame, 0), samples[0]);
      frame += 512;
      StopWhileStepping(player, device_);
      frame = capture_->frames();
    }
  }
}

TEST_F(PlayerOutput, FreeSpaceCountsQueuedItemsButNotThePlayingOne) {
  UseDevice(44100, 2);
  Value player = NewPlayer();
  Value block = Floats(Ramp(2000));
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 196);
  StartAndStep(player, 1);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 197);
  EXPECT_TRUE(CallBool(player, "HasFreeSpace"));
  StopWhileStepping(player, device_);
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

TEST_F(PlayerOutput, StartWhileRunningChangesNothingAndPlayMethodsJustQueue) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  Value block = Floats(Ramp(2000));
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {block}));
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_TRUE(CallBool(player, "Start"));
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 512.0);
  EXPECT_TRUE(CallBool(player, "PlayAudio", {Bytes({0, 0x80})}));
  EXPECT_TRUE(CallBool(player, "PlayAudioStereo", {Bytes({0, 0x80}), Bytes({0, 0x40})}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 198);
  EXPECT_FALSE(
      CallBool(player, "PlayAudio", {Bytes({0, 0, 0}), Integer(0), Integer(0), Integer(23)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 198);

  // Close stops and empties the player; it can be filled and started again.
  StopWhileStepping(player, device_, "Close");
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  ASSERT_TRUE(CallBool(player, "PlayFloatAudioStereo", {Floats({0.5f}), Floats({0.25f})}));
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 0.0);
  const size_t before = capture_->frames();
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(capture_->at(before, 0), 0.5f);
  EXPECT_EQ(capture_->at(before + 1, 0), 0.25f);
  xnq_hal_step(device_, 1);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

// Blocks whose request passes their end are clamped to what the block holds from the offset.
TEST_F(PlayerOutput, ARequestPastTheEndOfABlockPlaysWhatRemainsFromTheOffset) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  Value block = Bytes({0x00, 0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x40});
  ASSERT_TRUE(CallBool(player, "AddAudio", {block, Integer(2)}));  // count 0: to the end
  ASSERT_TRUE(CallBool(player, "AddAudio", {block, Integer(6), Integer(100)}));
  ASSERT_TRUE(
      CallBool(player, "AddAudioStereo", {block, Bytes({0, 0x80}), Integer(0), Integer(8)}));
  StartAndStep(player, 1);
  const float expected[] = {0.125f, 0.1875f, 0.25f, 0.25f, 0.0625f, 0.5f};
  for (size_t f = 0; f < 6; ++f) EXPECT_EQ(capture_->at(f, 0), expected[f]) << f;
  EXPECT_EQ(capture_->at(6, 0), 0.0f);
  xnq_hal_step(device_, 1);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

// A device that refuses to start leaves nothing registered and nothing running, so Stop and
// Close return at once and a later Start works.
TEST_F(PlayerOutput, AFailedDeviceStartIsUndone) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(Ramp(100))}));
  xnq_hal_fail_next_start(device_, kAudioHardwareUnspecifiedError);
  EXPECT_FALSE(CallBool(player, "Start"));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);
  EXPECT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(Ramp(100))}));
  EXPECT_TRUE(Get(player, "IsRunning").asBool());
  EXPECT_EQ(xnq_hal_step(device_, 1), 1u);
  StopWhileStepping(player, device_);
}

TEST_F(PlayerOutput, OutputDeviceIDChoosesTheDeviceButHardwareQueriesReadTheDefault) {
  UseDevice(44100, 2);
  const AudioDeviceID other = AddSteppedDevice(48000, 1);
  Value player = NewPlayer();
  Set(player, "OutputDeviceID", Integer(other));
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(Ramp(5000))}));
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);
  EXPECT_EQ(xnq_hal_step(other, 2), 2u);
  double pos = 0.0;
  for (int f = 0; f < 1024; ++f) pos += static_cast<double>(44100.0f / 48000.0f);
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), pos);
  CallResult rate = Host().call(player, "HardwareSampleRate", {});
  EXPECT_EQ(rate.value.asSingle(), 44100.0f);
  EXPECT_EQ(CallInteger(player, "HardwareNumberOfChannels"), 2);
  StopWhileStepping(player, other);
  EXPECT_EQ(Get(player, "OutputDeviceID").asInteger(), static_cast<int64_t>(other));
}

}  // namespace
}  // namespace player_test
