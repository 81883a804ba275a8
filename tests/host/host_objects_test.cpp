// Objects of a plugin class as the host serves them: registration and declarations, instance
// data, accessors, calls by declaration, exceptions and lifetime, through the fixture plugin.
#include <algorithm>

#include "host_test_support.h"

using namespace xnq::host;
using HostObjects = xnq::host::testing::HostTest;

namespace {

const MethodInfo *Method(const ClassInfo *c, const std::string &name) {
  auto it = std::find_if(c->methods.begin(), c->methods.end(),
                         [&](const MethodInfo &m) { return m.name == name; });
  return it == c->methods.end() ? nullptr : &*it;
}

TEST_F(HostObjects, RegistrationIsReadFromTheDeclarationsAndAnsweredInPlace) {
  const ClassInfo *c = rt.findClass("FrameProbeXNQ");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->layoutVersion, 13);
  EXPECT_NE(c->dataOffset, 0);
  // The host writes the offset into word 4 and the event identifier into the event record.
  const intptr_t *words = static_cast<const intptr_t *>(c->definition);
  EXPECT_EQ(words[4], c->dataOffset);
  ASSERT_EQ(c->events.size(), 1u);
  EXPECT_NE(c->events[0].identifier, 0);
  EXPECT_EQ(reinterpret_cast<const intptr_t *>(words[11])[1], c->events[0].identifier);
  const MethodInfo *swap = Method(c, "Swap");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->params.size(), 3u);
  EXPECT_TRUE(swap->params[0].byRef && swap->params[2].byRef);
  EXPECT_EQ(swap->params[2].typeName, "Boolean");
  EXPECT_EQ(Method(c, "Add")->params[0].defaultText, std::optional<std::string>("1"));
  EXPECT_EQ(Method(c, "Sum")->params[0].typeName, "integer()");
  EXPECT_EQ(Method(c, "Range")->resultType, "integer()");
  EXPECT_TRUE(Method(c, "Item")->hasSetter);
  EXPECT_EQ(std::count_if(c->methods.begin(), c->methods.end(),
                          [](const MethodInfo &m) { return m.name == "updateEQ"; }),
            2);
  ASSERT_EQ(c->constants.size(), 2u);
  EXPECT_EQ(c->constants[0].valueText, "42");
  ASSERT_EQ(c->sharedMethods.size(), 2u);
  EXPECT_TRUE(c->sharedMethods[0].shared);
  EXPECT_TRUE(rt.registrationErrors().empty());
  // A declaration the host cannot parse is an error that names it, and no member.
  static REALmethodDefinition broken[] = {
      {reinterpret_cast<void *>(+[](REALobject) {}), nullptr, "Broken(x as ) as integer", 4}};
  static REALclassDefinition brokenClass = {13,      "HostBrokenXNQ", nullptr, 16,     0, nullptr,
                                            nullptr, nullptr,         0,       broken, 1};
  MyREALRegisterClass(&brokenClass);
  const auto errors = rt.registrationErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Broken(x as ) as integer"), std::string::npos);
  EXPECT_TRUE(rt.findClass("HostBrokenXNQ")->methods.empty());
  EXPECT_EQ(rt.call(rt.newObject("HostBrokenXNQ").value, "Broken", {Value::integer(1)})
                .exception->className,
            "HostError");
}

