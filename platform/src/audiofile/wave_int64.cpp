#include "audiofile/wave_int64.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "audiofile/file_bytes.h"
#include "converter/pcm_format.h"

namespace xnq::audiofile {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The GUID of the PCM subformat after its first two bytes (which hold the format tag).
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A hostile file may be all tiny chunks: the walk gives up after this many.
constexpr int kMaxChunks = 4096;

uint32_t word(const uint8_t *p, int bytes, bool big) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint32_t{p[big ? bytes - 1 - i : i]} << (8 * i);
  return v;
}

double scaled(const uint8_t *p, bool big) {
  uint64_t u = 0;
  std::memcpy(&u, p, 8);
  if (big != (std::endian::native == std::endian::big)) u = __builtin_bswap64(u);
  return static_cast<double>(static_cast<int64_t>(u)) * 0x1p-63;
}

}  // namespace

bool WaveInt64::find(int fd, off_t size, WaveInt64 &out) {
  uint8_t riff[12];
  if (readAt(fd, riff, 12, 0) != 12 || std::memcmp(riff + 8, "WAVE", 4) != 0) return false;
  const bool big = std::memcmp(riff, "RIFX", 4) == 0;
  if (!big && std::memcmp(riff, "RIFF", 4) != 0) return false;
  bool haveFormat = false;
  off_t at = 12;
  for (int chunk = 0; chunk < kMaxChunks && at + 8 <= size; ++chunk) {
    uint8_t head[8];
    if (readAt(fd, head, 8, at) != 8) return false;
    const uint32_t bytes = word(head + 4, 4, big);
    const off_t body = at + 8;
    if (std::memcmp(head, "fmt ", 4) == 0) {
      uint8_t f[40] = {};
      if (bytes < 16 || readAt(fd, f, std::min<uint32_t>(bytes, 40), body) < 16) return false;
      const uint32_t tag = word(f, 2, big);
      const bool pcm =
          tag == kFormatPcm ||
          (tag == kFormatExtensible && bytes >= 40 && word(f + 24, 2, big) == kFormatPcm &&
           std::memcmp(f + 26, kPcmGuidTail, sizeof kPcmGuidTail) == 0);
      out.channels = word(f + 2, 2, big);
      out.rate = word(f + 4, 4, big);
      const uint32_t blockAlign = word(f + 12, 2, big), bits = word(f + 14, 2, big);
      if (!pcm || bits != 64 || out.channels == 0 || out.channels > conv::kMaxChannels ||
          blockAlign != 8 * out.channels || out.rate == 0)
        return false;
      haveFormat = true;
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFormat) return false;
      out.bigEndian = big;
      out.dataOffset = body;
      const off_t held = std::min<off_t>(bytes, size - body);
      out.frames = held / (8 * off_t{out.channels});
      return true;
    }
    at = body + bytes + (bytes & 1);  // chunks are padded to an even size
  }
  return false;
}

UInt32 WaveInt64::read(int fd, SInt64 first, double *to, UInt32 count) const {
  if (first >= frames) return 0;
  count = static_cast<UInt32>(std::min<SInt64>(count, frames - first));
  const size_t frameBytes = size_t{8} * channels;
  // The samples are as wide as the doubles they become: read in place, then convert in place.
  auto *bytes = reinterpret_cast<uint8_t *>(to);
  const size_t got =
      readAt(fd, bytes, count * frameBytes, dataOffset + static_cast<off_t>(first * frameBytes)) /
      frameBytes;
  for (size_t i = 0; i < got * channels; ++i) {
    const double v = scaled(bytes + 8 * i, bigEndian);
    std::memcpy(bytes + 8 * i, &v, 8);
  }
  return static_cast<UInt32>(got);
}

UInt32 WaveInt64::read(int fd, SInt64 first, float *to, UInt32 count) const {
  if (first >= frames) return 0;
  count = static_cast<UInt32>(std::min<SInt64>(count, frames - first));
  // Through a small block, as the caller's floats have room for only half the file's bytes.
  const size_t samples = size_t{count} * channels;
  const off_t base = dataOffset + static_cast<off_t>(first * 8 * channels);
  uint8_t block[4096];
  size_t done = 0;
  while (done < samples) {
    const size_t wanted = std::min(samples - done, sizeof block / 8);
    const size_t got = readAt(fd, block, wanted * 8, base + static_cast<off_t>(done * 8)) / 8;
    for (size_t i = 0; i < got; ++i)
      to[done + i] = static_cast<float>(scaled(block + 8 * i, bigEndian));
    done += got;
    if (got < wanted) break;
  }
  return static_cast<UInt32>(done / channels);
}

}  // namespace xnq::audiofile
