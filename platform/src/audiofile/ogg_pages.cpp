#include "audiofile/ogg_pages.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "audiofile/file_bytes.h"

namespace xnq::audiofile {
namespace {

constexpr size_t kHeaderBytes = 27;
// A page is at most its header, 255 lacing values and 255 segments of 255 bytes.
constexpr size_t kMaxPageBytes = kHeaderBytes + 255 + 255 * 255;

// The page checksum: CRC-32 with polynomial 0x04c11db7, no reflection, initial value 0, over the
// page with its checksum field read as zero.
uint32_t pageChecksum(const uint8_t *page, size_t size) {
  static constexpr auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04c11db7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t byte = i >= 22 && i < 26 ? 0 : page[i];
    crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xff];
  }
  return crc;
}

// The size of the whole page at the start of bytes (of which size are there), or 0 when it is
// no page or not all of it is there or its checksum fails.
size_t wholePageAt(const uint8_t *bytes, size_t size) {
  if (size < kHeaderBytes || std::memcmp(bytes, "OggS", 4) != 0 || bytes[4] != 0) return 0;
  const size_t segments = bytes[26];
  if (size < kHeaderBytes + segments) return 0;
  size_t page = kHeaderBytes + segments;
  for (size_t s = 0; s < segments; ++s) page += bytes[kHeaderBytes + s];
  if (page > size) return 0;
  const uint32_t stored = uint32_t{bytes[22]} | uint32_t{bytes[23]} << 8 |
                          uint32_t{bytes[24]} << 16 | uint32_t{bytes[25]} << 24;
  return pageChecksum(bytes, page) == stored ? page : 0;
}

}  // namespace

bool isOgg(int fd) {
  char magic[4];
  return readAt(fd, magic, 4, 0) == 4 && std::memcmp(magic, "OggS", 4) == 0;
}

off_t oggWholePagesLength(int fd, off_t size) {
  // The last whole page ends at most one partial page before the end, so it starts within two
  // of the largest pages of it: the search reads that much of the tail, whatever the file's size.
  const auto tail = static_cast<size_t>(std::min<off_t>(size, 2 * kMaxPageBytes));
  const off_t start = size - static_cast<off_t>(tail);
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(tail);
  } catch (const std::bad_alloc &) {
    return size;
  }
  if (readAt(fd, bytes.data(), tail, start) != tail) return size;
  // From the end back: the first page found whole ends the decodable part.
  for (size_t at = tail; at-- > 0;) {
    if (bytes[at] != 'O') continue;
    const size_t page = wholePageAt(bytes.data() + at, tail - at);
    if (page != 0) return start + static_cast<off_t>(at + page);
  }
  return size;
}

}  // namespace xnq::audiofile
