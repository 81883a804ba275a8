#include "frame/rbText.h"

#include <stdlib.h>
#include <string.h>

const UInt16 EmptyBufferUInt16[1] = {0};

namespace {

bool AllBelow0x80(const char *bytes, int64_t length) {
  for (int64_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

bool IsEightBitOrUTF8(uint32_t encoding) {
  return encoding == kTextEncodingMacRoman || encoding == kTextEncodingISOLatin1 ||
         encoding == kTextEncodingWindowsLatin1 || encoding == kTextEncodingASCII ||
         encoding == kTextEncodingUTF8;
}

const char *const kEmptyText = reinterpret_cast<const char *>(EmptyBufferUInt16);

}  // namespace

rbText::rbText(REALstring s) {
  if (s == nullptr) return;
  REALLockString(s);
  string_ = s;
  macRoman_.length = -1;
  utf8_.length = -1;

  // A host without the encoding function is read as an 8-bit string.
  uint32_t encoding =
      HostHasREALGetStringEncoding() ? REALGetStringEncoding(s) : kTextEncodingMacRoman;
  int64_t length = 0;
  const char *bytes = StringBytes(s, &length);
  if (IsEightBitOrUTF8(encoding)) {
    if (AllBelow0x80(bytes, length)) ApplyAsciiShortcut(bytes, length);
    return;
  }
  if (encoding != kTextEncodingUnknown) return;
  if (AllBelow0x80(bytes, length)) {
    ApplyAsciiShortcut(bytes, length);
    return;
  }
  if (length + 3 > 2147483646) return;
  // The unknown bytes are read as MacRoman from now on. The new string's one reference is the
  // one this reader holds; the old string's reference is given back.
  REALstring retagged = REALBuildUnicodeString(bytes, length, kTextEncodingMacRoman);
  if (retagged == nullptr) return;
  REALUnlockString(string_);
  string_ = retagged;
  bytes = StringBytes(retagged, &length);
  if (AllBelow0x80(bytes, length)) ApplyAsciiShortcut(bytes, length);
}

rbText::~rbText() {
  Reset(macRoman_);
  Reset(utf8_);
  if (string_ != nullptr) REALUnlockString(string_);
}

void rbText::ApplyAsciiShortcut(const char *bytes, int64_t length) {
  if (asciiShortcut_) return;
  asciiShortcut_ = true;
  if (bytes == nullptr) {
    bytes = kEmptyText;
    length = 0;
  }
  macRoman_.bytes = utf8_.bytes = bytes;
  macRoman_.length = utf8_.length = length;
}

void rbText::Reset(View &view) {
  if (view.dataFilled) REALDisposeStringData(&view.data);
  view.dataFilled = false;
  view.data = REALstringData{};
  if (view.converted != nullptr) REALUnlockString(view.converted);
  view.converted = nullptr;
  free(view.ownedCopy);
  view.ownedCopy = nullptr;
  view.bytes = kEmptyText;
  view.length = 0;
}

void rbText::FillFromHost(View &view, uint32_t encoding) {
  if (rbversion_rbversion >= 2012.0) {
    if (REALGetStringData(string_, encoding, &view.data)) {
      view.dataFilled = true;
      if (view.data.data != nullptr && view.data.length > 0) {
        view.bytes = static_cast<const char *>(view.data.data);
        view.length = view.data.length;
      }
    }
    return;
  }
  view.converted = REALConvertString(string_, encoding);
  if (view.converted == nullptr) return;
  int64_t length = 0;
  const char *bytes = StringBytes(view.converted, &length);
  if (bytes != nullptr && length > 0) {
    view.bytes = bytes;
    view.length = length;
  }
}

// Views handed out are NUL-terminated: bytes that are not get a zero-filled copy.
void rbText::Terminate(View &view) {
  if (view.bytes[view.length] == 0) return;
  auto *copy = static_cast<char *>(calloc(1, static_cast<size_t>(view.length) + 4));
  if (copy == nullptr) {
    view.bytes = kEmptyText;
    view.length = 0;
    return;
  }
  memcpy(copy, view.bytes, static_cast<size_t>(view.length));
  view.ownedCopy = copy;
  view.bytes = copy;
}

void rbText::ConvertMacRoman() {
  Reset(macRoman_);
  if (string_ == nullptr) return;
  FillFromHost(macRoman_, kTextEncodingMacRoman);
  Terminate(macRoman_);
}

const char *rbText::GetUTF8() {
  if (utf8_.length != -1) return utf8_.bytes;
  Reset(utf8_);
  if (string_ == nullptr) return utf8_.bytes;
  uint32_t own = string_->encoding;
  if (rbversion_rbversion < 2017.0 && (own == kTextEncodingUTF8 || own == kTextEncodingASCII)) {
    int64_t length = 0;
    const char *bytes = StringBytes(string_, &length);
    if (bytes != nullptr && length > 0) {
      utf8_.bytes = bytes;
      utf8_.length = length;
    }
  } else {
    FillFromHost(utf8_, kTextEncodingUTF8);
  }
  Terminate(utf8_);
  return utf8_.bytes;
}
