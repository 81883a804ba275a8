// Loading a plugin, answering its lookups, and reading the classes it registers in either layout.
#include <algorithm>
#include <cstring>

#include "host_test_support.h"

using namespace xnq::host;

namespace {

const MethodInfo *method(const ClassInfo *c, const std::string &name) {
  for (auto &m : c->methods)
    if (m.name == name) return &m;
  return nullptr;
}

const PropertyInfo *property(const ClassInfo *c, const std::string &name) {
  for (auto &p : c->properties)
    if (p.name == name) return &p;
  return nullptr;
}

// Checks the parts of a registration that must not depend on the layout it came in.
void expectCounterClass(const ClassInfo *c, int layout) {
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->layoutVersion, layout);
  EXPECT_EQ(c->dataSize % 16, 0);
  EXPECT_NE(c->dataOffset, 0);
  // The offset is written back into word 4 of the definition the plugin handed over.
  const intptr_t *words = static_cast<const intptr_t *>(c->definition);
  EXPECT_EQ(words[4], c->dataOffset);
  EXPECT_TRUE(c->hasConstructor);
  EXPECT_TRUE(c->hasDestructor);

  const PropertyInfo *count = property(c, "Count");
  ASSERT_NE(count, nullptr);
  EXPECT_TRUE(count->standardGetter && count->standardSetter);
  EXPECT_EQ(count->typeName, "Integer");
  EXPECT_EQ(count->flags, 6);
  const PropertyInfo *band = property(c, "Band");
  ASSERT_NE(band, nullptr);
  EXPECT_TRUE(band->readable);
  EXPECT_FALSE(band->writable);
  const PropertyInfo *doubled = property(c, "Doubled");
  ASSERT_NE(doubled, nullptr);
  EXPECT_FALSE(doubled->standardGetter);

  const MethodInfo *swap = method(c, "Swap");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->params.size(), 2u);
  EXPECT_TRUE(swap->params[0].byRef);
  EXPECT_EQ(swap->params[1].typeName, "integer");
  const MethodInfo *mix = method(c, "Mix");
  ASSERT_NE(mix, nullptr);
  EXPECT_EQ(mix->resultType, "Double");
  ASSERT_EQ(mix->params.size(), 5u);
  EXPECT_EQ(mix->params[4].defaultText, std::optional<std::string>("-5"));
  const MethodInfo *sum = method(c, "Sum");
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->params[0].typeName, "integer()");
  EXPECT_EQ(std::count_if(c->methods.begin(), c->methods.end(),
                          [](const MethodInfo &m) { return m.name == "updateEQ"; }),
            2);
  const MethodInfo *item = method(c, "Item");
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->hasSetter);

  ASSERT_EQ(c->events.size(), 1u);
  EXPECT_EQ(c->events[0].name, "Ping");
  EXPECT_NE(c->events[0].identifier, 0);
  ASSERT_EQ(c->constants.size(), 1u);
  EXPECT_EQ(c->constants[0].name, "Answer");
  EXPECT_EQ(c->constants[0].valueText, "42");
  ASSERT_EQ(c->sharedMethods.size(), 2u);
  EXPECT_TRUE(c->sharedMethods[0].shared);
}

}  // namespace

TEST(HostRegistration, CurrentLayoutIsReadAndAnsweredInPlace) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  EXPECT_EQ(rt.registeredPluginVersion(), 13);
  auto classes = rt.classes();
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_EQ(classes[0]->name, "FixtureCounter");
  EXPECT_EQ(classes[1]->name, "FixtureListener");
  expectCounterClass(classes[0], 13);
  // Word 1 of the event record in the plugin's own table holds the identifier.
  const intptr_t *def = static_cast<const intptr_t *>(classes[0]->definition);
  const intptr_t *events = reinterpret_cast<const intptr_t *>(def[11]);
  EXPECT_EQ(events[1], classes[0]->events[0].identifier);
}

TEST(HostRegistration, Version9LayoutIsReadWithTheShortRecords) {
  Settings s;
  s.version = 2011.0;
  XNQ_LOAD_FIXTURE(s);
  Runtime &rt = Runtime::get();
  EXPECT_EQ(rt.registeredPluginVersion(), 9);
  expectCounterClass(rt.findClass("FixtureCounter"), 9);
  // The event identifier went into the 2-word copy the plugin handed over.
  const ClassInfo *c = rt.findClass("FixtureCounter");
  const intptr_t *def = static_cast<const intptr_t *>(c->definition);
  const intptr_t *events = reinterpret_cast<const intptr_t *>(def[11]);
  EXPECT_EQ(events[1], c->events[0].identifier);
  // Calls work the same through the short records.
  CallResult obj = rt.newObject("FixtureCounter");
  ASSERT_FALSE(obj.raised());
  EXPECT_EQ(rt.call(obj.value, "Add", {Value::integer(5)}).value.asInteger(), 5);
  EXPECT_EQ(rt.get(obj.value, "Count").value.asInteger(), 5);
}

