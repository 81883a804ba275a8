// Objects and calls by name through the fixture plugin: accessors, defaults, byref arguments,
// overloads, shared methods, assigning methods, exceptions, events and object lifetime.
#include "host_test_support.h"

using namespace xnq::host;

namespace {

Value newCounter() {
  CallResult r = Runtime::get().newObject("FixtureCounter");
  EXPECT_FALSE(r.raised());
  return r.value;
}

}  // namespace

TEST(HostObjects, InstanceDataIsZeroFilledAndLivesAtTheRegisteredOffset) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    EXPECT_EQ(rt.get(c, "U32").value.asInteger(), 0xC0FFEE);
    const ClassInfo *info = rt.findClass("FixtureCounter");
    EXPECT_EQ(static_cast<char *>(rt.instanceData(c)) - static_cast<char *>(c.handle()),
              info->dataOffset);
    EXPECT_EQ(rt.referenceCount(c), 1);
  }
  EXPECT_EQ(rt.outstanding(), before);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

TEST(HostObjects, StandardAccessorsUseTheHostRepresentationOfEachType) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    EXPECT_FALSE(rt.set(c, "Count", Value::integer(-3)).raised());
    EXPECT_FALSE(rt.set(c, "U32", Value::uint32(0xFFFFFFFFu)).raised());
    EXPECT_FALSE(rt.set(c, "Flag", Value::boolean(true)).raised());
    EXPECT_FALSE(rt.set(c, "Gain", Value::single(0.25f)).raised());
    EXPECT_FALSE(rt.set(c, "Level", Value::dbl(-6.5)).raised());
    EXPECT_FALSE(rt.set(c, "Name", rt.newString("caf\xC3\xA9")).raised());
    EXPECT_FALSE(rt.set(c, "Tag", Value::integer(77)).raised());
    EXPECT_EQ(rt.get(c, "Count").value.asInteger(), -3);
    EXPECT_EQ(rt.get(c, "U32").value.asUInt64(), 0xFFFFFFFFu);
    EXPECT_TRUE(rt.get(c, "Flag").value.asBool());
    EXPECT_FLOAT_EQ(rt.get(c, "Gain").value.asSingle(), 0.25f);
    EXPECT_DOUBLE_EQ(rt.get(c, "Level").value.asDouble(), -6.5);
    EXPECT_EQ(rt.get(c, "Name").value.utf8(), "caf\xC3\xA9");
    CallResult tag = rt.get(c, "Tag");
    EXPECT_EQ(tag.value.type(), Type::Variant);
    EXPECT_EQ(tag.value.asInteger(), 77);
    // The fields sit where the plugin's record says: Count is the first host word.
    EXPECT_EQ(*static_cast<intptr_t *>(rt.instanceData(c)), -3);
    // Replacing a handle field gives back the old reference.
    EXPECT_FALSE(rt.set(c, "Name", rt.newString("x")).raised());
    EXPECT_EQ(rt.outstanding().strings, before.strings + 1);
  }
  // The handle fields left in the object are released with it.
  EXPECT_EQ(rt.outstanding(), before);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

TEST(HostObjects, GettersSettersAndReadOnlyProperties) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  Value c = newCounter();
  rt.set(c, "Count", Value::integer(21));
  EXPECT_EQ(rt.get(c, "Doubled").value.asInteger(), 42);
  // The setter and getter receive the parameter word (4) of the property record.
  EXPECT_FALSE(rt.set(c, "Scaled", Value::dbl(10.0)).raised());
  EXPECT_DOUBLE_EQ(rt.get(c, "Scaled").value.asDouble(), 10.0);
  CallResult ro = rt.set(c, "Doubled", Value::integer(1));
  ASSERT_TRUE(ro.raised());
  EXPECT_EQ(ro.exception->className, "HostError");
  EXPECT_TRUE(rt.set(c, "Band", Value::integer(1)).raised());
  EXPECT_TRUE(rt.set(c, "Count", rt.newString("no")).raised());
  EXPECT_TRUE(rt.get(c, "NoSuchProperty").raised());
}

TEST(HostObjects, PropertyOutsideTheInstanceDataIsRefused) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  CallResult b = rt.newObject("FixtureBroken");
  ASSERT_FALSE(b.raised());
  EXPECT_TRUE(rt.get(b.value, "Outside").raised());
  EXPECT_TRUE(rt.set(b.value, "Outside", Value::integer(1)).raised());
}

