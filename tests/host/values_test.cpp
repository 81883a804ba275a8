// Host values as a plugin sees them: the host functions it resolves, the records it reads
// directly, encoding conversion, reference accounting, folder items and the main loop.
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "frame/REALplugin.h"
#include "host_test_support.h"
#include "os/cf.h"

using namespace xnq::host;

namespace {

template <typename F>
F fn(const char *name) {
  auto f = reinterpret_cast<F>(Runtime::resolve(name));
  EXPECT_NE(f, nullptr) << name;
  return f;
}

std::string textOf(REALstring s) {
  return std::string(s->textMinusOne + 1, static_cast<size_t>(s->byteLength));
}

}  // namespace

TEST(HostStrings, RecordsAreLaidOutForDirectReads) {
  XNQ_LOAD_FIXTURE(Settings{});
  auto build = fn<REALBuildStringWithEncodingProc>("REALBuildStringWithEncoding");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  REALstring s = build("hello", 5, kASCII);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(textOf(s), "hello");
  EXPECT_EQ(s->textMinusOne[6], '\0');  // NUL after the text
  EXPECT_EQ(s->encoding, static_cast<intptr_t>(kASCII));
  auto setEncoding = fn<REALSetStringEncodingProc>("REALSetStringEncoding");
  auto getEncoding = fn<REALGetStringEncodingProc>("REALGetStringEncoding");
  setEncoding(s, kMacRoman);
  EXPECT_EQ(getEncoding(s), kMacRoman);
  EXPECT_EQ(s->encoding, static_cast<intptr_t>(kMacRoman));
  unlock(s);
  // Nil and negative lengths give nil, never a crash.
  EXPECT_EQ(build(nullptr, 3, kUTF8), nullptr);
  EXPECT_EQ(build("x", -1, kUTF8), nullptr);
  EXPECT_EQ(getEncoding(nullptr), kUnknown);
  unlock(nullptr);
  EXPECT_EQ(Runtime::get().accountingErrors(), 0);
}

TEST(HostStrings, ConversionBetweenEncodingsIsReal) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  auto convert = fn<REALConvertStringProc>("REALConvertString");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  struct Case {
    std::string bytes;
    uint32_t encoding;
    std::string utf8;
  } cases[] = {
      {"\x8E", kMacRoman, "\xC3\xA9"},           // é
      {"\xE9", kISOLatin1, "\xC3\xA9"},          // é
      {"\x80", kWindowsLatin1, "\xE2\x82\xAC"},  // €
      {std::string("A\0", 2), kUTF16, "A"},
      {std::string("\x3D\xD8\x00\xDE", 4), kUTF16, "\xF0\x9F\x98\x80"},  // surrogate pair
      {std::string("\x00\xF6\x01\x00", 4), kUTF32, "\xF0\x9F\x98\x80"},
      {"plain", kASCII, "plain"},
  };
  for (const Case &c : cases) {
    Value v = rt.newString(c.bytes, c.encoding);
    EXPECT_EQ(v.bytes(), c.bytes);
    EXPECT_EQ(v.utf8(), c.utf8);
    REALstring u = convert(static_cast<REALstring>(v.handle()), kUTF8);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(textOf(u), c.utf8);
    EXPECT_EQ(u->encoding, static_cast<intptr_t>(kUTF8));
    unlock(u);
  }
  // Back from UTF-8 to MacRoman.
  Value e = rt.newString("\xC3\xA9t\xC3\xA9", kUTF8);
  REALstring m = convert(static_cast<REALstring>(e.handle()), kMacRoman);
  EXPECT_EQ(textOf(m), "\x8Et\x8E");
  unlock(m);
  // Text that the target can't hold, and invalid input, give nil.
  Value euro = rt.newString("\xE2\x82\xAC", kUTF8);
  EXPECT_EQ(convert(static_cast<REALstring>(euro.handle()), kASCII), nullptr);
  Value bad = rt.newString("\xFF\xFE\xFD", kUTF8);
  EXPECT_EQ(convert(static_cast<REALstring>(bad.handle()), kUTF16), nullptr);
  EXPECT_EQ(convert(nullptr, kUTF8), nullptr);
  // Unknown-encoded bytes are kept as they are.
  Value raw = rt.newString("\x01\xC8\xFF", kUnknown);
  REALstring r = convert(static_cast<REALstring>(raw.handle()), kUTF8);
  EXPECT_EQ(textOf(r), "\x01\xC8\xFF");
  unlock(r);
}

