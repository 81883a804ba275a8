// Properties of the system object, devices and streams, through the object calls and the older
// hardware, device and stream calls, with the platform's status codes.
#include <time.h>

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

TEST_F(HalProperties, SystemListsDevicesAndDefaults) {
  UInt32 size = 0;
  auto devices = address(kAudioHardwarePropertyDevices);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
            0);
  ASSERT_EQ(size, 2 * sizeof(AudioDeviceID));
  AudioDeviceID ids[2] = {};
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            0);
  EXPECT_EQ(ids[0], out_);
  EXPECT_EQ(ids[1], in_);
  EXPECT_NE(out_, UInt32(kAudioObjectSystemObject));

  AudioDeviceID id = 0;
  size = sizeof id;
  EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &id), 0);
  EXPECT_EQ(id, out_);
  EXPECT_EQ(
      getObject(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), &id),
      0);
  EXPECT_EQ(id, in_);
  EXPECT_EQ(getObject(kAudioObjectSystemObject,
                      address(kAudioHardwarePropertyDefaultSystemOutputDevice), &id),
            0);
  EXPECT_EQ(id, out_);

  // A buffer with room for one ID receives one; a buffer too small for any is refused.
  AudioDeviceID one = 0;
  size = sizeof one;
  EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, &one),
            0);
  EXPECT_EQ(size, sizeof one);
  size = 2;
  EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            kAudioHardwareBadPropertySizeError);
}

TEST_F(HalProperties, DefaultDeviceCanBeChosenOnlyWithTheRightSide) {
  XnqDeviceConfig second = nullConfig("Second Out", 2, 0, XNQ_CLOCK_STEPPED);
  AudioDeviceID other = xnq_hal_add_device(&second);
  Boolean writable = false;
  UInt32 size = 0;
  ASSERT_EQ(
      AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDefaultOutputDevice, &size, &writable), 0);
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(writable);

  EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &other), 0);
  EXPECT_EQ(deviceValue<UInt32>(other, false, kAudioDevicePropertyDeviceCanBeDefaultDevice), 1u);
  AudioDeviceID now = 0;
  EXPECT_EQ(
      getObject(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice), &now),
      0);
  EXPECT_EQ(now, other);

  EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &in_),
            kAudioDeviceUnsupportedFormatError);
  AudioDeviceID missing = 999;
  EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &missing),
            kAudioHardwareBadDeviceError);
  EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 2, &other),
            kAudioHardwareBadPropertySizeError);

  // Removing the default device moves the default to a device that remains.
  ASSERT_EQ(xnq_hal_remove_device(other), 0);
  EXPECT_EQ(
      getObject(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice), &now),
      0);
  EXPECT_EQ(now, out_);
}

TEST_F(HalProperties, NamesAndIdentity) {
  char name[64] = {};
  UInt32 size = sizeof name;
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyDeviceName, &size, name), 0);
  EXPECT_STREQ(name, "Test Out");
  EXPECT_EQ(size, 9u);
  // A short buffer gets a shortened name, still terminated.
  size = 5;
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyDeviceName, &size, name), 0);
  EXPECT_STREQ(name, "Test");

  EXPECT_EQ(cfProperty(out_, kAudioDevicePropertyDeviceNameCFString), "Test Out");
  EXPECT_EQ(cfProperty(out_, kAudioDevicePropertyDeviceUID), "xnq:null:Test Out");
  EXPECT_FALSE(cfProperty(out_, kAudioDevicePropertyDeviceManufacturerCFString).empty());

  UInt32 v = 0;
  EXPECT_EQ(getObject(out_, address(kAudioObjectPropertyClass), &v), 0);
  EXPECT_EQ(v, UInt32(kAudioDeviceClassID));
  EXPECT_EQ(getObject(out_, address(kAudioDevicePropertyTransportType), &v), 0);
  EXPECT_EQ(v, UInt32(kAudioDeviceTransportTypeVirtual));
  EXPECT_EQ(getObject(out_, address(kAudioDevicePropertyDeviceIsAlive), &v), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(getObject(out_, address(kAudioDevicePropertyDeviceIsRunning), &v), 0);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(deviceValue<UInt32>(in_, true, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice), 0u);

  // The device for a UID, both as the old translation record and with a qualifier.
  CFStringRef uid = CFStringCreateWithCString(nullptr, "xnq:null:Test In", kCFStringEncodingUTF8);
  AudioDeviceID found = 0;
  AudioValueTranslation t{&uid, sizeof uid, &found, sizeof found};
  size = sizeof t;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &t), 0);
  EXPECT_EQ(found, in_);
  found = 0;
  size = sizeof found;
  auto duid = address(kAudioHardwarePropertyDeviceForUID);
  ASSERT_EQ(
      AudioObjectGetPropertyData(kAudioObjectSystemObject, &duid, sizeof uid, &uid, &size, &found),
      0);
  EXPECT_EQ(found, in_);
  CFRelease(uid);
}

