// One-line descriptions of stream formats, compared as whole strings.
#include <locale.h>
#include <string.h>

#include <string>

#include "frame/CAStreamBasicDescription.h"
#include "gtest/gtest.h"

namespace {

CAStreamBasicDescription Format(UInt32 channels, Float64 rate, UInt32 id, UInt32 flags,
                                UInt32 bytesPerFrame, UInt32 bits, UInt32 bytesPerPacket = 0,
                                UInt32 framesPerPacket = 0) {
  AudioStreamBasicDescription d{};
  d.mSampleRate = rate;
  d.mFormatID = id;
  d.mFormatFlags = flags;
  d.mBytesPerPacket = bytesPerPacket;
  d.mFramesPerPacket = framesPerPacket;
  d.mBytesPerFrame = bytesPerFrame;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = bits;
  return CAStreamBasicDescription(d);
}

std::string Describe(const CAStreamBasicDescription &format) {
  char buffer[CAStreamBasicDescription::kDescriptionSize];
  memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(format.AsString(buffer), buffer);
  return buffer;
}

const UInt32 kLPCM = kAudioFormatLinearPCM;
const UInt32 kALAC = kAudioFormatLossless;

TEST(StreamDescription, LinearPCMNamesDepthEndiannessSignKindPackingAlignmentAndInterleaving) {
  EXPECT_EQ(Describe(Format(2, 44100, kLPCM, 0x29, 4, 32)),
            " 2 ch,  44100 Hz, 'lpcm' (0x00000029) 32-bit little-endian float, deinterleaved");
  EXPECT_EQ(Describe(Format(2, 44100, kLPCM, 0xE, 4, 16)),
            " 2 ch,  44100 Hz, 'lpcm' (0x0000000E) 16-bit big-endian signed integer");
  EXPECT_EQ(Describe(Format(1, 48000, kLPCM, 0x4, 4, 24)),
            " 1 ch,  48000 Hz, 'lpcm' (0x00000004) 24-bit little-endian signed integer, unpacked "
            "in 4 bytes low-aligned");
  EXPECT_EQ(Describe(Format(1, 8000, kLPCM, 0x0, 1, 8)),
            " 1 ch,   8000 Hz, 'lpcm' (0x00000000) 8-bit unsigned integer");
  EXPECT_EQ(Describe(Format(1, 44100, kLPCM, 0xC0C, 4, 32)),
            " 1 ch,  44100 Hz, 'lpcm' (0x00000C0C) 8.24-bit little-endian signed integer");
  EXPECT_EQ(Describe(Format(2, 22050, kLPCM, 0x24, 0, 16)),
            " 2 ch,  22050 Hz, 'lpcm' (0x00000024) 16-bit signed integer, deinterleaved");
  // Packed but wider than the samples, aligned high.
  EXPECT_EQ(Describe(Format(2, 96000, kLPCM, 0x1C, 8, 20)),
            " 2 ch,  96000 Hz, 'lpcm' (0x0000001C) 20-bit little-endian signed integer, packed in "
            "4 bytes high-aligned");
  // A depth that is not whole bytes fills its word but is still aligned one way.
  EXPECT_EQ(Describe(Format(1, 44100, kLPCM, 0x4, 2, 12)),
            " 1 ch,  44100 Hz, 'lpcm' (0x00000004) 12-bit little-endian signed integer, unpacked "
            "in 2 bytes low-aligned");
  // Rates are rounded to whole hertz, channel counts widen their field.
  EXPECT_EQ(Describe(Format(12, 44099.6, kLPCM, 0x9, 48, 32)),
            "12 ch,  44100 Hz, 'lpcm' (0x00000009) 32-bit little-endian float");
  EXPECT_EQ(Describe(Format(2, 1234567, kLPCM, 0x9, 8, 32)),
            " 2 ch, 1234567 Hz, 'lpcm' (0x00000009) 32-bit little-endian float");
}

TEST(StreamDescription, LosslessNamesItsSourceDepthAndFramesPerPacket) {
  EXPECT_EQ(Describe(Format(2, 44100, kALAC, 2, 0, 0, 0, 4096)),
            " 2 ch,  44100 Hz, 'alac' (0x00000002) from 20-bit source, 4096 frames/packet");
  EXPECT_EQ(Describe(Format(2, 44100, kALAC, 1, 0, 0, 0, 4096)),
            " 2 ch,  44100 Hz, 'alac' (0x00000001) from 16-bit source, 4096 frames/packet");
  EXPECT_EQ(Describe(Format(2, 44100, kALAC, 4, 0, 0, 0, 4096)),
            " 2 ch,  44100 Hz, 'alac' (0x00000004) from 32-bit source, 4096 frames/packet");
  EXPECT_EQ(Describe(Format(2, 44100, kALAC, 7, 0, 0, 0, 4096)),
            " 2 ch,  44100 Hz, 'alac' (0x00000007) from UNKNOWN source bit depth, 4096 "
            "frames/packet");
  EXPECT_EQ(Describe(Format(2, 44100, kALAC, 0, 0, 0, 0, 4096)),
            " 2 ch,  44100 Hz, 'alac' (0x00000000) from UNKNOWN source bit depth, 4096 "
            "frames/packet");
}

TEST(StreamDescription, OtherFormatsListTheirSizes) {
  EXPECT_EQ(Describe(Format(2, 44100, XNQ_FOURCC('a', 'a', 'c', ' '), 0, 0, 0, 0, 1024)),
            " 2 ch,  44100 Hz, 'aac ' (0x00000000) 0 bits/channel, 0 bytes/packet, 1024 "
            "frames/packet, 0 bytes/frame");
  EXPECT_EQ(Describe(Format(1, 8000, XNQ_FOURCC('u', 'l', 'a', 'w'), 0, 1, 8, 1, 1)),
            " 1 ch,   8000 Hz, 'ulaw' (0x00000000) 8 bits/channel, 1 bytes/packet, 1 "
            "frames/packet, 1 bytes/frame");
}

TEST(StreamDescription, UnprintableIdentifiersAreWrittenInHex) {
  EXPECT_EQ(Describe(Format(1, 44100, 1, 0, 0, 0, 0, 0)),
            " 1 ch,  44100 Hz, 0x00000001 (0x00000000) 0 bits/channel, 0 bytes/packet, 0 "
            "frames/packet, 0 bytes/frame");
  EXPECT_EQ(Describe(Format(1, 44100, XNQ_FOURCC('a', '\\', 'c', 'd'), 0, 0, 0)),
            " 1 ch,  44100 Hz, 0x615C6364 (0x00000000) 0 bits/channel, 0 bytes/packet, 0 "
            "frames/packet, 0 bytes/frame");
  EXPECT_EQ(Describe(Format(1, 44100, XNQ_FOURCC('l', 'p', 'c', 0xE9), 0, 0, 0)),
            " 1 ch,  44100 Hz, 0x6C7063E9 (0x00000000) 0 bits/channel, 0 bytes/packet, 0 "
            "frames/packet, 0 bytes/frame");
}

TEST(StreamDescription, TheTextNeverOutgrowsTheBuffer) {
  // The largest rate printable makes the longest head; the text is cut, never overrun.
  char buffer[CAStreamBasicDescription::kDescriptionSize + 16];
  memset(buffer, 'X', sizeof buffer);
  Format(0xFFFFFFFF, 1.7e308, XNQ_FOURCC('a', 'l', 'a', 'c'), 7, 0, 0, 0, 0xFFFFFFFF)
      .AsString(buffer);
  size_t length = strlen(buffer);
  EXPECT_LT(length, CAStreamBasicDescription::kDescriptionSize);
  EXPECT_EQ(buffer[CAStreamBasicDescription::kDescriptionSize], 'X');
  EXPECT_EQ(std::string(buffer).substr(0, 7), "-1 ch, ");
  EXPECT_NE(std::string(buffer).find("from UNKNOWN source bit depth, -1 frames/packet"),
            std::string::npos);
}

}  // namespace
