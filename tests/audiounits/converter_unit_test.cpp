// The converter unit: any linear PCM in, its output format out, at another rate too.
#include <gtest/gtest.h>

#include "unit_harness.h"

namespace xnq::test {
namespace {

// A 1 kHz tone at 48 kHz as interleaved signed 16-bit stereo, half of full scale.
OSStatus shortTone(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                   UInt32 frames, AudioBufferList *ioData) {
  auto *position = static_cast<size_t *>(refCon);
  auto *out = static_cast<int16_t *>(ioData->mBuffers[0].mData);
  for (UInt32 i = 0; i < frames; ++i, ++*position)
    out[2 * i] = out[2 * i + 1] =
        static_cast<int16_t>(16384 * std::sin(2 * M_PI * 1000 * *position / 48000.0));
  return noErr;
}

TEST(ConverterUnit, TurnsAnyPcmIntoItsOutputFormat) {
  UnitHarness same(kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, 2);
  ASSERT_EQ(same.initialize(), noErr);
  Signal in = tone(2, 440, 0.1);
  EXPECT_EQ(same.render(in, in[0].size()), in);  // the same format on both sides: a copy

  UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, 2);
  AudioStreamBasicDescription format{48000,
                                     kAudioFormatLinearPCM,
                                     kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                                     4,
                                     1,
                                     4,
                                     2,
                                     16,
                                     0};
  AudioStreamBasicDescription compressed = format;
  compressed.mFormatID = XNQ_FOURCC('a', 'a', 'c', ' ');
  EXPECT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Input, 0, &compressed, sizeof compressed),
            kAudioUnitErr_FormatNotSupported);
  ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Input, 0, &format, sizeof format),
            noErr);
  size_t position = 0;
  AURenderCallbackStruct callback{shortTone, &position};
  ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_SetRenderCallback,
                                 kAudioUnitScope_Input, 0, &callback, sizeof callback),
            noErr);
  ASSERT_EQ(unit.initialize(), noErr);
  Signal out = unit.render({}, 22050);
  for (const auto &channel : out) {
    EXPECT_NEAR(frequencyOf(channel, 4410, 17640), 1000, 0.05);
    EXPECT_NEAR(amplitudeAt(channel, 4410, 17640, 1000), 0.5, 0.001);
  }
}

}  // namespace
}  // namespace xnq::test