TEST_F(HalProperties, StreamFormatOfEachSide) {
  AudioStreamBasicDescription f{};
  UInt32 size = sizeof f;
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyStreamFormat, &size, &f), 0);
  EXPECT_EQ(f.mSampleRate, 48000.0);
  EXPECT_EQ(f.mFormatID, UInt32(kAudioFormatLinearPCM));
  EXPECT_EQ(f.mFormatFlags, UInt32(kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked));
  EXPECT_EQ(f.mChannelsPerFrame, 2u);
  EXPECT_EQ(f.mBytesPerFrame, 8u);
  EXPECT_EQ(f.mBitsPerChannel, 32u);

  // The input-only device has no output format: that is how callers skip it.
  Boolean writable;
  EXPECT_EQ(
      AudioDeviceGetPropertyInfo(in_, 0, false, kAudioDevicePropertyStreamFormat, &size, &writable),
      kAudioHardwareUnknownPropertyError);
  ASSERT_EQ(AudioDeviceGetProperty(in_, 0, true, kAudioDevicePropertyStreamFormat, &size, &f), 0);
  EXPECT_EQ(f.mChannelsPerFrame, 1u);

  // Stream configuration: one interleaved buffer per side, none for a missing side.
  UInt32 cfgSize = 0;
  ASSERT_EQ(AudioDeviceGetPropertyInfo(out_, 0, false, kAudioDevicePropertyStreamConfiguration,
                                       &cfgSize, nullptr),
            0);
  std::vector<UInt8> bytes(cfgSize);
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyStreamConfiguration,
                                   &cfgSize, bytes.data()),
            0);
  AudioBufferList list;
  std::memcpy(&list, bytes.data(), sizeof list);
  EXPECT_EQ(list.mNumberBuffers, 1u);
  EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2u);
  AudioBufferList none;
  none.mNumberBuffers = 99;
  size = sizeof none;
  ASSERT_EQ(
      AudioDeviceGetProperty(out_, 0, true, kAudioDevicePropertyStreamConfiguration, &size, &none),
      0);
  EXPECT_EQ(none.mNumberBuffers, 0u);
}

