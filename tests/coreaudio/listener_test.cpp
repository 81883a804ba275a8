// CoreAudioListenerXNQ as a host program uses it: watch a property, see Changed on the main
// thread once per notification, and nothing once the object is gone.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "coreaudio_host.h"
#include "platform/threads.h"

namespace coreaudio_test {
namespace {

class CoreAudioListenerTest : public CoreAudioTest {
 protected:
  CallResult NewListener(uint32_t object, uint32_t selector,
                         uint32_t scope = kAudioObjectPropertyScopeGlobal, uint32_t element = 0) {
    return rt().newObject("CoreAudioListenerXNQ", {Value::uint32(object), Value::uint32(selector),
                                                   Value::uint32(scope), Value::uint32(element)});
  }

  // Changes the output device's nominal rate from a thread of its own, as another part of the
  // system would, and waits until the change is made.
  void ChangeRateFromAnotherThread() {
    AudioValueRange ranges[16] = {};
    UInt32 size = sizeof ranges;
    ASSERT_EQ(
        AudioDeviceGetProperty(devices.output, 0, false,
                               kAudioDevicePropertyAvailableNominalSampleRates, &size, ranges),
        0);
    Float64 current = 0;
    UInt32 rateSize = sizeof current;
    ASSERT_EQ(AudioDeviceGetProperty(devices.output, 0, false,
                                     kAudioDevicePropertyNominalSampleRate, &rateSize, &current),
              0);
    Float64 next = current;
    for (UInt32 i = 0; i < size / sizeof(AudioValueRange) && next == current; ++i) {
      next = ranges[i].mMinimum != current ? ranges[i].mMinimum : ranges[i].mMaximum;
    }
    ASSERT_NE(next, current);
    OSStatus status = -1;
    std::thread changer([&] {
      const AudioObjectPropertyAddress address = {kAudioDevicePropertyNominalSampleRate,
                                                  kAudioObjectPropertyScopeGlobal, 0};
      status = AudioObjectSetPropertyData(devices.output, &address, 0, nullptr, sizeof next, &next);
    });
    changer.join();
    ASSERT_EQ(status, 0);
  }

