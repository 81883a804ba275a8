#include "hal/audio_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "hal/listener_hub.h"

namespace xnq::hal {

Float32 volumeScalarToDecibels(Float32 scalar) {
  scalar = std::clamp(scalar, 0.0f, 1.0f);
  return kVolumeMinDecibels + (kVolumeMaxDecibels - kVolumeMinDecibels) * scalar;
}

Float32 volumeDecibelsToScalar(Float32 decibels) {
  decibels = std::clamp(decibels, kVolumeMinDecibels, kVolumeMaxDecibels);
  return (decibels - kVolumeMinDecibels) / (kVolumeMaxDecibels - kVolumeMinDecibels);
}

Float32 volumeScalarToGain(Float32 scalar) {
  if (scalar <= 0.0f) return 0.0f;
  if (scalar >= 1.0f) return 1.0f;
  return std::pow(10.0f, volumeScalarToDecibels(scalar) / 20.0f);
}

std::vector<double> DeviceBackend::availableRates() const { return standardRates(); }

void DeviceBackend::readInput(float *interleaved, UInt32 frames, UInt32 channels) {
  std::fill(interleaved, interleaved + size_t(frames) * channels, 0.0f);
}

std::vector<double> standardRates() {
  return {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
}

static std::vector<double> ratesFor(const DeviceBackend &backend, double configured) {
  std::vector<double> rates = backend.availableRates();
  if (std::find(rates.begin(), rates.end(), configured) == rates.end()) rates.push_back(configured);
  std::sort(rates.begin(), rates.end());
  return rates;
}

AudioDevice::AudioDevice(const DeviceSettings &settings, std::unique_ptr<DeviceBackend> backend)
    : settings_(settings),
      backend_(std::move(backend)),
      rates_(ratesFor(*backend_, settings.sampleRate)),
      nominalRate_(settings.sampleRate),
      bufferFrames_(settings.bufferFrames),
      clock_(settings.clock) {
  for (int side = 0; side < 2; ++side) {
    volume_[side].store(1.0f);
    mute_[side].store(false);
  }
  size_t outSamples = size_t(kMaxBufferFrames) * settings_.outputChannels;
  output_.assign(outSamples, 0.0f);
  mixScratch_.assign(outSamples, 0.0f);
  gained_.assign(outSamples, 0.0f);
  input_.assign(size_t(kMaxBufferFrames) * settings_.inputChannels, 0.0f);
  emptyList_.mNumberBuffers = 0;
}

AudioDevice::~AudioDevice() { shutdown(); }

bool AudioDevice::rateAvailable(double rate) const {
  return std::find(rates_.begin(), rates_.end(), rate) != rates_.end();
}

bool AudioDevice::setNominalRate(double rate) { return nominalRate_.exchange(rate) != rate; }

bool AudioDevice::setBufferFrames(UInt32 frames) {
  return bufferFrames_.exchange(frames) != frames;
}

bool AudioDevice::setClock(XnqClockMode mode) {
  bool changed = clock_.exchange(mode) != mode;
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();  // a waiting IO thread picks up the new clock
  return changed;
}

bool AudioDevice::setVolume(bool input, Float32 scalar) {
  return volume_[input].exchange(std::clamp(scalar, 0.0f, 1.0f)) != std::clamp(scalar, 0.0f, 1.0f);
}

bool AudioDevice::setMuted(bool input, bool muted) { return mute_[input].exchange(muted) != muted; }

AudioStreamBasicDescription AudioDevice::streamFormat(bool input) const {
  AudioStreamBasicDescription f{};
  UInt32 ch = channels(input);
  f.mSampleRate = nominalRate();
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
  f.mBytesPerPacket = 4 * ch;
  f.mFramesPerPacket = 1;
  f.mBytesPerFrame = 4 * ch;
  f.mChannelsPerFrame = ch;
  f.mBitsPerChannel = 32;
  return f;
}

AudioStreamBasicDescription AudioDevice::physicalFormat(bool input) const {
  AudioStreamBasicDescription f = streamFormat(input);
  if (!backend_->physicalIsFloat()) {
    UInt32 bytes = backend_->physicalBitsPerChannel() / 8;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = backend_->physicalBitsPerChannel();
    f.mBytesPerPacket = f.mBytesPerFrame = bytes * f.mChannelsPerFrame;
  }
  return f;
}

// Returns when the IO thread can no longer call the old tap, so its context may be freed.
void AudioDevice::setTap(XnqOutputTap tap, void *context) {
  std::lock_guard<std::mutex> lock(tapMutex_);
  tapGeneration_.fetch_add(1);
  tap_.store(tap);
  tapContext_.store(context);
  tapGeneration_.fetch_add(1);
  if (onIoThread()) return;
  while (tapBusy_.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void AudioDevice::failNextStart(OSStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failNextStart_ = status;
}

// A proc may be registered more than once with different client data (several players share
// one procedure). Calls that name only the procedure then mean: on the IO thread inside that
// procedure's call, the registration being called; elsewhere the newest registration in the
// wanted state that the calling thread added, and only when it added none, anyone's. A client
// adds, starts and undoes a failed start on one thread, so it never starts or removes the
// registration of another client that shares its procedure (whose own start would then find
// nothing of its own to start, and whose stop would wait for a procedure that never runs).
int AudioDevice::findSlotLocked(AudioDeviceIOProc proc, bool wantStarted) const {
  int calling = callingSlot_.load();
  if (onIoThread() && calling >= 0 && slots_[calling].proc.load() == proc) return calling;
  const std::thread::id self = std::this_thread::get_id();
  int found = -1;
  for (bool ownOnly : {true, false}) {
    int best = -1, fallback = -1;
    for (int i = 0; i < kMaxProcs; ++i) {
      if (slots_[i].proc.load() != proc || (ownOnly && slots_[i].addedBy != self)) continue;
      if (fallback < 0 || slots_[i].order > slots_[fallback].order) fallback = i;
      if (slots_[i].started.load() == wantStarted &&
          (best < 0 || slots_[i].order > slots_[best].order)) {
        best = i;
      }
    }
    found = best >= 0 ? best : fallback;
    if (found >= 0) break;
  }
  return found;
}

void AudioDevice::setRunningLocked(bool running) {
  if (running_.exchange(running) == running) return;
  cv_.notify_all();
  AudioObjectPropertyAddress changed[2] = {
      {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0},
      {kAudioDevicePropertyDeviceIsRunningSomewhere, kAudioObjectPropertyScopeGlobal, 0}};
  ListenerHub::instance().notify(settings_.id, changed, 2);
}

void AudioDevice::waitNotCallingLocked(std::unique_lock<std::mutex> &lock, int slot) {
  if (onIoThread()) return;
  ++slotWaiters_;
  cv_.wait(lock, [&] { return callingSlot_.load() != slot; });
  --slotWaiters_;
}

OSStatus AudioDevice::addIOProc(AudioDeviceIOProc proc, void *clientData) {
  if (!proc) return kAudioHardwareIllegalOperationError;
  std::lock_guard<std::mutex> lock(mutex_);
  if (quit_) return kAudioHardwareBadDeviceError;
  for (int i = 0; i < kMaxProcs; ++i) {
    ProcSlot &s = slots_[i];
    if (s.proc.load() != nullptr) continue;
    s.generation.fetch_add(1);
    s.started.store(false);
    s.clientData.store(clientData);
    s.proc.store(proc);
    s.order = nextOrder_++;
    s.addedBy = std::this_thread::get_id();
    return kAudioHardwareNoError;
  }
  return kAudioHardwareIllegalOperationError;  // no room for another procedure
}

OSStatus AudioDevice::removeIOProc(AudioDeviceIOProc proc) {
  if (!proc) return kAudioHardwareIllegalOperationError;  // only procedures are started
  std::unique_lock<std::mutex> lock(mutex_);
  int i = findSlotLocked(proc, false);
  if (i < 0) return kAudioHardwareIllegalOperationError;
  ProcSlot &s = slots_[i];
  s.started.store(false);
  s.generation.fetch_add(1);
  waitNotCallingLocked(lock, i);
  s.proc.store(nullptr);
  s.clientData.store(nullptr);
  stopIfIdleLocked(lock);
  return kAudioHardwareNoError;
}

OSStatus AudioDevice::start(AudioDeviceIOProc proc) {
  if (!proc) return kAudioHardwareIllegalOperationError;  // only procedures are started
  std::unique_lock<std::mutex> lock(mutex_);
  if (quit_) return kAudioHardwareBadDeviceError;
  int i = findSlotLocked(proc, false);
  if (i < 0) return kAudioHardwareIllegalOperationError;
  if (failNextStart_ != 0) {
    OSStatus status = failNextStart_;
    failNextStart_ = 0;
    return status;
  }
  slots_[i].started.store(true);
  if (running_.load()) return kAudioHardwareNoError;
  if (onIoThread()) {
    // Restarted from inside a cycle that stopped it: the run simply goes on.
    setRunningLocked(true);
    return kAudioHardwareNoError;
  }
  ensureThreadLocked();
  cv_.wait(lock, [&] { return phase_ == Phase::Idle || quit_ || running_.load(); });
  if (running_.load()) return kAudioHardwareNoError;
  if (quit_) return kAudioHardwareBadDeviceError;
  startRequested_ = true;
  cv_.notify_all();
  cv_.wait(lock, [&] { return !startRequested_ || quit_; });
  if (openStatus_ == kAudioHardwareNoError && !quit_) return kAudioHardwareNoError;
  slots_[i].started.store(false);
  return openStatus_ ? openStatus_ : kAudioHardwareBadDeviceError;
}

OSStatus AudioDevice::stop(AudioDeviceIOProc proc) {
  if (!proc) return kAudioHardwareIllegalOperationError;  // only procedures are started
  std::unique_lock<std::mutex> lock(mutex_);
  int i = findSlotLocked(proc, true);
  if (i < 0) return kAudioHardwareIllegalOperationError;
  slots_[i].started.store(false);
  waitNotCallingLocked(lock, i);
  stopIfIdleLocked(lock);
  return kAudioHardwareNoError;
}

// When no started procedure remains the device stops. Off the IO thread the call returns only
// when the run has ended and the backend is closed, so the device's output is complete.
void AudioDevice::stopIfIdleLocked(std::unique_lock<std::mutex> &lock) {
  for (const ProcSlot &o : slots_) {
    if (o.started.load()) return;
  }
  setRunningLocked(false);
  if (onIoThread()) return;
  cv_.wait(lock, [&] { return phase_ != Phase::Running || running_.load() || quit_; });
}

UInt32 AudioDevice::step(UInt32 cycles) {
  if (onIoThread() || cycles == 0) return 0;
  std::lock_guard<std::mutex> stepper(stepMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_.load() || phase_ != Phase::Running || clock() != XNQ_CLOCK_STEPPED) return 0;
  stepsPending_ = cycles;
  stepsRan_ = 0;
  cv_.notify_all();
  cv_.wait(lock, [&] { return (stepsPending_ == 0 && !inStepCycle_) || quit_; });
  stepsPending_ = 0;
  return stepsRan_;
}

bool AudioDevice::shutdown() {
  std::unique_lock<std::mutex> lock(mutex_);
  quit_ = true;
  for (ProcSlot &s : slots_) s.started.store(false);
  setRunningLocked(false);
  cv_.notify_all();
  if (onIoThread()) {
    // The cycle in progress calls no further procedure: only the caller's own is still running.
    gone_.store(true);
    return false;
  }
  if (ioThread_.joinable()) {
    std::thread thread = std::move(ioThread_);  // one caller joins, however many shut it down
    lock.unlock();
    thread.join();
    lock.lock();
    threadEnded_ = true;
    cv_.notify_all();
  } else {
    cv_.wait(lock, [&] { return threadEnded_ || !threadStarted_; });
  }
  gone_.store(true);
  return true;
}

void AudioDevice::ensureThreadLocked() {
  if (ioThread_.joinable() || threadStarted_) return;
  threadStarted_ = true;
  ioThread_ = std::thread([this] { ioThreadMain(); });
  ioThreadId_.store(ioThread_.get_id());
}

// The device's IO thread: idles until a start, opens the backend, runs cycles until the last
// procedure stops, closes the backend.
void AudioDevice::ioThreadMain() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [&] { return startRequested_ || quit_; });
    if (quit_) break;
    RunFormat format;
    format.sampleRate = nominalRate();
    format.outputChannels = settings_.outputChannels;
    format.inputChannels = settings_.inputChannels;
    format.bufferFrames = bufferFrames();
    phase_ = Phase::Opening;
    lock.unlock();
    OSStatus status = backend_->open(format);
    lock.lock();
    startRequested_ = false;
    openStatus_ = status;
    if (status != kAudioHardwareNoError || quit_) {
      if (status == kAudioHardwareNoError) backend_->close();
      phase_ = Phase::Idle;
      cv_.notify_all();
      continue;
    }
    phase_ = Phase::Running;
    setRunningLocked(true);
    lock.unlock();
    runLoop(format);
    backend_->close();
    lock.lock();
    phase_ = Phase::Idle;
    stepsPending_ = 0;
    cv_.notify_all();
  }
  startRequested_ = false;
  cv_.notify_all();
}

// IO thread: paces the cycles by the clock mode. It waits on mutex_ only between cycles and
// allocates nothing.
void AudioDevice::runLoop(const RunFormat &format) {
  using Clock = std::chrono::steady_clock;
  auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(format.bufferFrames / format.sampleRate));
  auto next = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!running_.load() || quit_) break;
    XnqClockMode mode = clock();
    if (mode != XNQ_CLOCK_STEPPED && stepsPending_ > 0) {
      stepsPending_ = 0;  // the clock changed under a waiting step: it ends with what ran
      cv_.notify_all();
    }
    if (mode == XNQ_CLOCK_STEPPED) {
      cv_.wait(lock, [&] {
        return stepsPending_ > 0 || !running_.load() || quit_ || clock() != XNQ_CLOCK_STEPPED;
      });
      if (stepsPending_ == 0) continue;
      --stepsPending_;
      inStepCycle_ = true;
      lock.unlock();
      bool ran = cycle(format);
      lock.lock();
      inStepCycle_ = false;
      if (ran) ++stepsRan_;
      if (!running_.load()) stepsPending_ = 0;
      cv_.notify_all();
      next = Clock::now();
      continue;
    }
    if (mode == XNQ_CLOCK_REALTIME && !backend_->pacesItself()) {
      next += period;
      auto now = Clock::now();
      if (next < now - 4 * period) next = now;  // fell far behind: don't burst to catch up
      cv_.wait_until(lock, next, [&] { return !running_.load() || quit_ || clock() != mode; });
      if (!running_.load() || quit_ || clock() != mode) continue;
    }
    lock.unlock();
    cycle(format);
    if (mode == XNQ_CLOCK_REALTIME && !backend_->pacesItself() && Clock::now() > next + period) {
      // The cycle overran its slot: the IO procedures took longer than the buffer lasts.
      AudioObjectPropertyAddress overload{kAudioDeviceProcessorOverload,
                                          kAudioObjectPropertyScopeGlobal, 0};
      ListenerHub::instance().notify(settings_.id, &overload, 1);
    }
    lock.lock();
  }
}

