// Host exceptions, memory blocks handed to the host and the translation of C++ exceptions, seen
// through a registered class as a host program sees them.
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include "frame_test_support.h"
#include "probe_class.h"

namespace frametest {
namespace {

// A probe object on a host of the given version; the class is registered first.
Value MakeProbe(std::optional<double> version, std::set<std::string> removed = {}) {
  BindToHost(version, std::move(removed));
  MyREALRegisterClass(&ProbeClass);
  CallResult made = Runtime::get().newObject("FrameProbeXNQ");
  EXPECT_FALSE(made.raised());
  return made.value;
}

void ExpectRaised(const CallResult &r, const std::string &className, const std::string &message) {
  ASSERT_TRUE(r.raised());
  EXPECT_EQ(r.exception->className, className);
  EXPECT_EQ(r.exception->message, message);
  EXPECT_EQ(r.exception->errorNumber, 0);
}

Value Text(const std::string &utf8) { return Runtime::get().newString(utf8); }

TEST(RaiseException, RaisesTheNamedClassWithMessageAndErrorNumberZero) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    ExpectRaised(rt.call(probe, "Raise", {Text("NilObjectException"), Text("Memoryblock is nil")}),
                 "NilObjectException", "Memoryblock is nil");
    ExpectRaised(rt.call(probe, "Raise",
                         {Text("UnsupportedOperationException"),
                          Text("This class can only load one file.")}),
                 "UnsupportedOperationException", "This class can only load one file.");
    // Messages are UTF-8 and arrive unchanged.
    ExpectRaised(
        rt.call(probe, "Raise", {Text("RuntimeException"), Text("caf\xC3\xA9 \xE2\x82\xAC")}),
        "RuntimeException", "caf\xC3\xA9 \xE2\x82\xAC");
    // A class the host does not know falls back to RuntimeException with the same message.
    ExpectRaised(rt.call(probe, "Raise", {Text("NoSuchExceptionXNQ"), Text("kept message")}),
                 "RuntimeException", "kept message");
    // A null message leaves the Message property empty.
    ExpectRaised(rt.call(probe, "RaiseWithoutMessage", {Text("OutOfMemoryException")}),
                 "OutOfMemoryException", "");
  }
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(Runtime::get().accountingErrors(), 0);
}

