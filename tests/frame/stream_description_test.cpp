// One-line descriptions of stream formats, compared as whole strings.
#include <string.h>

#include <string>

#include "frame/CAStreamBasicDescription.h"
#include "gtest/gtest.h"

namespace {

const UInt32 kLPCM = kAudioFormatLinearPCM;
const UInt32 kALAC = kAudioFormatLossless;

TEST(StreamDescription, EachFormatIsDescribedInOneLine) {
  const struct {
    UInt32 channels;
    Float64 rate;
    UInt32 id, flags, bytesPerFrame, bits, bytesPerPacket, framesPerPacket;
    const char *text;
  } cases[] = {
      {2, 44100, kLPCM, 0x29, 4, 32, 0, 0,
       " 2 ch,  44100 Hz, 'lpcm' (0x00000029) 32-bit little-endian float, deinterleaved"},
      {2, 44100, kLPCM, 0xE, 4, 16, 0, 0,
       " 2 ch,  44100 Hz, 'lpcm' (0x0000000E) 16-bit big-endian signed integer"},
      {1, 48000, kLPCM, 0x4, 4, 24, 0, 0,
       " 1 ch,  48000 Hz, 'lpcm' (0x00000004) 24-bit little-endian signed integer, unpacked in 4 "
       "bytes low-aligned"},
      {1, 8000, kLPCM, 0x0, 1, 8, 0, 0,
       " 1 ch,   8000 Hz, 'lpcm' (0x00000000) 8-bit unsigned integer"},
      {1, 44100, kLPCM, 0xC0C, 4, 32, 0, 0,
       " 1 ch,  44100 Hz, 'lpcm' (0x00000C0C) 8.24-bit little-endian signed integer"},
      {2, 22050, kLPCM, 0x24, 0, 16, 0, 0,
       " 2 ch,  22050 Hz, 'lpcm' (0x00000024) 16-bit signed integer, deinterleaved"},
      {2, 96000, kLPCM, 0x1C, 8, 20, 0, 0,
       " 2 ch,  96000 Hz, 'lpcm' (0x0000001C) 20-bit little-endian signed integer, packed in 4 "
       "bytes high-aligned"},
      {1, 44100, kLPCM, 0x4, 2, 12, 0, 0,
       " 1 ch,  44100 Hz, 'lpcm' (0x00000004) 12-bit little-endian signed integer, unpacked in 2 "
       "bytes low-aligned"},
      {12, 44099.6, kLPCM, 0x9, 48, 32, 0, 0,
       "12 ch,  44100 Hz, 'lpcm' (0x00000009) 32-bit little-endian float"},
      {2, 1234567, kLPCM, 0x9, 8, 32, 0, 0,
       " 2 ch, 1234567 Hz, 'lpcm' (0x00000009) 32-bit little-endian float"},
      {2, 44100, kALAC, 2, 0, 0, 0, 4096,
       " 2 ch,  44100 Hz, 'alac' (0x00000002) from 20-bit source, 4096 frames/packet"},
      {2, 44100, kALAC, 7, 0, 0, 0, 4096,
       " 2 ch,  44100 Hz, 'alac' (0x00000007) from UNKNOWN source bit depth, 4096 frames/packet"},
      {1, 8000, XNQ_FOURCC('u', 'l', 'a', 'w'), 0, 1, 8, 1, 1,
       " 1 ch,   8000 Hz, 'ulaw' (0x00000000) 8 bits/channel, 1 bytes/packet, 1 frames/packet, 1 "
       "bytes/frame"},
      // Identifiers that are not four printable characters without a backslash, in hex.
      {1, 44100, 1, 0, 0, 0, 0, 1024,
       " 1 ch,  44100 Hz, 0x00000001 (0x00000000) 0 bits/channel, 0 bytes/packet, 1024 "
       "frames/packet, 0 bytes/frame"},
      {1, 44100, XNQ_FOURCC('a', '\\', 'c', 'd'), 0, 0, 0, 0, 0,
       " 1 ch,  44100 Hz, 0x615C6364 (0x00000000) 0 bits/channel, 0 bytes/packet, 0 "
       "frames/packet, 0 bytes/frame"},
  };
  for (const auto &c : cases) {
    AudioStreamBasicDescription d{
        c.rate,     c.id,   c.flags, c.bytesPerPacket, c.framesPerPacket, c.bytesPerFrame,
        c.channels, c.bits, 0};
    char buffer[CAStreamBasicDescription::kDescriptionSize];
    memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(CAStreamBasicDescription(d).AsString(buffer), buffer);
    EXPECT_STREQ(buffer, c.text);
  }
}

}  // namespace
