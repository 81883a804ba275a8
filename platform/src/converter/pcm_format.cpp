#include "converter/pcm_format.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xnq::conv {
namespace {

// Steps over one channel: frames samples, bytesPerFrame apart in the buffer, stride apart in the
// working form.
using DecodeStep = void (*)(const PcmFormat &, const UInt8 *in, UInt32 frames, double *out,
                            UInt32 stride);
using EncodeStep = void (*)(const PcmFormat &, const double *in, UInt32 stride, UInt32 frames,
                            UInt8 *out);

template <UInt32 Bytes>
using RawOf = std::conditional_t<(Bytes > 4), UInt64, UInt32>;
template <UInt32 Bytes>
using FloatOf = std::conditional_t<(Bytes > 4), double, float>;

// The machine word of a 2-, 4- or 8-byte container.
template <UInt32 Bytes>
using WordOf =
    std::conditional_t<Bytes == 2, UInt16, std::conditional_t<(Bytes > 4), UInt64, UInt32>>;

template <typename Word>
inline Word swapBytes(Word v) {
  if constexpr (sizeof(Word) == 2)
    return __builtin_bswap16(v);
  else if constexpr (sizeof(Word) == 4)
    return __builtin_bswap32(v);
  else
    return __builtin_bswap64(v);
}

template <bool Big>
constexpr bool kForeign = Big != (std::endian::native == std::endian::big);

// Any alignment and either order: whole words through memcpy, which the compiler makes one
// load or store, swapped when the order is not the machine's; 3-byte containers byte by byte.
template <UInt32 Bytes, bool Big>
inline RawOf<Bytes> load(const UInt8 *p) {
  if constexpr (Bytes == 1) {
    return p[0];
  } else if constexpr (Bytes == 3) {
    return Big ? UInt32{p[0]} << 16 | UInt32{p[1]} << 8 | p[2]
               : UInt32{p[2]} << 16 | UInt32{p[1]} << 8 | p[0];
  } else {
    WordOf<Bytes> w;
    std::memcpy(&w, p, Bytes);
    if constexpr (kForeign<Big>) w = swapBytes(w);
    return w;
  }
}

template <UInt32 Bytes, bool Big>
inline void store(UInt8 *p, RawOf<Bytes> v) {
  if constexpr (Bytes == 1) {
    p[0] = static_cast<UInt8>(v);
  } else if constexpr (Bytes == 3) {
    p[Big ? 2 : 0] = static_cast<UInt8>(v);
    p[1] = static_cast<UInt8>(v >> 8);
    p[Big ? 0 : 2] = static_cast<UInt8>(v >> 16);
  } else {
    auto w = static_cast<WordOf<Bytes>>(v);
    if constexpr (kForeign<Big>) w = swapBytes(w);
    std::memcpy(p, &w, Bytes);
  }
}

template <UInt32 Bytes, bool Big>
void decodeInteger(const PcmFormat &f, const UInt8 *in, UInt32 frames, double *out, UInt32 stride) {
  const double scale = std::ldexp(1.0, 1 - static_cast<int>(f.validBits));
  // The value's top bit goes to bit 31, then back down, sign-extending signed values.
  const UInt32 left = 32 - f.shift - f.validBits;
  const UInt32 right = 32 - f.validBits;
  if (f.coding == SampleCoding::kSignedInteger) {
    for (UInt32 i = 0; i < frames; ++i, in += f.bytesPerFrame)
      out[size_t{i} * stride] =
          (static_cast<SInt32>(load<Bytes, Big>(in) << left) >> right) * scale;
  } else {
    const double half = std::ldexp(1.0, static_cast<int>(f.validBits) - 1);
    for (UInt32 i = 0; i < frames; ++i, in += f.bytesPerFrame)
      out[size_t{i} * stride] = (((load<Bytes, Big>(in) << left) >> right) - half) * scale;
  }
}

template <UInt32 Bytes, bool Big>
void encodeInteger(const PcmFormat &f, const double *in, UInt32 stride, UInt32 frames, UInt8 *out) {
  const double full = std::ldexp(1.0, static_cast<int>(f.validBits) - 1);
  const double low = -full;
  const double high = full - 1;
  const UInt32 mask = f.validBits == 32 ? 0xFFFFFFFFu : (1u << f.validBits) - 1;
  const UInt32 offset = f.coding == SampleCoding::kUnsignedInteger ? 1u << (f.validBits - 1) : 0;
  for (UInt32 i = 0; i < frames; ++i, out += f.bytesPerFrame) {
    double y = in[size_t{i} * stride] * full;
    if (!(y >= low))
      y = std::isnan(y) ? 0.0 : low;
    else if (y > high)
      y = high;
    // Round half away from zero; the clipped range keeps the result inside 32 bits.
    const auto v = static_cast<SInt32>(y < 0 ? y - 0.5 : y + 0.5);
    const UInt32 raw = ((static_cast<UInt32>(v) + offset) & mask) << f.shift;
    store<Bytes, Big>(out, raw);
  }
}

template <UInt32 Bytes, bool Big>
void decodeFloat(const PcmFormat &f, const UInt8 *in, UInt32 frames, double *out, UInt32 stride) {
  for (UInt32 i = 0; i < frames; ++i, in += f.bytesPerFrame) {
    const RawOf<Bytes> raw = load<Bytes, Big>(in);
    FloatOf<Bytes> v;
    std::memcpy(&v, &raw, Bytes);
    out[size_t{i} * stride] = v;
  }
}

template <UInt32 Bytes, bool Big>
void encodeFloat(const PcmFormat &f, const double *in, UInt32 stride, UInt32 frames, UInt8 *out) {
  for (UInt32 i = 0; i < frames; ++i, out += f.bytesPerFrame) {
    const auto v = static_cast<FloatOf<Bytes>>(in[size_t{i} * stride]);
    RawOf<Bytes> raw;
    std::memcpy(&raw, &v, Bytes);
    store<Bytes, Big>(out, raw);
  }
}

DecodeStep decoderFor(const PcmFormat &f) {
  const bool big = f.bigEndian;
  if (f.coding == SampleCoding::kFloat)
    return f.bytesPerSample == 8 ? (big ? decodeFloat<8, true> : decodeFloat<8, false>)
                                 : (big ? decodeFloat<4, true> : decodeFloat<4, false>);
  switch (f.bytesPerSample) {
    case 1:
      return decodeInteger<1, false>;
    case 2:
      return big ? decodeInteger<2, true> : decodeInteger<2, false>;
    case 3:
      return big ? decodeInteger<3, true> : decodeInteger<3, false>;
    default:
      return big ? decodeInteger<4, true> : decodeInteger<4, false>;
  }
}

EncodeStep encoderFor(const PcmFormat &f) {
  const bool big = f.bigEndian;
  if (f.coding == SampleCoding::kFloat)
    return f.bytesPerSample == 8 ? (big ? encodeFloat<8, true> : encodeFloat<8, false>)
                                 : (big ? encodeFloat<4, true> : encodeFloat<4, false>);
  switch (f.bytesPerSample) {
    case 1:
      return encodeInteger<1, false>;
    case 2:
      return big ? encodeInteger<2, true> : encodeInteger<2, false>;
    case 3:
      return big ? encodeInteger<3, true> : encodeInteger<3, false>;
    default:
      return big ? encodeInteger<4, true> : encodeInteger<4, false>;
  }
}

UInt8 *sampleAddress(const PcmFormat &f, const AudioBufferList &list, UInt32 channel,
                     UInt32 frame) {
  const AudioBuffer &buffer = list.mBuffers[f.interleaved ? 0 : channel];
  return static_cast<UInt8 *>(buffer.mData) + size_t{frame} * f.bytesPerFrame +
         (f.interleaved ? size_t{channel} * f.bytesPerSample : 0);
}

// The direct steps. Each does, per sample, the arithmetic of the decode step and the encode step
// it stands for, so its results are theirs bit for bit.

template <bool InBig, bool OutBig>
void copyFloat(const PcmFormat &f, const UInt8 *in, const PcmFormat &t, UInt8 *out, UInt32 frames) {
  const UInt32 inStride = f.bytesPerFrame;
  const UInt32 outStride = t.bytesPerFrame;
  if (InBig == OutBig && inStride == 4 && outStride == 4) {
    std::memmove(out, in, size_t{frames} * 4);
    return;
  }
  for (UInt32 i = 0; i < frames; ++i, in += inStride, out += outStride)
    store<4, OutBig>(out, load<4, InBig>(in));
}

// A float times a power of two is exact, so scaling the integer rounded once to float equals
// rounding the exact double quotient to float, which is what encodeFloat does.
template <UInt32 Bytes, bool Big>
void integerToFloat(const PcmFormat &f, const UInt8 *in, const PcmFormat &t, UInt8 *out,
                    UInt32 frames) {
  const float scale = std::ldexp(1.0f, 1 - static_cast<int>(f.validBits));
  const UInt32 left = 32 - f.shift - f.validBits;
  const UInt32 right = 32 - f.validBits;
  const UInt32 inStride = f.bytesPerFrame;
  const UInt32 outStride = t.bytesPerFrame;
  UInt32 i = 0;
#if defined(__SSE2__)
  if constexpr (Bytes == 2 && !kForeign<Big>) {
    // Packed 16-bit samples, eight at a time: widened with their sign, converted, scaled.
    if (inStride == 2 && outStride == 4 && f.validBits == 16 && f.shift == 0) {
      const __m128 factor = _mm_set1_ps(scale);
      for (; i + 8 <= frames; i += 8, in += 16, out += 32) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        _mm_storeu_ps(reinterpret_cast<float *>(out), _mm_mul_ps(_mm_cvtepi32_ps(low), factor));
        _mm_storeu_ps(reinterpret_cast<float *>(out + 16),
                      _mm_mul_ps(_mm_cvtepi32_ps(high), factor));
      }
    }
  }
#endif
  for (; i < frames; ++i, in += inStride, out += outStride) {
    const float v =
        static_cast<float>(static_cast<SInt32>(load<Bytes, Big>(in) << left) >> right) * scale;
    std::memcpy(out, &v, 4);
  }
}

