// A device of the audio hardware stand-in: its settings, its IO procedures and the IO thread
// that calls them once per cycle on the device's clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hal/device_backend.h"
#include "platform/audio_devices.h"

namespace xnq::hal {

// Software volume: the scalar is a fader position and maps linearly onto the decibel range, so
// the two conversions are exact inverses; scalar 0 is silence.
constexpr Float32 kVolumeMinDecibels = -64.0f;
constexpr Float32 kVolumeMaxDecibels = 0.0f;
Float32 volumeScalarToDecibels(Float32 scalar);
Float32 volumeDecibelsToScalar(Float32 decibels);
Float32 volumeScalarToGain(Float32 scalar);

constexpr UInt32 kMinBufferFrames = 32;
constexpr UInt32 kMaxBufferFrames = 8192;

struct DeviceSettings {
  std::string name, uid, backendName;
  AudioDeviceID id = 0;
  AudioStreamID outputStream = 0, inputStream = 0;  // 0: no such side
  UInt32 outputChannels = 0, inputChannels = 0;
  double sampleRate = 44100.0;
  UInt32 bufferFrames = 512;
  XnqClockMode clock = XNQ_CLOCK_REALTIME;
  double unplugAfter = 0;  // seconds of audio after which it asks to be removed (0: never)
};

// The device's request to be removed, queued from its IO thread once it has played its
// unplugAfter seconds; the registry listens for it and removes the device on the notification
// thread, where a device may be shut down. Not a property of the platform's interface.
constexpr AudioObjectPropertySelector kDeviceUnplugRequest = XNQ_FOURCC('x', 'u', 'n', 'p');

class AudioDevice {
 public:
  AudioDevice(const DeviceSettings &settings, std::unique_ptr<DeviceBackend> backend);
  ~AudioDevice();
  AudioDevice(const AudioDevice &) = delete;
  AudioDevice &operator=(const AudioDevice &) = delete;

  // Fixed for the device's life.
  AudioDeviceID id() const { return settings_.id; }
  const std::string &name() const { return settings_.name; }
  const std::string &uid() const { return settings_.uid; }
  const std::string &backendName() const { return settings_.backendName; }
  UInt32 channels(bool input) const {
    return input ? settings_.inputChannels : settings_.outputChannels;
  }
  AudioStreamID streamId(bool input) const {
    return input ? settings_.inputStream : settings_.outputStream;
  }
  const DeviceBackend &backend() const { return *backend_; }
  double unplugAfter() const { return settings_.unplugAfter; }

  // Settings that change (any thread; a change takes effect at the next start of the device).
  double nominalRate() const { return nominalRate_.load(); }
  std::vector<double> availableRates() const { return rates_; }
  bool rateAvailable(double rate) const;
  // Returns true when the value changed.
  bool setNominalRate(double rate);
  UInt32 bufferFrames() const { return bufferFrames_.load(); }
  bool setBufferFrames(UInt32 frames);
  XnqClockMode clock() const { return static_cast<XnqClockMode>(clock_.load()); }
  bool setClock(XnqClockMode mode);
  Float32 volume(bool input) const { return volume_[input].load(); }
  bool setVolume(bool input, Float32 scalar);
  bool muted(bool input) const { return mute_[input].load(); }
  bool setMuted(bool input, bool muted);
  bool isRunning() const { return running_.load(); }
  // False once the device has been shut down and no IO procedure of it runs any more.
  bool alive() const { return !gone_.load(); }

  // The side's format as IO procedures see it: float32 interleaved, packed, native endian.
  AudioStreamBasicDescription streamFormat(bool input) const;
  AudioStreamBasicDescription physicalFormat(bool input) const;

  // IO procedures. Any thread, including the IO thread from inside an IO procedure.
  OSStatus addIOProc(AudioDeviceIOProc proc, void *clientData);
  OSStatus removeIOProc(AudioDeviceIOProc proc);
  OSStatus start(AudioDeviceIOProc proc);
  OSStatus stop(AudioDeviceIOProc proc);

  // Test controls.
  UInt32 step(UInt32 cycles);
  void setPrefill(Float32 value) { prefill_.store(value); }
  void setTap(XnqOutputTap tap, void *context);
  UInt64 cycleCount() const { return cycles_.load(); }
  void failNextStart(OSStatus status);