TEST_F(HalProperties, NominalRateChangesOnlyToAvailableRates) {
  UInt32 size = 0;
  auto rates = address(kAudioDevicePropertyAvailableNominalSampleRates);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(out_, &rates, 0, nullptr, &size), 0);
  std::vector<AudioValueRange> ranges(size / sizeof(AudioValueRange));
  ASSERT_EQ(AudioObjectGetPropertyData(out_, &rates, 0, nullptr, &size, ranges.data()), 0);
  bool has44100 = false;
  for (auto &r : ranges) has44100 |= r.mMinimum == 44100.0;
  EXPECT_TRUE(has44100);

  Float64 rate = 44100.0;
  EXPECT_EQ(AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyNominalSampleRate,
                                   sizeof rate, &rate),
            0);
  EXPECT_EQ(deviceValue<Float64>(out_, false, kAudioDevicePropertyNominalSampleRate), 44100.0);
  EXPECT_EQ(deviceValue<AudioStreamBasicDescription>(out_, false, kAudioDevicePropertyStreamFormat)
                .mSampleRate,
            44100.0);
  rate = 12345.0;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyNominalSampleRate), rate),
            kAudioDeviceUnsupportedFormatError);
  Float32 wrongSize = 48000.0f;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyNominalSampleRate), wrongSize),
            kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(deviceValue<Float64>(out_, false, kAudioDevicePropertyNominalSampleRate), 44100.0);

  // A stream format with another rate changes the nominal rate too; another layout is refused.
  AudioStreamBasicDescription f =
      deviceValue<AudioStreamBasicDescription>(out_, false, kAudioDevicePropertyStreamFormat);
  f.mSampleRate = 96000.0;
  EXPECT_EQ(AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyStreamFormat,
                                   sizeof f, &f),
            0);
  EXPECT_EQ(deviceValue<Float64>(out_, false, kAudioDevicePropertyNominalSampleRate), 96000.0);
  f.mChannelsPerFrame = 6;
  EXPECT_EQ(AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyStreamFormat,
                                   sizeof f, &f),
            kAudioDeviceUnsupportedFormatError);
}

TEST_F(HalProperties, BufferSizesAndRanges) {
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferFrameSize), 256u);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferSize), 256u * 8);
  AudioValueRange r =
      deviceValue<AudioValueRange>(out_, false, kAudioDevicePropertyBufferFrameSizeRange);
  EXPECT_LE(r.mMinimum, 64.0);
  EXPECT_GE(r.mMaximum, 4096.0);

  UInt32 frames = 128;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyBufferFrameSize), frames), 0);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferSize), 128u * 8);
  UInt32 bytes = 1024;
  EXPECT_EQ(
      AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyBufferSize, 4, &bytes),
      0);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyBufferFrameSize), 128u);
  frames = 1;
  EXPECT_EQ(setObject(out_, address(kAudioDevicePropertyBufferFrameSize), frames),
            kAudioDeviceUnsupportedFormatError);
  UInt32 latency = 99;
  EXPECT_EQ(getObject(out_, address(kAudioDevicePropertyLatency, kAudioObjectPropertyScopeOutput),
                      &latency),
            0);
  EXPECT_EQ(latency, 0u);
}

TEST_F(HalProperties, VolumeScalarDecibelsAndConversions) {
  auto volm = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
  auto vold = address(kAudioDevicePropertyVolumeDecibels, kAudioObjectPropertyScopeOutput);
  Float32 v = 0;
  ASSERT_EQ(getObject(out_, volm, &v), 0);
  EXPECT_EQ(v, 1.0f);
  ASSERT_EQ(getObject(out_, vold, &v), 0);
  EXPECT_EQ(v, 0.0f);
  AudioValueRange range =
      deviceValue<AudioValueRange>(out_, false, kAudioDevicePropertyVolumeRangeDecibels);
  EXPECT_LT(range.mMinimum, -40.0);
  EXPECT_EQ(range.mMaximum, 0.0);

  // The conversions read their input from the buffer.
  Float32 io = 0.5f;
  UInt32 size = sizeof io;
  auto v2db = address(kAudioDevicePropertyVolumeScalarToDecibels, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectGetPropertyData(out_, &v2db, 0, nullptr, &size, &io), 0);
  Float32 halfDb = io;
  EXPECT_GT(halfDb, range.mMinimum);
  EXPECT_LT(halfDb, 0.0f);
  size = sizeof io;
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyVolumeDecibelsToScalar,
                                   &size, &io),
            0);
  EXPECT_NEAR(io, 0.5f, 1e-6);

  // Setting decibels moves the scalar to the same point of the mapping, and back.
  ASSERT_EQ(setObject(out_, vold, halfDb), 0);
  ASSERT_EQ(getObject(out_, volm, &v), 0);
  EXPECT_NEAR(v, 0.5f, 1e-6);
  v = 2.0f;  // out of range: clamped
  ASSERT_EQ(setObject(out_, volm, v), 0);
  ASSERT_EQ(getObject(out_, volm, &v), 0);
  EXPECT_EQ(v, 1.0f);

  UInt32 mute = 1;
  ASSERT_EQ(AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyMute, 4, &mute), 0);
  EXPECT_EQ(deviceValue<UInt32>(out_, false, kAudioDevicePropertyMute), 1u);
  // Only the master channel has a volume.
  size = sizeof v;
  EXPECT_EQ(AudioDeviceGetProperty(out_, 1, false, kAudioDevicePropertyVolumeScalar, &size, &v),
            kAudioHardwareUnknownPropertyError);
}

