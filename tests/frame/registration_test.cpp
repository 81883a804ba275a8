// Binding to the host and class registration, under every class-definition version the frame
// can choose, through a class registered as the plugin's classes are.
#include <string.h>

#include <string>
#include <vector>

#include "frame/FrameInternal.h"
#include "frame_test_support.h"
#include "host_version_names.h"
#include "probe_class.h"

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
  // The probe registers with the version chosen, whatever its table was compiled with.
  MyREALRegisterClass(&ProbeClass);
  const auto *info = Runtime::get().findClass("FrameProbeXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->layoutVersion, GetParam().controlVersion);
  EXPECT_EQ(ProbeClass.version, GetParam().controlVersion);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, VersionChoice,
                         ::testing::Values(VersionCase{std::nullopt, 9}, VersionCase{2008.0, 9},
                                           VersionCase{2011.99, 9}, VersionCase{2012.0, 10},
                                           VersionCase{2012.9, 10}, VersionCase{2013.0, 11},
                                           VersionCase{2013.02, 11}, VersionCase{2013.03, 12},
                                           VersionCase{2013.04, 13}, VersionCase{2017.0, 13},
                                           VersionCase{2019.1, 13}),
                         testnames::ByHostVersion());

// Words of a class definition, for comparing a record before and after registration.
std::vector<intptr_t> Words(const REALclassDefinition &d) {
  std::vector<intptr_t> words(sizeof d / sizeof(intptr_t));
  memcpy(words.data(), &d, sizeof d);
  return words;
}

TEST(CurrentLayout, RegistersTheTableUnchangedApartFromVersionAndRoundedSize) {
  BindToHost(2017.0);
  std::vector<intptr_t> before = Words(ProbeClass);
  MyREALRegisterClass(&ProbeClass);
  std::vector<intptr_t> after = Words(ProbeClass);
  for (size_t i = 0; i < before.size(); ++i) {
    if (i == 0 || i == 3 || i == 4) continue;  // version, size, and the host's own word
    EXPECT_EQ(before[i], after[i]) << "word " << i;
  }
  EXPECT_EQ(ProbeClass.version, 13);
  EXPECT_EQ(ProbeClass.dataSize, (static_cast<RBInteger>(sizeof(ProbeData)) + 15) / 16 * 16);
#if defined(__i386__)
  EXPECT_EQ(ProbeClass.dataSize, 32);
#endif
  const auto *info = Runtime::get().findClass("FrameProbeXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->dataSize, ProbeClass.dataSize);
  EXPECT_EQ(info->dataOffset, ProbeClass.forSystemUse);
  EXPECT_NE(ProbeClass.forSystemUse, 0);
  EXPECT_EQ(info->properties.size(), static_cast<size_t>(kProbePropertyCount));
  EXPECT_EQ(info->methods.size(), static_cast<size_t>(kProbeMethodCount));
  EXPECT_EQ(info->constants.size(), static_cast<size_t>(kProbeConstantCount));
  ASSERT_EQ(info->sharedMethods.size(), 1u);
  ASSERT_EQ(info->events.size(), 1u);
  // From version 10 on the host writes the identifier into the class's own event record.
  EXPECT_NE(ProbeEvents[0].identifier, 0);
  EXPECT_EQ(ProbeEvents[0].identifier, info->events[0].identifier);
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), info->events[0].identifier);
  EXPECT_TRUE(Runtime::get().registrationErrors().empty());
}

TEST(CurrentLayout, SizesAlreadyMultiplesOf16StayAndZeroStaysZero) {
  BindToHost(2013.04);
  MyREALRegisterClass(&BareClass);
  EXPECT_EQ(BareClass.dataSize, 16);
  REALclassDefinition empty = {13, "FrameEmptyXNQ"};
  MyREALRegisterClass(&empty);
  EXPECT_EQ(empty.dataSize, 0);
  REALclassDefinition odd = {13, "FrameOddXNQ", nullptr, 1664 + 1};
  MyREALRegisterClass(&odd);
  EXPECT_EQ(odd.dataSize, 1680);
  // The sizes of the plugin's own records on the reference build.
  const RBInteger declared[] = {184, 4, 20, 1664};
  const RBInteger registered[] = {192, 16, 32, 1664};
  const char *names[] = {"FrameSize184XNQ", "FrameSize4XNQ", "FrameSize20XNQ", "FrameSize1664XNQ"};
  for (int i = 0; i < 4; ++i) {
    REALclassDefinition sized = {13, names[i], nullptr, declared[i]};
    MyREALRegisterClass(&sized);
    EXPECT_EQ(sized.dataSize, registered[i]);
    ASSERT_NE(Runtime::get().findClass(names[i]), nullptr);
    EXPECT_EQ(Runtime::get().findClass(names[i])->dataSize, registered[i]);
  }
}

