// Conversions between UTF-16 text and the byte encodings a CFString can be made from or
// written to.
#pragma once

#include <optional>
#include <string>

#include "os/cf.h"

namespace xnq::cf {

// Decodes bytes in an encoding into UTF-16; nothing when the bytes are not valid in it or the
// encoding is unknown.
std::optional<std::u16string> decodeText(const char *bytes, size_t length,
                                         CFStringEncoding encoding);
// Encodes UTF-16 text; nothing when a character has no representation in the encoding.
std::optional<std::string> encodeText(const std::u16string &text, CFStringEncoding encoding);

std::string utf16ToUtf8(const std::u16string &text);
std::optional<std::u16string> utf8ToUtf16(const char *bytes, size_t length);

}  // namespace xnq::cf
