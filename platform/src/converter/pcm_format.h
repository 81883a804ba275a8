// Linear PCM layouts as the converter reads and writes them, and the two format steps between a
// layout and the converter's working form: interleaved 64-bit floats. A double holds every
// integer sample of up to 32 bits and every 32-bit float exactly, so a round trip through the
// working form gives back every value the target format can hold.
#pragma once

#include "os/audio_types.h"

namespace xnq::conv {

enum class SampleCoding : UInt8 { kUnsignedInteger, kSignedInteger, kFloat };

struct PcmFormat {
  Float64 rate = 0;
  UInt32 channels = 0;
  UInt32 bytesPerFrame = 0;   // of one buffer: all channels interleaved, or one channel
  UInt32 bytesPerSample = 0;  // the container of one sample: 1 to 4, or 8 for doubles
  UInt32 validBits = 0;       // bits of the value inside its container
  UInt32 shift = 0;           // bits below the value when it is aligned high in its container
  SampleCoding coding = SampleCoding::kSignedInteger;
  bool bigEndian = false;
  bool interleaved = true;

  UInt32 bufferCount() const { return interleaved ? 1 : channels; }
};

// The most channels a converter takes on either side.
constexpr UInt32 kMaxChannels = 1024;

// Reads a stream description as linear PCM the converter handles: integers of 1 to 32 bits in
// containers of 1 to 4 bytes (8-bit and other integers without the signed flag are unsigned,
// offset by half their range, as 8-bit WAV data is), 32- and 64-bit floats, either byte order,
// interleaved or one buffer per channel, one frame per packet. False for anything else.
bool describePcm(const AudioStreamBasicDescription &asbd, PcmFormat &format);

// Whether two layouts store every sample alike, so that converting between them is a copy.
bool sameLayout(const PcmFormat &a, const PcmFormat &b);

// The frames every buffer of list holds in format; false when the list has too few buffers or a
// buffer without data.
bool listCapacity(const PcmFormat &format, const AudioBufferList &list, UInt32 &frames);

// The working width for a conversion: a mono side makes it 1 (a mono source fills every
// destination channel; a mono destination takes the first source channel), otherwise the
// channels both sides have.
inline UInt32 workingChannels(UInt32 sourceChannels, UInt32 destinationChannels) {
  if (sourceChannels == 1 || destinationChannels == 1) return 1;
  return sourceChannels < destinationChannels ? sourceChannels : destinationChannels;
}

// Any thread, no allocation, no lock. Reads frames [first, first + frames) of channels
// 0 .. width - 1 from list into to, width interleaved doubles per frame. Integers scale to
// [-1, 1) by 2^-(bits - 1).
void decode(const PcmFormat &format, const AudioBufferList &list, UInt32 first, UInt32 frames,
            UInt32 width, double *to);

// Any thread, no allocation, no lock. Writes frames of width interleaved doubles into list at
// frame first: every channel c of the format takes working channel 0 when width is 1, channel c
// when c < width, and silence otherwise. Integers are rounded to nearest and clipped to their
// range; a NaN becomes 0. Floats keep any value.
void encode(const PcmFormat &format, const double *from, UInt32 width, UInt32 frames,
            AudioBufferList &list, UInt32 first);

// Converts frames samples of one channel straight from one layout to another, sample by sample,
// with the very values decode and encode would give through the working form.
using ChannelStep = void (*)(const PcmFormat &from, const UInt8 *in, const PcmFormat &to,
                             UInt8 *out, UInt32 frames);

// The step for the pairs most conversions are: 32-bit floats to 32-bit floats in either byte
// order, signed integers of 2 to 4 bytes in either order to native 32-bit floats, and native
// 32-bit floats to such integers. Null for every other pair.
ChannelStep directStep(const PcmFormat &from, const PcmFormat &to);

// Any thread, no allocation, no lock. What decode and encode of width working channels do,
// through step: frames [first, first + frames) of in go to out at frame outFirst.
void convertDirect(ChannelStep step, const PcmFormat &from, const AudioBufferList &in, UInt32 first,
                   const PcmFormat &to, AudioBufferList &out, UInt32 outFirst, UInt32 frames,
                   UInt32 width);

}  // namespace xnq::conv
