// IO procedures on the device's own IO thread: the three clocks, start and stop (also from
// inside a procedure), several procedures and clients, input devices, and devices that go away.
// Prefill, tap, the sum of several clients and failed starts are checked through the player's
// suites.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hal_test_support.h"
#include "race_watchdog.h"

using namespace hal_test;
using namespace std::chrono_literals;

namespace {

// What an IO procedure saw; written on the IO thread, read by the test after the device stops.
struct ProcLog {
  std::atomic<int> calls{0};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<UInt32> outChannels{0}, outBytes{0}, inBuffers{99};
  std::atomic<Float64> lastSampleTime{-1};
  Float32 value = 0.25f;  // what the procedure writes into channel 0
  int stopAfter = -1;     // calls after which it stops `self` (and removes it)
  bool removeOnStop = false;
  AudioDeviceIOProc self = nullptr;
};

// IO thread: records the call and writes one value into channel 0 of each frame; no allocation.
OSStatus RecordingProc(AudioObjectID device, const AudioTimeStamp *now, const AudioBufferList *in,
                       const AudioTimeStamp *, AudioBufferList *out, const AudioTimeStamp *,
                       void *clientData) {
  auto *log = static_cast<ProcLog *>(clientData);
  const int n = ++log->calls;
  if (std::this_thread::get_id() == log->caller) log->onCallerThread = true;
  log->lastSampleTime = now->mSampleTime;
  log->inBuffers = in->mNumberBuffers;
  if (out->mNumberBuffers) {
    AudioBuffer &b = out->mBuffers[0];
    log->outChannels = b.mNumberChannels;
    log->outBytes = b.mDataByteSize;
    auto *samples = static_cast<Float32 *>(b.mData);
    for (UInt32 f = 0; f < b.mDataByteSize / 4 / b.mNumberChannels; ++f) {
      samples[f * b.mNumberChannels] = log->value;
    }
  }
  if (n == log->stopAfter) {
    AudioDeviceStop(device, log->self);
    if (log->removeOnStop) AudioDeviceRemoveIOProc(device, log->self);
  }
  return 0;
}

// IO thread: the same as RecordingProc under another identity; no allocation.
OSStatus OtherProc(AudioObjectID device, const AudioTimeStamp *now, const AudioBufferList *in,
                   const AudioTimeStamp *inTime, AudioBufferList *out,
                   const AudioTimeStamp *outTime, void *clientData) {
  return RecordingProc(device, now, in, inTime, out, outTime, clientData);
}

UInt32 IsRunning(AudioDeviceID d) {
  return deviceValue<UInt32>(d, false, kAudioDevicePropertyDeviceIsRunning);
}

AudioDeviceID AddDevice(XnqClockMode clock, UInt32 out = 2, UInt32 in = 0, UInt32 frames = 64,
                        Float64 rate = 48000) {
  XnqDeviceConfig config = nullConfig("Device", out, in, clock, frames, rate);
  return xnq_hal_add_device(&config);
}

class HalIO : public HalTest {};

TEST_F(HalIO, ASteppedDeviceRunsExactlyTheCyclesAskedForOnItsOwnThread) {
  const AudioDeviceID dev = AddDevice(XNQ_CLOCK_STEPPED);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  EXPECT_EQ(xnq_hal_step(dev, 3), 0u);  // not running yet
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(IsRunning(dev), 1u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(log.calls, 0);  // nothing happens between steps
  EXPECT_EQ(xnq_hal_step(dev, 5), 5u);
  EXPECT_EQ(xnq_hal_step(dev, 2), 2u);
  EXPECT_EQ(log.calls, 7);
  EXPECT_EQ(xnq_hal_cycle_count(dev), 7u);
  EXPECT_EQ(log.lastSampleTime, 6 * 64.0);
  EXPECT_FALSE(log.onCallerThread);
  EXPECT_EQ(log.outChannels, 2u);
  EXPECT_EQ(log.outBytes, 64u * 2 * 4);
  EXPECT_EQ(log.inBuffers, 0u);
  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  EXPECT_EQ(IsRunning(dev), 0u);
  EXPECT_EQ(xnq_hal_step(dev, 4), 0u);
  EXPECT_EQ(AudioDeviceRemoveIOProc(dev, RecordingProc), 0);
  EXPECT_NE(AudioDeviceStart(dev, RecordingProc), 0);  // no longer registered
}

// A procedure that stops (and removes) itself or another one: the step ends with the cycles that
// ran, a stopped procedure is not called again, and the device runs while any is started. (The
// same procedure with two clients is two players on one device, in the player's suites.)
TEST_F(HalIO, ProceduresStopThemselvesOrEachOtherFromInsideACycle) {
  const AudioDeviceID dev = AddDevice(XNQ_CLOCK_STEPPED, 2, 0, 32);
  ProcLog self, first, second;
  self.stopAfter = 3;
  self.removeOnStop = true;
  self.self = RecordingProc;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &self), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 10), 3u);
  EXPECT_EQ(IsRunning(dev), 0u);
  EXPECT_NE(AudioDeviceRemoveIOProc(dev, RecordingProc), 0);  // removed by itself

  first.stopAfter = 2;
  first.self = OtherProc;  // the first stops the second
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &first), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev, OtherProc, &second), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(AudioDeviceStart(dev, OtherProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 4), 4u);
  EXPECT_EQ(first.calls, 4);
  EXPECT_EQ(second.calls, 1);
  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  ASSERT_EQ(AudioDeviceRemoveIOProc(dev, RecordingProc), 0);
  EXPECT_EQ(IsRunning(dev), 0u);
}