TEST_F(HalProperties, StreamsKnowTheirDeviceAndSide) {
  AudioStreamID outStream = 0, inStream = 0;
  UInt32 size = sizeof outStream;
  ASSERT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyStreams, &size, &outStream),
            0);
  size = sizeof inStream;
  ASSERT_EQ(AudioDeviceGetProperty(in_, 0, true, kAudioDevicePropertyStreams, &size, &inStream), 0);
  EXPECT_NE(outStream, 0u);
  EXPECT_NE(outStream, out_);
  EXPECT_NE(inStream, outStream);
  size = 4;
  EXPECT_EQ(AudioDeviceGetProperty(out_, 0, true, kAudioDevicePropertyStreams, &size, &inStream),
            0);
  EXPECT_EQ(size, 0u);  // no input side, no input stream

  UInt32 v = 0;
  size = sizeof v;
  ASSERT_EQ(AudioStreamGetProperty(outStream, 0, kAudioStreamPropertyOwningDevice, &size, &v), 0);
  EXPECT_EQ(v, out_);
  size = sizeof v;
  ASSERT_EQ(AudioStreamGetProperty(outStream, 0, kAudioStreamPropertyDirection, &size, &v), 0);
  EXPECT_EQ(v, 0u);
  size = sizeof v;
  ASSERT_EQ(AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyDirection, &size, &v), 0);
  EXPECT_EQ(v, 1u);
  size = sizeof v;
  ASSERT_EQ(AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyStartingChannel, &size, &v), 0);
  EXPECT_EQ(v, 1u);
  size = sizeof v;
  EXPECT_EQ(AudioStreamGetProperty(inStream, 0, kAudioStreamPropertyTerminalType, &size, &v), 0);

  AudioStreamBasicDescription f{};
  size = sizeof f;
  ASSERT_EQ(AudioStreamGetProperty(outStream, 0, kAudioStreamPropertyPhysicalFormat, &size, &f), 0);
  EXPECT_EQ(f.mChannelsPerFrame, 2u);
  UInt32 formatsSize = 0;
  Boolean writable = true;
  ASSERT_EQ(AudioStreamGetPropertyInfo(outStream, 0, kAudioStreamPropertyPhysicalFormats,
                                       &formatsSize, &writable),
            0);
  EXPECT_FALSE(writable);
  EXPECT_GT(formatsSize, sizeof f);
  EXPECT_EQ(formatsSize % sizeof f, 0u);

  // Format matching reads the wanted format from the buffer.
  AudioStreamBasicDescription wanted{};
  wanted.mSampleRate = 44000.0;
  size = sizeof wanted;
  ASSERT_EQ(
      AudioStreamGetProperty(outStream, 0, kAudioStreamPropertyPhysicalFormatMatch, &size, &wanted),
      0);
  EXPECT_EQ(wanted.mSampleRate, 44100.0);
  EXPECT_EQ(wanted.mChannelsPerFrame, 2u);
}