TEST(HostStrings, StringDataIsConvertedTerminatedAndAccounted) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  int64_t errors = rt.accountingErrors();
  auto getData = fn<PluginGetStringDataProc>("PluginGetStringData");
  auto dispose = fn<PluginDisposeStringDataProc>("PluginDisposeStringData");
  Value s = rt.newString("\xC3\xA9", kUTF8);
  REALstringData sd;
  ASSERT_TRUE(getData(static_cast<REALstring>(s.handle()), kUTF16, &sd));
  ASSERT_EQ(sd.length, 2);
  EXPECT_EQ(std::memcmp(sd.data, "\xE9\x00\x00\x00", 4), 0);
  EXPECT_EQ(rt.outstanding().stringData, 1);
  dispose(&sd);
  EXPECT_EQ(rt.outstanding().stringData, 0);
  EXPECT_FALSE(getData(nullptr, kUTF8, &sd));
  EXPECT_EQ(sd.data, nullptr);
  dispose(&sd);  // a record the host never filled is an accounting fault, not a crash
  EXPECT_EQ(rt.accountingErrors(), errors + 1);
}

TEST(HostValues, BlocksArraysAndVariants) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  int64_t errors = rt.accountingErrors();
  auto newBlock = fn<newMemoryBlockProc>("newMemoryBlock");
  auto getPtr = fn<memoryBlockGetPtrProc>("memoryBlockGetPtr");
  auto getSize = fn<memoryBlockGetSizeProc>("memoryBlockGetSize");
  auto unlockObject = fn<REALUnlockObjectProc>("REALUnlockObject");
  REALmemoryBlock b = newBlock(64);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->size, 64);
  EXPECT_EQ(getPtr(b), b->data);
  EXPECT_EQ(getSize(b), 64);
  EXPECT_EQ(static_cast<unsigned char *>(b->data)[63], 0);
  unlockObject(reinterpret_cast<REALobject>(b));
  EXPECT_EQ(newBlock(-1), nullptr);
  EXPECT_EQ(newBlock(2147483647), nullptr);  // beyond what the host hands out
  EXPECT_EQ(getPtr(nullptr), nullptr);
  EXPECT_EQ(getSize(nullptr), 0);

  auto create =
      fn<RuntimeArrayCreateSingleDimBoundedArrayProc>("RuntimeArrayCreateSingleDimBoundedArray");
  auto ubound = fn<RuntimeUBoundProc>("RuntimeUBound");
  auto inserter = fn<PluginIntegerArrayInsertProcProc>("PluginIntegerArrayInsertProc");
  auto intGet = fn<PluginArrayGetProcProc>("PluginIntegerArrayGetProc");
  auto singleGet = fn<PluginArrayGetProcProc>("PluginSingleArrayGetProc");
  auto directGet = fn<PluginArrayGetProcProc>("RuntimeArrayDirectGetGetProc");
  REALarray a = create(kREALArrayOfInteger, -1);
  EXPECT_EQ(ubound(a), -1);
  auto insert = inserter(a);
  insert(a, 0, 5);
  insert(a, 0, 4);
  insert(a, 2, 6);
  EXPECT_EQ(ubound(a), 2);
  EXPECT_EQ(a->elements, a->elementsBefore2008);
  EXPECT_EQ(static_cast<intptr_t *>(a->elements)[0], 4);
  auto readInt = reinterpret_cast<REALIntegerArrayGetter>(intGet(a));
  EXPECT_EQ(readInt(a, 2), 6);
  EXPECT_EQ(readInt(a, 3), 0);  // out of range reads as 0
  EXPECT_EQ(singleGet(a), nullptr);
  EXPECT_EQ(ubound(nullptr), -1);
  unlockObject(reinterpret_cast<REALobject>(a));
  Value singles = rt.newSingleArray({1.5f, -2.0f});
  auto readSingle =
      reinterpret_cast<REALSingleArrayGetter>(directGet(static_cast<REALarray>(singles.handle())));
  EXPECT_FLOAT_EQ(readSingle(static_cast<REALarray>(singles.handle()), 1), -2.0f);
  EXPECT_EQ(inserter(static_cast<REALarray>(singles.handle())), nullptr);

  auto intVariant = fn<IntegerToVariantProc>("IntegerToVariant");
  auto stringVariant = fn<StringToVariantProc>("StringToVariant");
  REALobject v = intVariant(-12);
  EXPECT_EQ(Value::retain(Type::Variant, v).asInteger(), -12);
  unlockObject(v);
  Value text = rt.newString("name");
  REALobject sv = stringVariant(static_cast<REALstring>(text.handle()));
  EXPECT_EQ(rt.referenceCount(text), 2);  // the variant holds its own reference
  unlockObject(sv);
  EXPECT_EQ(rt.referenceCount(text), 1);
  EXPECT_EQ(rt.accountingErrors(), errors);
}

TEST(HostAccounting, BalancesAndCountsFaultsWithoutCrashing) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts start = rt.outstanding();
  int64_t errors = rt.accountingErrors();
  auto lock = fn<REALLockStringProc>("REALLockString");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  auto build = fn<REALBuildStringProc>("REALBuildString");
  REALstring s = build("abc", 3);
  EXPECT_EQ(rt.outstanding().strings, start.strings + 1);
  lock(s);
  EXPECT_EQ(rt.outstanding().strings, start.strings + 2);
  unlock(s);
  unlock(s);
  EXPECT_EQ(rt.outstanding(), start);
  unlock(s);  // no reference left
  EXPECT_EQ(rt.accountingErrors(), errors + 1);
  int local = 0;
  lock(reinterpret_cast<REALstring>(&local));  // not a host value at all
  EXPECT_EQ(rt.accountingErrors(), errors + 2);
  EXPECT_EQ(rt.outstanding(), start);
}