  // Runs the main loop for a while so that anything queued gets its chance to run.
  void Settle(int ms) {
    rt().runUntil([] { return false; }, ms);
  }
};

TEST_F(CoreAudioListenerTest, ConstructorStoresTheAddressAndRegisters) {
  {
    CallResult created = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate,
                                     kAudioObjectPropertyScopeGlobal, 0);
    ASSERT_FALSE(created.raised());
    Value listener = created.value;
    EXPECT_EQ(LastError(listener, "LastError"), 0);
    EXPECT_EQ(rt().get(listener, "ObjectID").value.asInteger(), devices.output);
    EXPECT_EQ(rt().get(listener, "PropertySelector").value.asUInt64(),
              kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(rt().get(listener, "PropertyScope").value.asUInt64(),
              kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(rt().get(listener, "PropertyElement").value.asInteger(), 0);
    // LastError is read-only to the program.
    EXPECT_TRUE(rt().set(listener, "LastError", Value::integer(5)).raised() ||
                LastError(listener, "LastError") == 0);

    // The element wildcard travels as the full unsigned value.
    CallResult wildcard =
        NewListener(kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                    kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard);
    EXPECT_EQ(rt().get(wildcard.value, "PropertyElement").value.asUInt64(), 0xFFFFFFFFu);

    // The Destructor removes the listener and reports the framework's answer.
    ASSERT_FALSE(rt().call(listener, "Destructor").raised());
    EXPECT_EQ(LastError(listener, "LastError"), 0);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioListenerTest, ChangeOnAnotherThreadRaisesExactlyOneChangedOnTheMainThread) {
  int changed = 0;
  bool onMainThread = true;
  {
    CallResult created = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
    ASSERT_FALSE(created.raised());
    ASSERT_EQ(LastError(created.value, "LastError"), 0);
    rt().setEventHandler(created.value, "Changed", [&] {
      ++changed;
      onMainThread = onMainThread && rt().isMainThread();
    });
    ChangeRateFromAnotherThread();
    EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
    Settle(300);
    EXPECT_EQ(changed, 1);
    EXPECT_TRUE(onMainThread);

    ChangeRateFromAnotherThread();
    EXPECT_TRUE(rt().runUntil([&] { return changed > 1; }, 3000));
    Settle(200);
    EXPECT_EQ(changed, 2);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioListenerTest, NoEventReachesADestroyedListener) {
  int changed = 0;
  {
    CallResult created = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
    ASSERT_FALSE(created.raised());
    rt().setEventHandler(created.value, "Changed", [&] { ++changed; });
    ChangeRateFromAnotherThread();
    // Give the notification time to be queued on the main queue without running it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }  // the last reference goes: the Destructor runs while the notification waits in the queue
  Settle(300);
  EXPECT_EQ(changed, 0);

  // A new listener, possibly at the same address, hears only its own notifications.
  {
    CallResult created = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
    ASSERT_FALSE(created.raised());
    rt().setEventHandler(created.value, "Changed", [&] { ++changed; });
    Settle(200);
    EXPECT_EQ(changed, 0);
    ChangeRateFromAnotherThread();
    EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
    Settle(200);
    EXPECT_EQ(changed, 1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

// Runs pred until it holds; a wait that cannot end takes the test program down at once, since the
// thread that waits cannot be freed.
template <typename Pred>
void MustHappen(const char *what, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      fprintf(stderr, "%s never happened\n", what);
      std::_Exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A Changed handler may wait for other threads that create and destroy listeners, and a listener
// destroyed on another thread while its handler runs is destroyed only once the handler is done.
TEST_F(CoreAudioListenerTest, HandlersRunWithoutTheListenersLocks) {
  int changed = 0;
  std::atomic<bool> handlerDone{false}, destroyedEarly{false};
  {
    Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate).value;
    std::thread destroyer;
    rt().setEventHandler(listener, "Changed", [&] {
      std::atomic<bool> made{false};
      std::thread maker([&] {
        Value other = NewListener(devices.input, kAudioDevicePropertyNominalSampleRate).value;
        other = Value();
        made = true;
      });
      MustHappen("a listener made and destroyed by another thread", [&] { return made.load(); });
      maker.join();
      // The last reference goes on another thread while this handler still runs.
      destroyer = std::thread([&, doomed = std::move(listener)]() mutable {
        doomed = Value();
        destroyedEarly = !handlerDone.load();
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ++changed;
      handlerDone = true;
    });
    ChangeRateFromAnotherThread();
    EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
    destroyer.join();
  }
  EXPECT_EQ(changed, 1);
  EXPECT_FALSE(destroyedEarly.load());
  EXPECT_EQ(rt().outstanding(), before);
}

// Platform listeners around the plugin's on one address: the first makes the notification thread
// the main thread, the last sees how many Changed events were raised by then.
struct AroundTheListener {
  std::atomic<int> *changed;
  std::atomic<int> seenAfter{-1};
  static OSStatus Before(AudioObjectID, UInt32, const AudioObjectPropertyAddress *, void *) {
    xnq_set_main_thread(1);
    return 0;
  }
  static OSStatus After(AudioObjectID, UInt32, const AudioObjectPropertyAddress *, void *self) {
    auto *around = static_cast<AroundTheListener *>(self);
    around->seenAfter = around->changed->load();
    xnq_set_main_thread(0);
    return 0;
  }
};

// A notification that arrives on the main thread raises Changed before the listener procedure
// returns, on that thread, and queues nothing.
TEST_F(CoreAudioListenerTest, OnTheMainThreadChangedIsRaisedBeforeTheListenerReturns) {
  std::atomic<int> changed{0};
  std::atomic<bool> onNotificationThread{false};
  AroundTheListener around{&changed};
  const AudioObjectPropertyAddress rate = {kAudioDevicePropertyNominalSampleRate,
                                           kAudioObjectPropertyScopeGlobal, 0};
  ASSERT_EQ(
      AudioObjectAddPropertyListener(devices.output, &rate, AroundTheListener::Before, &around), 0);
  {
    Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate).value;
    const std::thread::id testThread = std::this_thread::get_id();
    rt().setEventHandler(listener, "Changed", [&] {
      ++changed;
      onNotificationThread = std::this_thread::get_id() != testThread;
    });
    ASSERT_EQ(
        AudioObjectAddPropertyListener(devices.output, &rate, AroundTheListener::After, &around),
        0);
    ChangeRateFromAnotherThread();
    xnq_hal_flush_notifications();
    EXPECT_EQ(around.seenAfter.load(), 1);
    EXPECT_TRUE(onNotificationThread.load());
    Settle(100);
    EXPECT_EQ(changed.load(), 1);
  }
  AudioObjectRemovePropertyListener(devices.output, &rate, AroundTheListener::Before, &around);
  AudioObjectRemovePropertyListener(devices.output, &rate, AroundTheListener::After, &around);
  EXPECT_EQ(rt().outstanding(), before);
}

// A change the framework reports with several addresses in one call (a rate change changes the
// stream format too) raises Changed once for a listener of every property of the device.
TEST_F(CoreAudioListenerTest, SeveralAddressesInOneCallRaiseOneChanged) {
  int changed = 0;
  {
    Value listener =
        NewListener(devices.output, kAudioObjectPropertySelectorWildcard,
                    kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard)
            .value;
    rt().setEventHandler(listener, "Changed", [&] { ++changed; });
    ChangeRateFromAnotherThread();
    EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
    Settle(100);
    EXPECT_EQ(changed, 1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioListenerTest, InvalidObjectReportsTheErrorAndRaisesNothing) {
  int changed = 0;
  CallResult created = NewListener(0x7777, kAudioDevicePropertyNominalSampleRate);
  ASSERT_FALSE(created.raised());
  const int64_t status = LastError(created.value, "LastError");
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
  rt().setEventHandler(created.value, "Changed", [&] { ++changed; });
  ChangeRateFromAnotherThread();
  Settle(300);
  EXPECT_EQ(changed, 0);
}

TEST_F(CoreAudioListenerTest, ProgramWithoutAHandlerSeesNoEffect) {
  {
    CallResult created = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
    ASSERT_FALSE(created.raised());
    ChangeRateFromAnotherThread();
    Settle(300);
    EXPECT_EQ(LastError(created.value, "LastError"), 0);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST(CoreAudioListenerWithoutDispatchTest, NotificationsOffTheMainThreadAreDropped) {
  xnq::host::Settings settings;
  settings.dispatchAvailable = false;
  if (!LoadPlugin(settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  TestDevices devices = ResetDevices();
  Runtime &rt = Runtime::get();
  int changed = 0;
  CallResult created = rt.newObject(
      "CoreAudioListenerXNQ",
      {Value::uint32(devices.output), Value::uint32(kAudioDevicePropertyNominalSampleRate),
       Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0)});
  ASSERT_FALSE(created.raised());
  rt.setEventHandler(created.value, "Changed", [&] { ++changed; });
  Float64 rate = 44100;
  const AudioObjectPropertyAddress address = {kAudioDevicePropertyNominalSampleRate,
                                              kAudioObjectPropertyScopeGlobal, 0};
  std::thread changer([&] {
    AudioObjectSetPropertyData(devices.output, &address, 0, nullptr, sizeof rate, &rate);
  });
  changer.join();
  rt.runUntil([] { return false; }, 300);
  EXPECT_EQ(changed, 0);
}

}  // namespace
}  // namespace coreaudio_test

namespace coreaudio_test {
namespace {

// Creates a listener on the output device's nominal rate, changes the rate from another thread
// and returns how many Changed events the main loop saw.
int ChangedEventsAfterOneChange(Runtime &rt, const TestDevices &devices) {
  int changed = 0;
  CallResult created = rt.newObject(
      "CoreAudioListenerXNQ",
      {Value::uint32(devices.output), Value::uint32(kAudioDevicePropertyNominalSampleRate),
       Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0)});
  EXPECT_FALSE(created.raised());
  EXPECT_EQ(rt.get(created.value, "LastError").value.asInteger(), 0);
  rt.setEventHandler(created.value, "Changed", [&] { ++changed; });
  Float64 rate = 44100;
  const AudioObjectPropertyAddress address = {kAudioDevicePropertyNominalSampleRate,
                                              kAudioObjectPropertyScopeGlobal, 0};
  OSStatus status = -1;
  std::thread changer([&] {
    status = AudioObjectSetPropertyData(devices.output, &address, 0, nullptr, sizeof rate, &rate);
  });
  changer.join();
  EXPECT_EQ(status, 0);
  rt.runUntil([&] { return changed > 0; }, 2000);
  rt.runUntil([] { return false; }, 200);
  return changed;
}

TEST(CoreAudioListenerOnOlderHostTest, ChangedFollowsTheEventRecordTheHostWasGiven) {
  xnq::host::Settings settings;
  settings.version = 2008.0;  // class-definition version 9: the short event record
  if (!LoadPlugin(settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  const TestDevices devices = ResetDevices();
  Runtime &rt = Runtime::get();
  ASSERT_EQ(rt.findClass("CoreAudioListenerXNQ")->layoutVersion, 9);
  const auto before = rt.outstanding();
  EXPECT_EQ(ChangedEventsAfterOneChange(rt, devices), 1);
  EXPECT_EQ(rt.outstanding(), before);
}

TEST(CoreAudioListenerWithoutEventLookupTest, NotificationsAreNoOps) {
  xnq::host::Settings settings;
  settings.removed = {"GetEventInstance"};
  if (!LoadPlugin(settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  const TestDevices devices = ResetDevices();
  Runtime &rt = Runtime::get();
  EXPECT_EQ(ChangedEventsAfterOneChange(rt, devices), 0);
  EXPECT_EQ(rt.accountingErrors(), 0);
}

}  // namespace
}  // namespace coreaudio_test
