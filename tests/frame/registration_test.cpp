// The plugin's entry, binding to the host and class registration, under every class-definition
// version the frame can choose, through a class registered as the plugin's classes are.
#include <string.h>

#include <string>
#include <vector>

#include "frame/FrameInternal.h"
#include "frame_test_support.h"
#include "host_version_names.h"
#include "probe_class.h"

// The sound output component's entry as REALPluginMain sees it when the class is built in.
ComponentResult QTSoundStreamDispatch(ComponentParameters *, Handle) { return 0; }
extern "C" void REALPluginMain(REALResolver resolver);

namespace frametest {
namespace {

struct VersionCase {
  std::optional<double> hostVersion;
  int32_t controlVersion;
};

class VersionChoice : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionChoice, HostVersionSelectsTheClassDefinitionVersion) {
  BindToHost(GetParam().hostVersion);
  EXPECT_EQ(CurrentREALControlVersion, GetParam().controlVersion);
  EXPECT_EQ(rbversion_rbversion, GetParam().hostVersion.value_or(0.0));
  MyREALRegisterClass(&ProbeClass);
  ASSERT_NE(Runtime::get().findClass("FrameProbeXNQ"), nullptr);
  EXPECT_EQ(Runtime::get().findClass("FrameProbeXNQ")->layoutVersion, GetParam().controlVersion);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, VersionChoice,
                         ::testing::Values(VersionCase{std::nullopt, 9}, VersionCase{2011.99, 9},
                                           VersionCase{2012.0, 10}, VersionCase{2012.9, 10},
                                           VersionCase{2013.0, 11}, VersionCase{2013.02, 11},
                                           VersionCase{2013.03, 12}, VersionCase{2013.04, 13},
                                           VersionCase{2019.1, 13}),
                         testnames::ByHostVersion());

// The component's entry is handed on only when the host answers that it is the runtime.
struct DispatchCase {
  const char *name;
  bool inRuntime, removed, handedOn;
};

class DispatchRoutine : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchRoutine, IsSetOnlyInsideTheRuntime) {
  xnq::host::Settings settings;
  settings.inRuntime = GetParam().inRuntime;
  if (GetParam().removed) settings.removed = {"REALinRuntime"};
  Runtime::get().configure(settings);
  REALPluginMain(&Runtime::resolve);
  EXPECT_EQ(sDispatchUPP != nullptr, GetParam().handedOn);
  if (GetParam().handedOn) {
    EXPECT_EQ(sDispatchUPP, &QTSoundStreamDispatch);
  }
  EXPECT_EQ(Runtime::get().registeredPluginVersion(), 13);
}

INSTANTIATE_TEST_SUITE_P(Hosts, DispatchRoutine,
                         ::testing::Values(DispatchCase{"InRuntime", true, false, true},
                                           DispatchCase{"NotInRuntime", false, false, false},
                                           DispatchCase{"NoAnswer", true, true, false}),
                         [](const auto &info) { return std::string(info.param.name); });

std::vector<intptr_t> Words(const REALclassDefinition &d) {
  std::vector<intptr_t> words(sizeof d / sizeof(intptr_t));
  memcpy(words.data(), &d, sizeof d);
  return words;
}

TEST(CurrentLayout, RegistersTheTableUnchangedApartFromVersionAndRoundedSize) {
  BindToHost(2017.0);
  const std::vector<intptr_t> before = Words(ProbeClass);
  MyREALRegisterClass(&ProbeClass);
  const std::vector<intptr_t> after = Words(ProbeClass);
  for (size_t i = 0; i < before.size(); ++i) {
    if (i != 0 && i != 3 && i != 4) {
      EXPECT_EQ(before[i], after[i]) << "word " << i;
    }
  }
  EXPECT_EQ(ProbeClass.version, 13);
  const auto *info = Runtime::get().findClass("FrameProbeXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->dataOffset, ProbeClass.forSystemUse);
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), info->events[0].identifier);
  EXPECT_NE(ProbeEvents[0].identifier, 0);
  // Sizes round up to 16 bytes; the plugin's own records on the reference build among them.
  const struct {
    const char *name;
    RBInteger declared, registered;
  } sizes[] = {{"Size0XNQ", 0, 0},         {"Size4XNQ", 4, 16},      {"Size16XNQ", 16, 16},
               {"Size20XNQ", 20, 32},      {"Size184XNQ", 184, 192}, {"Size1664XNQ", 1664, 1664},
               {"Size1665XNQ", 1665, 1680}};
  for (const auto &size : sizes) {
    REALclassDefinition sized = {13, size.name, nullptr, size.declared};
    MyREALRegisterClass(&sized);
    EXPECT_EQ(sized.dataSize, size.registered) << size.declared;
    EXPECT_EQ(Runtime::get().findClass(size.name)->dataSize, size.registered);
  }
  EXPECT_TRUE(Runtime::get().registrationErrors().empty());
}