TEST_F(HalIO, RealTimeFreeRunningAndSwitchedClocksKeepTheirPace) {
  // 480 frames at 48 kHz: a cycle every 10 ms.
  const AudioDeviceID paced = AddDevice(XNQ_CLOCK_REALTIME, 2, 0, 480);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(paced, RecordingProc, &log), 0);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(AudioDeviceStart(paced, RecordingProc), 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(AudioDeviceStop(paced, RecordingProc), 0);
  const double periods =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 0.01;
  const int calls = log.calls;
  EXPECT_GE(calls, int(periods * 0.5));
  EXPECT_LE(calls, int(periods) + 2);
  EXPECT_EQ(xnq_hal_step(paced, 1), 0u);  // stepping applies only to stepped devices
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(log.calls, calls);  // stopped means stopped

  // A stepped device switched to the free-running clock cycles without steps, and back.
  const AudioDeviceID dev = AddDevice(XNQ_CLOCK_STEPPED);
  ProcLog switched;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &switched), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(
      setObject(dev, address(kAudioDevicePropertyClockSource), UInt32{XNQ_CLOCK_FREE_RUNNING}), 0);
  EXPECT_TRUE(race_test::WaitFor([&] { return switched.calls >= 50; }, 5s));
  ASSERT_EQ(setObject(dev, address(kAudioDevicePropertyClockSource), UInt32{XNQ_CLOCK_STEPPED}), 0);
  // A step runs only once the IO thread waits for steps, so after the first one no free-running
  // cycle is left in progress, however late the IO thread got to run.
  race_test::WaitFor([&] { return xnq_hal_step(dev, 1) != 0; }, 1s);
  const int before = switched.calls;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(switched.calls, before);
  EXPECT_EQ(xnq_hal_step(dev, 3), 3u);
  EXPECT_EQ(switched.calls, before + 3);
  EXPECT_EQ(setObject(dev, address(kAudioDevicePropertyClockSource), UInt32{7}),
            kAudioDeviceUnsupportedFormatError);
}

// IO thread: takes longer than the 2 ms buffer lasts (a test of overload reporting only).
OSStatus SlowProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                  const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *, void *) {
  std::this_thread::sleep_for(6ms);
  return 0;
}