TEST_F(HostObjects, InstanceDataIsZeroFilledAndServedByTheAccessorsOfEachType) {
  Value c = probe();
  EXPECT_EQ(static_cast<char *>(rt.instanceData(c)) - static_cast<char *>(c.handle()),
            rt.findClass("FrameProbeXNQ")->dataOffset);
  EXPECT_EQ(rt.get(c, "Created").value.asInteger(), 1);  // zero-filled before the constructor
  const struct {
    const char *property;
    Value value;
  } fields[] = {{"Value", Value::integer(-3)},  {"U32", Value::uint32(0xFFFFFFFFu)},
                {"Flag", Value::boolean(true)}, {"Gain", Value::single(0.25f)},
                {"Level", Value::dbl(-6.5)},    {"Name", rt.newString("caf\xC3\xA9")},
                {"Tag", Value::integer(77)}};
  for (const auto &field : fields) {
    ASSERT_FALSE(rt.set(c, field.property, field.value).raised()) << field.property;
  }
  EXPECT_EQ(rt.get(c, "Value").value.asInteger(), -3);
  EXPECT_EQ(rt.get(c, "U32").value.asUInt64(), 0xFFFFFFFFu);
  EXPECT_TRUE(rt.get(c, "Flag").value.asBool());
  EXPECT_EQ(rt.get(c, "Gain").value.asSingle(), 0.25f);
  EXPECT_EQ(rt.get(c, "Level").value.asDouble(), -6.5);
  EXPECT_EQ(rt.get(c, "Name").value.utf8(), "caf\xC3\xA9");
  EXPECT_EQ(rt.get(c, "Tag").value.type(), Type::Variant);
  EXPECT_EQ(rt.get(c, "Tag").value.asInteger(), 77);
  // The first field is the first host word of the record.
  EXPECT_EQ(*static_cast<intptr_t *>(rt.instanceData(c)), -3);
  // Getters and setters receive the property's parameter word: 4 for Scaled, which stores the
  // value plus it and reads back the stored value times it.
  EXPECT_FALSE(rt.set(c, "Scaled", Value::dbl(10.0)).raised());
  EXPECT_EQ(rt.get(c, "Scaled").value.asDouble(), 56.0);
  // Read-only, mistyped, unknown and out-of-record properties are the host's own errors.
  for (const char *readOnly : {"Created", "Band"}) {
    EXPECT_EQ(rt.set(c, readOnly, Value::integer(1)).exception->className, "HostError");
  }
  EXPECT_TRUE(rt.set(c, "Value", rt.newString("no")).raised());
  EXPECT_TRUE(rt.get(c, "NoSuchProperty").raised());
  EXPECT_TRUE(rt.get(c, "Outside").raised());
  EXPECT_TRUE(rt.set(c, "Outside", Value::integer(1)).raised());
}

TEST_F(HostObjects, CallsApplyDefaultsByrefOverloadsSharedAndAssigningMembers) {
  Value c = probe();
  EXPECT_EQ(rt.call(c, "Add").value.asInteger(), 1);
  EXPECT_EQ(rt.call(c, "add", {Value::integer(9)}).value.asInteger(), 10);
  std::vector<Value> args{Value::integer(1), Value::integer(2), Value::boolean(false)};
  ASSERT_FALSE(rt.call(c, "Swap", args).raised());
  EXPECT_EQ(args[0].asInteger(), 2);
  EXPECT_EQ(args[1].asInteger(), 1);
  EXPECT_TRUE(args[2].asBool());
  EXPECT_TRUE(rt.call(c, "Swap", {Value::integer(1)}).raised());  // missing arguments
  EXPECT_TRUE(rt.call(c, "Add", {Value::integer(1), Value::integer(2)}).raised());
  // Overloads by argument type: a double array fits the second, an integer array neither.
  ASSERT_FALSE(rt.call(c, "updateEQ", {Value::integer(3), Value::dbl(-2.5)}).raised());
  EXPECT_EQ(rt.get(c, "Band").value.asInteger(), 3);
  ASSERT_FALSE(rt.call(c, "updateEQ", {rt.newDoubleArray({1.0, 2.0, 4.5})}).raised());
  EXPECT_EQ(rt.get(c, "Band").value.asInteger(), -1);
  EXPECT_EQ(rt.get(c, "BandGain").value.asDouble(), 7.5);
  EXPECT_TRUE(rt.call(c, "updateEQ", {rt.newIntegerArray({1})}).raised());
  EXPECT_EQ(
      rt.callShared("FrameProbeXNQ", "SharedTwiceXNQ", {Value::integer(21)}).value.asInteger(), 42);
  EXPECT_FALSE(rt.assign(c, "Item", {Value::integer(2)}, Value::integer(99)).raised());
  EXPECT_EQ(rt.call(c, "Item", {Value::integer(2)}).value.asInteger(), 99);
  // REALLoadObjectMethod finds the getter and the assigning routine by their declarations.
  auto load = fn<void *(*)(void *, const char *)>("REALLoadObjectMethod");
  auto setItem = reinterpret_cast<void (*)(void *, intptr_t, intptr_t)>(
      load(c.handle(), "Item(i As Integer, Assigns v As Integer)"));
  auto getItem = reinterpret_cast<intptr_t (*)(void *, intptr_t)>(
      load(c.handle(), "item(i as integer) as integer"));
  ASSERT_NE(setItem, nullptr);
  ASSERT_NE(getItem, nullptr);
  setItem(c.handle(), 3, 1234);
  EXPECT_EQ(getItem(c.handle(), 3), 1234);
  EXPECT_EQ(load(c.handle(), "Item(a as integer, b as integer) as integer"), nullptr);
  EXPECT_EQ(load(nullptr, "Item(i as integer) as integer"), nullptr);
  // Nil objects and unknown names never reach the plugin.
  EXPECT_EQ(rt.call(Value::nil(), "Add").exception->className, "NilObjectException");
  EXPECT_TRUE(rt.newObject("NoSuchClass").raised());
  EXPECT_TRUE(rt.call(c, "NoSuchMethod").raised());
  EXPECT_TRUE(rt.callShared("FrameProbeXNQ", "NoSuchXNQ").raised());
}