TEST(HostAccounting, HostFunctionsCalledFromSeveralThreadsKeepTheCountsExact) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts start = rt.outstanding();
  int64_t errors = rt.accountingErrors();
  auto build = fn<REALBuildStringWithEncodingProc>("REALBuildStringWithEncoding");
  auto lock = fn<REALLockStringProc>("REALLockString");
  auto unlock = fn<REALUnlockStringProc>("REALUnlockString");
  auto newInstance = fn<PluginNewInstanceProc>("PluginNewInstance");
  auto unlockObject = fn<REALUnlockObjectProc>("REALUnlockObject");
  Value shared = rt.newString("shared");
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        REALstring s = build("abc", 3, kUTF8);
        lock(static_cast<REALstring>(shared.handle()));
        REALobject d = newInstance("Dictionary");
        unlock(static_cast<REALstring>(shared.handle()));
        unlockObject(d);
        unlock(s);
      }
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(rt.referenceCount(shared), 1);
  shared = Value();
  EXPECT_EQ(rt.outstanding(), start);
  EXPECT_EQ(rt.accountingErrors(), errors);
}

TEST(HostValues, FolderItemsFillAnFSRefOrTheirFolderAndName) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  auto toRef = fn<REALFSRefFromFolderItemProc>("REALFSRefFromFolderItem");
  Value dir = rt.newFolderItem(XNQ_SOURCE_DIR "/tests/host");
  EXPECT_EQ(dir.path(), XNQ_SOURCE_DIR "/tests/host");
  FSRef ref;
  HFSUniStr255 name;
  ASSERT_TRUE(toRef(static_cast<REALfolderItem>(dir.handle()), &ref, &name));
  ASSERT_EQ(name.length, 4);
  EXPECT_EQ(name.unicode[0], 'h');
  EXPECT_EQ(name.unicode[3], 't');
  char back[1024] = {};
  EXPECT_EQ(FSRefMakePath(&ref, reinterpret_cast<UInt8 *>(back), sizeof back), 0);
  EXPECT_EQ(std::string(back), XNQ_SOURCE_DIR "/tests");
  Value unborn = rt.newFolderItem(XNQ_SOURCE_DIR "/tests/host/not-yet.wav");
  EXPECT_FALSE(toRef(static_cast<REALfolderItem>(unborn.handle()), &ref, nullptr));
  ASSERT_TRUE(toRef(static_cast<REALfolderItem>(unborn.handle()), &ref, &name));
  EXPECT_EQ(name.length, 11);
  Value missing = rt.newFolderItem("/nonexistent/file.wav");
  EXPECT_FALSE(toRef(static_cast<REALfolderItem>(missing.handle()), &ref, &name));
  EXPECT_FALSE(toRef(nullptr, &ref, nullptr));
}

TEST(HostMainLoop, YieldsAndTheRunLoopDrainTheMainQueueOnTheMainThread) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  using AsyncF = void (*)(void *, void *, void (*)(void *));
  auto async = reinterpret_cast<AsyncF>(dlsym(RTLD_DEFAULT, "dispatch_async_f"));
  auto mainQueue = reinterpret_cast<void *(*)()>(dlsym(RTLD_DEFAULT, "dispatch_get_main_queue"));
  ASSERT_NE(async, nullptr);
  ASSERT_NE(mainQueue, nullptr);
  static std::atomic<int> ran{0};
  static std::thread::id ranOn;
  auto work = [](void *) {
    ranOn = std::this_thread::get_id();
    ran.fetch_add(1);
  };
  auto yield = fn<REALYieldToRBProc>("REALYieldToRB");
  std::atomic<int> hooks{0};
  rt.setYieldHook([&] { hooks.fetch_add(1); });
  int64_t yields = rt.yieldCount();

  // A yield from another thread counts but runs nothing queued for the main thread.
  async(mainQueue(), nullptr, work);
  std::thread([&] { yield(); }).join();
  EXPECT_EQ(ran.load(), 0);
  yield();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(rt.yieldCount(), yields + 2);
  EXPECT_EQ(hooks.load(), 2);

  std::thread([&] { async(mainQueue(), nullptr, work); }).join();
  EXPECT_TRUE(rt.runUntil([] { return ran.load() == 2; }, 2000));
  EXPECT_FALSE(rt.runUntil([] { return false; }, 20));
  rt.setYieldHook(nullptr);
}

TEST(HostMainLoop, WithoutDispatchThePluginSeesNoDispatchFunctions) {
  Settings s;
  s.dispatchAvailable = false;
  XNQ_LOAD_FIXTURE(s);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "dispatch_async_f"), nullptr);
  EXPECT_FALSE(Runtime::get().runUntil([] { return false; }, 10));
}
