// Host exceptions, memory blocks handed to the host and read from it, and the translation of C++
// exceptions, seen through a registered class as a host program sees them.
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>

#include "frame_test_support.h"
#include "probe_class.h"

namespace frametest {
namespace {

// A probe object on a host of the given version; the class is registered first.
Value MakeProbe(std::optional<double> version, std::set<std::string> removed = {}) {
  BindToHost(version, std::move(removed));
  MyREALRegisterClass(&ProbeClass);
  return Runtime::get().newObject("FrameProbeXNQ").value;
}

void ExpectRaised(const CallResult &r, const std::string &className, const std::string &message) {
  ASSERT_TRUE(r.raised());
  EXPECT_EQ(r.exception->className, className);
  EXPECT_EQ(r.exception->message, message);
  EXPECT_EQ(r.exception->errorNumber, 0);
}

Value Text(const std::string &utf8) { return Runtime::get().newString(utf8); }

TEST(RaiseException, RaisesTheNamedClassOrRuntimeExceptionWithTheMessage) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    const struct {
      const char *className, *message, *raisedClass;
    } cases[] = {{"NilObjectException", "Memoryblock is nil", "NilObjectException"},
                 {"RuntimeException", "caf\xC3\xA9 \xE2\x82\xAC", "RuntimeException"},
                 {"NoSuchExceptionXNQ", "kept message", "RuntimeException"}};
    for (const auto &c : cases) {
      ExpectRaised(rt.call(probe, "Raise", {Text(c.className), Text(c.message)}), c.raisedClass,
                   c.message);
      EXPECT_FALSE(rt.call(probe, "Add").raised());  // nothing stays pending
    }
    // A null message leaves Message empty.
    ExpectRaised(rt.call(probe, "RaiseWithoutMessage", {Text("OutOfMemoryException")}),
                 "OutOfMemoryException", "");
    const struct {
      int64_t index, count;
      const char *message;
    } bounds[] = {
        {10, 10, "Parameter index  is too big. Range is 0 to 9, but value is 10."},
        {-1, 3, "Parameter index  is too small. Range is 0 to 2, but value is -1."},
        {0, 0, "Parameter index  is too big. Range is 0 to -1, but value is 0."},
        {INT64_MIN, INT64_MAX,
         "Parameter index  is too small. Range is 0 to 9223372036854775806, but value is "
         "-9223372036854775808."},
    };
    for (const auto &b : bounds) {
      ExpectRaised(
          rt.call(probe, "RaiseOutOfBounds", {Value::int64(b.index), Value::int64(b.count)}),
          "OutOfBoundsException", b.message);
    }
  }
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(Runtime::get().accountingErrors(), 0);
}