TEST(Version9Layout, HandsTheHostShortRecordsCopiedFromTheClassTables) {
  BindToHost(2011.0);
  ASSERT_EQ(CurrentREALControlVersion, 9);
  // The class's own tables stay as they are; only the definition's words change.
  const REALproperty *ownProperties = ProbeProperties;
  MyREALRegisterClass(&ProbeClass);

  EXPECT_EQ(ProbeClass.version, 9);
  EXPECT_EQ(ProbeClass.name, std::string("FrameProbeXNQ"));
  EXPECT_EQ(ProbeClass.propertyCount, kProbePropertyCount);
  ASSERT_NE(static_cast<void *>(ProbeClass.properties), static_cast<const void *>(ownProperties));
  const auto *shortProperties = reinterpret_cast<const REALproperty9 *>(ProbeClass.properties);
  for (RBInteger i = 0; i < kProbePropertyCount; ++i) {
    EXPECT_EQ(memcmp(&shortProperties[i], &ProbeProperties[i], sizeof(REALproperty9)), 0) << i;
  }
  const auto *shortMethods = reinterpret_cast<const REALmethodDefinition9 *>(ProbeClass.methods);
  for (RBInteger i = 0; i < kProbeMethodCount; ++i) {
    EXPECT_EQ(shortMethods[i].function, ProbeMethods[i].function);
    EXPECT_STREQ(shortMethods[i].declaration, ProbeMethods[i].declaration);
    EXPECT_EQ(shortMethods[i].flags, ProbeMethods[i].flags);
  }
  const auto *shortConstants = reinterpret_cast<const REALconstant9 *>(ProbeClass.constants);
  EXPECT_STREQ(shortConstants[1].declaration, "ProbeName = \"probe\"");
  const auto *shortShared =
      reinterpret_cast<const REALmethodDefinition9 *>(ProbeClass.sharedMethods);
  EXPECT_EQ(shortShared[0].function, ProbeSharedMethods[0].function);
  EXPECT_EQ(ProbeClass.bindDescriptions, nullptr);
  EXPECT_EQ(ProbeClass.bindDescriptionCount, 0);

  // The single event went over as a 2-word record; the class's own record links to it, and the
  // identifier the host wrote there is the one firing code finds.
  const auto *shortEvent = reinterpret_cast<const REALevent9 *>(ProbeEvents[0].identifier);
  ASSERT_EQ(static_cast<const void *>(shortEvent), static_cast<const void *>(ProbeClass.events));
  EXPECT_STREQ(shortEvent->declaration, "Changed");
  const auto *info = Runtime::get().findClass("FrameProbeXNQ");
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->events.size(), 1u);
  EXPECT_NE(shortEvent->identifier, 0);
  EXPECT_EQ(shortEvent->identifier, info->events[0].identifier);
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), info->events[0].identifier);

  EXPECT_EQ(info->layoutVersion, 9);
  EXPECT_EQ(info->properties.size(), static_cast<size_t>(kProbePropertyCount));
  EXPECT_EQ(info->methods.size(), static_cast<size_t>(kProbeMethodCount));
  EXPECT_EQ(info->constants.size(), static_cast<size_t>(kProbeConstantCount));
  EXPECT_EQ(info->sharedMethods.size(), 1u);
  EXPECT_EQ(info->dataOffset, ProbeClass.forSystemUse);
  EXPECT_TRUE(Runtime::get().registrationErrors().empty());
}