OSStatus CountCalls(AudioObjectID, UInt32, const AudioObjectPropertyAddress *, void *count) {
  ++*static_cast<std::atomic<int> *>(count);
  return 0;
}

TEST_F(HalIO, OverrunningCyclesReportProcessorOverload) {
  const AudioDeviceID dev = AddDevice(XNQ_CLOCK_REALTIME, 2, 0, 96);
  std::atomic<int> overloads{0};
  auto over = address(kAudioDeviceProcessorOverload);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev, &over, CountCalls, &overloads), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev, SlowProc, nullptr), 0);
  ASSERT_EQ(AudioDeviceStart(dev, SlowProc), 0);
  std::this_thread::sleep_for(60ms);
  ASSERT_EQ(AudioDeviceStop(dev, SlowProc), 0);
  xnq_hal_flush_notifications();
  EXPECT_GT(overloads.load(), 0);
  ASSERT_EQ(AudioObjectRemovePropertyListener(dev, &over, CountCalls, &overloads), 0);
}

// IO thread: stays inside its call for 30 ms, so a removal meets it there.
OSStatus SlowInside(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                    const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *,
                    void *inside) {
  static_cast<std::atomic<bool> *>(inside)->store(true);
  std::this_thread::sleep_for(30ms);
  static_cast<std::atomic<bool> *>(inside)->store(false);
  return 0;
}

// A removed device stops for good, and whoever sees it as gone (no longer found, or not alive)
// may rely on none of its IO procedures running any more: a removal that meets a procedure in
// its call finishes that call before the device goes.
TEST_F(HalIO, ARemovedDeviceIsGoneOnlyOnceNoProcedureOfItRuns) {
  const AudioDeviceID dev = AddDevice(XNQ_CLOCK_FREE_RUNNING);
  std::atomic<bool> inside{false};
  ASSERT_EQ(AudioDeviceAddIOProc(dev, SlowInside, &inside), 0);
  ASSERT_EQ(AudioDeviceStart(dev, SlowInside), 0);
  while (!inside.load()) std::this_thread::yield();
  std::thread remover([dev] { xnq_hal_remove_device(dev); });
  UInt32 alive = 1, size = sizeof alive;
  while (AudioDeviceGetProperty(dev, 0, false, kAudioDevicePropertyDeviceIsAlive, &size, &alive) ==
             0 &&
         alive != 0) {
  }
  EXPECT_FALSE(inside.load());
  remover.join();
  EXPECT_EQ(AudioDeviceStop(dev, SlowInside), kAudioHardwareBadDeviceError);
  EXPECT_EQ(AudioDeviceAddIOProc(dev, SlowInside, &inside), kAudioHardwareBadDeviceError);
  EXPECT_EQ(xnq_hal_remove_device(dev), kAudioHardwareBadDeviceError);
}

// IO thread: does nothing; host threads start and stop it.
OSStatus Idle(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
              const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *, void *) {
  return 0;
}

// Host threads start, stop, add and remove the one procedure of a free-running device while its
// IO thread calls it back to back; more threads than cores, so that an IO thread is often
// preempted between its checks of a slot. Every call returns: a stop that meets the IO thread
// anywhere in a slot is woken however the IO thread leaves it.
TEST_F(HalIO, StopsRacingAFreeRunningDeviceAlwaysReturn) {
  std::vector<AudioDeviceID> devices;
  for (int t = 0; t < 4; ++t) devices.push_back(AddDevice(XNQ_CLOCK_FREE_RUNNING, 2, 0, 32));
  race_test::RaceWithWatchdog(4, 3s, [&](int t) {
    const AudioDeviceID dev = devices[t];
    if (AudioDeviceAddIOProc(dev, Idle, nullptr) != 0) return;
    for (int i = 0; i < 4; ++i) {
      AudioDeviceStart(dev, Idle);
      AudioDeviceStop(dev, Idle);
    }
    AudioDeviceStart(dev, Idle);
    AudioDeviceRemoveIOProc(dev, Idle);
  });
}

}  // namespace