TEST(HostCalls, DefaultsByrefAndResults) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    EXPECT_EQ(rt.call(c, "Add").value.asInteger(), 1);  // amount = 1
    EXPECT_EQ(rt.call(c, "add", {Value::integer(9)}).value.asInteger(), 10);
    CallResult d = rt.call(c, "Describe", {rt.newString("ab")});  // times = 2
    ASSERT_FALSE(d.raised());
    EXPECT_EQ(d.value.utf8(), "abab:10");
    EXPECT_EQ(d.value.encoding(), kUTF8);
    std::vector<Value> args{Value::integer(1), Value::integer(2)};
    EXPECT_FALSE(rt.call(c, "Swap", args).raised());
    EXPECT_EQ(args[0].asInteger(), 2);
    EXPECT_EQ(args[1].asInteger(), 1);
    std::vector<Value> flag{Value::boolean(false)};
    rt.call(c, "Toggle", flag);
    EXPECT_TRUE(flag[0].asBool());
    // Mixed widths and floating types travel in their own C representations.
    CallResult mix = rt.call(c, "Mix",
                             {Value::uint32(4000000000u), Value::uint64(1ull << 40),
                              Value::single(0.5f), Value::dbl(0.25)});
    ASSERT_FALSE(mix.raised());
    EXPECT_DOUBLE_EQ(mix.value.asDouble(), 4000000000.0 + 1099511627776.0 + 0.75 - 5);
    EXPECT_TRUE(rt.call(c, "Describe").raised());  // missing argument
    EXPECT_TRUE(rt.call(c, "Add", {Value::integer(1), Value::integer(2)}).raised());
  }
  EXPECT_EQ(rt.outstanding(), before);
}

TEST(HostCalls, OverloadsAreChosenByArgumentTypesAndCount) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  Value c = newCounter();
  EXPECT_FALSE(rt.call(c, "updateEQ", {Value::integer(3), Value::dbl(-2.5)}).raised());
  EXPECT_EQ(rt.get(c, "Band").value.asInteger(), 3);
  EXPECT_DOUBLE_EQ(rt.get(c, "BandGain").value.asDouble(), -2.5);
  EXPECT_FALSE(rt.call(c, "updateEQ", {rt.newDoubleArray({1.0, 2.0, 4.5})}).raised());
  EXPECT_EQ(rt.get(c, "Band").value.asInteger(), -1);
  EXPECT_DOUBLE_EQ(rt.get(c, "BandGain").value.asDouble(), 7.5);
  // An integer array fits neither overload.
  EXPECT_TRUE(rt.call(c, "updateEQ", {rt.newIntegerArray({1})}).raised());
}

TEST(HostCalls, SharedMethodsAndAssigningRoutines) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  EXPECT_EQ(rt.callShared("FixtureCounter", "TwiceXNQ", {Value::integer(21)}).value.asInteger(),
            42);
  EXPECT_TRUE(rt.callShared("FixtureCounter", "NoSuchXNQ").raised());
  Value c = newCounter();
  EXPECT_FALSE(rt.assign(c, "Item", {Value::integer(2)}, Value::integer(99)).raised());
  EXPECT_EQ(rt.call(c, "Item", {Value::integer(2)}).value.asInteger(), 99);
  EXPECT_EQ(rt.call(c, "Item", {Value::integer(1)}).value.asInteger(), 0);
}

TEST(HostCalls, LoadObjectMethodFindsMembersByDeclaration) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  auto load =
      reinterpret_cast<void *(*)(void *, const char *)>(Runtime::resolve("REALLoadObjectMethod"));
  Value c = newCounter();
  auto setItem = reinterpret_cast<void (*)(void *, intptr_t, intptr_t)>(
      load(c.handle(), "Item(i As Integer, Assigns v As Integer)"));
  auto getItem = reinterpret_cast<intptr_t (*)(void *, intptr_t)>(
      load(c.handle(), "item(i as integer) as integer"));
  ASSERT_NE(setItem, nullptr);
  ASSERT_NE(getItem, nullptr);
  EXPECT_NE(reinterpret_cast<void *>(setItem), reinterpret_cast<void *>(getItem));
  setItem(c.handle(), 3, 1234);
  EXPECT_EQ(getItem(c.handle(), 3), 1234);
  EXPECT_EQ(rt.call(c, "Item", {Value::integer(3)}).value.asInteger(), 1234);
  EXPECT_EQ(load(c.handle(), "Item(a as integer, b as integer) as integer"), nullptr);
  EXPECT_EQ(load(c.handle(), "NoSuch"), nullptr);
  EXPECT_EQ(load(c.handle(), "Item(("), nullptr);
  EXPECT_EQ(load(nullptr, "Item(i as integer) as integer"), nullptr);
}

TEST(HostCalls, ArraysAndBlocksTravelBothWays) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    EXPECT_EQ(rt.call(c, "Sum", {rt.newIntegerArray({5, -7, 100})}).value.asInteger(), 98);
    EXPECT_EQ(rt.call(c, "Sum", {Value::nil()}).value.asInteger(), -1);
    CallResult range = rt.call(c, "Range", {Value::integer(4)});
    EXPECT_EQ(range.value.type(), Type::IntegerArray);
    EXPECT_EQ(rt.integerArray(range.value), (std::vector<int64_t>{0, 10, 20, 30}));
    CallResult block = rt.call(c, "Block", {Value::integer(300)});
    ASSERT_EQ(block.value.type(), Type::MemoryBlock);
    ASSERT_EQ(block.value.size(), 300);
    EXPECT_EQ(block.value.data()[299], 299 % 256);
    EXPECT_TRUE(rt.call(c, "Block", {Value::integer(-1)}).value.isNil());
  }
  EXPECT_EQ(rt.outstanding(), before);
}