// IO thread: ends the call of the current slot and wakes the threads that wait for it in stop or
// remove. Every path out of a slot's call goes through here, or a stopper waits for good.
void AudioDevice::endCall() {
  callingSlot_.store(-1);
  if (slotWaiters_.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
  }
}

// IO thread, once per cycle: calls the started procedures and hands the output to the backend.
// Must not allocate or lock; the mutex is taken only to wake a thread waiting in stop/remove.
bool AudioDevice::cycle(const RunFormat &format) {
  const UInt32 frames = format.bufferFrames;
  const UInt32 outCh = format.outputChannels, inCh = format.inputChannels;
  const size_t outSamples = size_t(frames) * outCh;
  std::fill(output_.begin(), output_.begin() + outSamples, prefill_.load());
  if (inCh > 0) {
    backend_->readInput(input_.data(), frames, inCh);
    if (mute_[1].load() || volume_[1].load() < 1.0f) {
      float gain = mute_[1].load() ? 0.0f : volumeScalarToGain(volume_[1].load());
      for (size_t i = 0; i < size_t(frames) * inCh; ++i) input_[i] *= gain;
    }
  }

  AudioTimeStamp now{}, inputTime{}, outputTime{};
  now.mSampleTime = sampleTime_;
  now.mHostTime = AudioGetCurrentHostTime();
  now.mRateScalar = 1.0;
  now.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
               kAudioTimeStampRateScalarValid;
  inputTime = now;
  inputTime.mSampleTime = sampleTime_ - frames;
  outputTime = now;
  outputTime.mSampleTime = sampleTime_ + frames;
  outputTime.mHostTime =
      now.mHostTime + AudioConvertNanosToHostTime(UInt64(frames * 1e9 / format.sampleRate));

  emptyList_.mNumberBuffers = 0;
  inputList_.mNumberBuffers = inCh > 0 ? 1 : 0;
  inputList_.mBuffers[0] = {inCh, UInt32(frames * inCh * 4), input_.data()};
  const AudioBufferList *inList = inCh > 0 ? &inputList_ : &emptyList_;

  bool ran = false;
  for (int i = 0; i < kMaxProcs; ++i) {
    ProcSlot &s = slots_[i];
    UInt32 generation = s.generation.load();
    if (!s.started.load()) continue;
    AudioDeviceIOProc proc = s.proc.load();
    void *clientData = s.clientData.load();
    callingSlot_.store(i);
    if (!proc || !s.started.load() || s.generation.load() != generation) {
      // Stopped or removed since the check above: a stopper may already wait for this slot.
      endCall();
      continue;
    }
    // The first procedure writes straight into the output; later ones into a cleared scratch
    // buffer that is mixed in, as several clients of one device are summed.
    AudioBufferList *outList = &emptyList_;
    if (outCh > 0) {
      outList = ran ? &scratchList_ : &outputList_;
      float *data = ran ? mixScratch_.data() : output_.data();
      if (ran) std::fill(mixScratch_.begin(), mixScratch_.begin() + outSamples, 0.0f);
      outList->mNumberBuffers = 1;
      outList->mBuffers[0] = {outCh, UInt32(outSamples * 4), data};
    }
    proc(settings_.id, &now, inList, &inputTime, outList, &outputTime, clientData);
    if (outCh > 0 && ran) {
      for (size_t k = 0; k < outSamples; ++k) output_[k] += mixScratch_[k];
    }
    ran = true;
    endCall();
  }

  if (outCh > 0) {
    tapBusy_.store(true);
    UInt32 generation = tapGeneration_.load();
    XnqOutputTap tap = tap_.load();
    void *context = tapContext_.load();
    if (tap && generation % 2 == 0 && tapGeneration_.load() == generation) {
      tap(output_.data(), frames, outCh, context);
    }
    tapBusy_.store(false);
    const float *out = output_.data();
    if (mute_[0].load() || volume_[0].load() < 1.0f) {
      float gain = mute_[0].load() ? 0.0f : volumeScalarToGain(volume_[0].load());
      for (size_t k = 0; k < outSamples; ++k) gained_[k] = output_[k] * gain;
      out = gained_.data();
    }
    backend_->writeOutput(out, frames, outCh);
  }
  sampleTime_ += frames;
  cycles_.fetch_add(1);
  secondsPlayed_ += frames / format.sampleRate;
  if (settings_.unplugAfter > 0 && !unplugRequested_ && secondsPlayed_ >= settings_.unplugAfter) {
    unplugRequested_ = true;
    ListenerHub::instance().notify(settings_.id, kDeviceUnplugRequest);
  }
  return ran;
}

}  // namespace xnq::hal