TEST(Version9Layout, EmptyListsBecomeNullWithTheirCountCopied) {
  BindToHost(std::nullopt);
  MyREALRegisterClass(&BareClass);
  EXPECT_EQ(BareClass.version, 9);
  EXPECT_EQ(BareClass.constants, nullptr);
  EXPECT_EQ(BareClass.constantCount, 0);
  EXPECT_EQ(BareClass.properties, nullptr);
  EXPECT_EQ(BareClass.events, nullptr);
  EXPECT_EQ(BareClass.sharedMethods, nullptr);
  ASSERT_NE(BareClass.methods, nullptr);
  EXPECT_NE(static_cast<void *>(BareClass.methods), nullptr);
  const auto *info = Runtime::get().findClass("FrameBareXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->constants.empty());
  ASSERT_EQ(info->methods.size(), 1u);
  EXPECT_EQ(info->methods[0].name, "Answer");
}

TEST(Version9Layout, FixPropertiesCopiesTheFirstTenWordsInOrder) {
  BindToHost(2008.0);
  EXPECT_EQ(FixProperties(nullptr, 3), nullptr);
  EXPECT_EQ(FixProperties(ProbeProperties, 0), nullptr);
  REALproperty source[2] = {ProbeProperties[0], ProbeProperties[2]};
  source[0].reserved9 = 7;
  source[0].list = source;  // beyond the short record: must not be copied anywhere
  REALproperty9 *fixed = FixProperties(source, 2);
  ASSERT_NE(fixed, nullptr);
  EXPECT_STREQ(fixed[0].name, "Value");
  EXPECT_EQ(fixed[0].reserved9, 7);
  EXPECT_EQ(fixed[0].param, static_cast<RBInteger>(offsetof(ProbeData, value)));
  EXPECT_STREQ(fixed[1].name, "Doubled");
  EXPECT_STREQ(fixed[1].group, "");
  EXPECT_EQ(fixed[1].getter, ProbeProperties[2].getter);
  free(fixed);
}

// The registered class works through the host in both layouts: constructor, standard and
// routine accessors, methods, shared methods and events.
class RegisteredClass : public ::testing::TestWithParam<double> {};

TEST_P(RegisteredClass, WorksThroughTheHostInEitherLayout) {
  BindToHost(GetParam());
  MyREALRegisterClass(&ProbeClass);
  auto &rt = Runtime::get();
  {
    CallResult made = rt.newObject("FrameProbeXNQ");
    ASSERT_FALSE(made.raised());
    Value probe = made.value;
    EXPECT_EQ(InstanceData<ProbeData>(ProbeClass, static_cast<REALobject>(probe.handle())),
              rt.instanceData(probe));
    EXPECT_EQ(rt.get(probe, "Created").value.asInteger(), 1);
    EXPECT_FALSE(rt.set(probe, "Value", Value::integer(21)).raised());
    EXPECT_EQ(rt.get(probe, "Doubled").value.asInteger(), 42);
    EXPECT_FALSE(rt.set(probe, "Doubled", Value::integer(10)).raised());
    EXPECT_EQ(rt.get(probe, "Value").value.asInteger(), 5);
    EXPECT_EQ(
        rt.callShared("FrameProbeXNQ", "SharedTwiceXNQ", {Value::integer(8)}).value.asInteger(),
        16);
    int fired = 0;
    rt.setEventHandler(probe, "Changed", [&] { ++fired; });
    EXPECT_FALSE(rt.call(probe, "FireChanged").raised());
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
  // Nothing was handed to the host, so no identifier was written into the short copy.
  const auto *shortEvent = reinterpret_cast<const REALevent9 *>(ProbeEvents[0].identifier);
  ASSERT_NE(shortEvent, nullptr);
  EXPECT_EQ(EventIdentifier(&ProbeEvents[0]), 0);
}

// Lookups: most host functions are asked for once even when the host lacks them; the ones a
// host may publish late are asked for again while missing.
TEST(HostFunctionCache, MissingFunctionsAreLookedUpOnceExceptTheLateOnes) {
  BindToHost(2017.0, {"REALYieldToRB", "REALLockObject", "newMemoryBlock", "GetEventInstance",
                      "IntegerToVariant", "Int32ToVariant", "REALSetPropValueString"});
  for (int i = 0; i < 3; ++i) {
    REALYieldToRB();
    REALLockObject(nullptr);
    EXPECT_EQ(REALNewMemoryBlockOriginal(8), nullptr);
    EXPECT_EQ(REALGetEventInstance(nullptr, 1), nullptr);
    EXPECT_EQ(REALNewVariantInteger(5), nullptr);
    REALSetPropValueString(nullptr, "Message", nullptr);
  }
  EXPECT_EQ(Lookups("REALYieldToRB"), 1);
  EXPECT_EQ(Lookups("REALLockObject"), 1);
  EXPECT_EQ(Lookups("newMemoryBlock"), 3);
  EXPECT_EQ(Lookups("GetEventInstance"), 3);
  EXPECT_EQ(Lookups("IntegerToVariant"), 3);
  EXPECT_EQ(Lookups("Int32ToVariant"), 3);
  EXPECT_EQ(Lookups("REALSetPropValueString"), 3);
  EXPECT_EQ(Runtime::get().yieldCount(), 0);
}

TEST(HostFunctionCache, PresentFunctionsAreLookedUpOnceAndUseTheirFallbackNames) {
  BindToHost(2017.0, {"IntegerToVariant", "REALSetPropValueInteger"});
  EXPECT_EQ(Runtime::get().resolvedNames().front(), "REALGetRBVersion");
  REALYieldToRB();
  REALYieldToRB();
  EXPECT_EQ(Lookups("REALYieldToRB"), 1);
  EXPECT_EQ(Runtime::get().yieldCount(), 2);
  {
    // IntegerToVariant is missing: the 32-bit spelling serves.
    Value variant = Value::adopt(Type::Variant, REALNewVariantInteger(77));
    ASSERT_FALSE(variant.isNil());
    EXPECT_EQ(Runtime::get().callCount("Int32ToVariant"), 1);
    // Once found, the late functions are not asked for again.
    Value again = Value::adopt(Type::Variant, REALNewVariantInteger(78));
    EXPECT_EQ(Lookups("Int32ToVariant"), 1);
  }
  EXPECT_EQ(Outstanding(), 0);
}

}  // namespace
}  // namespace frametest
