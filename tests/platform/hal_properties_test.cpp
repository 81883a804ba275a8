// Properties of the system object, devices and streams, through the object calls and the older
// hardware, device and stream calls, with the platform's status codes. (Host time is checked
// through the class that hands it to programs.)
#include <cstring>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

class HalProperties : public HalTest {
 protected:
  void SetUp() override {
    HalTest::SetUp();
    out_ = xnq_hal_add_device(&(config_ = nullConfig("Test Out", 2, 0, XNQ_CLOCK_STEPPED, 256)));
    in_ = xnq_hal_add_device(&(inConfig_ = nullConfig("Test In", 0, 1, XNQ_CLOCK_STEPPED)));
    ASSERT_NE(out_, 0u);
    ASSERT_NE(in_, 0u);
  }
  XnqDeviceConfig config_{}, inConfig_{};
  AudioDeviceID out_ = 0, in_ = 0;
};

TEST_F(HalProperties, TheSystemListsDevicesAndMovesDefaultsOnlyToDevicesWithTheSide) {
  auto devices = address(kAudioHardwarePropertyDevices);
  AudioDeviceID ids[2] = {};
  UInt32 size = sizeof ids;
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            0);
  EXPECT_EQ(size, sizeof ids);
  EXPECT_EQ(ids[1], in_);
  size = 2;  // room for no ID at all
  EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            kAudioHardwareBadPropertySizeError);
  XnqDeviceConfig second = nullConfig("Second Out", 2, 0, XNQ_CLOCK_STEPPED);
  AudioDeviceID other = xnq_hal_add_device(&second), missing = 999;
  const struct {
    UInt32 size;
    const AudioDeviceID *id;
    OSStatus status;
  } sets[] = {{4, &other, 0},
              {4, &in_, kAudioDeviceUnsupportedFormatError},
              {4, &missing, kAudioHardwareBadDeviceError},
              {2, &other, kAudioHardwareBadPropertySizeError}};
  for (const auto &set : sets) {
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, set.size, set.id),
              set.status);
  }
  AudioDeviceID now = 0;
  ASSERT_EQ(
      getObject(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice), &now),
      0);
  EXPECT_EQ(now, other);
  // Removing the default device moves the default to a device that remains.
  ASSERT_EQ(xnq_hal_remove_device(other), 0);
  ASSERT_EQ(
      getObject(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice), &now),
      0);
  EXPECT_EQ(now, out_);
}

TEST_F(HalProperties, DevicesDescribeThemselves) {
  const struct {
    AudioDeviceID device;
    bool input;
    UInt32 selector, expected;
  } values[] = {
      {out_, false, kAudioObjectPropertyClass, kAudioDeviceClassID},
      {out_, false, kAudioDevicePropertyTransportType, kAudioDeviceTransportTypeVirtual},
      {out_, false, kAudioDevicePropertyDeviceIsAlive, 1},
      {out_, false, kAudioDevicePropertyDeviceIsRunning, 0},
      {out_, false, kAudioDevicePropertyDeviceCanBeDefaultDevice, 1},
      {in_, true, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, 0},
      {out_, false, kAudioDevicePropertyBufferFrameSize, 256},
      {out_, false, kAudioDevicePropertyBufferSize, 256 * 8},
      {out_, false, kAudioDevicePropertyLatency, 0},
      {out_, false, kAudioDevicePropertyClockSource, XNQ_CLOCK_STEPPED},
  };
  for (const auto &v : values) {
    EXPECT_EQ(deviceValue<UInt32>(v.device, v.input, v.selector), v.expected) << v.selector;
  }
  char name[64] = {};
  UInt32 size = 5;  // a short buffer gets a shortened name, still terminated
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyDeviceName, &size, name), 0);
  EXPECT_STREQ(name, "Test");
  EXPECT_FALSE(cfProperty(out_, kAudioDevicePropertyDeviceManufacturerCFString).empty());
}

