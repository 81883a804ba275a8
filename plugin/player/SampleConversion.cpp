#include "player/SampleConversion.h"

#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

// The build's optimisation level vectorises only loops whose trip count is known; these loops
// run over whole blocks of any length, and vectorised they convert several times faster.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")
#endif

namespace {

// Loads of 2 and 4 bytes at any alignment in the given byte order. On a machine of that order
// memcpy becomes one plain load, which keeps the loops below vectorisable.
template <typename T, std::endian Order>
inline T Load(const uint8_t *p) {
  if constexpr (std::endian::native == Order) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      const size_t shift = Order == std::endian::little ? 8 * i : 8 * (sizeof(T) - 1 - i);
      u |= static_cast<U>(static_cast<U>(p[i]) << shift);
    }
    return static_cast<T>(u);
  }
}

// One reader per source format: its size and the float of the sample at p. Odd BitSizes are
// signed and scale to -1 ... 1, even ones unsigned and scale to 0 ... 1 (no offset removed).
struct Signed8 {
  static constexpr size_t kBytes = 1;
  static float At(const uint8_t *p) { return static_cast<int8_t>(*p) * 0x1p-7f; }
};
struct Unsigned8 {
  static constexpr size_t kBytes = 1;
  static float At(const uint8_t *p) { return *p * 0x1p-8f; }
};
struct Signed16 {
  static constexpr size_t kBytes = 2;
  static float At(const uint8_t *p) { return Load<int16_t, std::endian::little>(p) * 0x1p-15f; }
};
struct Unsigned16 {
  static constexpr size_t kBytes = 2;
  static float At(const uint8_t *p) { return Load<uint16_t, std::endian::little>(p) * 0x1p-16f; }
};
// Most significant byte first: b0 * 2^16 + b1 * 2^8 + b2.
struct Unsigned24 {
  static constexpr size_t kBytes = 3;
  static float At(const uint8_t *p) {
    const int32_t v = (int32_t{p[0]} << 16) | (int32_t{p[1]} << 8) | int32_t{p[2]};
    return static_cast<float>(v) * 0x1p-24f;
  }
};
// The integer is rounded to single precision first, then scaled (exact: a power of two).
struct Signed32 {
  static constexpr size_t kBytes = 4;
  static float At(const uint8_t *p) {
    return static_cast<float>(Load<int32_t, std::endian::little>(p)) * 0x1p-31f;
  }
};
struct Unsigned32 {
  static constexpr size_t kBytes = 4;
  static float At(const uint8_t *p) {
    return static_cast<float>(Load<uint32_t, std::endian::little>(p)) * 0x1p-32f;
  }
};

template <typename Format>
void ConvertMono(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k] = Format::At(in + k * Format::kBytes);
}

// Left and right written in one pass, so the interleaved buffer is stored once, in order.
template <typename Format>
void ConvertStereo(const uint8_t *left, const uint8_t *right, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    out[2 * k] = Format::At(left + k * Format::kBytes);
    out[2 * k + 1] = Format::At(right + k * Format::kBytes);
  }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The 24-bit format has no vector form the compiler finds by itself (three bytes, most
// significant first); with SSSE3 one byte shuffle turns 12 bytes into four 32-bit integers.
// Chosen at run time, since the build's baseline stops at SSE2.
#define PLAYER_HAS_24BIT_SHUFFLE 1

// Four samples from the 16 bytes at p (the last 4 bytes are read, not used).
__attribute__((target("ssse3"))) inline __m128 Four24BitSamples(const uint8_t *p) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  return _mm_mul_ps(_mm_cvtepi32_ps(_mm_shuffle_epi8(bytes, order)), _mm_set1_ps(0x1p-24f));
}

// Converts whole groups of four while 16 bytes can be read; returns the samples done.
__attribute__((target("ssse3"))) size_t ConvertMono24Shuffled(const uint8_t *in, float *out,
                                                              size_t n) {
  size_t k = 0;
  for (; k + 6 <= n; k += 4) _mm_storeu_ps(out + k, Four24BitSamples(in + 3 * k));
  return k;
}

__attribute__((target("ssse3"))) size_t ConvertStereo24Shuffled(const uint8_t *left,
                                                                const uint8_t *right, float *out,
                                                                size_t n) {
  size_t k = 0;
  for (; k + 6 <= n; k += 4) {
    const __m128 l = Four24BitSamples(left + 3 * k);
    const __m128 r = Four24BitSamples(right + 3 * k);
    _mm_storeu_ps(out + 2 * k, _mm_unpacklo_ps(l, r));
    _mm_storeu_ps(out + 2 * k + 4, _mm_unpackhi_ps(l, r));
  }
  return k;
}

bool HasByteShuffle() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

template <>
void ConvertMono<Unsigned24>(const uint8_t *in, float *out, size_t n) {
  size_t k = 0;
#if PLAYER_HAS_24BIT_SHUFFLE
  if (HasByteShuffle()) k = ConvertMono24Shuffled(in, out, n);
#endif
  for (; k < n; ++k) out[k] = Unsigned24::At(in + Unsigned24::kBytes * k);
}

template <>
void ConvertStereo<Unsigned24>(const uint8_t *left, const uint8_t *right, float *out, size_t n) {
  size_t k = 0;
#if PLAYER_HAS_24BIT_SHUFFLE
  if (HasByteShuffle()) k = ConvertStereo24Shuffled(left, right, out, n);
#endif
  for (; k < n; ++k) {
    out[2 * k] = Unsigned24::At(left + Unsigned24::kBytes * k);
    out[2 * k + 1] = Unsigned24::At(right + Unsigned24::kBytes * k);
  }
}

// Calls f with the reader of a BitSize; false for a BitSize without one (23 among them).
template <typename F>
bool WithFormat(int64_t bitSize, F &&f) {
  switch (bitSize) {
    case 7:
      f(Signed8{});
      return true;
    case 8:
      f(Unsigned8{});
      return true;
    case 15:
      f(Signed16{});
      return true;
    case 16:
      f(Unsigned16{});
      return true;
    case 24:
      f(Unsigned24{});
      return true;
    case 31:
      f(Signed32{});
      return true;
    case 32:
      f(Unsigned32{});
      return true;
    default:
      return false;
  }
}

}  // namespace

int BytesPerSample(int64_t bitSize) {
  switch (bitSize) {
    case 7:
    case 8:
      return 1;
    case 15:
    case 16:
      return 2;
    case 23:
    case 24:
      return 3;
    case 31:
    case 32:
      return 4;
    default:
      return 0;
  }
}

bool ConvertSamples(int64_t bitSize, const uint8_t *source, float *destination, size_t count) {
  return WithFormat(
      bitSize, [&](auto format) { ConvertMono<decltype(format)>(source, destination, count); });
}

bool ConvertStereoSamples(int64_t bitSize, const uint8_t *left, const uint8_t *right,
                          float *destination, size_t frameCount) {
  return WithFormat(bitSize, [&](auto format) {
    ConvertStereo<decltype(format)>(left, right, destination, frameCount);
  });
}
