// Property listeners: delivered on the platform's notification thread, once per change, for
// devices that come and go; a removal waits for a call in progress. (Changes of a device's
// properties, with several addresses in one call, are the listener class's suite to show.)
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "hal_test_support.h"
#include "race_watchdog.h"

using namespace hal_test;

namespace {

struct Heard {
  std::mutex mutex;
  std::vector<std::vector<AudioObjectPropertyAddress>> calls;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> onCallerThread{false}, inside{false};
  std::atomic<int> sleepMs{0};

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
};

// Notification thread: records the call.
OSStatus Listener(AudioObjectID, UInt32 n, const AudioObjectPropertyAddress *addresses,
                  void *clientData) {
  auto *heard = static_cast<Heard *>(clientData);
  heard->inside = true;
  if (std::this_thread::get_id() == heard->caller) heard->onCallerThread = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(heard->sleepMs.load()));
  {
    std::lock_guard<std::mutex> lock(heard->mutex);
    heard->calls.emplace_back(addresses, addresses + n);
  }
  heard->inside = false;
  return 0;
}

class HalListeners : public HalTest {
 protected:
  void SetUp() override {
    HalTest::SetUp();
    XnqDeviceConfig config = nullConfig("Listened", 2, 0, XNQ_CLOCK_STEPPED, 64);
    dev_ = xnq_hal_add_device(&config);
  }
  AudioDeviceID dev_ = 0;
};

TEST_F(HalListeners, DevicesThatComeAndGoChangeTheListAndTheDefaults) {
  Heard system, alive;
  auto dOut = address(kAudioHardwarePropertyDefaultOutputDevice);
  auto devs = address(kAudioHardwarePropertyDevices);
  auto livn = address(kAudioDevicePropertyDeviceIsAlive);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &dOut, Listener, &system), 0);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devs, Listener, &system), 0);
  XnqDeviceConfig config = nullConfig("Plugged", 2, 0, XNQ_CLOCK_STEPPED);
  const AudioDeviceID other = xnq_hal_add_device(&config);
  ASSERT_EQ(AudioObjectAddPropertyListener(other, &livn, Listener, &alive), 0);
  xnq_hal_flush_notifications();
  ASSERT_EQ(system.count(), 1u);  // the list only: the default stays
  EXPECT_EQ(system.calls[0][0].mSelector, UInt32(kAudioHardwarePropertyDevices));
  ASSERT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &other), 0);
  ASSERT_EQ(xnq_hal_remove_device(other), 0);
  xnq_hal_flush_notifications();
  EXPECT_EQ(alive.count(), 1u);
  // The default set, then the list and the default again when the device went.
  EXPECT_EQ(system.count(), 4u);
  // A listener of a device that went away can still be removed; then the ID is unknown.
  EXPECT_EQ(AudioObjectRemovePropertyListener(other, &livn, Listener, &alive), 0);
  EXPECT_EQ(AudioObjectAddPropertyListener(other, &livn, Listener, &alive),
            kAudioHardwareBadObjectError);
  EXPECT_EQ(AudioObjectRemovePropertyListener(4242, &livn, Listener, &alive),
            kAudioHardwareBadObjectError);
  EXPECT_NE(AudioObjectAddPropertyListener(dev_, &livn, nullptr, &alive), 0);
  // A set that changes nothing is no change; a removed listener hears nothing.
  ASSERT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &dev_), 0);
  AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &dOut, Listener, &system);
  AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devs, Listener, &system);
  XnqDeviceConfig later = nullConfig("Later", 2, 0, XNQ_CLOCK_STEPPED);
  xnq_hal_add_device(&later);
  xnq_hal_flush_notifications();
  EXPECT_EQ(system.count(), 4u);
  EXPECT_FALSE(system.onCallerThread);
}

TEST_F(HalListeners, RemovalWaitsForACallInProgress) {
  auto heard = std::make_unique<Heard>();
  heard->sleepMs = 100;
  auto mute = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &mute, Listener, heard.get()), 0);
  ASSERT_EQ(setObject(dev_, mute, UInt32{1}), 0);
  ASSERT_TRUE(race_test::WaitFor([&] { return heard->inside.load(); }));
  ASSERT_EQ(AudioObjectRemovePropertyListener(dev_, &mute, Listener, heard.get()), 0);
  EXPECT_FALSE(heard->inside);  // the call finished before the removal returned
  heard.reset();                // the client data may go now
  ASSERT_EQ(setObject(dev_, mute, UInt32{0}), 0);
  xnq_hal_flush_notifications();
}

}  // namespace