template <UInt32 Bytes, bool Big>
void floatToInteger(const PcmFormat &f, const UInt8 *in, const PcmFormat &t, UInt8 *out,
                    UInt32 frames) {
  const double full = std::ldexp(1.0, static_cast<int>(t.validBits) - 1);
  const double low = -full;
  const double high = full - 1;
  const UInt32 mask = t.validBits == 32 ? 0xFFFFFFFFu : (1u << t.validBits) - 1;
  const UInt32 shift = t.shift;
  const UInt32 inStride = f.bytesPerFrame;
  const UInt32 outStride = t.bytesPerFrame;
  for (UInt32 i = 0; i < frames; ++i, in += inStride, out += outStride) {
    float x;
    std::memcpy(&x, in, 4);
    double y = static_cast<double>(x) * full;
    if (!(y >= low))
      y = std::isnan(y) ? 0.0 : low;
    else if (y > high)
      y = high;
    const auto v = static_cast<SInt32>(y < 0 ? y - 0.5 : y + 0.5);
    store<Bytes, Big>(out, (static_cast<UInt32>(v) & mask) << shift);
  }
}

template <template <UInt32, bool> class Step>
ChannelStep bySize(UInt32 bytes, bool big) {
  switch (bytes) {
    case 2:
      return big ? Step<2, true>::run : Step<2, false>::run;
    case 3:
      return big ? Step<3, true>::run : Step<3, false>::run;
    default:
      return big ? Step<4, true>::run : Step<4, false>::run;
  }
}

