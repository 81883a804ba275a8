#include "frame/CAStreamBasicDescription.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>

namespace {

// Appends formatted text within the room left; false once the buffer is full.
class Appender {
 public:
  Appender(char *buffer, size_t room) : next_(buffer), room_(room) {}

  bool append(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    if (room_ == 0) return false;
    va_list arguments;
    va_start(arguments, format);
    int n = vsnprintf(next_, room_, format, arguments);
    va_end(arguments);
    if (n < 0 || static_cast<size_t>(n) >= room_) {
      room_ = 0;
      return false;
    }
    next_ += n;
    room_ -= static_cast<size_t>(n);
    return true;
  }

 private:
  char *next_;
  size_t room_;
};

// 'abcd' when all four bytes are printable and none is a backslash, else 0x followed by hex.
void IdentifierText(UInt32 id, char (&text)[16]) {
  unsigned char bytes[4] = {static_cast<unsigned char>(id >> 24),
                            static_cast<unsigned char>(id >> 16),
                            static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
  bool printable = true;
  for (unsigned char c : bytes) printable = printable && isprint(c) && c != '\\';
  if (printable) {
    snprintf(text, sizeof text, "'%c%c%c%c'", bytes[0], bytes[1], bytes[2], bytes[3]);
  } else {
    snprintf(text, sizeof text, "0x%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  }
}

void AppendLinearPCM(Appender &out, const AudioStreamBasicDescription &d) {
  const UInt32 flags = d.mFormatFlags;
  const bool deinterleaved = flags & kAudioFormatFlagIsNonInterleaved;
  const UInt32 interleavedChannels = deinterleaved ? 1 : d.mChannelsPerFrame;
  const UInt32 wordSize = (d.mBytesPerFrame == 0 || interleavedChannels == 0)
                              ? 0
                              : d.mBytesPerFrame / interleavedChannels;
  const UInt32 fractionBits = (flags >> 7) & 0x3F;
  const bool isFloat = flags & kAudioFormatFlagIsFloat;

  char depth[20];
  if (fractionBits > 0) {
    snprintf(depth, sizeof depth, "%d.%d", static_cast<int>(d.mBitsPerChannel - fractionBits),
             static_cast<int>(fractionBits));
  } else {
    snprintf(depth, sizeof depth, "%d", static_cast<int>(d.mBitsPerChannel));
  }
  const char *endianness = "";
  if (wordSize >= 2) {
    endianness = (flags & kAudioFormatFlagIsBigEndian) ? " big-endian" : " little-endian";
  }
  const char *sign = "";
  if (!isFloat) sign = (flags & kAudioFormatFlagIsSignedInteger) ? " signed" : " unsigned";
  const char *kind = isFloat ? "float" : "integer";
  char packing[32] = "";
  if (wordSize != 0 && wordSize * 8 != d.mBitsPerChannel) {
    snprintf(packing, sizeof packing,
             (flags & kAudioFormatFlagIsPacked) ? "packed in %d bytes" : "unpacked in %d bytes",
             static_cast<int>(wordSize));
  }
  const char *alignment = "";
  if (wordSize != 0 && (wordSize * 8 != d.mBitsPerChannel || d.mBitsPerChannel % 8 != 0)) {
    alignment = (flags & kAudioFormatFlagIsAlignedHigh) ? " high-aligned" : " low-aligned";
  }
  const char *separator = (packing[0] != 0 || alignment[0] != 0) ? ", " : "";
  const char *interleaving = deinterleaved ? ", deinterleaved" : "";
  out.append("%s-bit%s%s %s%s%s%s%s", depth, endianness, sign, kind, separator, packing, alignment,
             interleaving);
}

}  // namespace

char *CAStreamBasicDescription::AsString(char *buffer) const {
  char identifier[16];
  IdentifierText(mFormatID, identifier);
  int n = snprintf(buffer, kDescriptionSize, "%2d ch, %6.0f Hz, %s (0x%08X) ",
                   static_cast<int>(mChannelsPerFrame), mSampleRate, identifier, mFormatFlags);
  if (n < 0 || static_cast<size_t>(n) >= kDescriptionSize) return buffer;
  Appender out(buffer + n, kDescriptionSize - static_cast<size_t>(n));

  if (mFormatID == kAudioFormatLossless) {
    static const int kSourceDepths[] = {16, 20, 24, 32};
    bool known = mFormatFlags >= 1 && mFormatFlags <= 4;
    bool written = known ? out.append("from %d-bit source, ", kSourceDepths[mFormatFlags - 1])
                         : out.append("from UNKNOWN source bit depth, ");
    if (written) out.append("%d frames/packet", static_cast<int>(mFramesPerPacket));
    return buffer;
  }
  if (mFormatID != kAudioFormatLinearPCM) {
    out.append("%d bits/channel, %d bytes/packet, %d frames/packet, %d bytes/frame",
               static_cast<int>(mBitsPerChannel), static_cast<int>(mBytesPerPacket),
               static_cast<int>(mFramesPerPacket), static_cast<int>(mBytesPerFrame));
    return buffer;
  }
  AppendLinearPCM(out, *this);
  return buffer;
}