TEST_F(HalProperties, FormatsRatesAndBufferSizesChangeOnlyToWhatTheDeviceOffers) {
  // The output format is float32, packed, interleaved (the players and units rely on it); the
  // input-only device has none, which is how callers skip it.
  auto f = deviceValue<AudioStreamBasicDescription>(out_, false, kAudioDevicePropertyStreamFormat);
  EXPECT_EQ(f.mFormatFlags, UInt32(kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked));
  EXPECT_EQ(f.mBytesPerFrame, 8u);
  UInt32 size = 0;
  EXPECT_EQ(
      AudioDeviceGetPropertyInfo(in_, 0, false, kAudioDevicePropertyStreamFormat, &size, nullptr),
      kAudioHardwareUnknownPropertyError);
  const Float64 odd = 12345;
  const Float32 wrongSize = 48000;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyNominalSampleRate), odd),
            kAudioDeviceUnsupportedFormatError);
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyNominalSampleRate), wrongSize),
            kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyNominalSampleRate,
                                   8, nullptr),
            kAudioHardwareIllegalOperationError);
  // A stream format with another rate changes the nominal rate; another layout is refused.
  f.mSampleRate = 96000.0;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyStreamFormat), f), 0);
  EXPECT_EQ(deviceValue<Float64>(out_, false, kAudioDevicePropertyNominalSampleRate), 96000.0);
  f.mChannelsPerFrame = 6;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyStreamFormat), f),
            kAudioDeviceUnsupportedFormatError);

  const UInt32 frames = 128, bytes = 2048, tooFew = 1;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyBufferFrameSize), frames), 0);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferSize), 128u * 8);
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyBufferSize), bytes), 0);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferFrameSize), 256u);
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyBufferFrameSize), tooFew),
            kAudioDeviceUnsupportedFormatError);
}

TEST_F(HalProperties, VolumeIsAFaderOverADecibelRange) {
  auto volm = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
  auto vold = address(kAudioDevicePropertyVolumeDecibels, kAudioObjectPropertyScopeOutput);
  Float32 v = 0;
  ASSERT_EQ(getObject(out_, vold, &v), 0);
  EXPECT_EQ(v, 0.0f);  // full volume
  // The conversions read their input from the buffer and are exact inverses.
  Float32 io = 0.5f;
  UInt32 size = sizeof io;
  auto v2db = address(kAudioDevicePropertyVolumeScalarToDecibels, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectGetPropertyData(out_, &v2db, 0, nullptr, &size, &io), 0);
  const Float32 halfDb = io;
  EXPECT_LT(halfDb, 0.0f);
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyVolumeDecibelsToScalar,
                                   &size, &io),
            0);
  EXPECT_NEAR(io, 0.5f, 1e-6);
  ASSERT_EQ(setObject(out_, vold, halfDb), 0);
  ASSERT_EQ(getObject(out_, volm, &v), 0);
  EXPECT_NEAR(v, 0.5f, 1e-6);
  ASSERT_EQ(setObject(out_, volm, 2.0f), 0);  // clamped
  ASSERT_EQ(getObject(out_, volm, &v), 0);
  EXPECT_EQ(v, 1.0f);
  // Only the master channel has a volume.
  EXPECT_EQ(AudioDeviceGetProperty(out_, 1, false, kAudioDevicePropertyVolumeScalar, &size, &v),
            kAudioHardwareUnknownPropertyError);
}

TEST_F(HalProperties, StreamsKnowTheirDeviceSideAndMatchingFormats) {
  AudioStreamID inStream = 0;
  UInt32 size = sizeof inStream, value = 99;
  ASSERT_EQ(AudioDeviceGetProperty(in_, 0, true, kAudioDevicePropertyStreams, &size, &inStream), 0);
  size = sizeof value;
  ASSERT_EQ(AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyOwningDevice, &size, &value),
            0);
  EXPECT_EQ(value, in_);
  ASSERT_EQ(AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyStartingChannel, &size, &value),
            0);
  EXPECT_EQ(value, 1u);
  // Format matching reads the wanted format from the buffer.
  AudioStreamBasicDescription wanted{};
  wanted.mSampleRate = 44000.0;
  size = sizeof wanted;
  ASSERT_EQ(
      AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyPhysicalFormatMatch, &size, &wanted),
      0);
  EXPECT_EQ(wanted.mSampleRate, 44100.0);
  EXPECT_EQ(wanted.mChannelsPerFrame, 1u);
}