template <UInt32 Bytes, bool Big>
struct IntegerToFloat {
  static constexpr ChannelStep run = integerToFloat<Bytes, Big>;
};
template <UInt32 Bytes, bool Big>
struct FloatToInteger {
  static constexpr ChannelStep run = floatToInteger<Bytes, Big>;
};

}  // namespace

ChannelStep directStep(const PcmFormat &from, const PcmFormat &to) {
  const auto nativeFloat = [](const PcmFormat &p) {
    return p.coding == SampleCoding::kFloat && p.bytesPerSample == 4 && !p.bigEndian;
  };
  const auto signedInteger = [](const PcmFormat &p) {
    return p.coding == SampleCoding::kSignedInteger && p.bytesPerSample >= 2;
  };
  if (from.coding == SampleCoding::kFloat && from.bytesPerSample == 4 &&
      to.coding == SampleCoding::kFloat && to.bytesPerSample == 4) {
    if (from.bigEndian) return to.bigEndian ? copyFloat<true, true> : copyFloat<true, false>;
    return to.bigEndian ? copyFloat<false, true> : copyFloat<false, false>;
  }
  if (signedInteger(from) && nativeFloat(to))
    return bySize<IntegerToFloat>(from.bytesPerSample, from.bigEndian);
  if (nativeFloat(from) && signedInteger(to))
    return bySize<FloatToInteger>(to.bytesPerSample, to.bigEndian);
  return nullptr;
}

