// IO procedures on the device's own IO thread: the three clocks, start and stop (also from
// inside the procedure), prefill and tap, mixing of several procedures, input devices.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

// What an IO procedure saw; written on the IO thread, read by the test after the device stops.
struct ProcLog {
  std::atomic<int> calls{0};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<UInt32> outBuffers{99}, outChannels{0}, outBytes{0}, inBuffers{99}, inChannels{0};
  std::atomic<Float64> lastSampleTime{-1};
  Float32 value = 0.25f;  // what the procedure writes into channel 0
  int stopAfter = -1;     // calls after which it stops itself
  bool removeOnStop = false;
  AudioDeviceIOProc self = nullptr;
  AudioDeviceID device = 0;
};

// IO thread: records the call and writes one value into channel 0 of each frame; no allocation.
OSStatus RecordingProc(AudioObjectID device, const AudioTimeStamp *now, const AudioBufferList *in,
                       const AudioTimeStamp *, AudioBufferList *out, const AudioTimeStamp *,
                       void *clientData) {
  auto *log = static_cast<ProcLog *>(clientData);
  int n = ++log->calls;
  if (std::this_thread::get_id() == log->caller) log->onCallerThread = true;
  log->lastSampleTime = now->mSampleTime;
  log->inBuffers = in->mNumberBuffers;
  if (in->mNumberBuffers) log->inChannels = in->mBuffers[0].mNumberChannels;
  log->outBuffers = out->mNumberBuffers;
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

// Collects what the tap saw (IO thread; the vector is sized before the device starts).
struct TapLog {
  std::vector<Float32> samples;
  std::atomic<size_t> used{0};
};
void CollectTap(const Float32 *interleaved, UInt32 frames, UInt32 channels, void *context) {
  auto *log = static_cast<TapLog *>(context);
  size_t n = size_t(frames) * channels, at = log->used.load();
  if (at + n > log->samples.size()) return;
  std::copy(interleaved, interleaved + n, log->samples.begin() + at);
  log->used = at + n;
}

UInt32 isRunning(AudioDeviceID d) {
  return deviceValue<UInt32>(d, false, kAudioDevicePropertyDeviceIsRunning);
}

class HalIO : public HalTest {};

TEST_F(HalIO, SteppedClockCallsTheProcedureExactlyNTimes) {
  XnqDeviceConfig config = nullConfig("Stepped", 2, 0, XNQ_CLOCK_STEPPED, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  EXPECT_EQ(xnq_hal_step(dev, 3), 0u);  // not running yet
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(isRunning(dev), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(log.calls, 0);  // nothing happens between steps
  EXPECT_EQ(xnq_hal_step(dev, 5), 5u);
  EXPECT_EQ(log.calls, 5);
  EXPECT_EQ(xnq_hal_step(dev, 2), 2u);
  EXPECT_EQ(log.calls, 7);
  EXPECT_EQ(xnq_hal_cycle_count(dev), 7u);
  EXPECT_EQ(log.lastSampleTime, 6 * 64.0);
  EXPECT_FALSE(log.onCallerThread);
  EXPECT_EQ(log.outBuffers, 1u);
  EXPECT_EQ(log.outChannels, 2u);
  EXPECT_EQ(log.outBytes, 64u * 2 * 4);
  EXPECT_EQ(log.inBuffers, 0u);

  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  EXPECT_EQ(isRunning(dev), 0u);
  EXPECT_EQ(xnq_hal_step(dev, 4), 0u);
  EXPECT_EQ(log.calls, 7);
  EXPECT_EQ(AudioDeviceRemoveIOProc(dev, RecordingProc), 0);
  EXPECT_NE(AudioDeviceStart(dev, RecordingProc), 0);  // no longer registered
}

TEST_F(HalIO, StopAndRemoveFromInsideTheProcedure) {
  XnqDeviceConfig config = nullConfig("Self stop", 2, 0, XNQ_CLOCK_STEPPED, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  log.stopAfter = 3;
  log.removeOnStop = true;
  log.self = RecordingProc;
  log.device = dev;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  // The device stops during the third cycle: the step ends early with what ran.
  EXPECT_EQ(xnq_hal_step(dev, 10), 3u);
  EXPECT_EQ(log.calls, 3);
  EXPECT_EQ(isRunning(dev), 0u);
  EXPECT_NE(AudioDeviceRemoveIOProc(dev, RecordingProc), 0);  // already removed by itself

  // It can be registered and started again afterwards.
  log.stopAfter = -1;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 2), 2u);
  EXPECT_EQ(log.calls, 5);
}

TEST_F(HalIO, ProcedureStoppedByAnotherIsNotCalledAgainInThatCycle) {
  XnqDeviceConfig config = nullConfig("Two procs", 2, 0, XNQ_CLOCK_STEPPED, 32);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog first, second;
  first.stopAfter = 2;
  first.self = OtherProc;  // the first procedure stops the second one
  first.device = dev;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &first), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev, OtherProc, &second), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(AudioDeviceStart(dev, OtherProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 4), 4u);
  EXPECT_EQ(first.calls, 4);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(isRunning(dev), 1u);  // one procedure still runs
  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  EXPECT_EQ(isRunning(dev), 0u);
}

