// CoreAudioListenerXNQ as a host program uses it: watch a property, see Changed on the main
// thread once per notification, nothing once the object is gone, and handlers free to wait for
// other threads.
#include <atomic>
#include <chrono>
#include <thread>

#include "coreaudio_test_support.h"
#include "platform/threads.h"
#include "race_watchdog.h"

namespace coreaudio_test {
namespace {

Value NewListener(uint32_t object, uint32_t selector,
                  uint32_t scope = kAudioObjectPropertyScopeGlobal, uint32_t element = 0) {
  return Runtime::get()
      .newObject("CoreAudioListenerXNQ", {Value::uint32(object), Value::uint32(selector),
                                          Value::uint32(scope), Value::uint32(element)})
      .value;
}

// Changes the output device's nominal rate (to the other of two rates) from a thread of its own,
// as another part of the system would, and waits until the change is made.
void ChangeRateFromAnotherThread(AudioDeviceID device) {
  std::thread([device] {
    const Float64 rate = NominalRate(device) == 48000 ? 44100 : 48000;
    const AudioObjectPropertyAddress address = {kAudioDevicePropertyNominalSampleRate,
                                                kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof rate, &rate), 0);
  }).join();
}

// Runs the main loop for a while so that anything queued gets its chance to run.
void Settle(int ms) {
  Runtime::get().runUntil([] { return false; }, ms);
}

class CoreAudioListener : public CoreAudioTest {};

TEST_F(CoreAudioListener, HoldsItsAddressAndReportsTheFrameworksAnswers) {
  Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  EXPECT_EQ(rt().get(listener, "LastError").value.asInteger(), 0);
  EXPECT_EQ(rt().get(listener, "ObjectID").value.asInteger(), devices.output);
  EXPECT_EQ(rt().get(listener, "PropertySelector").value.asUInt64(),
            kAudioDevicePropertyNominalSampleRate);
  EXPECT_EQ(rt().get(listener, "PropertyScope").value.asUInt64(), kAudioObjectPropertyScopeGlobal);
  // The element wildcard travels as the full unsigned value.
  Value wildcard =
      NewListener(kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                  kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard);
  EXPECT_EQ(rt().get(wildcard, "PropertyElement").value.asUInt64(), 0xFFFFFFFFu);
  ASSERT_FALSE(rt().call(listener, "Destructor").raised());
  EXPECT_EQ(rt().get(listener, "LastError").value.asInteger(), 0);
  // An object the framework does not know: its error, and no event; nor for a program without a
  // handler.
  int changed = 0;
  Value invalid = NewListener(0x7777, kAudioDevicePropertyNominalSampleRate);
  EXPECT_EQ(rt().get(invalid, "LastError").value.asInteger(), kAudioHardwareBadObjectError);
  rt().setEventHandler(invalid, "Changed", [&] { ++changed; });
  Value unhandled = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  ChangeRateFromAnotherThread(devices.output);
  Settle(200);
  EXPECT_EQ(changed, 0);
}

// A notification from another thread raises Changed once, on the main thread; one still queued
// when its listener is destroyed reaches nobody, not even a new listener the host may have placed
// at the same address, which hears its own notifications only.
TEST_F(CoreAudioListener, EachNotificationRaisesOneChangedOnTheMainThreadOfALiveListener) {
  int changed = 0;
  bool onMainThread = true;
  auto count = [&] {
    ++changed;
    onMainThread = onMainThread && rt().isMainThread();
  };
  Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  rt().setEventHandler(listener, "Changed", count);
  for (int round = 1; round <= 2; ++round) {
    ChangeRateFromAnotherThread(devices.output);
    EXPECT_TRUE(rt().runUntil([&] { return changed == round; }, 3000));
    Settle(100);
    EXPECT_EQ(changed, round);
  }
  EXPECT_TRUE(onMainThread);
  ChangeRateFromAnotherThread(devices.output);
  xnq_hal_flush_notifications();  // queued on the main queue, not yet run
  listener = Value();
  Value next = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  rt().setEventHandler(next, "Changed", count);
  Settle(100);
  EXPECT_EQ(changed, 2);
  ChangeRateFromAnotherThread(devices.output);
  EXPECT_TRUE(rt().runUntil([&] { return changed == 3; }, 3000));
  Settle(100);
  EXPECT_EQ(changed, 3);
}

// A change the framework reports with several addresses in one call (a rate change changes the
// stream format too) raises Changed once for a listener of every property of the device.
TEST_F(CoreAudioListener, SeveralAddressesInOneCallRaiseOneChanged) {
  int changed = 0;
  Value listener =
      NewListener(devices.output, kAudioObjectPropertySelectorWildcard,
                  kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard);
  rt().setEventHandler(listener, "Changed", [&] { ++changed; });
  ChangeRateFromAnotherThread(devices.output);
  EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
  Settle(100);
  EXPECT_EQ(changed, 1);
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
TEST_F(CoreAudioListener, OnTheMainThreadChangedIsRaisedBeforeTheListenerReturns) {
  std::atomic<int> changed{0};
  std::atomic<bool> onNotificationThread{false};
  AroundTheListener around{&changed};
  const AudioObjectPropertyAddress rate = {kAudioDevicePropertyNominalSampleRate,
                                           kAudioObjectPropertyScopeGlobal, 0};
  ASSERT_EQ(
      AudioObjectAddPropertyListener(devices.output, &rate, AroundTheListener::Before, &around), 0);
  Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  const std::thread::id testThread = std::this_thread::get_id();
  rt().setEventHandler(listener, "Changed", [&] {
    ++changed;
    onNotificationThread = std::this_thread::get_id() != testThread;
  });
  ASSERT_EQ(
      AudioObjectAddPropertyListener(devices.output, &rate, AroundTheListener::After, &around), 0);
  ChangeRateFromAnotherThread(devices.output);
  xnq_hal_flush_notifications();
  EXPECT_EQ(around.seenAfter.load(), 1);
  EXPECT_TRUE(onNotificationThread.load());
  Settle(100);
  EXPECT_EQ(changed.load(), 1);
  AudioObjectRemovePropertyListener(devices.output, &rate, AroundTheListener::Before, &around);
  AudioObjectRemovePropertyListener(devices.output, &rate, AroundTheListener::After, &around);
}

// A Changed handler may wait for other threads that create and destroy listeners, and a listener
// destroyed on another thread while its handler runs is destroyed only once the handler is done.
TEST_F(CoreAudioListener, HandlersRunWithoutTheListenersLocks) {
  int changed = 0;
  std::atomic<bool> handlerDone{false}, destroyedEarly{false};
  Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  std::thread destroyer;
  rt().setEventHandler(listener, "Changed", [&] {
    std::atomic<bool> made{false};
    std::thread maker([&] {
      Value other = NewListener(devices.input, kAudioDevicePropertyNominalSampleRate);
      other = Value();
      made = true;
    });
    race_test::MustHappen("a listener made and destroyed by another thread",
                          [&] { return made.load(); });
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
  ChangeRateFromAnotherThread(devices.output);
  EXPECT_TRUE(rt().runUntil([&] { return changed > 0; }, 3000));
  destroyer.join();
  EXPECT_EQ(changed, 1);
  EXPECT_FALSE(destroyedEarly.load());
}

// On a 2008 host Changed follows the short event record the host was given; without dispatch a
// notification off the main thread has no way there and is dropped; without the event lookup
// nothing happens. Each host in a process of its own: a listener changes the rate from another
// thread and counts the Changed events the main loop saw.
struct ListenerHost {
  const char *name;
  xnq::host::Settings settings;
  int changed;
};

class CoreAudioListenerHosts : public ::testing::TestWithParam<ListenerHost> {};

TEST_P(CoreAudioListenerHosts, RaiseChangedOnlyWhereTheyCan) {
  if (!LoadPlugin(GetParam().settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  const TestDevices devices = ResetDevices();
  int changed = 0;
  Value listener = NewListener(devices.output, kAudioDevicePropertyNominalSampleRate);
  EXPECT_EQ(Runtime::get().get(listener, "LastError").value.asInteger(), 0);
  Runtime::get().setEventHandler(listener, "Changed", [&] { ++changed; });
  ChangeRateFromAnotherThread(devices.output);
  Runtime::get().runUntil([&] { return changed > 0; }, 2000);
  Settle(200);
  EXPECT_EQ(changed, GetParam().changed);
  EXPECT_EQ(Runtime::get().accountingErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, CoreAudioListenerHosts,
    ::testing::Values(ListenerHost{"OlderHost", {.version = 2008.0}, 1},
                      ListenerHost{"WithoutDispatch", {.dispatchAvailable = false}, 0},
                      ListenerHost{"WithoutTheEventLookup", {.removed = {"GetEventInstance"}}, 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace coreaudio_test