TEST_F(HalProperties, StatusCodesOfEachFamily) {
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
  EXPECT_EQ(AudioHardwareGetPropertyInfo(XNQ_FOURCC('b', 'b', 'v', 's'), &size, &writable),
            kAudioHardwareUnknownPropertyError);
  EXPECT_EQ(
      AudioDeviceGetPropertyInfo(out_, 0, false, XNQ_FOURCC('z', 'z', 'z', 'z'), &size, &writable),
      kAudioHardwareUnknownPropertyError);
  size = 2;
  EXPECT_EQ(AudioDeviceGetProperty(out_, 0, false, kAudioDevicePropertyDeviceIsAlive, &size, &v),
            kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(
      AudioDeviceSetProperty(out_, nullptr, 0, false, kAudioDevicePropertyDeviceIsAlive, 4, &v),
      kAudioHardwareIllegalOperationError);
  EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDevices, 4, &v),
            kAudioHardwareIllegalOperationError);

  EXPECT_TRUE(AudioObjectHasProperty(out_, &name));
  EXPECT_FALSE(AudioObjectHasProperty(4242, &name));
  auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
  ASSERT_EQ(AudioObjectIsPropertySettable(out_, &nsrt, &writable), 0);
  EXPECT_TRUE(writable);
  ASSERT_EQ(AudioObjectIsPropertySettable(out_, &name, &writable), 0);
  EXPECT_FALSE(writable);
}

TEST_F(HalProperties, ConfigurationTextMakesDevices) {
  ASSERT_EQ(xnq_hal_configure("null:name=Alpha,out=6,rate=96000,frames=128,clock=stepped;"
                              "null:name=\"Beta, the input\",in=2,out=0"),
            0);
  UInt32 size = 0;
  auto devices = address(kAudioHardwarePropertyDevices);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
            0);
  ASSERT_EQ(size, 2 * sizeof(AudioDeviceID));
  AudioDeviceID ids[2];
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids),
            0);
  EXPECT_EQ(cfProperty(ids[0], kAudioObjectPropertyName), "Alpha");
  EXPECT_EQ(cfProperty(ids[1], kAudioObjectPropertyName), "Beta, the input");
  auto f =
      deviceValue<AudioStreamBasicDescription>(ids[0], false, kAudioDevicePropertyStreamFormat);
  EXPECT_EQ(f.mChannelsPerFrame, 6u);
  EXPECT_EQ(f.mSampleRate, 96000.0);
  EXPECT_EQ(deviceValue<UInt32>(ids[0], false, kAudioDevicePropertyBufferFrameSize), 128u);
  EXPECT_EQ(deviceValue<UInt32>(ids[0], false, kAudioDevicePropertyClockSource),
            UInt32(XNQ_CLOCK_STEPPED));

  for (const char *bad : {"nothing:out=2", "null:out=two", "null:frames=3", "null:out=0",
                          "capture:out=2", "null:volume"}) {
    EXPECT_NE(xnq_hal_configure(bad), 0) << bad;
    EXPECT_STRNE(xnq_hal_last_error(), "") << bad;
  }
  XnqDeviceConfig badClock = nullConfig("Bad clock", 2, 0, XNQ_CLOCK_STEPPED);
  badClock.clock = 7;
  EXPECT_EQ(xnq_hal_add_device(&badClock), 0u);
  XnqDeviceConfig noChannels = nullConfig("Nothing", 0, 0, XNQ_CLOCK_STEPPED);
  EXPECT_EQ(xnq_hal_add_device(&noChannels), 0u);
  EXPECT_STRNE(xnq_hal_last_error(), "");
  ASSERT_EQ(xnq_hal_configure("none"), 0);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
            0);
  EXPECT_EQ(size, 0u);
}

TEST(HalHostTime, MonotonicNanoseconds) {
  EXPECT_EQ(AudioGetHostClockFrequency(), 1e9);
  EXPECT_EQ(AudioGetHostClockMinimumTimeDelta(), 1u);
  UInt64 a = AudioGetCurrentHostTime();
  timespec ts{0, 2000000};
  nanosleep(&ts, nullptr);
  UInt64 b = AudioGetCurrentHostTime();
  EXPECT_GE(AudioConvertHostTimeToNanos(b - a), 2000000u);
  EXPECT_LT(AudioConvertHostTimeToNanos(b - a), 2000000000u);
  EXPECT_EQ(AudioConvertNanosToHostTime(AudioConvertHostTimeToNanos(b)), b);
}

}  // namespace
