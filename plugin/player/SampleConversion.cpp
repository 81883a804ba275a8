#include "player/SampleConversion.h"

#include <bit>
#include <cstring>

// The build's optimisation level vectorises only loops whose trip count is known; these loops
// run over whole blocks of any length, and vectorised they convert several times faster.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")
#endif

namespace {

// Little-endian loads of 2 and 4 bytes at any alignment. On a little-endian machine memcpy
// becomes one plain load, which keeps the loops below vectorisable.
template <typename T>
inline T LoadLittleEndian(const uint8_t *p) {
  T value;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, p, sizeof value);
  } else {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(p[i]) << (8 * i);
    value = static_cast<T>(u);
  }
  return value;
}

// The stride is a template argument so that each loop is compiled for a constant stride.
template <size_t Stride>
void ConvertSigned8(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k * Stride] = static_cast<int8_t>(in[k]) * 0x1p-7f;
}

template <size_t Stride>
void ConvertUnsigned8(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k * Stride] = in[k] * 0x1p-8f;
}

template <size_t Stride>
void ConvertSigned16(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k * Stride] = LoadLittleEndian<int16_t>(in + 2 * k) * 0x1p-15f;
}

template <size_t Stride>
void ConvertUnsigned16(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    out[k * Stride] = LoadLittleEndian<uint16_t>(in + 2 * k) * 0x1p-16f;
  }
}

// Most significant byte first, unsigned: b0 * 2^16 + b1 * 2^8 + b2.
template <size_t Stride>
void ConvertUnsigned24BigEndian(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    const uint8_t *p = in + 3 * k;
    const int32_t v = (int32_t{p[0]} << 16) | (int32_t{p[1]} << 8) | int32_t{p[2]};
    out[k * Stride] = static_cast<float>(v) * 0x1p-24f;
  }
}

// The integer is rounded to single precision first, then scaled (exact: a power of two).
template <size_t Stride>
void ConvertSigned32(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    out[k * Stride] = static_cast<float>(LoadLittleEndian<int32_t>(in + 4 * k)) * 0x1p-31f;
  }
}

template <size_t Stride>
void ConvertUnsigned32(const uint8_t *in, float *out, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    out[k * Stride] = static_cast<float>(LoadLittleEndian<uint32_t>(in + 4 * k)) * 0x1p-32f;
  }
}

template <size_t Stride>
bool ConvertWithStride(int64_t bitSize, const uint8_t *in, float *out, size_t n) {
  switch (bitSize) {
    case 7:
      ConvertSigned8<Stride>(in, out, n);
      return true;
    case 8:
      ConvertUnsigned8<Stride>(in, out, n);
      return true;
    case 15:
      ConvertSigned16<Stride>(in, out, n);
      return true;
    case 16:
      ConvertUnsigned16<Stride>(in, out, n);
      return true;
    case 24:
      ConvertUnsigned24BigEndian<Stride>(in, out, n);
      return true;
    case 31:
      ConvertSigned32<Stride>(in, out, n);
      return true;
    case 32:
      ConvertUnsigned32<Stride>(in, out, n);
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

bool ConvertSamples(int64_t bitSize, const uint8_t *source, float *destination, size_t count,
                    size_t stride) {
  if (stride == 1) return ConvertWithStride<1>(bitSize, source, destination, count);
  if (stride == 2) return ConvertWithStride<2>(bitSize, source, destination, count);
  // Any other stride: convert through one float at a time.
  if (BytesPerSample(bitSize) == 0 || bitSize == 23) return false;
  const size_t bytes = static_cast<size_t>(BytesPerSample(bitSize));
  for (size_t k = 0; k < count; ++k) {
    ConvertWithStride<1>(bitSize, source + k * bytes, destination + k * stride, 1);
  }
  return true;
}
