// rbText: a short-lived reader of one host string as MacRoman or UTF-8 bytes. Each view is
// computed at most once and is always NUL-terminated; plain ASCII in an 8-bit or UTF-8 string
// is handed out as the string's own bytes without a copy.
#pragma once

#include <stdint.h>

#include "frame/frame.h"

// The empty text every view starts from.
extern const UInt16 EmptyBufferUInt16[1];

class rbText {
 public:
  // One way of reading the string.
  struct View {
    int64_t length = 0;  // -1 while not computed
    const char *bytes = reinterpret_cast<const char *>(EmptyBufferUInt16);
    char *ownedCopy = nullptr;       // a NUL-terminated copy, when the bytes were not
    REALstring converted = nullptr;  // a host string made by conversion
    REALstringData data{};           // filled by the host's PluginGetStringData
    bool dataFilled = false;
  };

  explicit rbText(REALstring s);
  ~rbText();
  rbText(const rbText &) = delete;
  rbText &operator=(const rbText &) = delete;

  // Fills the MacRoman view. Readers call it when the view's length is -1.
  void ConvertMacRoman();
  // The UTF-8 view's bytes, computing them on first use; its length is in utf8().length.
  const char *GetUTF8();

  const View &macRoman() const { return macRoman_; }
  const View &utf8() const { return utf8_; }
  // The host string read from now on (after an unknown encoding was re-tagged, the new one).
  REALstring string() const { return string_; }
  bool asciiShortcut() const { return asciiShortcut_; }

 private:
  void ApplyAsciiShortcut(const char *bytes, int64_t length);
  // Fills a view from the host: string data records from 2012.0 on, a converted string before.
  void FillFromHost(View &view, uint32_t encoding);
  static void Reset(View &view);
  static void Terminate(View &view);

  REALstring string_ = nullptr;
  View macRoman_;
  View utf8_;
  bool asciiShortcut_ = false;
};