  // Stops every IO procedure and ends the IO thread; returns when the thread has ended, whoever
  // else is shutting the device down too. Called when the device goes away. From the device's
  // own IO thread the thread can't be waited for: no further procedure of the cycle in progress
  // is called, the call returns false, and the caller must keep the object alive.
  bool shutdown();

 private:
  static constexpr int kMaxProcs = 16;
  // One registered IO procedure. Written under mutex_ by any thread; read lock-free by the IO
  // thread, which checks `generation` before and after reading proc and clientData.
  struct ProcSlot {
    std::atomic<AudioDeviceIOProc> proc{nullptr};
    std::atomic<void *> clientData{nullptr};
    std::atomic<bool> started{false};
    std::atomic<UInt32> generation{0};
    UInt64 order = 0;         // when it was added; under mutex_
    std::thread::id addedBy;  // the thread that added it; under mutex_
  };
  enum class Phase { Idle, Opening, Running };

  bool onIoThread() const { return std::this_thread::get_id() == ioThreadId_; }
  int findSlotLocked(AudioDeviceIOProc proc, bool wantStarted) const;
  void setRunningLocked(bool running);
  void stopIfIdleLocked(std::unique_lock<std::mutex> &lock);
  void waitNotCallingLocked(std::unique_lock<std::mutex> &lock, int slot);
  void ensureThreadLocked();
  void ioThreadMain();
  void runLoop(const RunFormat &format);
  bool cycle(const RunFormat &format);
  void endCall();

  const DeviceSettings settings_;
  const std::unique_ptr<DeviceBackend> backend_;
  const std::vector<double> rates_;

  // Settings: written by host threads, read by host threads and at the start of a run.
  std::atomic<double> nominalRate_;
  std::atomic<UInt32> bufferFrames_;
  std::atomic<int> clock_;
  // Written by host threads, read by the IO thread every cycle.
  std::atomic<Float32> volume_[2];
  std::atomic<bool> mute_[2];
  std::atomic<Float32> prefill_{0.0f};
  std::atomic<XnqOutputTap> tap_{nullptr};
  std::atomic<void *> tapContext_{nullptr};
  // Odd while setTap writes the pair above: written by setTap, read by the IO thread, which
  // skips the tap for a cycle when the pair changed under it.
  std::atomic<UInt32> tapGeneration_{0};
  // True while the IO thread calls the tap: written by the IO thread, read by setTap.
  std::atomic<bool> tapBusy_{false};
  std::mutex tapMutex_;  // one setTap at a time
  // Written by the IO thread, read by anyone.
  std::atomic<UInt64> cycles_{0};
  // Written under mutex_ by whoever starts or stops the last procedure; read by anyone.
  std::atomic<bool> running_{false};
  // The slot the IO thread is calling (-1: none): written by the IO thread, read by stoppers.
  std::atomic<int> callingSlot_{-1};
  // Threads waiting for callingSlot_ to change: written under mutex_, read by the IO thread.
  std::atomic<int> slotWaiters_{0};

  ProcSlot slots_[kMaxProcs];

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // Under mutex_.
  UInt64 nextOrder_ = 1;
  Phase phase_ = Phase::Idle;
  bool startRequested_ = false;
  bool quit_ = false;
  OSStatus openStatus_ = 0;
  OSStatus failNextStart_ = 0;
  UInt32 stepsPending_ = 0, stepsRan_ = 0;
  bool inStepCycle_ = false;
  std::mutex stepMutex_;  // one stepper at a time

  std::thread ioThread_;  // started and joined under mutex_ by host threads
  // Under mutex_: the IO thread was started, and it has been joined.
  bool threadStarted_ = false, threadEnded_ = false;
  // Set by shutdown once no procedure runs any more; read by any thread (alive()).
  std::atomic<bool> gone_{false};
  // Set once when the IO thread starts (under mutex_); read by any thread to know where it runs.
  std::atomic<std::thread::id> ioThreadId_{};

  // Cycle buffers, sized for the largest buffer at construction; used only by the IO thread.
  std::vector<float> output_, mixScratch_, input_, gained_;
  AudioBufferList outputList_{}, scratchList_{}, inputList_{}, emptyList_{};
  double sampleTime_ = 0.0;
  double secondsPlayed_ = 0.0;
  bool unplugRequested_ = false;
};

}  // namespace xnq::hal
