// The registered component driven as the Sound Manager drives an output device: what it can do,
// the info it answers and checks, what it hands to its mixer, IsStreamActive following the
// source calls, and instances that outlive the object's registration.
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
    EXPECT_TRUE(instance_ == nullptr || CloseComponent(instance_) == noErr);
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
  // Selectors below 256 without a handler of their own, sent bare: the instance alone.
  for (SInt16 selector : {0, 2, 3, 4, 5, -5, -6, -7, 255}) {
    ComponentParameters call{.what = selector, .params = {reinterpret_cast<long>(instance_)}};
    EXPECT_EQ(CallComponentDispatch(&call), badComponentSelector) << selector;
  }
}

TEST_F(DispatchTest, AnswersTheFixedFormatAndAsksTheMixerTheRest) {
  short value = 0;
  EXPECT_EQ(SoundComponentGetInfo(instance_, nullptr, kUnknownInfo, &value), badComponentInstance);
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  EXPECT_EQ(SoundComponentGetInfo(instance_, nullptr, kUnknownInfo, &value), siUnknownInfoType);

  // Values answered in place, and one-entry lists of a new handle holding the value.
  const struct {
    OSType selector;
    bool list;
    Size size;
    UInt32 value;
  } gets[] = {{siNumberChannels, false, 2, 2},       {siSampleSize, false, 2, 16},
              {siSampleRate, false, 4, 0xAC440000u}, {siChannelAvailable, true, 2, 2},
              {siSampleSizeAvailable, true, 2, 16},  {siSampleRateAvailable, true, 4, 0xAC440000u}};
  for (const auto &row : gets) {
    SoundInfoList list{};
    ASSERT_EQ(SoundComponentGetInfo(instance_, nullptr, row.selector, &list), noErr);
    const void *at = &list;
    if (row.list) {
      EXPECT_EQ(list.count, 1);
      ASSERT_EQ(GetHandleSize(list.infoHandle), row.size);
      at = *list.infoHandle;
    }
    UInt32 got =
        row.size == 2 ? *static_cast<const UInt16 *>(at) : *static_cast<const UInt32 *>(at);
    EXPECT_EQ(got, row.value) << row.selector;
    if (row.list) DisposeHandle(list.infoHandle);
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
  // A later instance takes over the output; the calls on the earlier one still tell the state.
  ComponentInstance later = nullptr;
  ASSERT_EQ(OpenAComponent(ComponentOf(obj_), &later), noErr);
  SoundSource source = nullptr;
  ASSERT_EQ(SoundComponentAddSource(instance_, &source), noErr);  // through the mixer
  Byte samples[64] = {};
  SoundComponentData desc{0, kTwosComplement, 2, 16, 0xAC440000u, 16, samples, 0};
  SoundParamBlock pb{};
  pb.desc = &desc;
  // Start, pause, stop (x), play, play paused (B), and IsStreamActive after each.
  for (const char *step : {"s1", "p0", "s1", "x0", "b1", "B0", "b1"}) {
    SoundSource *one = &source;
    ComponentResult result = step[0] == 's'   ? SoundComponentStartSource(instance_, 1, one)
                             : step[0] == 'p' ? SoundComponentPauseSource(instance_, 1, one)
                             : step[0] == 'x'
                                 ? SoundComponentStopSource(instance_, 1, one)
                                 : SoundComponentPlaySourceBuffer(
                                       instance_, source, &pb, step[0] == 'B' ? kSourcePaused : 0);
    EXPECT_EQ(result, noErr) << step;
    EXPECT_EQ(Get(obj_, "IsStreamActive"), step[1] - '0') << step;
  }
  // A null block or null samples are the mixer's to refuse; an empty block plays nothing.
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, nullptr, 0), paramErr);
  desc.buffer = nullptr;
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, &pb, 0), paramErr);
  desc.sampleCount = 0;
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, &pb, 0), noErr);
  EXPECT_EQ(SoundComponentRemoveSource(instance_, source), noErr);
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, &pb, 0), badChannel);
  // Initialising the device again gives the instance a new mixer, without the old one's sources.
  ASSERT_EQ(SoundComponentAddSource(instance_, &source), noErr);
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  EXPECT_EQ(SoundComponentPlaySourceBuffer(instance_, source, &pb, 0), badChannel);
  // The later instance starting tells the state too, and the earlier one closing ends it.
  ASSERT_EQ(SoundComponentInitOutputDevice(later, 0), noErr);
  EXPECT_EQ(SoundComponentStartSource(later, 0, nullptr), noErr);
  EXPECT_TRUE(Get(obj_, "IsStreamActive"));
  EXPECT_EQ(CloseComponent(instance_), noErr);
  instance_ = nullptr;
  EXPECT_FALSE(Get(obj_, "IsStreamActive"));
  EXPECT_EQ(CloseComponent(later), noErr);
}

TEST_F(DispatchTest, OpenInstancesOutliveTheRegistrationSafely) {
  Component component = ComponentOf(obj_);
  ASSERT_EQ(SoundComponentInitOutputDevice(instance_, 0), noErr);
  SoundSource source = nullptr;
  EXPECT_EQ(SoundComponentAddSource(instance_, &source), noErr);
  EXPECT_EQ(SoundComponentStartSource(instance_, 1, &source), noErr);
  Call(obj_, "CloseComponent");
  EXPECT_FALSE(Get(obj_, "IsStreamActive"));  // what still plays no longer reaches the object
  obj_ = Value();                             // the state is freed too
  // The open instance still works, and another opens on the registration it keeps.
  EXPECT_EQ(SoundComponentStartSource(instance_, 1, &source), noErr);
  ComponentInstance another = nullptr;
  EXPECT_EQ(OpenAComponent(component, &another), noErr);
  EXPECT_EQ(CloseComponent(instance_), noErr);
  // The last instance to close takes the registration away, for any number of them.
  ComponentDescription looking{kSoundOutputDeviceType, 0, 0, 0, 0};
  for (int i = 0; i < 70; ++i) {
    ComponentInstance open = nullptr;
    ASSERT_EQ(OpenAComponent(ComponentOf(OpenStream()), &open), noErr);  // the object is gone
    EXPECT_EQ(CountComponents(&looking), 2);
    EXPECT_EQ(CloseComponent(open), noErr);
  }
  EXPECT_EQ(CloseComponent(another), noErr);
  instance_ = nullptr;
  EXPECT_EQ(FindNextComponent(nullptr, &looking), nullptr);
}

}  // namespace
}  // namespace soundstream_test
