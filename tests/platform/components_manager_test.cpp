// The Component Manager as a component writer and its callers use it: registration and search,
// instances with storage and refcons, dispatch through handlers by procInfo, delegation, and
// the errors for stale instances and unknown selectors.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "os/components.h"

namespace {

constexpr OSType kType = XNQ_FOURCC('t', 'e', 's', 't');
constexpr OSType kMaker = XNQ_FOURCC('x', 'n', 'q', '!');

// A call as a caller's glue builds it: one long per parameter, the last first, then the instance.
struct Call {
  union {
    ComponentParameters cp;
    unsigned char raw[offsetof(ComponentParameters, params) + 8 * sizeof(long)];
  };
  Call(SInt16 what, ComponentInstance ci, std::initializer_list<long> args) {
    cp.flags = 0;
    cp.what = what;
    cp.paramSize = static_cast<UInt8>(args.size() * sizeof(long));
    size_t i = args.size();
    for (long arg : args) words()[--i] = arg;
    words()[args.size()] = reinterpret_cast<long>(ci);
  }
  ComponentResult dispatch() { return CallComponentDispatch(&cp); }
  // The parameter words past the one params declares.
  long *words() { return reinterpret_cast<long *>(raw + offsetof(ComponentParameters, params)); }
};

struct Globals {
  ComponentInstance self;
  long calls;
  ComponentInstance delegate;
};

enum { kSelectAdd = 1, kSelectScale = 2, kSelectCount = 3, kSelectForwarded = 0x100 };

ComponentResult openHandler(Handle storage, ComponentInstance self) {
  EXPECT_EQ(storage, nullptr);
  Handle h = NewHandleClear(sizeof(Globals));
  if (h == nullptr) return memFullErr;
  reinterpret_cast<Globals *>(*h)->self = self;
  SetComponentInstanceStorage(self, h);
  return noErr;
}

// Set: the close handler unregisters its component, and keeps the answer.
bool unregisterOnClose = false;
OSErr unregisteredOnClose = noErr;

ComponentResult closeHandler(Handle storage, ComponentInstance self) {
  if (unregisterOnClose) unregisteredOnClose = UnregisterComponent(GetComponentFromInstance(self));
  if (storage != nullptr) DisposeHandle(storage);
  return noErr;
}

ComponentResult canDoHandler(Handle, SInt16 selector) {
  return selector == kSelectAdd || selector == kSelectScale || selector <= -1 ? 1 : 0;
}

ComponentResult addHandler(Handle storage, long a, long b) {
  reinterpret_cast<Globals *>(*storage)->calls++;
  return static_cast<ComponentResult>(a + b);
}

// A two-byte count between two words, to check that it arrives sign-extended and in place.
ComponentResult scaleHandler(Handle storage, short count, long factor) {
  reinterpret_cast<Globals *>(*storage)->calls++;
  return static_cast<ComponentResult>(count * factor);
}

ComponentResult countHandler(Handle storage) {
  return static_cast<ComponentResult>(reinterpret_cast<Globals *>(*storage)->calls);
}

ComponentResult testEntry(ComponentParameters *cp, Handle storage) {
  const struct {
    SInt16 what;
    void *handler;
    UInt32 procInfo;
  } handlers[] = {{kComponentOpenSelect, reinterpret_cast<void *>(openHandler), 0x3F0},
                  {kComponentCloseSelect, reinterpret_cast<void *>(closeHandler), 0x3F0},
                  {kComponentCanDoSelect, reinterpret_cast<void *>(canDoHandler), 0x2F0},
                  {kSelectAdd, reinterpret_cast<void *>(addHandler), 0xFF0},
                  {kSelectScale, reinterpret_cast<void *>(scaleHandler), 0xEF0},
                  {kSelectCount, reinterpret_cast<void *>(countHandler), 0xF0}};
  for (const auto &h : handlers) {
    if (h.what == cp->what) {
      return CallComponentFunctionWithStorageProcInfo(
          storage, cp, reinterpret_cast<ProcPtr>(h.handler), h.procInfo);
    }
  }
  if (cp->what == kComponentVersionSelect) return 0x00020001;
  if (cp->what >= kSelectForwarded && storage != nullptr) {
    auto *globals = reinterpret_cast<Globals *>(*storage);
    if (globals->delegate != nullptr) return DelegateComponentCall(cp, globals->delegate);
  }
  return badComponentSelector;
}

class ComponentManager : public ::testing::Test {
 protected:
  Component registerTest(OSType subType, UInt32 flags = 0) {
    ComponentDescription cd{kType, subType, kMaker, flags, 0};
    Str255 name;
    CopyCStringToPascal("Test Component", name);
    Handle nameHandle = NewString(name);
    Component c = RegisterComponent(&cd, testEntry, 0, nameHandle, nullptr, nullptr);
    DisposeHandle(nameHandle);
    return c;
  }
};

TEST_F(ComponentManager, RegisteredComponentsAreFoundInRegistrationOrder) {
  Component first = registerTest(XNQ_FOURCC('o', 'n', 'e', ' '), 0x0C);
  Component second = registerTest(XNQ_FOURCC('t', 'w', 'o', ' '), 0x03);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  ComponentDescription anyTest{kType, 0, 0, 0, 0};
  EXPECT_EQ(CountComponents(&anyTest), 2);
  EXPECT_EQ(FindNextComponent(nullptr, &anyTest), first);
  EXPECT_EQ(FindNextComponent(first, &anyTest), second);
  EXPECT_EQ(FindNextComponent(second, &anyTest), nullptr);

  ComponentDescription bySubType{kType, XNQ_FOURCC('t', 'w', 'o', ' '), kMaker, 0, 0};
  EXPECT_EQ(FindNextComponent(nullptr, &bySubType), second);
  // Flags are compared only under the mask.
  ComponentDescription byFlags{kType, 0, 0, 0x08, 0x08};
  EXPECT_EQ(FindNextComponent(nullptr, &byFlags), first);
  EXPECT_EQ(CountComponents(&byFlags), 1);

  ComponentDescription info{};
  Handle name = NewHandle(0);
  ASSERT_EQ(GetComponentInfo(second, &info, name, nullptr, nullptr), noErr);
  EXPECT_EQ(info.componentSubType, XNQ_FOURCC('t', 'w', 'o', ' '));
  EXPECT_EQ(info.componentFlags, 0x03u);
  ASSERT_EQ(GetHandleSize(name), 15);
  EXPECT_EQ(0, std::memcmp(*name + 1, "Test Component", 14));
  DisposeHandle(name);

  EXPECT_EQ(UnregisterComponent(first), noErr);
  EXPECT_EQ(UnregisterComponent(first), invalidComponentID);
  EXPECT_EQ(FindNextComponent(nullptr, &anyTest), second);
  EXPECT_EQ(UnregisterComponent(second), noErr);
  EXPECT_EQ(CountComponents(&anyTest), 0);
}

TEST_F(ComponentManager, InstancesKeepStorageCountAndShareTheRefcon) {
  Component c = registerTest(XNQ_FOURCC('i', 'n', 's', 't'));
  ComponentInstance a = OpenComponent(c);
  ComponentInstance b = nullptr;
  ASSERT_EQ(OpenAComponent(c, &b), noErr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(CountComponentInstances(c), 2);
  EXPECT_EQ(GetComponentFromInstance(a), c);

  // Each instance has its own storage, made by the component's open handler.
  Handle storageA = GetComponentInstanceStorage(a);
  ASSERT_NE(storageA, nullptr);
  EXPECT_NE(storageA, GetComponentInstanceStorage(b));
  EXPECT_EQ(reinterpret_cast<Globals *>(*storageA)->self, a);

  // The refcon belongs to the component and is reachable through an instance too.
  SetComponentRefcon(c, 0x1234);
  EXPECT_EQ(GetComponentRefcon(c), 0x1234);
  EXPECT_EQ(GetComponentRefcon(reinterpret_cast<Component>(b)), 0x1234);

  SetComponentInstanceError(a, -42);
  EXPECT_EQ(GetComponentInstanceError(a), -42);
  EXPECT_EQ(GetComponentInstanceError(b), noErr);

  // Registered components with open instances stay registered. A closing instance no longer
  // counts, so the close handler of the last one may unregister its component.
  EXPECT_EQ(UnregisterComponent(c), validInstancesExist);
  unregisterOnClose = true;
  EXPECT_EQ(CloseComponent(a), noErr);
  EXPECT_EQ(unregisteredOnClose, validInstancesExist);
  EXPECT_EQ(CountComponentInstances(c), 1);
  EXPECT_EQ(CloseComponent(b), noErr);
  unregisterOnClose = false;
  EXPECT_EQ(unregisteredOnClose, noErr);
  EXPECT_EQ(UnregisterComponent(c), invalidComponentID);
}

TEST_F(ComponentManager, HandlersReceiveParametersAsTheirProcInfoDescribes) {
  Component c = registerTest(XNQ_FOURCC('c', 'a', 'l', 'l'));
  ComponentInstance ci = OpenComponent(c);
  ASSERT_NE(ci, nullptr);

  EXPECT_EQ(Call(kSelectAdd, ci, {40, 2}).dispatch(), 42);
  EXPECT_EQ(Call(kSelectScale, ci, {-3, 1000}).dispatch(), -3000);
  // Only the low two bytes of a two-byte parameter count.
  EXPECT_EQ(Call(kSelectScale, ci, {0x10002, 5}).dispatch(), 10);
  EXPECT_EQ(Call(kSelectCount, ci, {}).dispatch(), 3);
  // A handler that wants more parameters than the call carries is refused.
  EXPECT_EQ(Call(kSelectAdd, ci, {1}).dispatch(), paramErr);

  EXPECT_EQ(GetComponentVersion(ci), 0x00020001);
  EXPECT_EQ(CallComponentCanDo(ci, kSelectAdd), 1);
  EXPECT_EQ(CallComponentCanDo(ci, kSelectCount), 0);
  EXPECT_EQ(Call(77, ci, {}).dispatch(), badComponentSelector);

  CloseComponent(ci);
  UnregisterComponent(c);
}

TEST_F(ComponentManager, DelegatedCallsRunInTheOtherInstance) {
  Component c = registerTest(XNQ_FOURCC('d', 'e', 'l', 'g'));
  ComponentInstance front = OpenComponent(c);
  ComponentInstance back = OpenComponent(c);
  reinterpret_cast<Globals *>(*GetComponentInstanceStorage(front))->delegate = back;

  // The forwarded selector is unknown to both; what the front forwards reaches the back, whose
  // answer comes back unchanged.
  EXPECT_EQ(Call(kSelectForwarded, front, {}).dispatch(), badComponentSelector);
  Call add(kSelectAdd, front, {5, 6});
  EXPECT_EQ(DelegateComponentCall(&add.cp, back), 11);
  EXPECT_EQ(Call(kSelectCount, back, {}).dispatch(), 1);
  EXPECT_EQ(Call(kSelectCount, front, {}).dispatch(), 0);
  // The caller's record is left as it was.
  EXPECT_EQ(reinterpret_cast<ComponentInstance>(add.words()[2]), front);

  CloseComponent(front);
  CloseComponent(back);
  UnregisterComponent(c);
}

TEST_F(ComponentManager, StaleAndForeignInstancesAreRefused) {
  Component c = registerTest(XNQ_FOURCC('s', 't', 'a', 'l'));
  ComponentInstance ci = OpenComponent(c);
  ASSERT_EQ(CloseComponent(ci), noErr);
  EXPECT_EQ(Call(kSelectAdd, ci, {1, 2}).dispatch(), badComponentInstance);
  EXPECT_EQ(GetComponentVersion(ci), badComponentInstance);
  EXPECT_EQ(GetComponentInstanceStorage(ci), nullptr);
  EXPECT_EQ(GetComponentFromInstance(ci), nullptr);
  // The closed instance, numbers that never named one, and a component in place of one.
  for (uintptr_t bogus : {reinterpret_cast<uintptr_t>(ci), uintptr_t{0}, uintptr_t{12345},
                          reinterpret_cast<uintptr_t>(c)}) {
    EXPECT_EQ(CloseComponent(reinterpret_cast<ComponentInstance>(bogus)),
              static_cast<OSErr>(badComponentInstance));
  }
  EXPECT_EQ(OpenComponent(reinterpret_cast<Component>(uintptr_t{0x8123})), nullptr);
  // A component that is gone cannot be opened even though its handle looks valid.
  UnregisterComponent(c);
  ComponentInstance late = nullptr;
  EXPECT_EQ(OpenAComponent(c, &late), invalidComponentID);
  EXPECT_EQ(late, nullptr);
}

int registerMessages = 0;
ComponentResult decliningEntry(ComponentParameters *cp, Handle) {
  if (cp->what == kComponentRegisterSelect) {
    ++registerMessages;
    return -1;
  }
  return cp->what == kComponentOpenSelect ? -108 : noErr;
}

TEST_F(ComponentManager, ComponentsMayDeclineRegistrationAndOpening) {
  ComponentDescription cd{kType, XNQ_FOURCC('n', 'o', 'p', 'e'), kMaker, cmpWantsRegisterMessage,
                          0};
  EXPECT_EQ(RegisterComponent(&cd, decliningEntry, 0, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(registerMessages, 1);
  EXPECT_EQ(CountComponents(&cd), 0);

  cd.componentFlags = 0;
  Component c = RegisterComponent(&cd, decliningEntry, 0, nullptr, nullptr, nullptr);
  ASSERT_NE(c, nullptr);
  ComponentInstance ci = nullptr;
  EXPECT_EQ(OpenAComponent(c, &ci), -108);
  EXPECT_EQ(ci, nullptr);
  EXPECT_EQ(CountComponentInstances(c), 0);
  EXPECT_EQ(OpenDefaultComponent(kType, XNQ_FOURCC('n', 'o', 'p', 'e')), nullptr);
  EXPECT_EQ(OpenDefaultComponent(kType, XNQ_FOURCC('n', 'o', 'n', 'e')), nullptr);
  UnregisterComponent(c);
}

// Memory Manager handles keep their contents across resizes; bad requests set MemError.
TEST(Handles, SizeResizeAndPascalStrings) {
  Handle h = NewHandleClear(16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetHandleSize(h), 16);
  EXPECT_EQ((*h)[15], 0);
  std::memcpy(*h, "0123456789abcdef", 16);
  SetHandleSize(h, 4096);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 4096);
  EXPECT_EQ(std::memcmp(*h, "0123456789abcdef", 16), 0);
  SetHandleSize(h, -5);
  EXPECT_EQ(MemError(), memFullErr);
  EXPECT_EQ(GetHandleSize(h), 4096);
  DisposeHandle(h);
  EXPECT_EQ(NewHandle(-1), nullptr);
  EXPECT_EQ(MemError(), memFullErr);
  Handle empty = NewHandle(0);
  EXPECT_NE(*empty, nullptr);
  EXPECT_EQ(GetHandleSize(empty), 0);
  DisposeHandle(empty);
  Str255 name;
  CopyCStringToPascal(std::string(300, 'a').c_str(), name);
  EXPECT_EQ(name[0], 255);  // cut to what a length byte holds
  CopyCStringToPascal("QTSoundStream", name);
  StringHandle s = NewString(name);
  EXPECT_EQ(GetHandleSize(s), 14);
  EXPECT_EQ(std::memcmp(*s, "\x0DQTSoundStream", 14), 0);
  DisposeHandle(s);
}

}  // namespace