TEST(RaiseException, UsesTheIntegerSetterFallbackAndSurvivesAMissingInstanceFunction) {
  {
    Value probe = MakeProbe(2012.0, {"REALSetPropValueInteger"});
    ExpectRaised(
        Runtime::get().call(probe, "Raise", {Text("NilObjectException"), Text("file is nil")}),
        "NilObjectException", "file is nil");
    EXPECT_EQ(Runtime::get().callCount("REALSetPropValueInt"), 1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(RaiseException, WithoutPluginNewInstanceNothingIsRaisedAndTheMessageIsReleased) {
  {
    Value probe = MakeProbe(2017.0, {"PluginNewInstance"});
    CallResult r = Runtime::get().call(probe, "Raise", {Text("NilObjectException"), Text("x")});
    EXPECT_FALSE(r.raised());
    EXPECT_GE(Runtime::get().callCount("REALBuildString") +
                  Runtime::get().callCount("REALBuildStringWithEncoding"),
              1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(RaiseOutOfBoundsException, FormatsTheRangeWithTwoSpacesBeforeIs) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    auto call = [&](int64_t index, int64_t count) {
      return rt.call(probe, "RaiseOutOfBounds", {Value::int64(index), Value::int64(count)});
    };
    ExpectRaised(call(10, 10), "OutOfBoundsException",
                 "Parameter index  is too big. Range is 0 to 9, but value is 10.");
    ExpectRaised(call(-1, 3), "OutOfBoundsException",
                 "Parameter index  is too small. Range is 0 to 2, but value is -1.");
    ExpectRaised(call(0, 0), "OutOfBoundsException",
                 "Parameter index  is too big. Range is 0 to -1, but value is 0.");
    ExpectRaised(call(INT64_MIN, INT64_MAX), "OutOfBoundsException",
                 "Parameter index  is too small. Range is 0 to 9223372036854775806, but value is "
                 "-9223372036854775808.");
  }
  EXPECT_EQ(Outstanding(), 0);
}

class MemoryBlocksByVersion : public ::testing::TestWithParam<double> {};

TEST_P(MemoryBlocksByVersion, CopiesTheBytesIntoANewBlockAndReadsBlocksByHostVersion) {
  {
    Value probe = MakeProbe(GetParam());
    auto &rt = Runtime::get();
    const uint8_t bytes[5] = {9, 8, 7, 6, 5};
    Value source = rt.newMemoryBlock(bytes, 5);
    CallResult built = rt.call(probe, "BuildBlock", {source, Value::int64(3)});
    ASSERT_FALSE(built.raised());
    ASSERT_EQ(built.value.size(), 3);
    EXPECT_EQ(built.value.data()[0], 9);
    EXPECT_EQ(built.value.data()[2], 7);
    EXPECT_EQ(rt.call(probe, "BlockSize", {built.value}).value.asInteger(), 3);
    EXPECT_EQ(rt.call(probe, "BlockFirstByte", {source}).value.asInteger(), 9);
    EXPECT_EQ(rt.call(probe, "BlockSize", {Value()}).value.asInteger(), 0);
    EXPECT_EQ(rt.call(probe, "BlockFirstByte", {Value()}).value.asInteger(), -1);
    // Nothing to copy: nil, and nothing raised.
    for (int64_t size : {int64_t{0}, int64_t{-1}, INT64_MIN}) {
      CallResult r = rt.call(probe, "BuildBlock", {source, Value::int64(size)});
      EXPECT_FALSE(r.raised()) << size;
      EXPECT_TRUE(r.value.isNil()) << size;
    }
    CallResult fromNil = rt.call(probe, "BuildBlock", {Value(), Value::int64(4)});
    EXPECT_FALSE(fromNil.raised());
    EXPECT_TRUE(fromNil.value.isNil());
    const bool accessors = GetParam() >= 2017.0;
    EXPECT_EQ(rt.callCount("memoryBlockGetSize") > 0, accessors);
    EXPECT_EQ(rt.callCount("memoryBlockGetPtr") > 0, accessors);
  }
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(HostVersions, MemoryBlocksByVersion,
                         ::testing::Values(2008.0, 2013.04, 2017.0));

TEST(MemoryBlocks, SizesBeyond2147483646RaiseWithoutAskingTheHost) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    Value source = rt.newMemoryBlock(16);
    for (int64_t size : {int64_t{2147483647}, int64_t{1} << 40}) {
      CallResult r = rt.call(probe, "BuildBlock", {source, Value::int64(size)});
      ExpectRaised(
          r, "OutOfMemoryException",
          "Failed to allocate a memoryblock with " + std::to_string(size) + " bytes in size.");
      EXPECT_TRUE(r.value.isNil());
    }
    EXPECT_EQ(rt.callCount("newMemoryBlock"), 0);
  }
  EXPECT_EQ(Outstanding(), 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define XNQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define XNQ_SANITIZED 1
#endif
#endif

#ifndef XNQ_SANITIZED
// Bytes of address space this process uses now.
rlim_t CurrentAddressSpace() {
  FILE *statm = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (statm != nullptr) {
    if (fscanf(statm, "%lu", &pages) != 1) pages = 0;
    fclose(statm);
  }
  return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}
#endif

TEST(MemoryBlocks, TheLargestSizeAsksTheHostAndAFailedBlockRaises) {
#ifdef XNQ_SANITIZED
  GTEST_SKIP() << "an address-space limit does not combine with the sanitizers' shadow memory";
#else
  Value probe = MakeProbe(2017.0);
  auto &rt = Runtime::get();
  Value source = rt.newMemoryBlock(16);
  // Cap the address space so the host cannot make a 2 GiB block: the frame must ask for it and
  // report the host's failure with the size.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &limit), 0);
  rlimit capped = limit;
  capped.rlim_cur = CurrentAddressSpace() + 256UL * 1024 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  CallResult r = rt.call(probe, "BuildBlock", {source, Value::int64(2147483646)});
  setrlimit(RLIMIT_AS, &limit);
  EXPECT_EQ(rt.callCount("newMemoryBlock"), 1);
  ExpectRaised(r, "OutOfMemoryException",
               "Failed to allocate a memoryblock with 2147483646 bytes in size.");
  EXPECT_TRUE(r.value.isNil());
  r = CallResult{};
  source = Value();
  probe = Value();
  EXPECT_EQ(Outstanding(), 0);
#endif
}

TEST(MemoryBlocks, WithoutTheDataAccessorTheNewBlockIsGivenBackAndTheCallRaises) {
  {
    Value probe = MakeProbe(2017.0, {"memoryBlockGetPtr"});
    auto &rt = Runtime::get();
    Value source = rt.newMemoryBlock(16);
    ExpectRaised(rt.call(probe, "BuildBlock", {source, Value::int64(16)}), "OutOfMemoryException",
                 "Failed to allocate a memoryblock with 16 bytes in size.");
    EXPECT_EQ(rt.callCount("newMemoryBlock"), 1);
    EXPECT_EQ(rt.call(probe, "BlockFirstByte", {source}).value.asInteger(), -1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(MemoryBlocks, WithoutTheBlockConstructorTheCallRaises) {
  {
    Value probe = MakeProbe(2013.04, {"newMemoryBlock"});
    auto &rt = Runtime::get();
    Value source = rt.newMemoryBlock(4);
    ExpectRaised(rt.call(probe, "BuildBlock", {source, Value::int64(4)}), "OutOfMemoryException",
                 "Failed to allocate a memoryblock with 4 bytes in size.");
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(ExceptionTranslation, EachKindOfCppExceptionBecomesItsHostException) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    auto translate = [&](int kind) { return rt.call(probe, "Translate", {Value::integer(kind)}); };
    ExpectRaised(translate(0), "OutOfMemoryException", "Failed to allocate memory.");
    ExpectRaised(translate(1), "OutOfBoundsException", "range text");
    ExpectRaised(translate(2), "OutOfBoundsException", "out of range text");
    ExpectRaised(translate(3), "OutOfBoundsException", "overflow text");
    ExpectRaised(translate(4), "OutOfBoundsException", "underflow text");
    ExpectRaised(translate(5), "RuntimeException", "logic text");
    ExpectRaised(translate(6), "RuntimeException", "runtime text");
    ExpectRaised(translate(7), "IllegalCastException", std::bad_cast().what());
    ExpectRaised(translate(8), "RuntimeException", std::bad_typeid().what());
    ExpectRaised(translate(9), "RuntimeException",
                 "Sorry, but there was an unnamed C++ Exception.");
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(ExceptionTranslation, OutsideACatchBlockNothingHappens) {
  BindToHost(2017.0);
  TranslateCurrentException();
  EXPECT_EQ(Runtime::get().callCount("PluginNewInstance"), 0);
}

}  // namespace
}  // namespace frametest