TEST_F(HalProperties, EachFamilyAnswersWithItsOwnStatusCodes) {
  auto name = address(kAudioDevicePropertyDeviceNameCFString);
  UInt32 size = 0, v = 0;
  Boolean writable = false;
  EXPECT_EQ(AudioObjectGetPropertyDataSize(4242, &name, 0, nullptr, &size),
            kAudioHardwareBadObjectError);
  EXPECT_EQ(
      AudioDeviceGetPropertyInfo(4242, 0, false, kAudioDevicePropertyDeviceName, &size, &writable),
      kAudioHardwareBadDeviceError);
  EXPECT_EQ(AudioStreamGetPropertyInfo(out_, 0, kAudioStreamPropertyDirection, &size, &writable),
            kAudioHardwareBadStreamError);  // a device is not a stream
  EXPECT_EQ(
      AudioDeviceGetPropertyInfo(out_, 0, false, XNQ_FOURCC('z', 'z', 'z', 'z'), &size, &writable),
      kAudioHardwareUnknownPropertyError);
  size = 2;
  EXPECT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyDeviceIsAlive, &size, &v),
            kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(
      AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyDeviceIsAlive, 4, &v),
      kAudioHardwareIllegalOperationError);
  EXPECT_TRUE(AudioObjectHasProperty(out_, &name));
  EXPECT_FALSE(AudioObjectHasProperty(4242, &name));
  auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
  ASSERT_EQ(AudioObjectIsPropertySettable(out_, &nsrt, &writable), 0);
  EXPECT_TRUE(writable);
  ASSERT_EQ(AudioObjectIsPropertySettable(out_, &name, &writable), 0);
  EXPECT_FALSE(writable);
}

TEST_F(HalProperties, ConfigurationTextMakesDevicesOrSaysWhyNot) {
  ASSERT_EQ(xnq_hal_configure("null:name=Alpha,out=6,rate=96000,frames=128,clock=stepped;"
                              "null:name=\"Beta, the input\",in=2,out=0"),
            0);
  auto devices = address(kAudioHardwarePropertyDevices);
  AudioDeviceID ids[2];
  UInt32 size = sizeof ids;
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            0);
  EXPECT_EQ(cfProperty(ids[1], kAudioObjectPropertyName), "Beta, the input");
  auto f =
      deviceValue<AudioStreamBasicDescription>(ids[0], false, kAudioDevicePropertyStreamFormat);
  EXPECT_EQ(f.mChannelsPerFrame, 6u);
  EXPECT_EQ(f.mSampleRate, 96000.0);
  EXPECT_EQ(deviceValue<UInt32>(ids[0], false, kAudioDevicePropertyBufferFrameSize), 128u);
  EXPECT_EQ(deviceValue<UInt32>(ids[0], false, kAudioDevicePropertyClockSource),
            UInt32(XNQ_CLOCK_STEPPED));
  EXPECT_NE(xnq_hal_configure("null:out=two"), 0);  // the reasons: the environment's table
  EXPECT_STRNE(xnq_hal_last_error(), "");
  XnqDeviceConfig badClock = nullConfig("Bad clock", 2, 0, XNQ_CLOCK_STEPPED);
  badClock.clock = 7;
  EXPECT_EQ(xnq_hal_add_device(&badClock), 0u);
  ASSERT_EQ(xnq_hal_configure("none"), 0);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
            0);
  EXPECT_EQ(size, 0u);
}

}  // namespace