TEST(Version9Layout, HandsTheHostShortCopiesAndKeepsTheOtherWords) {
  BindToHost(2011.0);
  // Static, as a plugin's class definitions are: the short copies handed to the host stay
  // reachable through them for the life of the process.
  static REALproperty shared[1];
  shared[0] = ProbeProperties[2];
  shared[0].reserved9 = 7;
  static REALclassDefinition def;
  def = ProbeClass;
  def.name = "FrameShortXNQ";
  def.eventInstances = reinterpret_cast<void *>(0x1313);
  def.eventInstanceCount = 14;
  def.interfaces = "Interface15";
  def.bindDescriptions = reinterpret_cast<void *>(0x1616);
  def.bindDescriptionCount = 17;
  def.sharedProperties = shared;
  def.sharedPropertyCount = 1;
  def.delegates = reinterpret_cast<void *>(0x2525);
  def.delegateCount = 26;
  def.attributes = reinterpret_cast<void *>(0x2727);
  def.attributeCount = 28;
  const std::vector<intptr_t> before = Words(def);
  MyREALRegisterClass(&def);
  const std::vector<intptr_t> after = Words(def);
  EXPECT_EQ(after[0], 9);
  for (size_t word : {1, 2, 5, 6, 8, 10, 12, 13, 14, 15, 19, 20, 22, 24, 25, 26, 27, 28}) {
    EXPECT_EQ(after[word], before[word]) << "word " << word;
  }
  EXPECT_EQ(after[16], 0);
  EXPECT_EQ(after[17], 0);
  // Each list is a new array of records holding the first words of the class's own ones.
  const auto *properties = reinterpret_cast<const REALproperty9 *>(def.properties);
  for (RBInteger i = 0; i < kProbePropertyCount; ++i) {
    EXPECT_EQ(memcmp(&properties[i], &ProbeProperties[i], sizeof(REALproperty9)), 0) << i;
  }
  const auto *sharedCopy = reinterpret_cast<const REALproperty9 *>(def.sharedProperties);
  EXPECT_EQ(memcmp(sharedCopy, &shared[0], sizeof(REALproperty9)), 0);
  EXPECT_EQ(sharedCopy->reserved9, 7);
  const auto *methods = reinterpret_cast<const REALmethodDefinition9 *>(def.methods);
  EXPECT_EQ(memcmp(&methods[kProbeMethodCount - 1], &ProbeMethods[kProbeMethodCount - 1],
                   sizeof(REALmethodDefinition9)),
            0);
  const auto *constants = reinterpret_cast<const REALconstant9 *>(def.constants);
  EXPECT_STREQ(constants[1].declaration, "ProbeName = \"probe\"");
  // The single event went over as a 2-word record; the class's own record links to it, and the
  // identifier the host wrote there is the one firing code finds.
  const auto *shortEvent = reinterpret_cast<const REALevent9 *>(ProbeEvents[0].identifier);
  ASSERT_EQ(static_cast<const void *>(shortEvent), static_cast<const void *>(def.events));
  EXPECT_STREQ(shortEvent->declaration, "Changed");
  const auto *info = Runtime::get().findClass("FrameShortXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_NE(shortEvent->identifier, 0);
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), info->events[0].identifier);
  // An empty list becomes null with its count copied.
  MyREALRegisterClass(&BareClass);
  EXPECT_EQ(BareClass.constants, nullptr);
  EXPECT_EQ(BareClass.constantCount, 0);
  EXPECT_EQ(FixProperties(nullptr, 3), nullptr);
  EXPECT_EQ(FixProperties(ProbeProperties, 0), nullptr);
}

