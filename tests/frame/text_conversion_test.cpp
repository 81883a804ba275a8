// Host strings built from plugin bytes and CFStrings, host strings read back through rbText,
// four-character codes, and which host functions each path calls at each host version.
#include <string.h>

#include <functional>
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

std::string TextOf(const Value &s) { return s.isNil() ? "<nil>" : s.utf8(); }

// Just below and at each threshold of the host version, what a text or block operation gives
// and how often it calls the host function that tells its paths apart: a threshold off by a
// step, or two paths swapped, shows.
TEST(HostPaths, EachOperationTakesThePathOfItsHostVersion) {
  auto &rt = Runtime::get();
  const std::function<std::string()> utf16 = [] {
    const UniChar units[] = {'h', 'i'};
    return TextOf(Adopt(REALBuildUnicodeStringUTF16(units, sizeof units)));
  };
  // Beyond Unicode: the frame's own conversion makes it U+FFFD, the host refuses it.
  const std::function<std::string()> utf32 = [] {
    return TextOf(Build(UTF32Bytes({0x41, 0x110000}), kTextEncodingUTF32));
  };
  auto view = [&](bool macRoman) -> std::function<std::string()> {
    return [&rt, macRoman] {
      Value s = rt.newString("caf\xC3\xA9", kUTF8);
      rbText text(static_cast<REALstring>(s.handle()));
      if (!macRoman) return std::string(text.GetUTF8());
      text.ConvertMacRoman();
      return std::string(text.macRoman().bytes, text.macRoman().length);
    };
  };
  const std::function<std::string()> block = [&] {
    Value b = rt.newMemoryBlock("xyz", 3);
    auto *record = static_cast<REALmemoryBlock>(b.handle());
    return std::string(static_cast<char *>(MemoryBlockData(record)),
                       static_cast<size_t>(MemoryBlockSize(record)));
  };
  const std::function<std::string()> utf8View = view(false), macRomanView = view(true);
  const std::string fffd = "A\xEF\xBF\xBD", cafe = "caf\xC3\xA9";
  const struct {
    double version;
    const std::function<std::string()> &run;
    std::string result;
    const char *hostFunction;
    int calls;
  } cases[] = {
      {2011.99, utf16, "hi", "REALBuildStringWithEncoding", 0},
      {2012.0, utf16, "hi", "REALBuildStringWithEncoding", 1},
      {2012.99, utf32, fffd, "REALBuildStringWithEncoding", 1},
      {2013.0, utf32, "<nil>", "REALBuildStringWithEncoding", 1},
      {2016.99, utf8View, cafe, "PluginGetStringData", 0},  // the string's own bytes
      {2017.0, utf8View, cafe, "PluginGetStringData", 1},
      {2011.99, macRomanView, "caf\x8E", "REALConvertString", 1},
      {2012.0, macRomanView, "caf\x8E", "REALConvertString", 0},
      {2016.99, block, "xyz", "memoryBlockGetSize", 0},  // the block's record
      {2017.0, block, "xyz", "memoryBlockGetSize", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.hostFunction << " at " << c.version);
    BindToHost(c.version);
    const int64_t before = rt.callCount(c.hostFunction);
    EXPECT_EQ(c.run(), c.result);
    EXPECT_EQ(rt.callCount(c.hostFunction) - before, c.calls);
  }
  EXPECT_EQ(Outstanding(), 0);
}

class BuildUnicodeStringByVersion : public ::testing::TestWithParam<double> {};

TEST_P(BuildUnicodeStringByVersion, TagsConvertsAndRefusesAsTheEncodingSays) {
  BindToHost(GetParam());
  {
    const char text[] = "abc";
    EXPECT_EQ(REALBuildUnicodeString(nullptr, 3, kUTF8), nullptr);
    for (int64_t length : {int64_t{0}, int64_t{-1}, int64_t{2147483648}}) {
      EXPECT_EQ(REALBuildUnicodeString(text, length, kUTF8), nullptr) << length;
    }
    EXPECT_EQ(REALBuildUnicodeStringUTF16(nullptr, 2), nullptr);
    // No UTF-16 units at all is the empty text, not nil.
    Value none = Adopt(REALBuildUnicodeStringUTF16(text, 0));
    ASSERT_FALSE(none.isNil());
    EXPECT_EQ(none.bytes(), "");
    EXPECT_EQ(none.encoding(), kUTF8);
    // 8-bit text of plain ASCII is tagged ASCII; a byte of 0x80 or more keeps the encoding.
    const struct {
      std::string bytes;
      uint32_t encoding, tagged;
    } tags[] = {{"abc", kTextEncodingMacRoman, kTextEncodingASCII},
                {"abc", kTextEncodingISOLatin1, kTextEncodingASCII},
                {"abc", kTextEncodingWindowsLatin1, kTextEncodingASCII},
                {"abc", kTextEncodingUnknown, kTextEncodingASCII},
                {"caf\xE9", kTextEncodingMacRoman, kTextEncodingMacRoman},
                {"\x80", kTextEncodingUnknown, kTextEncodingUnknown},
                {"abc", kUTF8, kUTF8},
                {"x\xF0y", 0x7E57, 0x7E57}};
    for (const auto &t : tags) {
      Value s = Build(t.bytes, t.encoding);
      EXPECT_EQ(s.encoding(), t.tagged) << t.bytes << " " << t.encoding;
      EXPECT_EQ(s.bytes(), t.bytes);
    }
    const UniChar units[] = {'h', 0xE9, 0xD83D, 0xDE00};
    const std::string expected = "h\xC3\xA9\xF0\x9F\x98\x80";
    Value fromUTF16 = Adopt(REALBuildUnicodeStringUTF16(units, sizeof units));
    EXPECT_EQ(fromUTF16.encoding(), kUTF8);
    EXPECT_EQ(fromUTF16.utf8(), expected);
    EXPECT_EQ(
        Build(std::string(reinterpret_cast<const char *>(units), sizeof units), kTextEncodingUTF16)
            .utf8(),
        expected);
    Value fromUTF32 = Build(UTF32Bytes({'h', 0xE9, 0x1F600}), kTextEncodingUTF32);
    EXPECT_EQ(fromUTF32.encoding(), kUTF8);
    EXPECT_EQ(fromUTF32.utf8(), expected);
  }
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, BuildUnicodeStringByVersion,
                         ::testing::Values(2008.0, 2012.0, 2013.0, 2017.0));

