// Text conversions of CFString. UTF-8, UTF-16, UTF-32, ASCII and Latin-1 are converted here;
// the MacRoman and Windows 8-bit tables come from the C library's iconv.
#include "cf/text_codec.h"

#include <iconv.h>

#include <cstring>
#include <vector>

namespace xnq::cf {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string &out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

// Walks UTF-16 text as code points; unpaired surrogates become the replacement character.
template <typename Visit>
void forEachCodePoint(const std::u16string &text, Visit visit) {
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    visit(c);
  }
}

const char *iconvName(CFStringEncoding encoding) {
  switch (encoding) {
    case kCFStringEncodingMacRoman:
      return "MACINTOSH";
    case kCFStringEncodingWindowsLatin1:
      return "CP1252";
    default:
      return nullptr;
  }
}

// Runs one whole conversion through iconv; nothing when any input cannot be converted.
std::optional<std::string> convertWithIconv(const char *to, const char *from, const char *bytes,
                                            size_t length) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::vector<char> out(length * 4 + 16);
  char *in = const_cast<char *>(bytes);
  size_t inLeft = length;
  char *outPtr = out.data();
  size_t outLeft = out.size();
  size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
  return std::string(out.data(), out.size() - outLeft);
}

}  // namespace

std::string utf16ToUtf8(const std::u16string &text) {
  std::string out;
  out.reserve(text.size() * 3);
  forEachCodePoint(text, [&out](char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
  return out;
}

std::optional<std::u16string> utf8ToUtf16(const char *bytes, size_t length) {
  std::u16string out;
  out.reserve(length);
  const auto *p = reinterpret_cast<const unsigned char *>(bytes);
  size_t i = 0;
  while (i < length) {
    unsigned char lead = p[i];
    char32_t c;
    size_t extra;
    if (lead < 0x80) {
      c = lead;
      extra = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      c = lead & 0x1F;
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      c = lead & 0x0F;
      extra = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      c = lead & 0x07;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (i + extra >= length) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past the last plane are not UTF-8.
    if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
      return std::nullopt;
    appendUtf16(out, c);
    i += extra + 1;
  }
  return out;
}

std::optional<std::u16string> decodeText(const char *bytes, size_t length,
                                         CFStringEncoding encoding) {
  std::u16string out;
  switch (encoding) {
    case kCFStringEncodingUTF8:
      return utf8ToUtf16(bytes, length);
    case kCFStringEncodingASCII:
      for (size_t i = 0; i < length; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) return std::nullopt;
        out.push_back(b);
      }
      return out;
    case kCFStringEncodingISOLatin1:
      for (size_t i = 0; i < length; ++i) out.push_back(static_cast<unsigned char>(bytes[i]));
      return out;
    case kCFStringEncodingUTF16: {
      out.resize(length / 2);
      std::memcpy(out.data(), bytes, out.size() * 2);
      return out;
    }
    case kCFStringEncodingUTF32:
      for (size_t i = 0; i + 4 <= length; i += 4) {
        char32_t c;
        std::memcpy(&c, bytes + i, 4);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        appendUtf16(out, c);
      }
      return out;
    default:
      break;
  }
  const char *name = iconvName(encoding);
  if (name == nullptr) return std::nullopt;
  auto utf8 = convertWithIconv("UTF-8", name, bytes, length);
  if (!utf8) return std::nullopt;
  return utf8ToUtf16(utf8->data(), utf8->size());
}

std::optional<std::string> encodeText(const std::u16string &text, CFStringEncoding encoding) {
  std::string out;
  bool representable = true;
  switch (encoding) {
    case kCFStringEncodingUTF8:
      return utf16ToUtf8(text);
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1: {
      char32_t limit = encoding == kCFStringEncodingASCII ? 0x80 : 0x100;
      forEachCodePoint(text, [&](char32_t c) {
        if (c >= limit) representable = false;
        out.push_back(static_cast<char>(c));
      });
      if (!representable) return std::nullopt;
      return out;
    }
    case kCFStringEncodingUTF16:
      out.assign(reinterpret_cast<const char *>(text.data()), text.size() * 2);
      return out;
    case kCFStringEncodingUTF32:
      forEachCodePoint(text,
                       [&out](char32_t c) { out.append(reinterpret_cast<const char *>(&c), 4); });
      return out;
    default:
      break;
  }
  const char *name = iconvName(encoding);
  if (name == nullptr) return std::nullopt;
  std::string utf8 = utf16ToUtf8(text);
  return convertWithIconv(name, "UTF-8", utf8.data(), utf8.size());
}

}  // namespace xnq::cf
