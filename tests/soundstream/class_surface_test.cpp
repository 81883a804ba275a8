// QTSoundStreamXNQ as a host program sees it: its properties through InitComponent,
// OpenComponent and CloseComponent, the registration the Component Manager then holds, shared
// states, calls out of order, and running out of memory.
#include <atomic>
#include <cstring>
#include <new>

#include "soundstream/soundstream_test_support.h"

namespace {

// The nothrow allocations the plugin and the platform make fail while this is above 0.
std::atomic<int> failAllocations{0};

}  // namespace

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  if (failAllocations.load() > 0) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace soundstream_test {
namespace {

// IsOpen, IsStreamActive, PostsStatusNotifications, a component, a state: each '1' or '0'.
std::string Read(const Value &obj) {
  std::string bits;
  for (bool b : {Get(obj, "IsOpen") != 0, Get(obj, "IsStreamActive") != 0,
                 Get(obj, "PostsStatusNotifications") != 0, ComponentOf(obj) != nullptr,
                 Get(obj, "Handle") != 0})
    bits += b ? '1' : '0';
  return bits;
}

TEST_F(SoundStreamTest, PropertiesFollowEachCall) {
  // Each call ("+posts" sets PostsStatusNotifications) and the properties after it.
  // clang-format off
  const char *steps[][2] = {
      {"", "00000"}, {"+posts", "00000"}, {"OpenComponent", "00000"}, {"CloseComponent", "00000"},
      {"InitComponent", "00001"}, {"+posts", "00101"}, {"OpenComponent", "10111"},
      {"OpenComponent", "10111"}, {"CloseComponent", "00101"}, {"CloseComponent", "00101"},
      {"OpenComponent", "10111"}, {"InitComponent", "00001"}};
  // clang-format on
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  Component previous = nullptr;
  std::string before;
  for (const auto &[call, after] : steps) {
    if (call == std::string("+posts")) {
      Host().set(obj, "PostsStatusNotifications", Value::boolean(true));
    } else if (*call != 0) {
      Call(obj, call);
    }
    EXPECT_EQ(Read(obj), after) << "after " << call;
    if (before == "OpenComponent" && before == call) {
      EXPECT_EQ(ComponentOf(obj), previous);  // a second OpenComponent keeps the registration
    }
    previous = ComponentOf(obj);
    before = call;
  }
}

TEST_F(SoundStreamTest, RegistrationIsVisibleToTheComponentManager) {
  Value obj = OpenStream();
  Component component = ComponentOf(obj);
  ComponentDescription looking{kSoundOutputDeviceType, XNQ_FOURCC('Q', 'T', 's', 'o'),
                               XNQ_FOURCC('Q', 'T', 's', 'o'), 0, 0};
  EXPECT_EQ(FindNextComponent(nullptr, &looking), component);
  ComponentDescription description{};
  Handle name = NewHandle(0);
  ASSERT_EQ(GetComponentInfo(component, &description, name, nullptr, nullptr), noErr);
  looking.componentFlags = 0x0C0C;
  EXPECT_EQ(std::memcmp(&description, &looking, sizeof description), 0);
  EXPECT_EQ(std::string(*name + 1, static_cast<unsigned char>((*name)[0])), "QTSoundStream");
  DisposeHandle(name);

  // A new InitComponent releases the old state: its registration is gone.
  Call(obj, "InitComponent");
  EXPECT_EQ(GetComponentInfo(component, &description, nullptr, nullptr, nullptr),
            invalidComponentID);
  EXPECT_EQ(FindNextComponent(nullptr, &looking), nullptr);
}

TEST_F(SoundStreamTest, ReleaseDecidesWhoFreesASharedState) {
  Value owner = Host().newObject("QTSoundStreamXNQ").value;
  Value keeper = OpenStream();
  Component component = ComponentOf(keeper);
  Host().set(keeper, "Release", Value::boolean(false));
  Host().set(owner, "Handle", Value::integer(Get(keeper, "Handle")));
  Host().set(owner, "Release", Value::boolean(true));
  EXPECT_EQ(ComponentOf(owner), component);
  keeper = Value();  // destroyed: unregisters, but leaves the state to its owner
  EXPECT_EQ(CountComponentInstances(component), 0);
  EXPECT_EQ(Read(owner), "00001");
  Call(owner, "OpenComponent");  // the state is alive and registers anew
  EXPECT_TRUE(Get(owner, "IsOpen"));
}

TEST_F(SoundStreamTest, RunningOutOfMemoryLeavesNothingHalfMade) {
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  failAllocations = 1;
  Call(obj, "InitComponent");
  failAllocations = 0;
  EXPECT_EQ(Get(obj, "Handle"), 0);

  Call(obj, "InitComponent");
  failAllocations = 1;
  Call(obj, "OpenComponent");
  failAllocations = 0;
  EXPECT_EQ(Read(obj), "00001");

  Call(obj, "OpenComponent");
  ComponentInstance instance = nullptr;
  failAllocations = 1;
  EXPECT_EQ(OpenAComponent(ComponentOf(obj), &instance), memFullErr);
  failAllocations = 0;
  EXPECT_EQ(CountComponentInstances(ComponentOf(obj)), 0);
}

TEST_F(SoundStreamTest, UnitMethodsRefuseMissingStatesAndBadUnits) {
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  EXPECT_EQ(Call(obj, "AttachToAudioUnitComponent", {Value::integer(0)}), -1);
  Call(obj, "InitComponent");
  const int64_t junk[] = {0, 12345, -1};
  for (int64_t unit : junk) {
    SCOPED_TRACE(unit);
    for (const char *method :
         {"AttachToAudioUnitComponent", "AudioUnitInitialize", "AudioOutputUnitStart"})
      EXPECT_NE(Call(obj, method, {Value::integer(unit)}), 0) << method;
    EXPECT_NE(Call(obj, "AttachToAudioUnitComponent", {Value::integer(unit), Value::integer(1)}),
              0);
  }
  Call(obj, "CloseComponent");  // nothing was attached, nothing is stopped
}

TEST(SoundStreamOutsideTheRuntime, RegistersNothing) {
  xnq::host::Settings settings;
  settings.inRuntime = false;
  ASSERT_TRUE(Runtime::get().load(XNQ_PLUGIN_PATH, settings));
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  Call(obj, "InitComponent");
  Call(obj, "OpenComponent");
  EXPECT_FALSE(Get(obj, "IsOpen"));
  EXPECT_EQ(ComponentOf(obj), nullptr);
}

}  // namespace
}  // namespace soundstream_test
