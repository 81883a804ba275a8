// CFString and CFURL as their callers use them: text in and out in each encoding, reference
// counts, normalization, and URLs built from file references.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "os/cf.h"

namespace {

std::string Utf8Of(CFStringRef s) {
  char buffer[512];
  if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return "<failed>";
  return buffer;
}

TEST(CFString, TextGoesInAndOutInEachEncoding) {
  const UniChar chars[] = {'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00};  // A é € and an emoji pair
  CFStringRef s = CFStringCreateWithCharacters(kCFAllocatorDefault, chars, 5);
  EXPECT_EQ(CFStringGetLength(s), 5);
  EXPECT_EQ(Utf8Of(s), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  UniChar read[5] = {};
  CFStringGetCharacters(s, 0, 5, read);
  EXPECT_EQ(std::memcmp(read, chars, sizeof chars), 0);
  CFRelease(s);
  const struct {
    const char *bytes;
    CFStringEncoding encoding;
    const char *utf8;  // null: no string can be made
  } cases[] = {
      {"caf\x8E", kCFStringEncodingMacRoman, "caf\xC3\xA9"},
      {"caf\xE9", kCFStringEncodingISOLatin1, "caf\xC3\xA9"},
      {"\x80", kCFStringEncodingWindowsLatin1, "\xE2\x82\xAC"},
      {"\xC3", kCFStringEncodingUTF8, nullptr},
      {"\xC0\xAF", kCFStringEncodingUTF8, nullptr},
      {"\xED\xA0\x80", kCFStringEncodingUTF8, nullptr},
      {"\x80", kCFStringEncodingASCII, nullptr},
      {"a", 0x7777, nullptr},
  };
  for (const auto &c : cases) {
    CFStringRef made = CFStringCreateWithCString(nullptr, c.bytes, c.encoding);
    if (c.utf8 == nullptr) {
      EXPECT_EQ(made, nullptr) << c.bytes;
      continue;
    }
    ASSERT_NE(made, nullptr) << c.bytes;
    EXPECT_EQ(Utf8Of(made), c.utf8);
    char back[16];
    ASSERT_TRUE(CFStringGetCString(made, back, sizeof back, c.encoding));
    EXPECT_STREQ(back, c.bytes);
    CFRelease(made);
  }
  // The euro sign has no Latin-1 form; "é" needs 3 bytes with its NUL in UTF-8.
  CFStringRef euro = CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingWindowsLatin1);
  char buffer[8];
  EXPECT_FALSE(CFStringGetCString(euro, buffer, sizeof buffer, kCFStringEncodingISOLatin1));
  CFRelease(euro);
  CFStringRef e = CFStringCreateWithCString(nullptr, "\xC3\xA9", kCFStringEncodingUTF8);
  EXPECT_FALSE(CFStringGetCString(e, buffer, 2, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(e, buffer, 3, kCFStringEncodingUTF8));
  CFRelease(e);
}

TEST(CFString, CountsReferencesAndNormalizesMutableCopies) {
  const UniChar precomposed[] = {'c', 'a', 'f', 0x00E9};
  CFStringRef name = CFStringCreateWithCharacters(nullptr, precomposed, 4);
  EXPECT_EQ(CFRetain(name), name);
  EXPECT_EQ(CFGetRetainCount(name), 2);
  CFRelease(name);
  EXPECT_EQ(CFGetRetainCount(name), 1);
  CFRelease(nullptr);  // null references are tolerated
  EXPECT_EQ(CFStringGetLength(nullptr), 0);
  CFMutableStringRef copy = CFStringCreateMutableCopy(nullptr, 0, name);
  CFStringNormalize(copy, kCFStringNormalizationFormD);
  ASSERT_EQ(CFStringGetLength(copy), 5);
  UniChar read[5];
  CFStringGetCharacters(copy, 0, 5, read);
  EXPECT_EQ(read[3], 'e');
  EXPECT_EQ(read[4], 0x0301);
  EXPECT_EQ(CFStringGetLength(name), 4);  // the original is untouched
  CFStringNormalize(copy, kCFStringNormalizationFormC);
  EXPECT_EQ(CFStringGetLength(copy), 4);
  EXPECT_EQ(CFStringCreateMutableCopy(nullptr, 2, name), nullptr);  // longer than allowed
  CFRelease(copy);
  CFRelease(name);
}

TEST(CFURL, AFolderReferencePlusANameGivesTheFilePath) {
  char pattern[] = "/tmp/xnq-cfurl-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  FSRef ref;
  Boolean isDirectory = false;
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(dir.c_str()), &ref, &isDirectory), noErr);
  EXPECT_TRUE(isDirectory);
  UInt8 path[1024];
  ASSERT_EQ(FSRefMakePath(&ref, path, sizeof path), noErr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(path)), dir);
  EXPECT_NE(FSRefMakePath(&ref, path, 4), noErr);
  CFURLRef folder = CFURLCreateFromFSRef(nullptr, &ref);
  CFStringRef name = CFStringCreateWithCString(nullptr, "new file.wav", kCFStringEncodingUTF8);
  CFURLRef file = CFURLCreateCopyAppendingPathComponent(nullptr, folder, name, false);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(file, true, path, sizeof path));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(path)), dir + "/new file.wav");
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(file, true, path, 8));
  CFStringRef posix = CFURLCopyFileSystemPath(file, kCFURLPOSIXPathStyle);
  EXPECT_EQ(Utf8Of(posix), dir + "/new file.wav");
  // A string is not a URL; a missing path and a foreign record make no reference.
  EXPECT_EQ(
      CFURLCreateCopyAppendingPathComponent(nullptr, reinterpret_cast<CFURLRef>(name), name, false),
      nullptr);
  const std::string missing = dir + "/absent";
  EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(missing.c_str()), &ref, nullptr), fnfErr);
  std::memset(&ref, 0, sizeof ref);
  EXPECT_EQ(CFURLCreateFromFSRef(nullptr, &ref), nullptr);
  for (CFTypeRef object : {CFTypeRef(posix), CFTypeRef(file), CFTypeRef(name), CFTypeRef(folder)}) {
    CFRelease(object);
  }
  rmdir(dir.c_str());
}

}  // namespace