// The registered class works through the host in both layouts: constructor, standard and
// routine accessors, shared methods and events.
class RegisteredClass : public ::testing::TestWithParam<double> {};

TEST_P(RegisteredClass, WorksThroughTheHostInEitherLayout) {
  BindToHost(GetParam());
  MyREALRegisterClass(&ProbeClass);
  auto &rt = Runtime::get();
  {
    Value probe = rt.newObject("FrameProbeXNQ").value;
    EXPECT_EQ(InstanceData<ProbeData>(ProbeClass, static_cast<REALobject>(probe.handle())),
              rt.instanceData(probe));
    EXPECT_EQ(rt.get(probe, "Created").value.asInteger(), 1);
    EXPECT_FALSE(rt.set(probe, "Doubled", Value::integer(10)).raised());
    EXPECT_EQ(rt.get(probe, "Value").value.asInteger(), 5);
    EXPECT_EQ(
        rt.callShared("FrameProbeXNQ", "SharedTwiceXNQ", {Value::integer(8)}).value.asInteger(),
        16);
    int fired = 0;
    rt.setEventHandler(probe, "Changed", [&] { ++fired; });
    EXPECT_FALSE(rt.call(probe, "FireChanged").raised());
    rt.call(rt.newObject("FrameProbeXNQ").value, "FireChanged");  // no handler there
    EXPECT_EQ(fired, 1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RegisteredClass, ::testing::Values(2008.0, 2017.0));

TEST(MissingHostFunctions, WithoutPluginRegisterClassNothingIsRegisteredButTheRecordIsConverted) {
  BindToHost(2008.0, {"PluginRegisterClass"});
  MyREALRegisterClass(&ProbeClass);
  EXPECT_TRUE(Runtime::get().classes().empty());
  EXPECT_EQ(ProbeClass.version, 9);
  EXPECT_NE(static_cast<void *>(ProbeClass.properties), static_cast<void *>(ProbeProperties));
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), 0);  // nothing was handed to the host
}

// Most host functions are asked for once even when the host lacks them; the ones a host may
// publish late are asked for again while missing, and found ones use their fallback names.
TEST(HostFunctionCache, MissingFunctionsAreLookedUpOnceExceptTheLateOnes) {
  BindToHost(2017.0, {"REALYieldToRB", "REALLockObject", "newMemoryBlock", "GetEventInstance",
                      "IntegerToVariant", "REALSetPropValueString"});
  for (int i = 0; i < 3; ++i) {
    REALYieldToRB();
    REALLockObject(nullptr);
    EXPECT_EQ(REALNewMemoryBlockOriginal(8), nullptr);
    EXPECT_EQ(REALGetEventInstance(nullptr, 1), nullptr);
    REALSetPropValueString(nullptr, "Message", nullptr);
  }
  const struct {
    const char *name;
    int lookups;
  } expected[] = {{"REALYieldToRB", 1},    {"REALLockObject", 1},         {"newMemoryBlock", 3},
                  {"GetEventInstance", 3}, {"REALSetPropValueString", 3}, {"Int32ToVariant", 1}};
  {
    // IntegerToVariant is missing: the 32-bit spelling serves, and is then not asked for again.
    Value variant = Value::adopt(Type::Variant, REALNewVariantInteger(77));
    Value again = Value::adopt(Type::Variant, REALNewVariantInteger(78));
    EXPECT_EQ(again.asInteger(), 78);
  }
  for (const auto &e : expected) EXPECT_EQ(Lookups(e.name), e.lookups) << e.name;
  EXPECT_EQ(Runtime::get().yieldCount(), 0);
  EXPECT_EQ(Outstanding(), 0);
}

}  // namespace
}  // namespace frametest
