// Host values as a plugin sees them through the host functions: string records laid out for
// direct reads, real encoding conversion, string data, blocks, arrays, variants, folder items,
// reference accounting (also across threads). The main loop is the listener's and the threaded
// work's to show.
#include <atomic>
#include <cstring>
#include <thread>

#include "host_test_support.h"
#include "os/cf.h"

using namespace xnq::host;
using HostValues = xnq::host::testing::HostTest;

namespace {

std::string TextOf(REALstring s) {
  return std::string(s->textMinusOne + 1, static_cast<size_t>(s->byteLength));
}

TEST_F(HostValues, StringRecordsHoldTheirBytesAndConvertBetweenEncodings) {
  auto build = fn<REALBuildStringWithEncodingProc>("REALBuildStringWithEncoding");
  auto convert = fn<REALConvertStringProc>("REALConvertString");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  auto setEncoding = fn<REALSetStringEncodingProc>("REALSetStringEncoding");
  REALstring s = build("hello", 5, kASCII);
  EXPECT_EQ(TextOf(s), "hello");
  EXPECT_EQ(s->textMinusOne[6], '\0');
  setEncoding(s, kMacRoman);
  EXPECT_EQ(s->encoding, static_cast<intptr_t>(kMacRoman));
  EXPECT_EQ(fn<REALGetStringEncodingProc>("REALGetStringEncoding")(s), kMacRoman);
  unlock(s);
  EXPECT_EQ(build(nullptr, 3, kUTF8), nullptr);
  EXPECT_EQ(build("x", -1, kUTF8), nullptr);
  // (MacRoman to and from UTF-8 is the frame's text views' to show, at each host version.)
  const struct {
    std::string bytes;
    uint32_t from, to;
    const char *expected;  // null: the conversion fails
  } cases[] = {
      {"\x80", kWindowsLatin1, kUTF8, "\xE2\x82\xAC"},
      {"\x01\xC8\xFF", kUnknown, kUTF8, "\x01\xC8\xFF"},  // kept as they are
      {"\xE2\x82\xAC", kUTF8, kASCII, nullptr},           // no ASCII form
      {"\xFF\xFE", kUTF8, kUTF16, nullptr},               // not UTF-8
  };
  for (const auto &c : cases) {
    Value v = rt.newString(c.bytes, c.from);
    REALstring converted = convert(static_cast<REALstring>(v.handle()), c.to);
    if (c.expected == nullptr) {
      EXPECT_EQ(converted, nullptr) << c.bytes;
      continue;
    }
    ASSERT_NE(converted, nullptr) << c.bytes;
    EXPECT_EQ(TextOf(converted), c.expected);
    EXPECT_EQ(converted->encoding, static_cast<intptr_t>(c.to));
    unlock(converted);
  }
  // String data: converted, accounted until disposed; disposing a record never filled is a fault.
  auto getData = fn<PluginGetStringDataProc>("PluginGetStringData");
  auto dispose = fn<PluginDisposeStringDataProc>("PluginDisposeStringData");
  Value e = rt.newString("\xC3\xA9", kUTF8);
  REALstringData sd;
  ASSERT_TRUE(getData(static_cast<REALstring>(e.handle()), kUTF16, &sd));
  ASSERT_EQ(sd.length, 2);
  EXPECT_EQ(std::memcmp(sd.data, "\xE9\x00\x00\x00", 4), 0);
  EXPECT_EQ(rt.outstanding().stringData, before_.stringData + 1);
  dispose(&sd);
  EXPECT_FALSE(getData(nullptr, kUTF8, &sd));
  dispose(&sd);
  EXPECT_EQ(rt.accountingErrors(), errors_ + 1);
}

TEST_F(HostValues, BlocksArraysAndVariantsAsThePluginReadsThem) {
  auto newBlock = fn<newMemoryBlockProc>("newMemoryBlock");
  auto unlockObject = fn<REALUnlockObjectProc>("REALUnlockObject");
  REALmemoryBlock b = newBlock(64);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->size, 64);
  EXPECT_EQ(fn<memoryBlockGetPtrProc>("memoryBlockGetPtr")(b), b->data);
  EXPECT_EQ(fn<memoryBlockGetSizeProc>("memoryBlockGetSize")(b), 64);
  EXPECT_EQ(static_cast<unsigned char *>(b->data)[63], 0);
  unlockObject(reinterpret_cast<REALobject>(b));
  EXPECT_EQ(newBlock(-1), nullptr);
  EXPECT_EQ(newBlock(2147483647), nullptr);