TEST(HostRegistration, UnparseableDeclarationIsAnErrorNamingIt) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  auto errors = rt.registrationErrors();
  auto broken = std::find_if(errors.begin(), errors.end(), [](const std::string &e) {
    return e.find("Broken(x as ) as integer") != std::string::npos;
  });
  ASSERT_NE(broken, errors.end());
  // Every other declaration of the fixture parses.
  EXPECT_EQ(std::count_if(
                errors.begin(), errors.end(),
                [](const std::string &e) { return e.find("unparseable") != std::string::npos; }),
            1);
  EXPECT_EQ(method(rt.findClass("FixtureCounter"), "Broken"), nullptr);
  CallResult obj = rt.newObject("FixtureCounter");
  CallResult r = rt.call(obj.value, "Broken", {Value::integer(1)});
  ASSERT_TRUE(r.raised());
  EXPECT_EQ(r.exception->className, "HostError");
}

TEST(HostResolver, AnswersEveryHostFunctionAndRecordsLookups) {
  XNQ_LOAD_FIXTURE(Settings{});
  const char *names[] = {"REALGetRBVersion",
                         "RegisterPluginVersion",
                         "PluginRegisterClass",
                         "REALinRuntime",
                         "REALYieldToRB",
                         "REALBuildString",
                         "REALBuildStringWithEncoding",
                         "REALSetStringEncoding",
                         "REALGetStringEncoding",
                         "REALConvertString",
                         "PluginGetStringData",
                         "PluginDisposeStringData",
                         "REALLockString",
                         "REALUnlockString",
                         "REALLockObject",
                         "REALUnlockObject",
                         "PluginNewInstance",
                         "REALSetPropValueString",
                         "REALSetPropValueInteger",
                         "REALSetPropValueInt",
                         "REALLoadObjectMethod",
                         "GetEventInstance",
                         "RuntimeRaiseException",
                         "StringToVariant",
                         "IntegerToVariant",
                         "Int32ToVariant",
                         "RuntimeUBound",
                         "RuntimeArrayCreateSingleDimBoundedArray",
                         "PluginIntegerArrayInsertProc",
                         "RuntimeArrayDirectGetInsertProc",
                         "PluginIntegerArrayGetProc",
                         "PluginSingleArrayGetProc",
                         "PluginDoubleArrayGetProc",
                         "RuntimeArrayDirectGetGetProc",
                         "newMemoryBlock",
                         "memoryBlockGetPtr",
                         "memoryBlockGetSize",
                         "REALFSRefFromFolderItem"};
  for (const char *n : names) EXPECT_NE(Runtime::resolve(n), nullptr) << n;
  EXPECT_EQ(Runtime::resolve("REALNoSuchFunction"), nullptr);
  auto asked = Runtime::get().resolvedNames();
  EXPECT_EQ(asked.front(), "REALGetRBVersion");
  EXPECT_NE(std::find(asked.begin(), asked.end(), "PluginRegisterClass"), asked.end());
  EXPECT_EQ(Runtime::get().callCount("PluginRegisterClass"), 3);
}

TEST(HostResolver, RemovedFunctionsAndMissingVersionAnswerNull) {
  Settings s;
  s.version = std::nullopt;
  s.removed = {"PluginGetStringData", "IntegerToVariant"};
  s.inRuntime = false;
  XNQ_LOAD_FIXTURE(s);
  EXPECT_EQ(Runtime::resolve("REALGetRBVersion"), nullptr);
  EXPECT_EQ(Runtime::resolve("PluginGetStringData"), nullptr);
  EXPECT_EQ(Runtime::resolve("IntegerToVariant"), nullptr);
  EXPECT_NE(Runtime::resolve("Int32ToVariant"), nullptr);
  auto inRuntime = reinterpret_cast<unsigned char (*)()>(Runtime::resolve("REALinRuntime"));
  EXPECT_EQ(inRuntime(), 0);
  // Without a version the fixture falls back to the version-9 layout.
  EXPECT_EQ(Runtime::get().registeredPluginVersion(), 9);
}

TEST(HostResolver, VersionAndRuntimeAnswerFromSettings) {
  Settings s;
  s.version = 2013.04;
  XNQ_LOAD_FIXTURE(s);
  auto version = reinterpret_cast<double (*)()>(Runtime::resolve("REALGetRBVersion"));
  EXPECT_DOUBLE_EQ(version(), 2013.04);
  auto inRuntime = reinterpret_cast<unsigned char (*)()>(Runtime::resolve("REALinRuntime"));
  EXPECT_EQ(inRuntime(), 1);
  EXPECT_TRUE(Runtime::get().isMainThread());
}

TEST(HostLoad, MissingFileOrEntryIsAnError) {
  Runtime &rt = Runtime::get();
  if (!rt.classes().empty()) GTEST_SKIP() << "a plugin is already loaded in this process";
  EXPECT_FALSE(rt.load("/nonexistent/plugin.so"));
  EXPECT_FALSE(rt.error().empty());
  EXPECT_TRUE(rt.classes().empty());
}