TEST_F(HalIO, PrefillTapAndMixing) {
  XnqDeviceConfig config = nullConfig("Tapped", 3, 0, XNQ_CLOCK_STEPPED, 32);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  TapLog tap;
  tap.samples.assign(32 * 3 * 4, -99.0f);
  ASSERT_EQ(xnq_hal_set_output_prefill(dev, 0.5f), 0);
  ASSERT_EQ(xnq_hal_set_output_tap(dev, CollectTap, &tap), 0);
  ProcLog a;
  a.value = 0.25f;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &a), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 1), 1u);
  ASSERT_EQ(tap.used, 32u * 3);
  // Channel 0 was written; the others kept the prefill value.
  for (size_t f = 0; f < 32; ++f) {
    EXPECT_EQ(tap.samples[f * 3], 0.25f);
    EXPECT_EQ(tap.samples[f * 3 + 1], 0.5f);
    EXPECT_EQ(tap.samples[f * 3 + 2], 0.5f);
  }
  // A second procedure gets a cleared buffer of its own, and the two are summed.
  ProcLog b;
  b.value = 0.125f;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, OtherProc, &b), 0);
  ASSERT_EQ(AudioDeviceStart(dev, OtherProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 1), 1u);
  EXPECT_EQ(tap.samples[96], 0.375f);
  EXPECT_EQ(tap.samples[97], 0.5f);
}

TEST_F(HalIO, SameProcedureWithTwoClientsIsTwoRegistrations) {
  XnqDeviceConfig config = nullConfig("Shared", 2, 0, XNQ_CLOCK_STEPPED, 32);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog a, b;
  b.stopAfter = 1;  // b stops itself inside its call: only b's registration stops
  b.self = RecordingProc;
  b.device = dev;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &a), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &b), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 3), 3u);
  EXPECT_EQ(a.calls, 3);
  EXPECT_EQ(b.calls, 1);
}

TEST_F(HalIO, RealTimeClockKeepsThePace) {
  // 480 frames at 48 kHz: a cycle every 10 ms.
  XnqDeviceConfig config = nullConfig("Paced", 2, 0, XNQ_CLOCK_REALTIME, 480, 48000);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  double periods =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 0.01;
  int calls = log.calls;
  // Whatever the machine's load made of the 300 ms, the device ran one cycle per 10 ms of it.
  EXPECT_GE(calls, int(periods * 0.5));
  EXPECT_LE(calls, int(periods) + 2);
  EXPECT_EQ(xnq_hal_step(dev, 1), 0u);  // stepping applies only to stepped devices
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(log.calls, calls);  // stopped means stopped
}

TEST_F(HalIO, FreeRunningClockRunsAsFastAsItCan) {
  XnqDeviceConfig config = nullConfig("Free", 2, 0, XNQ_CLOCK_FREE_RUNNING, 4096, 8000);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(AudioDeviceStop(dev, RecordingProc), 0);
  // Real time would be under 1 cycle per 0.5 s here.
  EXPECT_GT(log.calls, 20);
}

TEST_F(HalIO, ClockSourceSwitchesTheClockOfARunningDevice) {
  XnqDeviceConfig config = nullConfig("Switched", 2, 0, XNQ_CLOCK_STEPPED, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 1), 1u);
  UInt32 free = XNQ_CLOCK_FREE_RUNNING;
  ASSERT_EQ(setObject(dev, address(kAudioDevicePropertyClockSource), free), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (log.calls < 50 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_GE(log.calls, 50);  // cycles without steps
  UInt32 stepped = XNQ_CLOCK_STEPPED;
  ASSERT_EQ(setObject(dev, address(kAudioDevicePropertyClockSource), stepped), 0);
  // At most the cycle in progress at the switch still runs; then only steps make cycles.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int before = log.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(log.calls, before);
  EXPECT_EQ(xnq_hal_step(dev, 3), 3u);
  EXPECT_EQ(log.calls, before + 3);
  UInt32 unknown = 7;
  EXPECT_EQ(setObject(dev, address(kAudioDevicePropertyClockSource), unknown),
            kAudioDeviceUnsupportedFormatError);

  // The clock sources have names, through the old translation record.
  UInt32 id = XNQ_CLOCK_REALTIME;
  CFStringRef name = nullptr;
  AudioValueTranslation t{&id, sizeof id, &name, sizeof name};
  UInt32 size = sizeof t;
  ASSERT_EQ(AudioDeviceGetProperty(dev, 0, false, kAudioDevicePropertyClockSourceNameForIDCFString,
                                   &size, &t),
            0);
  ASSERT_NE(name, nullptr);
  EXPECT_GT(CFStringGetLength(name), 0);
  char cname[64] = {};
  AudioValueTranslation c{&id, sizeof id, cname, sizeof cname};
  size = sizeof c;
  ASSERT_EQ(
      AudioDeviceGetProperty(dev, 0, false, kAudioDevicePropertyClockSourceNameForID, &size, &c),
      0);
  char expected[64] = {};
  CFStringGetCString(name, expected, sizeof expected, kCFStringEncodingUTF8);
  EXPECT_STREQ(cname, expected);
  CFRelease(name);
}

// IO thread: takes longer than the 2 ms buffer lasts (a test of overload reporting only).
OSStatus SlowProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                  const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *, void *) {
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  return 0;
}

