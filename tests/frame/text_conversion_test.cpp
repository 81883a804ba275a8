// Host strings built from plugin bytes and CFStrings, host strings read back through rbText, and
// four-character codes, on hosts of different versions.
#include <string.h>

#include <string>
#include <vector>

#include "frame/rbText.h"
#include "frame_test_support.h"

namespace frametest {
namespace {

const uint32_t kUTF8 = kTextEncodingUTF8;

Value Build(const std::string &bytes, uint32_t encoding) {
  return Adopt(REALBuildUnicodeString(bytes.data(), static_cast<int64_t>(bytes.size()), encoding));
}

std::string UTF32Bytes(const std::vector<uint32_t> &points) {
  std::string bytes(points.size() * 4, '\0');
  memcpy(bytes.data(), points.data(), bytes.size());
  return bytes;
}

class BuildUnicodeStringByVersion : public ::testing::TestWithParam<double> {};

TEST_P(BuildUnicodeStringByVersion, RefusesMissingBytesAndLengthsOutsideTheHostsRange) {
  BindToHost(GetParam());
  const char text[] = "abc";
  EXPECT_EQ(REALBuildUnicodeString(nullptr, 3, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeString(text, 0, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeString(text, -1, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeString(text, int64_t{2147483648}, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeStringUTF16(nullptr, 2), nullptr);
  {
    // No units is the empty text, not nil.
    Value none = Adopt(REALBuildUnicodeStringUTF16(text, 0));
    ASSERT_FALSE(none.isNil());
    EXPECT_EQ(none.bytes(), "");
    EXPECT_EQ(none.encoding(), kUTF8);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST_P(BuildUnicodeStringByVersion, EightBitTextOfPlainAsciiIsTaggedAscii) {
  BindToHost(GetParam());
  {
    for (uint32_t encoding : {kTextEncodingMacRoman, kTextEncodingISOLatin1,
                              kTextEncodingWindowsLatin1, kTextEncodingUnknown}) {
      Value plain = Build("abc", encoding);
      ASSERT_FALSE(plain.isNil());
      EXPECT_EQ(plain.encoding(), kTextEncodingASCII) << encoding;
      EXPECT_EQ(plain.bytes(), "abc");
    }
    // Any byte of 0x80 or more keeps the encoding given.
    Value macRoman = Build("caf\xE9", kTextEncodingMacRoman);
    EXPECT_EQ(macRoman.encoding(), kTextEncodingMacRoman);
    EXPECT_EQ(macRoman.bytes(), "caf\xE9");
    EXPECT_EQ(Build("\x80", kTextEncodingUnknown).encoding(), kTextEncodingUnknown);
    EXPECT_EQ(Build("caf\xE9", kTextEncodingISOLatin1).utf8(), "caf\xC3\xA9");
    // UTF-8 and ASCII are not re-tagged.
    EXPECT_EQ(Build("abc", kUTF8).encoding(), kUTF8);
    EXPECT_EQ(Build("d\xC3\xA9j\xC3\xA0", kUTF8).utf8(), "d\xC3\xA9j\xC3\xA0");
    EXPECT_EQ(Build("abc", kTextEncodingASCII).encoding(), kTextEncodingASCII);
    // An encoding code nobody knows is passed on as it is, and reading it gives nothing.
    Value strange = Build("x\xF0y", 0x7E57);
    EXPECT_EQ(strange.encoding(), 0x7E57u);
    rbText text(static_cast<REALstring>(strange.handle()));
    EXPECT_FALSE(text.asciiShortcut());
    text.GetUTF8();
    text.ConvertMacRoman();
    EXPECT_EQ(text.macRoman().bytes[text.macRoman().length], '\0');
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST_P(BuildUnicodeStringByVersion, UTF16AndUTF32BecomeUTF8) {
  BindToHost(GetParam());
  {
    const UniChar units[] = {'h', 0xE9, 0xD83D, 0xDE00};
    Value fromUTF16 = Adopt(REALBuildUnicodeStringUTF16(units, sizeof units));
    EXPECT_EQ(fromUTF16.encoding(), kUTF8);
    EXPECT_EQ(fromUTF16.utf8(), "h\xC3\xA9\xF0\x9F\x98\x80");
    Value viaEncoding =
        Build(std::string(reinterpret_cast<const char *>(units), sizeof units), kTextEncodingUTF16);
    EXPECT_EQ(viaEncoding.utf8(), "h\xC3\xA9\xF0\x9F\x98\x80");
    Value fromUTF32 = Build(UTF32Bytes({'x', 0xE9, 0x1F600}), kTextEncodingUTF32);
    EXPECT_EQ(fromUTF32.encoding(), kUTF8);
    EXPECT_EQ(fromUTF32.utf8(), "x\xC3\xA9\xF0\x9F\x98\x80");
  }
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, BuildUnicodeStringByVersion,
                         ::testing::Values(2008.0, 2012.0, 2013.0, 2017.0));

TEST(BuildUnicodeStringUTF32, BeforeThe2013HostTheFrameConvertsCodePointsItself) {
  BindToHost(2012.0);
  {
    // Lone surrogates are dropped, values beyond Unicode become U+FFFD.
    Value s = Build(UTF32Bytes({0x41, 0x1F600, 0xD800, 0x110000}), kTextEncodingUTF32);
    EXPECT_EQ(s.utf8(), "A\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_EQ(Runtime::get().callCount("REALBuildStringWithEncoding") +
                  Runtime::get().callCount("REALBuildString"),
              1);
    // Seven bytes hold one code point; the three left over are ignored.
    EXPECT_EQ(Build(std::string("A\0\0\0BCD", 7), kTextEncodingUTF32).utf8(), "A");
    // Fewer than four bytes, or only lone surrogates, convert to no units: the empty text.
    for (const std::string &empty : {std::string("A\0\0", 3), UTF32Bytes({0xD800, 0xDFFF})}) {
      Value s = Build(empty, kTextEncodingUTF32);
      ASSERT_FALSE(s.isNil()) << empty.size();
      EXPECT_EQ(s.bytes(), "");
    }
    // Inputs of 800 bytes and more take the allocated buffer; the text is the same.
    std::vector<uint32_t> many(199, 'a');
    many.push_back(0x10348);
    std::string expected(199, 'a');
    expected += "\xF0\x90\x8D\x88";
    EXPECT_EQ(Build(UTF32Bytes(many), kTextEncodingUTF32).utf8(), expected);  // 800 bytes
    many.pop_back();
    EXPECT_EQ(Build(UTF32Bytes(many), kTextEncodingUTF32).utf8(), std::string(199, 'a'));
    std::vector<uint32_t> large(5000, 0x10000);
    std::string largeExpected;
    for (int i = 0; i < 5000; ++i) largeExpected += "\xF0\x90\x80\x80";
    EXPECT_EQ(Build(UTF32Bytes(large), kTextEncodingUTF32).utf8(), largeExpected);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(BuildUnicodeStringUTF32, From2013OnTheHostConverts) {
  BindToHost(2013.0);
  {
    Value s = Build(UTF32Bytes({0x41, 0x1F600}), kTextEncodingUTF32);
    EXPECT_EQ(s.utf8(), "A\xF0\x9F\x98\x80");
    EXPECT_EQ(Runtime::get().callCount("REALBuildStringWithEncoding"), 1);
    EXPECT_GE(Runtime::get().callCount("REALConvertString"), 1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(BuildUnicodeString, MissingStringFunctionsGiveNil) {
  BindToHost(2017.0, {"REALBuildString", "REALBuildStringWithEncoding"});
  const UniChar units[] = {'h', 'i'};
  EXPECT_EQ(REALBuildUnicodeString("abc", 3, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeStringUTF16(units, 4), nullptr);
  EXPECT_EQ(REALBuildUnicodeString("abcd", 4, kTextEncodingUTF32), nullptr);
  EXPECT_EQ(Outstanding(), 0);
}

CFStringRef MakeCF(const std::vector<UniChar> &units) {
  return CFStringCreateWithCharacters(kCFAllocatorDefault, units.data(),
                                      static_cast<CFIndex>(units.size()));
}

TEST(CFString2RBString, CopiesTheTextAsUTF8AtEveryLength) {
  BindToHost(2017.0);
  {
    EXPECT_TRUE(Adopt(CFString2RBString(nullptr)).isNil());
    CFStringRef empty = MakeCF({});
    EXPECT_TRUE(Adopt(CFString2RBString(empty)).isNil());
    CFRelease(empty);
    // 99 units (the stack buffer) and 100 units (the allocated one), each of the widest kind
    // a unit can take in UTF-8.
    for (size_t n : {size_t{1}, size_t{99}, size_t{100}, size_t{1000}}) {
      std::vector<UniChar> units(n, 0x20AC);
      std::string expected;
      for (size_t i = 0; i < n; ++i) expected += "\xE2\x82\xAC";
      CFStringRef cf = MakeCF(units);
      Value s = Adopt(CFString2RBString(cf));
      EXPECT_EQ(s.utf8(), expected) << n;
      EXPECT_EQ(s.encoding(), kUTF8) << n;
      // The caller keeps its CFString.
      EXPECT_EQ(CFGetRetainCount(cf), 1);
      CFRelease(cf);
    }
    // Text after an embedded U+0000 is lost.
    CFStringRef embedded = MakeCF({'a', 'b', 0, 'c', 'd'});
    Value cut = Adopt(CFString2RBString(embedded));
    EXPECT_EQ(cut.bytes(), "ab");
    CFRelease(embedded);
    std::vector<UniChar> long_with_zero(150, 'z');
    long_with_zero[120] = 0;
    CFStringRef longEmbedded = MakeCF(long_with_zero);
    EXPECT_EQ(Adopt(CFString2RBString(longEmbedded)).bytes(), std::string(120, 'z'));
    CFRelease(longEmbedded);
  }
  EXPECT_EQ(Outstanding(), 0);
}

class TextViewsByVersion : public ::testing::TestWithParam<double> {};

TEST_P(TextViewsByVersion, AsciiIsHandedOutWithoutCopyOtherTextIsConvertedAndTerminated) {
  BindToHost(GetParam());
  auto &rt = Runtime::get();
  {
    // A nil string reads as the empty text in both views.
    rbText none(nullptr);
    EXPECT_STREQ(none.GetUTF8(), "");
    none.ConvertMacRoman();
    EXPECT_EQ(none.macRoman().length, 0);
    EXPECT_STREQ(none.macRoman().bytes, "");

    Value ascii = rt.newString("lpcm", kUTF8);
    {
      rbText text(static_cast<REALstring>(ascii.handle()));
      int64_t length = 0;
      const char *own = StringBytes(static_cast<REALstring>(ascii.handle()), &length);
      EXPECT_TRUE(text.asciiShortcut());
      EXPECT_EQ(text.macRoman().bytes, own);
      EXPECT_EQ(text.macRoman().length, 4);
      EXPECT_EQ(text.GetUTF8(), own);
      EXPECT_EQ(rt.referenceCount(ascii), 2);
    }
    EXPECT_EQ(rt.referenceCount(ascii), 1);

    Value accented = rt.newString("caf\xC3\xA9", kUTF8);
    {
      rbText text(static_cast<REALstring>(accented.handle()));
      EXPECT_FALSE(text.asciiShortcut());
      EXPECT_EQ(text.macRoman().length, -1);
      text.ConvertMacRoman();
      EXPECT_EQ(std::string(text.macRoman().bytes, text.macRoman().length), "caf\x8E");
      EXPECT_EQ(text.macRoman().bytes[text.macRoman().length], '\0');
      EXPECT_STREQ(text.GetUTF8(), "caf\xC3\xA9");
      EXPECT_EQ(text.utf8().length, 5);
    }

    Value macRoman = rt.newString("na\x8Fve", kTextEncodingMacRoman);
    {
      rbText text(static_cast<REALstring>(macRoman.handle()));
      EXPECT_STREQ(text.GetUTF8(), "na\xC3\xA8ve");
      // Computed once: a second read hands out the same bytes.
      const char *first = text.utf8().bytes;
      EXPECT_EQ(text.GetUTF8(), first);
    }

    // Unknown bytes are read as MacRoman from a new string; the reader gives it back itself.
    Value unknown = rt.newString("\xA5x", kTextEncodingUnknown);
    {
      rbText text(static_cast<REALstring>(unknown.handle()));
      EXPECT_NE(text.string(), static_cast<REALstring>(unknown.handle()));
      EXPECT_EQ(text.string()->encoding, static_cast<intptr_t>(kTextEncodingMacRoman));
      EXPECT_EQ(rt.referenceCount(unknown), 1);
      text.ConvertMacRoman();
      EXPECT_EQ(std::string(text.macRoman().bytes, text.macRoman().length), "\xA5x");
      EXPECT_STREQ(text.GetUTF8(), "\xE2\x80\xA2x");
    }
    Value unknownAscii = rt.newString("plain", kTextEncodingUnknown);
    {
      rbText text(static_cast<REALstring>(unknownAscii.handle()));
      EXPECT_TRUE(text.asciiShortcut());
      EXPECT_EQ(text.string(), static_cast<REALstring>(unknownAscii.handle()));
      EXPECT_STREQ(text.GetUTF8(), "plain");
    }
    // UTF-16 host strings are not looked at until a view is asked for.
    const UniChar units[] = {'o', 'k'};
    Value utf16 =
        rt.newString(std::string(reinterpret_cast<const char *>(units), 4), kTextEncodingUTF16);
    {
      rbText text(static_cast<REALstring>(utf16.handle()));
      EXPECT_FALSE(text.asciiShortcut());
      EXPECT_STREQ(text.GetUTF8(), "ok");
      text.ConvertMacRoman();
      EXPECT_STREQ(text.macRoman().bytes, "ok");
    }
  }
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, TextViewsByVersion,
                         ::testing::Values(2008.0, 2012.0, 2017.0));

TEST(TextViews, HostsWithoutConversionFunctionsGiveEmptyViews) {
  BindToHost(2017.0, {"PluginGetStringData", "REALGetStringEncoding"});
  auto &rt = Runtime::get();
  {
    // Without the encoding function every string is read as 8-bit text.
    Value ascii = rt.newString("abcd", kTextEncodingUTF16);
    rbText plain(static_cast<REALstring>(ascii.handle()));
    EXPECT_TRUE(plain.asciiShortcut());
    Value accented = rt.newString("\xC3\xA9", kUTF8);
    rbText text(static_cast<REALstring>(accented.handle()));
    text.ConvertMacRoman();
    EXPECT_EQ(text.macRoman().length, 0);
    EXPECT_STREQ(text.GetUTF8(), "");
    EXPECT_EQ(REALstringToOSType(static_cast<REALstring>(accented.handle())), 0x20202020u);
  }
  EXPECT_EQ(Outstanding(), 0);
}

class FourCharacterCodes : public ::testing::TestWithParam<double> {};

TEST_P(FourCharacterCodes, TakeTheFirstFourMacRomanBytesPaddedWithSpaces) {
  BindToHost(GetParam());
  auto &rt = Runtime::get();
  auto code = [&](const std::string &text, uint32_t encoding = kUTF8) {
    Value s = rt.newString(text, encoding);
    return REALstringToOSType(static_cast<REALstring>(s.handle()));
  };
  EXPECT_EQ(code("lpcm"), 0x6C70636Du);
  EXPECT_EQ(code("lpcmx"), 0x6C70636Du);
  EXPECT_EQ(code("ab"), 0x61622020u);
  EXPECT_EQ(code(""), 0x20202020u);
  EXPECT_EQ(REALstringToOSType(nullptr), 0x20202020u);
  EXPECT_EQ(code("\xC3\xA9"), 0x8E202020u);
  EXPECT_EQ(code("\x8E"
                 "abc",
                 kTextEncodingMacRoman),
            0x8E616263u);
  EXPECT_EQ(code("ma\xC3\xAFs!"), 0x6D619573u);
  EXPECT_EQ(code("appl", kTextEncodingASCII), 0x6170706Cu);
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, FourCharacterCodes, ::testing::Values(2008.0, 2017.0));

}  // namespace
}  // namespace frametest
