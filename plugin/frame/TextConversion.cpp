// Host strings from plugin bytes and CFStrings, and four-character codes from host strings.
#include <stdlib.h>
#include <string.h>

#include "frame/FrameInternal.h"
#include "frame/rbText.h"

namespace {

const int64_t kMaxStringBytes = 2147483647;

bool ValidLength(int64_t length) { return length >= 1 && length <= kMaxStringBytes; }

// Converts UTF-32 code points to UTF-16 units and terminates them; returns the unit count
// without the terminator. Lone surrogates are dropped, values beyond Unicode become U+FFFD.
size_t UTF32ToUTF16(const uint32_t *points, size_t count, UniChar *units) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = points[i];
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c <= 0xFFFF) {
      units[n++] = static_cast<UniChar>(c);
    } else if (c > 0x10FFFF) {
      units[n++] = 0xFFFD;
    } else {
      units[n++] = static_cast<UniChar>(0xD800 + ((c - 0x10000) >> 10));
      units[n++] = static_cast<UniChar>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  units[n] = 0;
  return n;
}

// Hosts before 2013.0 cannot build UTF-32 strings: convert to UTF-16 here. Short inputs use a
// fixed buffer so the common case does not touch the heap.
REALstring BuildFromUTF32(const void *bytes, int64_t length) {
  const int64_t kFixedInputBytes = 800;
  size_t count = static_cast<size_t>(length / 4);
  // memcpy into aligned code points: the caller's bytes need not be 4-byte aligned.
  if (length < kFixedInputBytes) {
    uint32_t points[kFixedInputBytes / 4];
    UniChar units[2 * (kFixedInputBytes / 4) + 1];
    memcpy(points, bytes, count * 4);
    size_t n = UTF32ToUTF16(points, count, units);
    return REALBuildUnicodeStringUTF16(units, static_cast<int64_t>(2 * n));
  }
  auto *points = static_cast<uint32_t *>(malloc(count * 4));
  auto *units = static_cast<UniChar *>(malloc((2 * count + 1) * sizeof(UniChar)));
  REALstring result = nullptr;
  if (points != nullptr && units != nullptr) {
    memcpy(points, bytes, count * 4);
    size_t n = UTF32ToUTF16(points, count, units);
    result = REALBuildUnicodeStringUTF16(units, static_cast<int64_t>(2 * n));
  }
  free(points);
  free(units);
  return result;
}

// Builds a string, converts it to UTF-8 and gives the intermediate string back.
REALstring ConvertToUTF8AndRelease(REALstring s) {
  if (s == nullptr) return nullptr;
  REALstring result = REALConvertString(s, kTextEncodingUTF8);
  REALUnlockString(s);
  return result;
}

REALstring BuildUnicodeString(const void *bytes, int64_t length, uint32_t encoding) {
  if (bytes == nullptr || !ValidLength(length)) return nullptr;
  const char *text = static_cast<const char *>(bytes);
  if (encoding == kTextEncodingUTF16) return REALBuildUnicodeStringUTF16(bytes, length);
  if (encoding == kTextEncodingUTF32) {
    if (rbversion_rbversion >= 2013.0) {
      return ConvertToUTF8AndRelease(
          REALBuildStringWithEncoding(text, static_cast<RBInteger>(length), kTextEncodingUTF32));
    }
    return BuildFromUTF32(bytes, length);
  }
  if (encoding == kTextEncodingMacRoman || encoding == kTextEncodingISOLatin1 ||
      encoding == kTextEncodingWindowsLatin1 || encoding == kTextEncodingUnknown) {
    bool ascii = true;
    for (int64_t i = 0; ascii && i < length; ++i)
      ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) encoding = kTextEncodingASCII;
  }
  REALstring s = originalREALBuildString(text, static_cast<RBInteger>(length));
  if (s == nullptr) return nullptr;
  REALSetStringEncoding(s, encoding);
  return s;
}

}  // namespace

REALstring REALBuildUnicodeString(const void *bytes, int64_t length, uint32_t encoding) {
  try {
    return BuildUnicodeString(bytes, length, encoding);
  } catch (...) {
    TranslateCurrentException();
    return nullptr;
  }
}

REALstring REALBuildUnicodeStringUTF16(const void *bytes, int64_t length) {
  // No units at all (a UTF-32 input shorter than one code point, or only lone surrogates) is
  // still text: the empty string, not nil. Only missing bytes or an impossible length give nil.
  if (bytes == nullptr || length < 0 || length > kMaxStringBytes) return nullptr;
  const char *text = static_cast<const char *>(bytes);
  if (rbversion_rbversion >= 2012.0) {
    return ConvertToUTF8AndRelease(
        REALBuildStringWithEncoding(text, static_cast<RBInteger>(length), kTextEncodingUTF16));
  }
  REALstring s = originalREALBuildString(text, static_cast<RBInteger>(length));
  if (s == nullptr) return nullptr;
  REALSetStringEncoding(s, kTextEncodingUTF16);
  return ConvertToUTF8AndRelease(s);
}

REALstring CFString2RBString(CFStringRef cf) {
  if (cf == nullptr) return nullptr;
  CFIndex length = CFStringGetLength(cf);
  if (length <= 0) return nullptr;
  const CFIndex kStackUnits = 99;
  if (length <= kStackUnits) {
    char buffer[601];
    memset(buffer, 0, sizeof buffer);
    if (!CFStringGetCString(cf, buffer, 600, kCFStringEncodingUTF8)) return nullptr;
    return REALBuildUnicodeString(buffer, static_cast<int64_t>(strlen(buffer)), kTextEncodingUTF8);
  }
  int64_t size = 6 * static_cast<int64_t>(length);
  if (!ValidLength(size)) return nullptr;
  auto *buffer = static_cast<char *>(calloc(1, static_cast<size_t>(size)));
  if (buffer == nullptr) return nullptr;
  REALstring result = nullptr;
  if (CFStringGetCString(cf, buffer, static_cast<CFIndex>(size), kCFStringEncodingUTF8)) {
    result =
        REALBuildUnicodeString(buffer, static_cast<int64_t>(strlen(buffer)), kTextEncodingUTF8);
  }
  free(buffer);
  return result;
}

// The host's string record is read directly: its layout is the same for every host version.
const char *StringBytes(REALstring s, int64_t *length) {
  *length = 0;
  if (s == nullptr || s->textMinusOne == nullptr) return nullptr;
  *length = s->byteLength;
  return s->textMinusOne + 1;
}

OSType REALstringToOSType(REALstring s) {
  rbText text(s);
  if (text.macRoman().length == -1) text.ConvertMacRoman();
  const rbText::View &view = text.macRoman();
  OSType code = 0x20202020;
  for (int64_t i = 0; i < view.length && i < 4; ++i) {
    int shift = 24 - 8 * static_cast<int>(i);
    code = (code & ~(0xFFu << shift)) |
           (static_cast<OSType>(static_cast<unsigned char>(view.bytes[i])) << shift);
  }
  return code;
}