TEST_F(HostObjects, ArraysBlocksAndDictionariesTravelBothWays) {
  Value c = probe();
  EXPECT_EQ(rt.call(c, "Sum", {rt.newIntegerArray({5, -7, 100})}).value.asInteger(), 98);
  EXPECT_EQ(rt.call(c, "Sum", {Value::nil()}).value.asInteger(), -1);
  EXPECT_EQ(rt.integerArray(rt.call(c, "Range", {Value::integer(4)}).value),
            (std::vector<int64_t>{0, 10, 20, 30}));
  std::vector<uint8_t> bytes(300);
  for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(k);
  Value block =
      rt.call(c, "BuildBlock", {rt.newMemoryBlock(bytes.data(), 300), Value::int64(300)}).value;
  ASSERT_EQ(block.size(), 300);
  EXPECT_EQ(block.data()[299], 299 % 256);
  Value d = rt.call(c, "MakeDictionary").value;
  ASSERT_EQ(d.type(), Type::Dictionary);
  const auto entries = rt.dictionaryEntries(d);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first.asInteger(), 40);
  EXPECT_EQ(entries[1].second.utf8(), "Line Out");
  EXPECT_EQ(rt.call(d, "Value", {Value::integer(41)}).value.utf8(), "Line Out");
  EXPECT_EQ(rt.call(d, "Key", {Value::integer(0)}).value.asInteger(), 40);
  EXPECT_TRUE(rt.call(d, "Key", {Value::integer(2)}).raised());
}

// (Raised exceptions and events through the host are the frame's suite to show.)
TEST_F(HostObjects, DestructorsRunWhenTheLastReferenceGoes) {
  auto destroyed = [&] { return rt.callShared("FrameProbeXNQ", "DestroyedXNQ").value.asInteger(); };
  const int64_t start = destroyed();
  {
    Value c = probe();
    Value copy = c;
    EXPECT_EQ(rt.referenceCount(c), 2);
    // An exception raised by a destructor between calls is not reported by the next call.
    rt.set(probe(), "Value", Value::integer(-99));
    EXPECT_FALSE(rt.call(c, "Add").raised());
    EXPECT_EQ(destroyed(), start + 1);
  }
  EXPECT_EQ(destroyed(), start + 2);  // the destructor runs when the last reference goes
  EXPECT_EQ(rt.accountingErrors(), errors_);
}

TEST(HostLoad, AMissingFileIsAnError) {
  Runtime &rt = Runtime::get();
  EXPECT_FALSE(rt.load("/nonexistent/plugin.so"));
  EXPECT_FALSE(rt.error().empty());
  EXPECT_TRUE(rt.classes().empty());
}

}  // namespace
