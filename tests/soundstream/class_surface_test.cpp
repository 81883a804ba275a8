// QTSoundStreamXNQ as a host program sees it: its properties through InitComponent,
// OpenComponent and CloseComponent, the registration the Component Manager then holds, shared
// states, calls out of order, and running out of memory.
#include <atomic>
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

struct Surface {
  bool isOpen, isStreamActive, posts, hasComponent, hasState;
  bool operator==(const Surface &) const = default;
};

Surface Read(const Value &obj) {
  return {Get(obj, "IsOpen") != 0, Get(obj, "IsStreamActive") != 0,
          Get(obj, "PostsStatusNotifications") != 0, ComponentOf(obj) != nullptr,
          Get(obj, "Handle") != 0};
}

TEST_F(SoundStreamTest, PropertiesFollowEachCall) {
  const struct {
    const char *call;  // method, or "+posts" to set PostsStatusNotifications
    Surface after;
  } steps[] = {
      {"", {false, false, false, false, false}},
      {"+posts", {false, false, false, false, false}},  // no state: the setting is dropped
      {"OpenComponent", {false, false, false, false, false}},
      {"CloseComponent", {false, false, false, false, false}},
      {"InitComponent", {false, false, false, false, true}},
      {"+posts", {false, false, true, false, true}},
      {"OpenComponent", {true, false, true, true, true}},
      {"OpenComponent", {true, false, true, true, true}},
      {"CloseComponent", {false, false, true, false, true}},
      {"CloseComponent", {false, false, true, false, true}},
      {"OpenComponent", {true, false, true, true, true}},
      {"InitComponent", {false, false, false, false, true}},
  };
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  Component previous = nullptr;
  std::string before;
  for (const auto &step : steps) {
    std::string call = step.call;
    if (call == "+posts") {
      Host().set(obj, "PostsStatusNotifications", Value::boolean(true));
    } else if (!call.empty()) {
      Call(obj, call);
    }
    EXPECT_EQ(Read(obj), step.after) << "after " << call;
    // A second OpenComponent keeps the registration.
    if (call == "OpenComponent" && before == call) {
      EXPECT_EQ(ComponentOf(obj), previous);
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
  EXPECT_EQ(description.componentType, kSoundOutputDeviceType);
  EXPECT_EQ(description.componentSubType, looking.componentSubType);
  EXPECT_EQ(description.componentManufacturer, looking.componentManufacturer);
  EXPECT_EQ(description.componentFlags, 0x0C0Cu);
  EXPECT_EQ(std::string(*name + 1, static_cast<unsigned char>((*name)[0])), "QTSoundStream");
  DisposeHandle(name);
  ComponentInstance instance = OpenComponent(component);
  EXPECT_EQ(GetComponentVersion(instance), 0x10000);
  CloseComponent(instance);

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
  EXPECT_EQ(Read(owner), (Surface{false, false, false, false, true}));
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
  EXPECT_EQ(Read(obj), (Surface{false, false, false, false, true}));

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
    EXPECT_NE(Call(obj, "AttachToAudioUnitComponent", {Value::integer(unit)}), 0);
    EXPECT_NE(Call(obj, "AttachToAudioUnitComponent", {Value::integer(unit), Value::integer(1)}),
              0);
    EXPECT_NE(Call(obj, "AudioUnitInitialize", {Value::integer(unit)}), 0);
    EXPECT_NE(Call(obj, "AudioOutputUnitStart", {Value::integer(unit)}), 0);
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