TEST(RaiseException, UsesTheIntegerSetterFallback) {
  {
    Value probe = MakeProbe(2012.0, {"REALSetPropValueInteger"});
    ExpectRaised(
        Runtime::get().call(probe, "Raise", {Text("NilObjectException"), Text("file is nil")}),
        "NilObjectException", "file is nil");
    EXPECT_EQ(Runtime::get().callCount("REALSetPropValueInt"), 1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

TEST(RaiseException, WithoutPluginNewInstanceNothingIsRaisedAndTheMessageIsGivenBack) {
  {
    Value probe = MakeProbe(2017.0, {"PluginNewInstance"});
    EXPECT_FALSE(
        Runtime::get().call(probe, "Raise", {Text("NilObjectException"), Text("x")}).raised());
  }
  EXPECT_EQ(Outstanding(), 0);
}

// Blocks are copied into new host blocks; nothing to copy is nil, without an exception. (Which
// host functions read a block at which version is checked with the other host paths.)
TEST(MemoryBlocks, CopiesIntoNewBlocks) {
  {
    Value probe = MakeProbe(2017.0);
    auto &rt = Runtime::get();
    const uint8_t bytes[5] = {9, 8, 7, 6, 5};
    Value source = rt.newMemoryBlock(bytes, 5);
    Value built = rt.call(probe, "BuildBlock", {source, Value::int64(3)}).value;
    ASSERT_EQ(built.size(), 3);
    EXPECT_EQ(built.data()[2], 7);
    EXPECT_EQ(rt.call(probe, "BlockFirstByte", {built}).value.asInteger(), 9);
    EXPECT_EQ(rt.call(probe, "BlockSize", {Value()}).value.asInteger(), 0);
    EXPECT_EQ(rt.call(probe, "BlockFirstByte", {Value()}).value.asInteger(), -1);
    for (const auto &args : {std::vector<Value>{source, Value::int64(0)},
                             std::vector<Value>{source, Value::int64(INT64_MIN)},
                             std::vector<Value>{Value(), Value::int64(4)}}) {
      CallResult r = rt.call(probe, "BuildBlock", std::vector<Value>(args));
      EXPECT_FALSE(r.raised() || !r.value.isNil());
    }
  }
  EXPECT_EQ(Outstanding(), 0);
}

// Every way a block can't be made raises OutOfMemoryException with the size: too large to ask
// for, no block constructor, no data accessor (the new block is given back).
struct FailedBlock {
  const char *name;
  std::set<std::string> removed;
  int64_t size;
  int newBlockCalls;
};

class MemoryBlockFailures : public ::testing::TestWithParam<FailedBlock> {};

TEST_P(MemoryBlockFailures, RaiseWithTheSize) {
  {
    Value probe = MakeProbe(2017.0, GetParam().removed);
    auto &rt = Runtime::get();
    CallResult r =
        rt.call(probe, "BuildBlock", {rt.newMemoryBlock(16), Value::int64(GetParam().size)});
    ExpectRaised(r, "OutOfMemoryException",
                 "Failed to allocate a memoryblock with " + std::to_string(GetParam().size) +
                     " bytes in size.");
    EXPECT_TRUE(r.value.isNil());
    EXPECT_EQ(rt.callCount("newMemoryBlock"), GetParam().newBlockCalls);
  }
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(Causes, MemoryBlockFailures,
                         ::testing::Values(FailedBlock{"TooLarge", {}, 2147483647, 0},
                                           FailedBlock{"Huge", {}, int64_t{1} << 40, 0},
                                           FailedBlock{"NoConstructor", {"newMemoryBlock"}, 4, 0},
                                           FailedBlock{"NoData", {"memoryBlockGetPtr"}, 16, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
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

// The largest size is asked of the host; capped address space makes the host refuse it.
TEST(MemoryBlocks, TheLargestSizeAsksTheHost) {
  Value probe = MakeProbe(2017.0);
  auto &rt = Runtime::get();
  Value source = rt.newMemoryBlock(16);
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
}
#endif

TEST(ExceptionTranslation, EachKindOfCppExceptionBecomesItsHostException) {
  {
    Value probe = MakeProbe(2017.0);
    const struct {
      const char *className;
      std::string message;
    } expected[] = {{"OutOfMemoryException", "Failed to allocate memory."},
                    {"OutOfBoundsException", "range text"},
                    {"OutOfBoundsException", "out of range text"},
                    {"OutOfBoundsException", "overflow text"},
                    {"OutOfBoundsException", "underflow text"},
                    {"RuntimeException", "logic text"},
                    {"RuntimeException", "runtime text"},
                    {"IllegalCastException", std::bad_cast().what()},
                    {"RuntimeException", std::bad_typeid().what()},
                    {"RuntimeException", "Sorry, but there was an unnamed C++ Exception."}};
    for (int kind = 0; kind < 10; ++kind) {
      SCOPED_TRACE(kind);
      ExpectRaised(Runtime::get().call(probe, "Translate", {Value::integer(kind)}),
                   expected[kind].className, expected[kind].message);
    }
  }
  EXPECT_EQ(Outstanding(), 0);
  TranslateCurrentException();  // outside a catch block: nothing happens
  EXPECT_EQ(Runtime::get().callCount("PluginNewInstance"), 10);
}

}  // namespace
}  // namespace frametest
