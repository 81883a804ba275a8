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

constexpr OSType kQTso = XNQ_FOURCC('Q', 'T', 's', 'o');

// IsOpen, IsStreamActive, PostsStatusNotifications, a component, a state: each '1' or '0'; then
// how many components are registered.
std::string Read(const Value &obj) {
  std::string bits;
  for (bool b : {Get(obj, "IsOpen") != 0, Get(obj, "IsStreamActive") != 0,
                 Get(obj, "PostsStatusNotifications") != 0, ComponentOf(obj) != nullptr,
                 Get(obj, "Handle") != 0})
    bits += b ? '1' : '0';
  ComponentDescription looking{kSoundOutputDeviceType, kQTso, kQTso, 0, 0};
  return bits + std::to_string(CountComponents(&looking));
}

TEST_F(SoundStreamTest, PropertiesFollowEachCall) {
  // Each call ("+posts" sets PostsStatusNotifications) and the properties after it.
  // clang-format off
  const char *steps[][2] = {
      {"", "000000"}, {"+posts", "000000"}, {"OpenComponent", "000000"},
      {"CloseComponent", "000000"}, {"InitComponent", "000010"}, {"+posts", "001010"},
      {"OpenComponent", "101111"}, {"OpenComponent", "101111"}, {"CloseComponent", "001010"},
      {"CloseComponent", "001010"}, {"OpenComponent", "101111"}, {"InitComponent", "000010"}};
  // clang-format on
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  for (const auto &[call, after] : steps) {
    if (call == std::string("+posts")) {
      Host().set(obj, "PostsStatusNotifications", Value::boolean(true));
    } else if (*call != 0) {
      Call(obj, call);
    }
    EXPECT_EQ(Read(obj), after) << "after " << call;
  }
}

// The class as the host lists it, registered last: methods by declaration (flags 4), then
// properties by name, type and whether they can be written (group "").
TEST_F(SoundStreamTest, HostListsTheClassLast) {
  const xnq::host::ClassInfo *c = Host().classes().back();
  std::string listed = c->name;
  for (const auto &m : c->methods) listed += "|" + m.declaration + (m.flags == 4 ? "" : " ?");
  for (const auto &p : c->properties)
    listed += "|" + p.name + " " + p.typeName + (p.writable ? " rw" : "") +
              (p.group.empty() && !p.groupIsNull ? "" : " ?");
  EXPECT_EQ(listed,
            "QTSoundStreamXNQ|CloseComponent|OpenComponent|InitComponent|"
            "OpenDefaultAudioUnitOutputComponent as integer|"
            "AttachToAudioUnitComponent(componenthandle as integer) as integer|"
            "AttachToAudioUnitComponent(componenthandle as integer, element as integer) as integer|"
            "AudioUnitInitialize(componenthandle as integer) as integer|"
            "AudioOutputUnitStart(componenthandle as integer) as integer|"
            "PostsStatusNotifications Boolean rw|IsStreamActive Boolean|IsOpen Boolean|"
            "SoundOutputComponentHandle Integer|Handle Integer rw|Release Boolean rw");
}

TEST_F(SoundStreamTest, RegistrationIsVisibleToTheComponentManager) {
  Value obj = OpenStream();
  ComponentDescription looking{kSoundOutputDeviceType, kQTso, kQTso, 0, 0};
  ComponentDescription description{};
  Handle name = NewHandle(0);
  ASSERT_EQ(GetComponentInfo(ComponentOf(obj), &description, name, nullptr, nullptr), noErr);
  looking.componentFlags = 0x0C0C;
  EXPECT_EQ(std::memcmp(&description, &looking, sizeof description), 0);
  EXPECT_EQ(std::string(*name + 1, static_cast<unsigned char>((*name)[0])), "QTSoundStream");
  DisposeHandle(name);
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
  EXPECT_EQ(Read(owner), "000010");
  Call(owner, "OpenComponent");  // the state is alive and registers anew
  EXPECT_TRUE(Get(owner, "IsOpen"));
  // The owner going stops and detaches a unit attached through another object, whose Handle
  // then names no state.
  Value sharer = Host().newObject("QTSoundStreamXNQ").value;
  Host().set(sharer, "Handle", Value::integer(Get(owner, "Handle")));
  AudioUnit unit = AttachGenericUnit(sharer);
  ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
  owner = Value();
  EXPECT_FALSE(Running(unit));
  Render(unit, 64, kAudioUnitErr_NoConnection);
  EXPECT_EQ(Read(sharer), "000010");
  CloseComponent(unit);
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
  EXPECT_EQ(Read(obj), "000010");

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
  // A Handle that names no state is no state to every call, the release steps included.
  Host().set(obj, "Handle", Value::integer(12345));
  for (const char *method : {"OpenComponent", "CloseComponent", "InitComponent"}) {
    EXPECT_EQ(Call(obj, "AttachToAudioUnitComponent", {Value::integer(0)}), -1);
    Host().set(obj, "PostsStatusNotifications", Value::boolean(true));
    EXPECT_EQ(Read(obj).substr(0, 4), "0000");
    Call(obj, method);  // the last makes a state
  }
  // A unit initialised with an input format other than the converter's is not attached.
  player_test::AddDevice(48000, 2);
  auto unit = Value::integer(Call(obj, "OpenDefaultAudioUnitOutputComponent"));
  EXPECT_EQ(Call(obj, "AudioUnitInitialize", {unit}), 0);
  EXPECT_EQ(Call(obj, "AttachToAudioUnitComponent", {unit}), kAudioUnitErr_Initialized);
  CloseComponent(Pointer<AudioUnit>(unit.asInteger()));
  for (int64_t unit : {0, 12345, -1}) {
    SCOPED_TRACE(unit);
    for (const char *method :
         {"AttachToAudioUnitComponent", "AudioUnitInitialize", "AudioOutputUnitStart"})
      EXPECT_NE(Call(obj, method, {Value::integer(unit)}), 0) << method;
    EXPECT_NE(Call(obj, "AttachToAudioUnitComponent", {Value::integer(unit), Value::integer(1)}),
              0);
  }
}

TEST(SoundStreamOutsideTheRuntime, RegistersNothing) {
  xnq::host::Settings settings;
  settings.inRuntime = false;
  ASSERT_TRUE(Runtime::get().load(XNQ_PLUGIN_PATH, settings));
  Value obj = Host().newObject("QTSoundStreamXNQ").value;
  Call(obj, "InitComponent");
  Call(obj, "OpenComponent");
  EXPECT_EQ(Read(obj), "000010");
}

}  // namespace
}  // namespace soundstream_test