OSStatus CountCalls(AudioObjectID, UInt32, const AudioObjectPropertyAddress *, void *count) {
  ++*static_cast<std::atomic<int> *>(count);
  return 0;
}

TEST_F(HalIO, OverrunningCyclesReportProcessorOverload) {
  XnqDeviceConfig config = nullConfig("Overloaded", 2, 0, XNQ_CLOCK_REALTIME, 96, 48000);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  std::atomic<int> overloads{0};
  auto over = address(kAudioDeviceProcessorOverload);
  ASSERT_EQ(AudioObjectAddPropertyListener(dev, &over, CountCalls, &overloads), 0);
  ASSERT_EQ(AudioDeviceAddIOProc(dev, SlowProc, nullptr), 0);
  ASSERT_EQ(AudioDeviceStart(dev, SlowProc), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  ASSERT_EQ(AudioDeviceStop(dev, SlowProc), 0);
  xnq_hal_flush_notifications();
  EXPECT_GT(overloads.load(), 0);
  ASSERT_EQ(AudioObjectRemovePropertyListener(dev, &over, CountCalls, &overloads), 0);
}

TEST_F(HalIO, InputOnlyDeviceDeliversInputAndNoOutput) {
  XnqDeviceConfig config = nullConfig("Mic", 0, 2, XNQ_CLOCK_STEPPED, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  EXPECT_EQ(xnq_hal_step(dev, 2), 2u);
  EXPECT_EQ(log.inBuffers, 1u);
  EXPECT_EQ(log.inChannels, 2u);
  EXPECT_EQ(log.outBuffers, 0u);
}

TEST_F(HalIO, FailedStartLeavesTheDeviceStopped) {
  XnqDeviceConfig config = nullConfig("Failing", 2, 0, XNQ_CLOCK_STEPPED, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(xnq_hal_fail_next_start(dev, kAudioHardwareUnspecifiedError), 0);
  EXPECT_EQ(AudioDeviceStart(dev, RecordingProc), kAudioHardwareUnspecifiedError);
  EXPECT_EQ(isRunning(dev), 0u);
  EXPECT_EQ(xnq_hal_step(dev, 1), 0u);
  EXPECT_EQ(AudioDeviceStart(dev, RecordingProc), 0);  // only the next start fails
  EXPECT_EQ(xnq_hal_step(dev, 1), 1u);

  EXPECT_EQ(AudioDeviceStart(4242, RecordingProc), kAudioHardwareBadDeviceError);
  EXPECT_EQ(AudioDeviceAddIOProc(4242, RecordingProc, &log), kAudioHardwareBadDeviceError);
}

TEST_F(HalIO, RemovingARunningDeviceStopsIt) {
  XnqDeviceConfig config = nullConfig("Unplugged", 2, 0, XNQ_CLOCK_REALTIME, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
  ProcLog log;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RecordingProc, &log), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RecordingProc), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(xnq_hal_remove_device(dev), 0);
  int calls = log.calls;
  EXPECT_GT(calls, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(log.calls, calls);
  EXPECT_EQ(AudioDeviceStop(dev, RecordingProc), kAudioHardwareBadDeviceError);
  EXPECT_EQ(xnq_hal_remove_device(dev), kAudioHardwareBadDeviceError);
}

// IO thread: stays inside its call for 30 ms, so a removal meets it there.
OSStatus SlowInside(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                    const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *,
                    void *inside) {
  static_cast<std::atomic<bool> *>(inside)->store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  static_cast<std::atomic<bool> *>(inside)->store(false);
  return 0;
}

// Whoever sees a device as gone (no longer found, or not alive) may rely on none of its IO
// procedures running any more: a removal that meets a procedure in its call finishes that call
// before the device goes.
TEST_F(HalIO, ADeviceIsGoneOnlyOnceNoProcedureOfItRuns) {
  XnqDeviceConfig config = nullConfig("Going", 2, 0, XNQ_CLOCK_FREE_RUNNING, 64);
  AudioDeviceID dev = xnq_hal_add_device(&config);
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
  EXPECT_EQ(AudioDeviceAddIOProc(dev, SlowInside, &inside), kAudioHardwareBadDeviceError);
}

}  // namespace
