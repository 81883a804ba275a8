// Property listeners: delivered on the platform's notification thread, once per change, for
// changes made through the interface and for devices that come and go.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

struct Heard {
  std::mutex mutex;
  std::vector<std::vector<AudioObjectPropertyAddress>> calls;
  std::vector<AudioObjectID> objects;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> onCallerThread{false};
  std::atomic<int> sleepMs{0};
  std::atomic<bool> inside{false};

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
};

// Notification thread: records the call.
OSStatus Listener(AudioObjectID object, UInt32 n, const AudioObjectPropertyAddress *addresses,
                  void *clientData) {
  auto *heard = static_cast<Heard *>(clientData);
  heard->inside = true;
  if (std::this_thread::get_id() == heard->caller) heard->onCallerThread = true;
  if (heard->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(heard->sleepMs.load()));
  {
    std::lock_guard<std::mutex> lock(heard->mutex);
    heard->calls.emplace_back(addresses, addresses + n);
    heard->objects.push_back(object);
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

TEST_F(HalListeners, ASetThatChangesTheValueNotifiesOnceOnAnotherThread) {
  Heard heard;
  auto vol = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &vol, Listener, &heard), 0);
  Float32 v = 0.5f;
  ASSERT_EQ(setObject(dev_, vol, v), 0);
  ASSERT_EQ(setObject(dev_, vol, v), 0);  // same value: no change, no notification
  xnq_hal_flush_notifications();
  ASSERT_EQ(heard.count(), 1u);
  EXPECT_FALSE(heard.onCallerThread);
  EXPECT_EQ(heard.objects[0], dev_);
  ASSERT_EQ(heard.calls[0].size(), 1u);
  EXPECT_EQ(heard.calls[0][0].mSelector, UInt32(kAudioDevicePropertyVolumeScalar));

  ASSERT_EQ(AudioObjectRemovePropertyListener(dev_, &vol, Listener, &heard), 0);
  v = 0.25f;
  ASSERT_EQ(setObject(dev_, vol, v), 0);
  xnq_hal_flush_notifications();
  EXPECT_EQ(heard.count(), 1u);
}

TEST_F(HalListeners, WildcardsHearSeveralAddressesInOneCall) {
  Heard all, rateOnly, muteOnly;
  auto wildcard = address(kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                          kAudioObjectPropertyElementWildcard);
  auto nsrt = address(kAudioDevicePropertyNominalSampleRate);
  auto mute = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &wildcard, Listener, &all), 0);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &nsrt, Listener, &rateOnly), 0);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &mute, Listener, &muteOnly), 0);
  Float64 rate = 44100.0;
  ASSERT_EQ(setObject(dev_, nsrt, rate), 0);
  xnq_hal_flush_notifications();
  // The rate change also changes the output format: one call, both addresses.
  ASSERT_EQ(all.count(), 1u);
  EXPECT_GE(all.calls[0].size(), 2u);
  ASSERT_EQ(rateOnly.count(), 1u);
  EXPECT_EQ(rateOnly.calls[0].size(), 1u);
  EXPECT_EQ(muteOnly.count(), 0u);
  for (Heard *h : {&all, &rateOnly, &muteOnly}) {
    auto &a = h == &all ? wildcard : h == &rateOnly ? nsrt : mute;
    EXPECT_EQ(AudioObjectRemovePropertyListener(dev_, &a, Listener, h), 0);
  }
}

TEST_F(HalListeners, DefaultDeviceAndDeviceListChanges) {
  Heard system, alive;
  auto dOut = address(kAudioHardwarePropertyDefaultOutputDevice);
  auto devs = address(kAudioHardwarePropertyDevices);
  auto livn = address(kAudioDevicePropertyDeviceIsAlive);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &dOut, Listener, &system), 0);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devs, Listener, &system), 0);

  XnqDeviceConfig config = nullConfig("Plugged", 2, 0, XNQ_CLOCK_STEPPED);
  AudioDeviceID other = xnq_hal_add_device(&config);
  ASSERT_EQ(AudioObjectAddPropertyListener(other, &livn, Listener, &alive), 0);
  xnq_hal_flush_notifications();
  ASSERT_EQ(system.count(), 1u);  // dev# only: the default stays
  EXPECT_EQ(system.calls[0][0].mSelector, UInt32(kAudioHardwarePropertyDevices));

  ASSERT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &other), 0);
  xnq_hal_flush_notifications();
  ASSERT_EQ(system.count(), 2u);
  EXPECT_EQ(system.calls[1][0].mSelector, UInt32(kAudioHardwarePropertyDefaultOutputDevice));

  ASSERT_EQ(xnq_hal_remove_device(other), 0);
  xnq_hal_flush_notifications();
  EXPECT_EQ(alive.count(), 1u);
  EXPECT_EQ(alive.objects[0], other);
  // The device list and the default output changed: each listener heard its change once.
  EXPECT_EQ(system.count(), 4u);
  // A listener of a device that went away can still be removed; then the ID is unknown.
  EXPECT_EQ(AudioObjectRemovePropertyListener(other, &livn, Listener, &alive), 0);
  EXPECT_EQ(AudioObjectAddPropertyListener(other, &livn, Listener, &alive),
            kAudioHardwareBadObjectError);
  AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &dOut, Listener, &system);
  AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devs, Listener, &system);
}

// IO thread: does nothing, so it can't allocate or block.
OSStatus Quiet(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
               const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *, void *) {
  return 0;
}

TEST_F(HalListeners, RunningStateFollowsStartAndStop) {
  Heard heard;
  auto goin = address(kAudioDevicePropertyDeviceIsRunning);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &goin, Listener, &heard), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev_, Quiet, nullptr), 0);
  ASSERT_EQ(AudioDeviceStart(dev_, Quiet), 0);
  ASSERT_EQ(AudioDeviceStart(dev_, Quiet), 0);  // already running: no change
  ASSERT_EQ(AudioDeviceStop(dev_, Quiet), 0);
  xnq_hal_flush_notifications();
  EXPECT_EQ(heard.count(), 2u);
  AudioObjectRemovePropertyListener(dev_, &goin, Listener, &heard);
}

TEST_F(HalListeners, RemovalWaitsForACallInProgress) {
  auto heard = std::make_unique<Heard>();
  heard->sleepMs = 100;
  auto mute = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev_, &mute, Listener, heard.get()), 0);
  UInt32 on = 1;
  ASSERT_EQ(setObject(dev_, mute, on), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!heard->inside && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(heard->inside);
  ASSERT_EQ(AudioObjectRemovePropertyListener(dev_, &mute, Listener, heard.get()), 0);
  EXPECT_FALSE(heard->inside);  // the call finished before the removal returned
  EXPECT_EQ(heard->count(), 1u);
  heard.reset();  // the client data may go now
  UInt32 off = 0;
  ASSERT_EQ(setObject(dev_, mute, off), 0);
  xnq_hal_flush_notifications();
}

TEST_F(HalListeners, BadArguments) {
  Heard heard;
  auto a = address(kAudioDevicePropertyMute);
  EXPECT_EQ(AudioObjectAddPropertyListener(4242, &a, Listener, &heard),
            kAudioHardwareBadObjectError);
  EXPECT_EQ(AudioObjectRemovePropertyListener(4242, &a, Listener, &heard),
            kAudioHardwareBadObjectError);
  EXPECT_NE(AudioObjectAddPropertyListener(dev_, &a, nullptr, &heard), 0);
}

}  // namespace