TEST(BuildUnicodeStringUTF32, BeforeThe2013HostTheFrameConvertsCodePointsItself) {
  BindToHost(2012.0);
  {
    // Lone surrogates are dropped, values beyond Unicode become U+FFFD; seven bytes hold one
    // code point; fewer than four bytes, or only lone surrogates, are the empty text.
    const struct {
      std::string bytes;
      std::string utf8;
    } cases[] = {{UTF32Bytes({0x41, 0x1F600, 0xD800, 0x110000}), "A\xF0\x9F\x98\x80\xEF\xBF\xBD"},
                 {std::string("A\0\0\0BCD", 7), "A"},
                 {std::string("A\0\0", 3), ""},
                 {UTF32Bytes({0xD800, 0xDFFF}), ""}};
    for (const auto &c : cases) {
      Value s = Build(c.bytes, kTextEncodingUTF32);
      ASSERT_FALSE(s.isNil()) << c.bytes.size();
      EXPECT_EQ(s.utf8(), c.utf8);
    }
    // Inputs of 800 bytes and more take the allocated buffer; the text is the same.
    for (size_t points : {199, 200, 5000}) {
      std::vector<uint32_t> many(points, 'a');
      many.back() = 0x10348;
      std::string expected(points - 1, 'a');
      expected += "\xF0\x90\x8D\x88";
      EXPECT_EQ(Build(UTF32Bytes(many), kTextEncodingUTF32).utf8(), expected) << points;
    }
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(CFString2RBString, CopiesTheTextAsUTF8AtEveryLength) {
  BindToHost(2017.0);
  {
    EXPECT_TRUE(Adopt(CFString2RBString(nullptr)).isNil());
    // 0 units (nil), 99 units (the stack buffer), 100 and more (an allocated one), each of the
    // widest kind a unit takes in UTF-8; text after an embedded U+0000 is lost.
    const struct {
      size_t units, zeroAt;
      std::string expected;
    } cases[] = {{0, 0, "<nil>"},
                 {99, 99, ""},
                 {100, 100, ""},
                 {1000, 1000, ""},
                 {5, 2, "\xE2\x82\xAC\xE2\x82\xAC"},
                 {150, 120, ""}};
    for (const auto &c : cases) {
      std::vector<UniChar> units(c.units, 0x20AC);
      if (c.zeroAt < c.units) units[c.zeroAt] = 0;
      std::string expected = c.expected;
      if (expected.empty()) {
        for (size_t i = 0; i < c.zeroAt; ++i) expected += "\xE2\x82\xAC";
      }
      CFStringRef cf = CFStringCreateWithCharacters(kCFAllocatorDefault, units.data(),
                                                    static_cast<CFIndex>(units.size()));
      EXPECT_EQ(TextOf(Adopt(CFString2RBString(cf))), expected) << c.units;
      EXPECT_EQ(CFGetRetainCount(cf), 1);  // the caller keeps its CFString
      CFRelease(cf);
    }
  }
  EXPECT_EQ(Outstanding(), 0);
}

class TextViewsByVersion : public ::testing::TestWithParam<double> {};

TEST_P(TextViewsByVersion,
       AsciiIsHandedOutWithoutCopyOtherTextConvertedAndCodesAreTheFirstFourBytes) {
  BindToHost(GetParam());
  auto &rt = Runtime::get();
  {
    rbText none(nullptr);
    EXPECT_STREQ(none.GetUTF8(), "");
    none.ConvertMacRoman();
    EXPECT_EQ(none.macRoman().length, 0);

    Value ascii = rt.newString("lpcm", kUTF8);
    {
      rbText text(static_cast<REALstring>(ascii.handle()));
      int64_t length = 0;
      const char *own = StringBytes(static_cast<REALstring>(ascii.handle()), &length);
      EXPECT_TRUE(text.asciiShortcut());
      EXPECT_EQ(text.macRoman().bytes, own);
      EXPECT_EQ(text.GetUTF8(), own);
      EXPECT_EQ(rt.referenceCount(ascii), 2);
    }
    EXPECT_EQ(rt.referenceCount(ascii), 1);

    const struct {
      std::string bytes;
      uint32_t encoding;
      std::string macRoman, utf8;
    } cases[] = {{"caf\xC3\xA9", kUTF8, "caf\x8E", "caf\xC3\xA9"},
                 {"na\x8Fve", kTextEncodingMacRoman, "na\x8Fve", "na\xC3\xA8ve"},
                 {"\xA5x", kTextEncodingUnknown, "\xA5x", "\xE2\x80\xA2x"},
                 {std::string("o\0k\0", 4), kTextEncodingUTF16, "ok", "ok"}};
    for (const auto &c : cases) {
      Value s = rt.newString(c.bytes, c.encoding);
      rbText text(static_cast<REALstring>(s.handle()));
      EXPECT_FALSE(text.asciiShortcut());
      EXPECT_EQ(text.macRoman().length, -1);  // computed only when asked for
      text.ConvertMacRoman();
      EXPECT_EQ(std::string(text.macRoman().bytes, text.macRoman().length), c.macRoman);
      EXPECT_EQ(text.macRoman().bytes[text.macRoman().length], '\0');
      const char *first = text.GetUTF8();
      EXPECT_STREQ(first, c.utf8.c_str());
      EXPECT_EQ(text.GetUTF8(), first);  // computed once
      // Unknown bytes are read as MacRoman from a new string the reader gives back itself.
      if (c.encoding == kTextEncodingUnknown) {
        EXPECT_NE(text.string(), static_cast<REALstring>(s.handle()));
        EXPECT_EQ(rt.referenceCount(s), 1);
      }
    }
    Value unknownAscii = rt.newString("plain", kTextEncodingUnknown);
    rbText plain(static_cast<REALstring>(unknownAscii.handle()));
    EXPECT_TRUE(plain.asciiShortcut());
    EXPECT_EQ(plain.string(), static_cast<REALstring>(unknownAscii.handle()));
    // Four-character codes take the first four MacRoman bytes of the text, padded with spaces.
    const struct {
      std::string text;
      uint32_t encoding;
      OSType code;
    } codes[] = {{"lpcm", kUTF8, 0x6C70636Du},
                 {"lpcmx", kUTF8, 0x6C70636Du},
                 {"ab", kUTF8, 0x61622020u},
                 {"", kUTF8, 0x20202020u},
                 {"\xC3\xA9", kUTF8, 0x8E202020u},
                 {"\x8E"
                  "abc",
                  kTextEncodingMacRoman, 0x8E616263u},
                 {"ma\xC3\xAFs!", kUTF8, 0x6D619573u},
                 {"appl", kTextEncodingASCII, 0x6170706Cu}};
    for (const auto &c : codes) {
      Value code = rt.newString(c.text, c.encoding);
      EXPECT_EQ(REALstringToOSType(static_cast<REALstring>(code.handle())), c.code) << c.text;
    }
    EXPECT_EQ(REALstringToOSType(nullptr), 0x20202020u);
  }
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, TextViewsByVersion,
                         ::testing::Values(2008.0, 2012.0, 2017.0));

// Without the string builders nothing is built; without the conversion functions every string is
// read as 8-bit text, and text that is not ASCII gives empty views.
TEST(TextViews, HostsWithoutStringFunctionsGiveNilOrEmptyViews) {
  BindToHost(2017.0, {"REALBuildString", "REALBuildStringWithEncoding"});
  const UniChar units[] = {'h', 'i'};
  EXPECT_EQ(REALBuildUnicodeString("abc", 3, kUTF8), nullptr);
  EXPECT_EQ(REALBuildUnicodeStringUTF16(units, 4), nullptr);
  EXPECT_EQ(REALBuildUnicodeString("abcd", 4, kTextEncodingUTF32), nullptr);
  BindToHost(2017.0, {"PluginGetStringData", "REALGetStringEncoding"});
  auto &rt = Runtime::get();
  {
    Value ascii = rt.newString("abcd", kTextEncodingUTF16);
    EXPECT_TRUE(rbText(static_cast<REALstring>(ascii.handle())).asciiShortcut());
    Value accented = rt.newString("\xC3\xA9", kUTF8);
    rbText text(static_cast<REALstring>(accented.handle()));
    text.ConvertMacRoman();
    EXPECT_EQ(text.macRoman().length, 0);
    EXPECT_STREQ(text.GetUTF8(), "");
    EXPECT_EQ(REALstringToOSType(static_cast<REALstring>(accented.handle())), 0x20202020u);
  }
  EXPECT_EQ(Outstanding(), 0);
}

}  // namespace
}  // namespace frametest