  REALarray a = fn<RuntimeArrayCreateSingleDimBoundedArrayProc>(
      "RuntimeArrayCreateSingleDimBoundedArray")(kREALArrayOfInteger, -1);
  auto ubound = fn<RuntimeUBoundProc>("RuntimeUBound");
  EXPECT_EQ(ubound(a), -1);
  auto insert = fn<PluginIntegerArrayInsertProcProc>("PluginIntegerArrayInsertProc")(a);
  insert(a, 0, 5);
  insert(a, 0, 4);
  insert(a, 2, 6);
  EXPECT_EQ(ubound(a), 2);
  EXPECT_EQ(a->elements, a->elementsBefore2008);
  EXPECT_EQ(static_cast<intptr_t *>(a->elements)[0], 4);
  auto readInt = reinterpret_cast<REALIntegerArrayGetter>(
      fn<PluginArrayGetProcProc>("PluginIntegerArrayGetProc")(a));
  EXPECT_EQ(readInt(a, 2), 6);
  EXPECT_EQ(readInt(a, 3), 0);
  EXPECT_EQ(fn<PluginArrayGetProcProc>("PluginSingleArrayGetProc")(a), nullptr);
  unlockObject(reinterpret_cast<REALobject>(a));
  Value singles = rt.newSingleArray({1.5f, -2.0f});
  auto *sa = static_cast<REALarray>(singles.handle());
  auto readSingle = reinterpret_cast<REALSingleArrayGetter>(
      fn<PluginArrayGetProcProc>("RuntimeArrayDirectGetGetProc")(sa));
  EXPECT_EQ(readSingle(sa, 1), -2.0f);

  REALobject v = fn<IntegerToVariantProc>("IntegerToVariant")(-12);
  EXPECT_EQ(Value::retain(Type::Variant, v).asInteger(), -12);
  unlockObject(v);
  Value text = rt.newString("name");
  REALobject sv =
      fn<StringToVariantProc>("StringToVariant")(static_cast<REALstring>(text.handle()));
  EXPECT_EQ(rt.referenceCount(text), 2);  // the variant holds its own reference
  unlockObject(sv);
  EXPECT_EQ(rt.referenceCount(text), 1);
  EXPECT_EQ(rt.accountingErrors(), errors_);
}

TEST_F(HostValues, FolderItemsFillAnFSRefOrTheirFolderAndName) {
  auto toRef = fn<REALFSRefFromFolderItemProc>("REALFSRefFromFolderItem");
  Value dir = rt.newFolderItem(XNQ_SOURCE_DIR "/tests/host");
  FSRef ref;
  HFSUniStr255 name;
  ASSERT_TRUE(toRef(static_cast<REALfolderItem>(dir.handle()), &ref, &name));
  ASSERT_EQ(name.length, 4);
  EXPECT_EQ(name.unicode[3], 't');
  char back[1024] = {};
  EXPECT_EQ(FSRefMakePath(&ref, reinterpret_cast<UInt8 *>(back), sizeof back), 0);
  EXPECT_STREQ(back, XNQ_SOURCE_DIR "/tests");
  Value unborn = rt.newFolderItem(XNQ_SOURCE_DIR "/tests/host/not-yet.wav");
  EXPECT_FALSE(toRef(static_cast<REALfolderItem>(unborn.handle()), &ref, nullptr));
  ASSERT_TRUE(toRef(static_cast<REALfolderItem>(unborn.handle()), &ref, &name));
  EXPECT_EQ(name.length, 11);
  Value missing = rt.newFolderItem("/nonexistent/file.wav");
  EXPECT_FALSE(toRef(static_cast<REALfolderItem>(missing.handle()), &ref, &name));
  EXPECT_FALSE(toRef(nullptr, &ref, nullptr));
}

TEST_F(HostValues, AccountingBalancesAcrossThreadsAndCountsFaults) {
  auto build = fn<REALBuildStringWithEncodingProc>("REALBuildStringWithEncoding");
  auto lock = fn<REALLockStringProc>("REALLockString");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  auto newInstance = fn<PluginNewInstanceProc>("PluginNewInstance");
  auto unlockObject = fn<REALUnlockObjectProc>("REALUnlockObject");
  Value shared = rt.newString("shared");
  auto *s = static_cast<REALstring>(shared.handle());
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        REALstring own = build("abc", 3, kUTF8);
        lock(s);
        REALobject d = newInstance("Dictionary");
        unlock(s);
        unlockObject(d);
        unlock(own);
      }
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(rt.referenceCount(shared), 1);
  EXPECT_EQ(rt.accountingErrors(), errors_);
  REALstring extra = build("x", 1, kUTF8);
  unlock(extra);
  unlock(extra);  // no reference left
  int local = 0;
  lock(reinterpret_cast<REALstring>(&local));  // not a host value at all
  EXPECT_EQ(rt.accountingErrors(), errors_ + 2);
}

}  // namespace