TEST(HostCalls, RaisedExceptionsAreReportedAndReleased) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    CallResult r = rt.call(c, "Fail", {rt.newString("OutOfBoundsException")});
    ASSERT_TRUE(r.raised());
    EXPECT_EQ(r.exception->className, "OutOfBoundsException");
    EXPECT_EQ(r.exception->message, "failed \xC3\xA9");
    EXPECT_EQ(r.exception->errorNumber, 7);
    CallResult unknown = rt.call(c, "Fail", {rt.newString("NoSuchException")});
    ASSERT_TRUE(unknown.raised());
    EXPECT_EQ(unknown.exception->className, "RuntimeException");
    // Nothing stays pending for the next call.
    EXPECT_FALSE(rt.call(c, "Add").raised());
  }
  EXPECT_EQ(rt.outstanding(), before);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

TEST(HostCalls, AnExceptionRaisedBetweenCallsIsNotReportedByTheNextOne) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value other = newCounter();
    {
      Value c = newCounter();
      rt.set(c, "Count", Value::integer(-99));
    }
    EXPECT_FALSE(rt.call(other, "Add").raised());
  }
  EXPECT_EQ(rt.outstanding(), before);
}

TEST(HostCalls, NilObjectsAndUnknownNamesNeverReachThePlugin) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  CallResult r = rt.call(Value::nil(), "Add");
  ASSERT_TRUE(r.raised());
  EXPECT_EQ(r.exception->className, "NilObjectException");
  EXPECT_TRUE(rt.get(Value::nil(), "Count").raised());
  EXPECT_TRUE(rt.newObject("NoSuchClass").raised());
  EXPECT_TRUE(rt.call(newCounter(), "NoSuchMethod").raised());
}

TEST(HostLifetime, DestructorsRunWhenTheLastReferenceGoes) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  auto destroyed = [&] {
    return rt.callShared("FixtureCounter", "DestroyedXNQ").value.asInteger();
  };
  int64_t start = destroyed();
  {
    Value c = newCounter();
    Value copy = c;
    EXPECT_EQ(rt.referenceCount(c), 2);
    auto lock = reinterpret_cast<void (*)(void *)>(Runtime::resolve("REALLockObject"));
    auto unlock = reinterpret_cast<void (*)(void *)>(Runtime::resolve("REALUnlockObject"));
    lock(c.handle());
    unlock(c.handle());
    EXPECT_EQ(destroyed(), start);
  }
  EXPECT_EQ(destroyed(), start + 1);
  // The "Constructor" and "Destructor" methods play those roles for a class without them.
  {
    CallResult l = rt.newObject("FixtureListener", {Value::uint32(7), Value::uint32(3)});
    ASSERT_FALSE(l.raised());
    EXPECT_EQ(rt.get(l.value, "LastError").value.asInteger(), 4);
    EXPECT_EQ(rt.call(l.value, "Sum").value.asInteger(), 10);
    EXPECT_TRUE(rt.newObject("FixtureListener", {Value::uint32(1)}).raised());
  }
  EXPECT_EQ(destroyed(), start + 1 + 100);
}

TEST(HostEvents, HandlersAreFoundByObjectAndEvent) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  Value a = newCounter();
  Value b = newCounter();
  int firedA = 0;
  rt.setEventHandler(a, "Ping", [&] { ++firedA; });
  rt.call(a, "Fire");
  rt.call(b, "Fire");  // no handler: nothing happens
  EXPECT_EQ(firedA, 1);
  rt.setEventHandler(a, "Ping", nullptr);
  rt.call(a, "Fire");
  EXPECT_EQ(firedA, 1);
  rt.setEventHandler(a, "NoSuchEvent", [] {});
  EXPECT_FALSE(rt.registrationErrors().empty());
}

TEST(HostDictionary, PluginBuildsADictionaryThroughLoadedMethods) {
  XNQ_LOAD_FIXTURE(Settings{});
  Runtime &rt = Runtime::get();
  ReferenceCounts before = rt.outstanding();
  {
    Value c = newCounter();
    CallResult d = rt.call(c, "MakeDictionary");
    ASSERT_FALSE(d.raised());
    EXPECT_EQ(d.value.type(), Type::Dictionary);
    auto entries = rt.dictionaryEntries(d.value);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first.asInteger(), 40);
    EXPECT_EQ(entries[0].second.utf8(), "Built-in Output");
    EXPECT_EQ(entries[1].second.utf8(), "Line Out");
    EXPECT_EQ(rt.call(d.value, "Count").value.asInteger(), 2);
    CallResult v = rt.call(d.value, "Value", {Value::integer(41)});
    EXPECT_EQ(v.value.utf8(), "Line Out");
    CallResult k = rt.call(d.value, "Key", {Value::integer(0)});
    EXPECT_EQ(k.value.asInteger(), 40);
    EXPECT_TRUE(rt.call(d.value, "Key", {Value::integer(2)}).raised());
    EXPECT_TRUE(rt.call(d.value, "Value", {Value::integer(99)}).raised());
  }
  EXPECT_EQ(rt.outstanding(), before);
  EXPECT_EQ(rt.accountingErrors(), 0);
}