void convertDirect(ChannelStep step, const PcmFormat &from, const AudioBufferList &in, UInt32 first,
                   const PcmFormat &to, AudioBufferList &out, UInt32 outFirst, UInt32 frames,
                   UInt32 width) {
#if defined(__SSE2__)
  // Interleaved stereo floats into one buffer per channel, what a player's converter does on
  // every slice: four frames at a time, two loads and two shuffles.
  if (step == copyFloat<false, false> && from.channels == 2 && from.interleaved &&
      to.channels == 2 && !to.interleaved) {
    const UInt8 *source = sampleAddress(from, in, 0, first);
    auto *left = reinterpret_cast<float *>(sampleAddress(to, out, 0, outFirst));
    auto *right = reinterpret_cast<float *>(sampleAddress(to, out, 1, outFirst));
    UInt32 i = 0;
    for (; i + 4 <= frames; i += 4, source += 32) {
      const __m128 a = _mm_loadu_ps(reinterpret_cast<const float *>(source));
      const __m128 b = _mm_loadu_ps(reinterpret_cast<const float *>(source + 16));
      _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
      _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    step(from, source, to, reinterpret_cast<UInt8 *>(left + i), frames - i);
    step(from, source + 4, to, reinterpret_cast<UInt8 *>(right + i), frames - i);
    return;
  }
#endif
  if (from.interleaved && to.interleaved && from.channels == to.channels &&
      (width == from.channels || from.channels == 1)) {
    // Sample for sample in one buffer: one run over every sample, as if of one channel.
    PcmFormat source = from;
    PcmFormat target = to;
    source.bytesPerFrame = from.bytesPerSample;
    target.bytesPerFrame = to.bytesPerSample;
    step(source, sampleAddress(from, in, 0, first), target, sampleAddress(to, out, 0, outFirst),
         frames * from.channels);
    return;
  }
  for (UInt32 c = 0; c < to.channels; ++c) {
    UInt8 *target = sampleAddress(to, out, c, outFirst);
    if (width > 1 && c >= width) {
      // Silence of a float or a signed integer is all zero bytes.
      for (UInt32 i = 0; i < frames; ++i)
        std::memset(target + size_t{i} * to.bytesPerFrame, 0, to.bytesPerSample);
      continue;
    }
    step(from, sampleAddress(from, in, width == 1 ? 0 : c, first), to, target, frames);
  }
}

bool describePcm(const AudioStreamBasicDescription &a, PcmFormat &f) {
  const UInt32 flags = a.mFormatFlags;
  if (a.mFormatID != kAudioFormatLinearPCM || !(a.mSampleRate > 0) || a.mSampleRate > 1e8 ||
      a.mChannelsPerFrame == 0 || a.mChannelsPerFrame > kMaxChannels || a.mFramesPerPacket != 1 ||
      a.mBytesPerFrame == 0 || a.mBytesPerPacket != a.mBytesPerFrame ||
      (flags & kLinearPCMFormatFlagsSampleFractionMask) != 0)
    return false;
  const bool interleaved = (flags & kAudioFormatFlagIsNonInterleaved) == 0;
  const UInt32 perBuffer = interleaved ? a.mChannelsPerFrame : 1;
  if (a.mBytesPerFrame % perBuffer != 0) return false;
  const UInt32 container = a.mBytesPerFrame / perBuffer;
  const UInt32 bits = a.mBitsPerChannel;
  const bool isFloat = (flags & kAudioFormatFlagIsFloat) != 0;
  if (isFloat ? !((bits == 32 && container == 4) || (bits == 64 && container == 8))
              : (container > 4 || bits == 0 || bits > container * 8))
    return false;
  f.rate = a.mSampleRate;
  f.channels = a.mChannelsPerFrame;
  f.bytesPerFrame = a.mBytesPerFrame;
  f.bytesPerSample = container;
  f.validBits = bits;
  f.shift = (flags & kAudioFormatFlagIsAlignedHigh) != 0 ? container * 8 - bits : 0;
  f.coding = isFloat                                          ? SampleCoding::kFloat
             : (flags & kAudioFormatFlagIsSignedInteger) != 0 ? SampleCoding::kSignedInteger
                                                              : SampleCoding::kUnsignedInteger;
  f.bigEndian = (flags & kAudioFormatFlagIsBigEndian) != 0 && container > 1;
  f.interleaved = interleaved || a.mChannelsPerFrame == 1;
  return true;
}

bool sameLayout(const PcmFormat &a, const PcmFormat &b) {
  return a.channels == b.channels && a.bytesPerFrame == b.bytesPerFrame &&
         a.bytesPerSample == b.bytesPerSample && a.validBits == b.validBits && a.shift == b.shift &&
         a.coding == b.coding && a.bigEndian == b.bigEndian && a.interleaved == b.interleaved;
}

bool listCapacity(const PcmFormat &format, const AudioBufferList &list, UInt32 &frames) {
  const UInt32 buffers = format.bufferCount();
  if (list.mNumberBuffers < buffers) return false;
  UInt32 least = 0xFFFFFFFFu;
  for (UInt32 b = 0; b < buffers; ++b) {
    const AudioBuffer &buffer = list.mBuffers[b];
    if (buffer.mData == nullptr) return false;
    const UInt32 held = buffer.mDataByteSize / format.bytesPerFrame;
    least = held < least ? held : least;
  }
  frames = least;
  return true;
}

void decode(const PcmFormat &format, const AudioBufferList &list, UInt32 first, UInt32 frames,
            UInt32 width, double *to) {
  const DecodeStep step = decoderFor(format);
  for (UInt32 c = 0; c < width; ++c)
    step(format, sampleAddress(format, list, c, first), frames, to + c, width);
}

void encode(const PcmFormat &format, const double *from, UInt32 width, UInt32 frames,
            AudioBufferList &list, UInt32 first) {
  static const double kSilence = 0.0;
  const EncodeStep step = encoderFor(format);
  for (UInt32 c = 0; c < format.channels; ++c) {
    const bool silent = width > 1 && c >= width;
    const double *in = silent ? &kSilence : from + (width == 1 ? 0 : c);
    step(format, in, silent ? 0 : width, frames, sampleAddress(format, list, c, first));
  }
}

}  // namespace xnq::conv
