// CFString creation, reading and normalization.
#include "cf/cf_string.h"

#include <utf8proc.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "cf/text_codec.h"

using xnq::cf::String;

namespace xnq::cf {

CFStringRef makeString(std::u16string text) {
  auto *string = new (std::nothrow) String(std::move(text));
  return reinterpret_cast<CFStringRef>(static_cast<Object *>(string));
}

}  // namespace xnq::cf

namespace {

const String *stringOf(CFStringRef s) { return xnq::cf::as<String>(s); }

}  // namespace

extern "C" {

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar *chars, CFIndex numChars) {
  if (numChars < 0 || (chars == nullptr && numChars > 0)) return nullptr;
  std::u16string text(reinterpret_cast<const char16_t *>(chars), static_cast<size_t>(numChars));
  return xnq::cf::makeString(std::move(text));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr, CFStringEncoding encoding) {
  if (cStr == nullptr) return nullptr;
  auto text = xnq::cf::decodeText(cStr, std::strlen(cStr), encoding);
  if (!text) return nullptr;
  return xnq::cf::makeString(std::move(*text));
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex maxLength, CFStringRef s) {
  const String *source = stringOf(s);
  if (source == nullptr) return nullptr;
  // A positive maxLength bounds the copy; the source must already fit in it.
  if (maxLength > 0 && static_cast<size_t>(maxLength) < source->text.size()) return nullptr;
  return const_cast<CFMutableStringRef>(xnq::cf::makeString(source->text));
}

CFIndex CFStringGetLength(CFStringRef s) {
  const String *string = stringOf(s);
  return string == nullptr ? 0 : static_cast<CFIndex>(string->text.size());
}

Boolean CFStringGetCString(CFStringRef s, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const String *string = stringOf(s);
  if (string == nullptr || buffer == nullptr || bufferSize <= 0) return false;
  auto bytes = xnq::cf::encodeText(string->text, encoding);
  if (!bytes) return false;
  // Wide encodings end in a whole zero unit, the 8-bit ones in one NUL byte.
  size_t terminator = encoding == kCFStringEncodingUTF16   ? 2
                      : encoding == kCFStringEncodingUTF32 ? 4
                                                           : 1;
  if (bytes->size() + terminator > static_cast<size_t>(bufferSize)) return false;
  std::memcpy(buffer, bytes->data(), bytes->size());
  std::memset(buffer + bytes->size(), 0, terminator);
  return true;
}

void CFStringGetCharacters(CFStringRef s, CFIndex location, CFIndex length, UniChar *buffer) {
  const String *string = stringOf(s);
  if (string == nullptr || buffer == nullptr || location < 0 || length <= 0) return;
  if (static_cast<size_t>(location) + static_cast<size_t>(length) > string->text.size()) return;
  std::memcpy(buffer, string->text.data() + location, static_cast<size_t>(length) * 2);
}

void CFStringNormalize(CFMutableStringRef s, CFStringNormalizationForm form) {
  auto *string = const_cast<String *>(stringOf(s));
  if (string == nullptr) return;
  int options = UTF8PROC_STABLE;
  switch (form) {
    case kCFStringNormalizationFormD:
      options |= UTF8PROC_DECOMPOSE;
      break;
    case kCFStringNormalizationFormKD:
      options |= UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT;
      break;
    case kCFStringNormalizationFormC:
      options |= UTF8PROC_COMPOSE;
      break;
    case kCFStringNormalizationFormKC:
      options |= UTF8PROC_COMPOSE | UTF8PROC_COMPAT;
      break;
    default:
      return;
  }
  std::string utf8 = xnq::cf::utf16ToUtf8(string->text);
  utf8proc_uint8_t *normalized = nullptr;
  utf8proc_ssize_t length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(utf8.data()),
                                         static_cast<utf8proc_ssize_t>(utf8.size()), &normalized,
                                         static_cast<utf8proc_option_t>(options));
  if (length >= 0) {
    auto text = xnq::cf::utf8ToUtf16(reinterpret_cast<const char *>(normalized),
                                     static_cast<size_t>(length));
    if (text) string->text = std::move(*text);
  }
  std::free(normalized);
}

}  // extern "C"
