// Fuzzes the frame's text entries with arbitrary bytes: host strings built from bytes in any
// encoding, four-character codes read from host strings, and CFStrings made host strings. Every
// input must leave the host's reference accounting balanced.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "frame/frame.h"
#include "fuzz_check.h"
#include "xnq/host.h"

namespace {

using fuzz::Check;
using xnq::host::Runtime;

const uint32_t kEncodings[] = {0x0000, 0x0100,     0x0201,     0x0500,    0x0600,
                               0xFFFF, 0x08000100, 0x0C000100, 0x12345678};

bool Bind() {
  xnq::host::Settings settings;
  // Below 2013.0 the frame converts UTF-32 itself; XNQ_FUZZ_HOST_VERSION picks another host.
  const char *version = getenv("XNQ_FUZZ_HOST_VERSION");
  settings.version = version ? atof(version) : 2012.0;
  Runtime::get().configure(settings);
  BindHost(&Runtime::resolve);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool bound = Bind();
  (void)bound;
  if (size < 2) return 0;
  const uint8_t operation = data[0] % 3;
  const uint32_t encoding = kEncodings[data[1] % (sizeof kEncodings / sizeof kEncodings[0])];
  data += 2;
  size -= 2;
  const int64_t before = Runtime::get().outstanding().total();

  switch (operation) {
    case 0: {
      REALstring s = REALBuildUnicodeString(data, static_cast<int64_t>(size), encoding);
      if (s != nullptr) REALUnlockString(s);
      break;
    }
    case 1: {
      xnq::host::Value s = Runtime::get().newString(
          std::string_view(reinterpret_cast<const char *>(data), size), encoding);
      (void)REALstringToOSType(static_cast<REALstring>(s.handle()));
      break;
    }
    case 2: {
      const CFIndex units = static_cast<CFIndex>(size / sizeof(UniChar));
      UniChar *chars = static_cast<UniChar *>(malloc(units * sizeof(UniChar) + 1));
      memcpy(chars, data, units * sizeof(UniChar));
      CFStringRef cf = CFStringCreateWithCharacters(kCFAllocatorDefault, chars, units);
      free(chars);
      if (cf != nullptr) {
        REALstring s = CFString2RBString(cf);
        if (s != nullptr) REALUnlockString(s);
        CFRelease(cf);
      }
      break;
    }
  }
  Check(Runtime::get().outstanding().total() == before);
  return 0;
}
