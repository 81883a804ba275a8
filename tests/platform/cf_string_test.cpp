// CFString and CFURL as their callers use them: text in and out in each encoding, reference
// counts, normalization, and URLs built from file references.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "os/cf.h"

namespace {

std::string utf8Of(CFStringRef s) {
  char buffer[512];
  if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return "<failed>";
  return buffer;
}

TEST(CFString, Utf16RoundTripsThroughUtf8AndBack) {
  const UniChar chars[] = {'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00};  // A é € and an emoji pair
  CFStringRef s = CFStringCreateWithCharacters(kCFAllocatorDefault, chars, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFStringGetLength(s), 5);
  EXPECT_EQ(utf8Of(s), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

  CFStringRef back = CFStringCreateWithCString(nullptr, utf8Of(s).c_str(), kCFStringEncodingUTF8);
  ASSERT_NE(back, nullptr);
  UniChar read[5] = {};
  CFStringGetCharacters(back, 0, 5, read);
  EXPECT_EQ(0, std::memcmp(read, chars, sizeof chars));
  CFRelease(back);
  CFRelease(s);
}

TEST(CFString, GetCStringNeedsRoomForTheTerminator) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "abcd", kCFStringEncodingASCII);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_FALSE(CFStringGetCString(s, buffer, 4, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(s, buffer, 5, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "abcd");
  // Multi-byte UTF-8 counts bytes, not characters: "é" needs 3 bytes with its NUL.
  CFStringRef e = CFStringCreateWithCString(nullptr, "\xC3\xA9", kCFStringEncodingUTF8);
  EXPECT_FALSE(CFStringGetCString(e, buffer, 2, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(e, buffer, 3, kCFStringEncodingUTF8));
  CFRelease(e);
  CFRelease(s);
}

TEST(CFString, EightBitEncodingsMapTheirOwnTables) {
  // 0x8E is é in MacRoman; 0x80 is € in Windows Latin-1; 0xE9 is é in Latin-1.
  CFStringRef mac = CFStringCreateWithCString(nullptr, "caf\x8E", kCFStringEncodingMacRoman);
  ASSERT_NE(mac, nullptr);
  EXPECT_EQ(utf8Of(mac), "caf\xC3\xA9");
  char buffer[16];
  ASSERT_TRUE(CFStringGetCString(mac, buffer, sizeof buffer, kCFStringEncodingISOLatin1));
  EXPECT_STREQ(buffer, "caf\xE9");
  ASSERT_TRUE(CFStringGetCString(mac, buffer, sizeof buffer, kCFStringEncodingMacRoman));
  EXPECT_STREQ(buffer, "caf\x8E");

  CFStringRef euro = CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingWindowsLatin1);
  ASSERT_NE(euro, nullptr);
  EXPECT_EQ(utf8Of(euro), "\xE2\x82\xAC");
  // The euro sign has no Latin-1 or ASCII form.
  EXPECT_FALSE(CFStringGetCString(euro, buffer, sizeof buffer, kCFStringEncodingISOLatin1));
  EXPECT_FALSE(CFStringGetCString(euro, buffer, sizeof buffer, kCFStringEncodingASCII));
  CFRelease(euro);
  CFRelease(mac);
}

TEST(CFString, InvalidBytesMakeNoString) {
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC0\xAF", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingASCII), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "a", 0x7777), nullptr);
}

TEST(CFString, WideEncodingsEndInAWholeZeroUnit) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "\xF0\x9F\x98\x80", kCFStringEncodingUTF8);
  UInt32 utf32[3];
  std::memset(utf32, 0xFF, sizeof utf32);
  ASSERT_TRUE(
      CFStringGetCString(s, reinterpret_cast<char *>(utf32), sizeof utf32, kCFStringEncodingUTF32));
  EXPECT_EQ(utf32[0], 0x1F600u);
  EXPECT_EQ(utf32[1], 0u);
  UniChar utf16[3];
  ASSERT_TRUE(
      CFStringGetCString(s, reinterpret_cast<char *>(utf16), sizeof utf16, kCFStringEncodingUTF16));
  EXPECT_EQ(utf16[0], 0xD83D);
  EXPECT_EQ(utf16[1], 0xDE00);
  EXPECT_EQ(utf16[2], 0);
  EXPECT_FALSE(CFStringGetCString(s, reinterpret_cast<char *>(utf16), 5, kCFStringEncodingUTF16));
  CFRelease(s);
}

TEST(CFString, RetainAndReleaseCountReferences) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  EXPECT_EQ(CFRetain(s), s);
  EXPECT_EQ(CFGetRetainCount(s), 2);
  CFRelease(s);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  CFRelease(s);
  // Null references are tolerated rather than crashing the caller.
  CFRelease(nullptr);
  EXPECT_EQ(CFGetRetainCount(nullptr), 0);
  EXPECT_EQ(CFStringGetLength(nullptr), 0);
}

