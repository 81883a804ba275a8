// The registered component driven as the Sound Manager drives an output device: what it can do,
// the info it answers and checks, what it hands to its mixer, IsStreamActive following the
// source calls, and instances that outlive the object's registration.
#include <functional>

#include "soundstream/soundstream_test_support.h"

namespace soundstream_test {
namespace {

constexpr OSType kUnknownInfo = XNQ_FOURCC('v', 'o', 'l', 'u');

class DispatchTest : public SoundStreamTest {
 protected:
  void SetUp() override {
    SoundStreamTest::SetUp();
    obj_ = OpenStream();
    ASSERT_EQ(OpenAComponent(ComponentOf(obj_), &instance_), noErr);
  }
  void TearDown() override {
    if (instance_ != nullptr) {
      EXPECT_EQ(CloseComponent(instance_), noErr);
    }
    obj_ = Value();
    SoundStreamTest::TearDown();
  }
  Value obj_;
  ComponentInstance instance_ = nullptr;
};

TEST_F(DispatchTest, AnswersCanDoVersionAndBadSelectors) {
  const struct {
    SInt16 selector;
    ComponentResult canDo;
  } rows[] = {{-1, 1},    {-2, 1},    {-3, 1},    {-4, 1},    {1, 1},     {0x103, 1},
              {0x104, 1}, {0x105, 1}, {0x108, 1}, {0x106, 0}, {0x107, 0}, {0x101, 0},
              {0x102, 0}, {2, 0},     {4, 0},     {-5, 0}};
  for (const auto &row : rows)
    EXPECT_EQ(CallComponentCanDo(instance_, row.selector), row.canDo) << row.selector;
  EXPECT_EQ(GetComponentVersion(instance_), 0x10000);
  // Selectors below 256 without a handler of their own.
  SoundComponentDataPtr data = nullptr;
  EXPECT_EQ(ComponentSetTarget(instance_, nullptr), badComponentSelector);
  EXPECT_EQ(SoundComponentSetSource(instance_, nullptr, nullptr), badComponentSelector);
  EXPECT_EQ(SoundComponentGetSourceData(instance_, &data), badComponentSelector);
  EXPECT_EQ(SoundComponentSetOutput(instance_, nullptr, &data), badComponentSelector);
}

TEST_F(DispatchTest, AnswersTheFixedFormatAndAsksTheMixerTheRest) {
  short value = 0;
  EXPECT_EQ(SoundComponentGetInfo(instance_, nullptr, kUnknownInfo, &value), badComponentInstance);
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  EXPECT_EQ(SoundComponentGetInfo(instance_, nullptr, kUnknownInfo, &value), siUnknownInfoType);

  ASSERT_EQ(SoundComponentGetInfo(instance_, nullptr, siNumberChannels, &value), noErr);
  EXPECT_EQ(value, 2);
  ASSERT_EQ(SoundComponentGetInfo(instance_, nullptr, siSampleSize, &value), noErr);
  EXPECT_EQ(value, 16);
  UnsignedFixed rate = 0;
  ASSERT_EQ(SoundComponentGetInfo(instance_, nullptr, siSampleRate, &rate), noErr);
  EXPECT_EQ(rate, 0xAC440000u);
  const struct {
    OSType selector;
    Size size;
    UInt32 value;
  } lists[] = {{siChannelAvailable, 2, 2},
               {siSampleSizeAvailable, 2, 16},
               {siSampleRateAvailable, 4, 0xAC440000u}};
  for (const auto &row : lists) {
    SoundInfoList list{};
    ASSERT_EQ(SoundComponentGetInfo(instance_, nullptr, row.selector, &list), noErr);
    EXPECT_EQ(list.count, 1);
    ASSERT_EQ(GetHandleSize(list.infoHandle), row.size);
    UInt32 held = row.size == 2 ? *reinterpret_cast<UInt16 *>(*list.infoHandle)
                                : *reinterpret_cast<UInt32 *>(*list.infoHandle);
    EXPECT_EQ(held, row.value);
    DisposeHandle(list.infoHandle);
  }

  UnsignedFixed rates[] = {0xAC440000u, 0x56220000u};
  const struct {
    OSType selector;
    void *info;
    ComponentResult result;
  } sets[] = {{siNumberChannels, reinterpret_cast<void *>(2), noErr},
              {siNumberChannels, reinterpret_cast<void *>(1), notEnoughHardwareErr},
              {siSampleRate, &rates[0], noErr},
              {siSampleRate, &rates[1], siInvalidSampleRate},
              {siSampleRate, nullptr, siInvalidSampleRate},
              {siSampleSize, reinterpret_cast<void *>(16), noErr},
              {siSampleSize, reinterpret_cast<void *>(8), siInvalidSampleSize},
              {kUnknownInfo, nullptr, siUnknownInfoType}};
  for (const auto &row : sets)
    EXPECT_EQ(SoundComponentSetInfo(instance_, nullptr, row.selector, row.info), row.result)
        << row.selector;
}

TEST_F(DispatchTest, StreamActiveFollowsTheSourceCalls) {
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  SoundSource source = nullptr;
  ASSERT_EQ(SoundComponentAddSource(instance_, &source), noErr);  // through the mixer
  ASSERT_NE(source, nullptr);
  Byte samples[64] = {};
  SoundComponentData desc{0, kTwosComplement, 2, 16, 0xAC440000u, 16, samples, 0};
  SoundParamBlock pb{};
  pb.desc = &desc;
  auto play = [&](long actions) {
    return SoundComponentPlaySourceBuffer(instance_, source, &pb, actions);
  };
  auto start = [&] { return SoundComponentStartSource(instance_, 1, &source); };
  auto pause = [&] { return SoundComponentPauseSource(instance_, 1, &source); };
  auto stop = [&] { return SoundComponentStopSource(instance_, 1, &source); };
  const struct {
    std::function<ComponentResult()> call;
    bool active;
  } steps[] = {{start, true},
               {pause, false},
               {start, true},
               {stop, false},
               {[&] { return play(0); }, true},
               {[&] { return play(kSourcePaused); }, false},
               {[&] { return play(0); }, true}};
  for (const auto &step : steps) {
    EXPECT_EQ(step.call(), noErr);
    EXPECT_EQ(Get(obj_, "IsStreamActive") != 0, step.active);
  }
  // A null block is the mixer's to refuse; an empty one plays nothing.
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, nullptr, 0), paramErr);
  desc.sampleCount = 0;
  EXPECT_EQ(play(0), noErr);
  EXPECT_EQ(stop(), noErr);
  EXPECT_EQ(SoundComponentRemoveSource(instance_, source), noErr);
  EXPECT_EQ(play(0), badChannel);
  EXPECT_EQ(CloseComponent(instance_), noErr);
  instance_ = nullptr;
  EXPECT_FALSE(Get(obj_, "IsStreamActive"));
}

TEST_F(DispatchTest, OpenInstancesOutliveTheRegistrationSafely) {
  Component component = ComponentOf(obj_);
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  Call(obj_, "CloseComponent");
  EXPECT_FALSE(Get(obj_, "IsOpen"));
  obj_ = Value();  // the state is freed too
  // The open instance still works, and no new one opens on the withdrawn registration.
  short channels = 0;
  EXPECT_EQ(SoundComponentGetInfo(instance_, nullptr, siNumberChannels, &channels), noErr);
  SoundSource source = nullptr;
  EXPECT_EQ(SoundComponentAddSource(instance_, &source), noErr);
  EXPECT_EQ(SoundComponentStartSource(instance_, 1, &source), noErr);
  ComponentInstance another = nullptr;
  EXPECT_EQ(OpenAComponent(component, &another), invalidComponentID);
  EXPECT_EQ(CloseComponent(instance_), noErr);
  instance_ = nullptr;
  // The next object to register withdraws it for good.
  Value next = OpenStream();
  ComponentDescription description{};
  EXPECT_EQ(GetComponentInfo(component, &description, nullptr, nullptr, nullptr),
            invalidComponentID);
}

}  // namespace
}  // namespace soundstream_test