TEST(CFString, NormalizingAMutableCopyDecomposes) {
  const UniChar precomposed[] = {'c', 'a', 'f', 0x00E9};
  CFStringRef name = CFStringCreateWithCharacters(nullptr, precomposed, 4);
  CFMutableStringRef copy = CFStringCreateMutableCopy(nullptr, 0, name);
  ASSERT_NE(copy, nullptr);
  CFStringNormalize(copy, kCFStringNormalizationFormD);
  ASSERT_EQ(CFStringGetLength(copy), 5);
  UniChar read[5];
  CFStringGetCharacters(copy, 0, 5, read);
  EXPECT_EQ(read[3], 'e');
  EXPECT_EQ(read[4], 0x0301);
  // The original is untouched, and form C composes the copy back.
  EXPECT_EQ(CFStringGetLength(name), 4);
  CFStringNormalize(copy, kCFStringNormalizationFormC);
  EXPECT_EQ(CFStringGetLength(copy), 4);
  // A maximum length the text exceeds makes no copy.
  EXPECT_EQ(CFStringCreateMutableCopy(nullptr, 2, name), nullptr);
  CFRelease(copy);
  CFRelease(name);
}

class CFURLFromFileReference : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/xnq-cfurl-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { rmdir(dir_.c_str()); }
  std::string dir_;
};

TEST_F(CFURLFromFileReference, FolderReferencePlusNameGivesTheFilePath) {
  FSRef ref;
  Boolean isDirectory = false;
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(dir_.c_str()), &ref, &isDirectory),
            noErr);
  EXPECT_TRUE(isDirectory);
  UInt8 path[1024];
  ASSERT_EQ(FSRefMakePath(&ref, path, sizeof path), noErr);
  EXPECT_STREQ(reinterpret_cast<char *>(path), dir_.c_str());
  EXPECT_NE(FSRefMakePath(&ref, path, 4), noErr);

  CFURLRef folder = CFURLCreateFromFSRef(nullptr, &ref);
  ASSERT_NE(folder, nullptr);
  CFStringRef name = CFStringCreateWithCString(nullptr, "new file.wav", kCFStringEncodingUTF8);
  CFURLRef file = CFURLCreateCopyAppendingPathComponent(nullptr, folder, name, false);
  ASSERT_NE(file, nullptr);
  UInt8 buffer[1024];
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(file, true, buffer, sizeof buffer));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer)), dir_ + "/new file.wav");
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(file, true, buffer, 8));

  CFStringRef path16 = CFURLCopyFileSystemPath(file, kCFURLPOSIXPathStyle);
  EXPECT_EQ(utf8Of(path16), dir_ + "/new file.wav");
  CFRelease(path16);
  CFRelease(file);
  CFRelease(name);
  CFRelease(folder);
}

TEST_F(CFURLFromFileReference, MissingPathsAndForeignRecordsAreRefused) {
  FSRef ref;
  std::string missing = dir_ + "/absent";
  EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(missing.c_str()), &ref, nullptr), fnfErr);
  std::memset(&ref, 0, sizeof ref);
  EXPECT_EQ(CFURLCreateFromFSRef(nullptr, &ref), nullptr);
  EXPECT_EQ(CFURLCreateFromFSRef(nullptr, nullptr), nullptr);
  // A string is not a URL.
  CFStringRef s = CFStringCreateWithCString(nullptr, "a", kCFStringEncodingUTF8);
  EXPECT_EQ(CFURLCreateCopyAppendingPathComponent(nullptr, reinterpret_cast<CFURLRef>(s), s, false),
            nullptr);
  CFRelease(s);
}

}  // namespace
