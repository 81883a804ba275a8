#include "audiounit/output_unit.h"

#include <array>
#include <cstring>
#include <utility>

#include "audiounit/channel_copy.h"

namespace xnq::au {
namespace {

template <typename T>
OSStatus readValue(void *data, UInt32 &size, T value) {
  if (size < sizeof(T)) return kAudioUnitErr_InvalidPropertyValue;
  std::memcpy(data, &value, sizeof(T));
  size = sizeof(T);
  return noErr;
}

// Device IO procedures are told apart by their address, so every unit that plays needs one of
// its own: a fixed pool of identical procedures, each claimed by one unit at a time.
constexpr int kIOProcCount = 32;
// Written by host threads claiming and returning procedures.
std::atomic<bool> ioProcTaken[kIOProcCount];

// Device IO thread: no allocation, no lock, no host calls.
template <int N>
OSStatus outputIOProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                      const AudioTimeStamp *, AudioBufferList *outOutputData,
                      const AudioTimeStamp *inOutputTime, void *inClientData) {
  return static_cast<DeviceOutput *>(inClientData)->deviceIO(inOutputTime, outOutputData);
}

// Notification thread: the system's default or system output device changed.
OSStatus systemChoiceChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress *,
                             void *clientData) {
  static_cast<DeviceOutput *>(clientData)->followSystemChoice();
  return noErr;
}

template <int... N>
constexpr std::array<AudioDeviceIOProc, sizeof...(N)> makeIOProcs(
    std::integer_sequence<int, N...>) {
  return {outputIOProc<N>...};
}

constexpr auto kIOProcs = makeIOProcs(std::make_integer_sequence<int, kIOProcCount>{});

AudioDeviceIOProc claimIOProc() {
  for (int i = 0; i < kIOProcCount; ++i) {
    bool expected = false;
    if (ioProcTaken[i].compare_exchange_strong(expected, true)) return kIOProcs[i];
  }
  return nullptr;
}

void returnIOProc(AudioDeviceIOProc proc) {
  for (int i = 0; i < kIOProcCount; ++i)
    if (kIOProcs[i] == proc) ioProcTaken[i].store(false);
}

}  // namespace

// --- Output units in general -------------------------------------------------------------

OSStatus OutputUnit::start() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!initialized()) return kAudioUnitErr_Uninitialized;
  if (running_.load()) return noErr;
  if (OSStatus status = startIO()) return status;
  running_.store(true);
  return noErr;
}

OSStatus OutputUnit::stop() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!running_.load()) return noErr;
  stopIO();
  running_.store(false);
  return noErr;
}

void OutputUnit::unprepare() {
  if (running_.load()) stopIO();
  running_.store(false);
}

OSStatus OutputUnit::propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, UInt32 &size, bool &writable) {
  if (id == kAudioOutputUnitProperty_IsRunning) {
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    size = sizeof(UInt32);
    writable = false;
    return noErr;
  }
  return AudioUnitBase::propertyInfo(id, scope, element, size, writable);
}

OSStatus OutputUnit::readProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, void *data, UInt32 &size) {
  if (id == kAudioOutputUnitProperty_IsRunning)
    return readValue(data, size, static_cast<UInt32>(running_.load() ? 1 : 0));
  return AudioUnitBase::readProperty(id, scope, element, data, size);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus GenericOutput::renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp,
                                  UInt32 bus, UInt32 frames, AudioBufferList *ioData) {
  AudioBufferList *input = nullptr;
  if (OSStatus status = pullInput(0, timeStamp, frames, input)) return status;
  copyChannels(*input, element(kAudioUnitScope_Input, 0)->format, *ioData,
               element(kAudioUnitScope_Output, bus)->format, frames, nullptr, 0);
  return noErr;
}

// --- Units that drive a device ------------------------------------------------------------

DeviceOutput::DeviceOutput(AudioUnit self, const ComponentDescription &description, Follows follows)
    : OutputUnit(self, description, 2,
                 {{kAudioUnitScope_Global, kVolumeParameter, "Volume",
                   kAudioUnitParameterUnit_LinearGain, 0.0f, 1.0f, 1.0f}}),
      follows_(follows) {
  for (auto &entry : channelMap_) entry.store(-1);
  adoptDevice(followedDevice());
  if (follows_ != Follows::kChosenDevice) {
    AudioObjectPropertyAddress address = systemChoice();
    AudioObjectAddPropertyListener(kAudioObjectSystemObject, &address, systemChoiceChanged, this);
  }
}

DeviceOutput::~DeviceOutput() {
  // The listener goes first and without the lock: removing it waits for a notification in
  // progress, which itself takes the lock.
  if (follows_ != Follows::kChosenDevice) {
    AudioObjectPropertyAddress address = systemChoice();
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &address, systemChoiceChanged,
                                      this);
  }
  std::lock_guard<std::mutex> lock(lock_);
  unprepare();
}

AudioObjectPropertyAddress DeviceOutput::systemChoice() const {
  return {follows_ == Follows::kSystemOutput ? kAudioHardwarePropertyDefaultSystemOutputDevice
                                             : kAudioHardwarePropertyDefaultOutputDevice,
          kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
}

void DeviceOutput::followSystemChoice() {
  std::lock_guard<std::mutex> lock(lock_);
  moveTo(followedDevice());
}

OSStatus DeviceOutput::moveTo(AudioDeviceID device) {
  if (device == device_) return noErr;
  bool wasInitialized = initialized();
  bool wasRunning = running_.load();
  if (wasInitialized) detach();
  adoptDevice(device);
  if (!wasInitialized) return noErr;
  OSStatus status = attach();
  if (status == noErr && wasRunning) status = startIO();
  // Without a device to play to, the unit stops; a later start tries again.
  if (status != noErr) running_.store(false);
  return status;
}

AudioDeviceID DeviceOutput::followedDevice() const {
  AudioHardwarePropertyID which = follows_ == Follows::kSystemOutput
                                      ? kAudioHardwarePropertyDefaultSystemOutputDevice
                                      : kAudioHardwarePropertyDefaultOutputDevice;
  if (follows_ == Follows::kChosenDevice && device_ != kAudioDeviceUnknown) return device_;
  AudioDeviceID device = kAudioDeviceUnknown;
  UInt32 size = sizeof device;
  if (AudioHardwareGetProperty(which, &size, &device) != noErr) return kAudioDeviceUnknown;
  return device;
}

void DeviceOutput::adoptDevice(AudioDeviceID device) {
  AudioStreamBasicDescription format{};
  UInt32 size = sizeof format;
  if (device == kAudioDeviceUnknown ||
      AudioDeviceGetProperty(device, 0, false, kAudioDevicePropertyStreamFormat, &size, &format) !=
          noErr ||
      format.mChannelsPerFrame == 0) {
    device_ = kAudioDeviceUnknown;
    mapSize_.store(0);
    return;
  }
  bool sameDevice = device == device_;
  device_ = device;
  deviceFormat_ = format;
  element(kAudioUnitScope_Output, 0)->format = format;
  UInt32 channels =
      format.mChannelsPerFrame < kMaxChannels ? format.mChannelsPerFrame : kMaxChannels;
  if (!sameDevice || mapSize_.load() != channels) {
    for (UInt32 d = 0; d < kMaxChannels; ++d)
      channelMap_[d].store(d < channels ? static_cast<SInt32>(d) : -1);
    mapSize_.store(channels);
    // The client side starts as the device's rate and channels in the units' own format.
    if (!initialized())
      element(kAudioUnitScope_Input, 0)->format = canonicalFormat(format.mSampleRate, channels);
  }
}

OSStatus DeviceOutput::checkFormat(AudioUnitScope scope, AudioUnitElement element,
                                   const AudioStreamBasicDescription &format) {
  // The output side is the device's own format.
  if (scope == kAudioUnitScope_Output && element == 0) return kAudioUnitErr_PropertyNotWritable;
  return AudioUnitBase::checkFormat(scope, element, format);
}

OSStatus DeviceOutput::propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                    AudioUnitElement element, UInt32 &size, bool &writable) {
  writable = false;
  switch (id) {
    case kAudioOutputUnitProperty_CurrentDevice:
      if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
      size = sizeof(AudioDeviceID);
      // The default and system output units follow the system's choice.
      writable = follows_ == Follows::kChosenDevice;
      return noErr;
    case kAudioOutputUnitProperty_ChannelMap:
      if (scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
      if (element != 0) return kAudioUnitErr_InvalidElement;
      size = mapSize_.load() * sizeof(SInt32);
      writable = true;
      return noErr;
    case kAudioOutputUnitProperty_EnableIO:
    case kAudioOutputUnitProperty_HasIO:
      // Output is element 0 of the output scope; input would be element 1 of the input scope.
      if (!((scope == kAudioUnitScope_Output && element == 0) ||
            (scope == kAudioUnitScope_Input && element == 1)))
        return kAudioUnitErr_InvalidElement;
      size = sizeof(UInt32);
      writable = id == kAudioOutputUnitProperty_EnableIO;
      return noErr;
    case kAudioUnitProperty_StreamFormat:
    case kAudioUnitProperty_SampleRate:
      if (OSStatus status = AudioUnitBase::propertyInfo(id, scope, element, size, writable))
        return status;
      writable = !(scope == kAudioUnitScope_Output && element == 0);
      return noErr;
    default:
      return OutputUnit::propertyInfo(id, scope, element, size, writable);
  }
}

OSStatus DeviceOutput::readProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                    AudioUnitElement element, void *data, UInt32 &size) {
  switch (id) {
    case kAudioOutputUnitProperty_CurrentDevice:
      return readValue(data, size, initialized() ? device_ : followedDevice());
    case kAudioOutputUnitProperty_ChannelMap: {
      UInt32 count = mapSize_.load();
      if (size < count * sizeof(SInt32)) return kAudioUnitErr_InvalidPropertyValue;
      for (UInt32 d = 0; d < count; ++d) {
        SInt32 entry = channelMap_[d].load();
        std::memcpy(static_cast<char *>(data) + d * sizeof entry, &entry, sizeof entry);
      }
      size = count * sizeof(SInt32);
      return noErr;
    }
    case kAudioOutputUnitProperty_EnableIO:
      return readValue(data, size,
                       static_cast<UInt32>(scope == kAudioUnitScope_Output && outputEnabled_));
    case kAudioOutputUnitProperty_HasIO:
      return readValue(
          data, size,
          static_cast<UInt32>(scope == kAudioUnitScope_Output && device_ != kAudioDeviceUnknown));
    default:
      return OutputUnit::readProperty(id, scope, element, data, size);
  }
}

OSStatus DeviceOutput::writeProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void *data, UInt32 size) {
  switch (id) {
    case kAudioOutputUnitProperty_CurrentDevice: {
      AudioDeviceID device;
      std::memcpy(&device, data, sizeof device);
      UInt32 formatSize = 0;
      if (AudioDeviceGetPropertyInfo(device, 0, false, kAudioDevicePropertyStreamFormat,
                                     &formatSize, nullptr) != noErr)
        return kAudioUnitErr_InvalidPropertyValue;
      // A running unit moves to the new device and keeps playing there.
      return moveTo(device);
    }
    case kAudioOutputUnitProperty_ChannelMap: {
      if (size == 0 || size % sizeof(SInt32) != 0) return kAudioUnitErr_InvalidPropertyValue;
      UInt32 given = size / sizeof(SInt32);
      UInt32 count = mapSize_.load();
      for (UInt32 d = 0; d < given && d < count; ++d) {
        SInt32 entry;
        std::memcpy(&entry, static_cast<const char *>(data) + d * sizeof entry, sizeof entry);
        if (entry < -1 || entry >= static_cast<SInt32>(kMaxChannels))
          return kAudioUnitErr_InvalidPropertyValue;
      }
      // Channels the caller did not name are unmapped.
      for (UInt32 d = 0; d < count; ++d) {
        SInt32 entry = -1;
        if (d < given)
          std::memcpy(&entry, static_cast<const char *>(data) + d * sizeof entry, sizeof entry);
        channelMap_[d].store(entry, std::memory_order_relaxed);
      }
      return noErr;
    }
    case kAudioOutputUnitProperty_EnableIO: {
      if (initialized()) return kAudioUnitErr_Initialized;
      UInt32 enable;
      std::memcpy(&enable, data, sizeof enable);
      // Capture through an output unit is not offered: its input side can only stay off.
      if (scope == kAudioUnitScope_Input)
        return enable == 0 ? OSStatus{noErr} : OSStatus{kAudioUnitErr_InvalidPropertyValue};
      outputEnabled_ = enable != 0;
      return noErr;
    }
    case kAudioUnitProperty_StreamFormat:
    case kAudioUnitProperty_SampleRate: {
      OSStatus status = OutputUnit::writeProperty(id, scope, element, data, size);
      if (status == noErr && scope == kAudioUnitScope_Input && element == 0)
        clientFormatChosen_ = true;
      return status;
    }
    default:
      return OutputUnit::writeProperty(id, scope, element, data, size);
  }
}

OSStatus DeviceOutput::makeRateConverter() {
  rateConverter_.reset();
  const AudioStreamBasicDescription &input = element(kAudioUnitScope_Input, 0)->format;
  if (input.mSampleRate == deviceFormat_.mSampleRate) return noErr;
  AudioStreamBasicDescription atDeviceRate = input;
  atDeviceRate.mSampleRate = deviceFormat_.mSampleRate;
  if (OSStatus status = conv::PcmConverter::make(input, atDeviceRate, rateConverter_))
    return status == memFullErr ? status : OSStatus{kAudioUnitErr_FormatNotSupported};
  bool interleaved = (input.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  UInt32 buffers = interleaved ? 1 : input.mChannelsPerFrame;
  resampled_.samples.assign(static_cast<size_t>(maxFramesPerSlice()) * input.mChannelsPerFrame,
                            0.0f);
  resampled_.listBytes.assign(offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer),
                              0);
  resampled_.list()->mNumberBuffers = buffers;
  return noErr;
}

OSStatus DeviceOutput::attach() {
  if (device_ == kAudioDeviceUnknown) return kAudioUnitErr_FailedInitialization;
  if (OSStatus status = makeRateConverter()) return status;
  ioProc_ = claimIOProc();
  if (ioProc_ == nullptr) return kAudioUnitErr_FailedInitialization;
  if (OSStatus status = AudioDeviceAddIOProc(device_, ioProc_, this)) {
    returnIOProc(ioProc_);
    ioProc_ = nullptr;
    return status;
  }
  return noErr;
}

void DeviceOutput::detach() {
  if (ioProc_ == nullptr) return;
  if (running_.load()) AudioDeviceStop(device_, ioProc_);
  AudioDeviceRemoveIOProc(device_, ioProc_);
  returnIOProc(ioProc_);
  ioProc_ = nullptr;
}

OSStatus DeviceOutput::prepare() {
  // The default and system output units play where the system plays now.
  AudioDeviceID device = followedDevice();
  if (device != device_ || device_ == kAudioDeviceUnknown) adoptDevice(device);
  if (device_ == kAudioDeviceUnknown) return kAudioUnitErr_FailedInitialization;
  return attach();
}

void DeviceOutput::unprepare() {
  detach();
  running_.store(false);
}

OSStatus DeviceOutput::startIO() {
  if (ioProc_ == nullptr) return kAudioUnitErr_Uninitialized;
  sampleTime_ = 0;
  inputSampleTime_ = 0;
  // Each run starts a new stream: nothing of the last one is left in the converter.
  if (rateConverter_ != nullptr) {
    if (OSStatus status = rateConverter_->reset()) return status;
  }
  return AudioDeviceStart(device_, ioProc_);
}

void DeviceOutput::stopIO() {
  if (ioProc_ != nullptr) AudioDeviceStop(device_, ioProc_);
}

// Device IO thread: no allocation, no lock, no host calls.
OSStatus DeviceOutput::deviceIO(const AudioTimeStamp *outputTime, AudioBufferList *output) {
  if (output == nullptr || output->mNumberBuffers == 0 || !outputEnabled_) return noErr;
  AudioBuffer &deviceBuffer = output->mBuffers[0];
  UInt32 channels = deviceBuffer.mNumberChannels;
  if (channels == 0 || deviceBuffer.mData == nullptr) return noErr;
  UInt32 frames = deviceBuffer.mDataByteSize / (channels * 4);
  auto *samples = static_cast<Float32 *>(deviceBuffer.mData);
  AudioTimeStamp stamp{};
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  if (outputTime != nullptr && (outputTime->mFlags & kAudioTimeStampHostTimeValid) != 0) {
    stamp.mHostTime = outputTime->mHostTime;
    stamp.mFlags |= kAudioTimeStampHostTimeValid;
  }
  // The device's buffer is rendered in slices no longer than the unit's maximum.
  for (UInt32 done = 0; done < frames;) {
    UInt32 slice = frames - done < maxFramesPerSlice() ? frames - done : maxFramesPerSlice();
    sliceList_.mNumberBuffers = 1;
    sliceList_.mBuffers[0].mNumberChannels = channels;
    sliceList_.mBuffers[0].mDataByteSize = slice * channels * 4;
    sliceList_.mBuffers[0].mData = samples + static_cast<size_t>(done) * channels;
    stamp.mSampleTime = sampleTime_;
    AudioUnitRenderActionFlags flags = 0;
    if (render(&flags, &stamp, 0, slice, &sliceList_) != noErr)
      std::memset(sliceList_.mBuffers[0].mData, 0, sliceList_.mBuffers[0].mDataByteSize);
    sampleTime_ += slice;
    done += slice;
  }
  return noErr;
}

// Gives the rate converter the unit's input, rendered at the input's own rate.
class DeviceOutput::InputPull final : public conv::PacketSource {
 public:
  InputPull(DeviceOutput &unit, const AudioTimeStamp &deviceTime)
      : unit_(unit), deviceTime_(deviceTime) {}

  // Device IO thread: no allocation, no lock, no host calls.
  OSStatus supply(UInt32 &packets, AudioBufferList &list) override {
    UInt32 frames = packets < unit_.maxFramesPerSlice() ? packets : unit_.maxFramesPerSlice();
    AudioTimeStamp stamp = deviceTime_;
    stamp.mSampleTime = unit_.inputSampleTime_;
    AudioBufferList *pulled = nullptr;
    if (OSStatus status = unit_.pullInput(0, &stamp, frames, pulled)) return status;
    // The converter reads the input where the render left it.
    for (UInt32 b = 0; b < list.mNumberBuffers && b < pulled->mNumberBuffers; ++b)
      list.mBuffers[b] = pulled->mBuffers[b];
    unit_.inputSampleTime_ += frames;
    packets = frames;
    return noErr;
  }

 private:
  DeviceOutput &unit_;
  const AudioTimeStamp &deviceTime_;
};

// Device IO thread: no allocation, no lock, no host calls.
OSStatus DeviceOutput::resample(const AudioTimeStamp *timeStamp, UInt32 frames,
                                AudioBufferList *&out) {
  AudioBufferList *list = resampled_.list();
  UInt32 channels = rateConverter_->destinationFormat().mChannelsPerFrame;
  UInt32 perBuffer = list->mNumberBuffers == 1 ? channels : 1;
  for (UInt32 b = 0; b < list->mNumberBuffers; ++b)
    list->mBuffers[b] = {
        perBuffer, frames * perBuffer * 4,
        resampled_.samples.data() + static_cast<size_t>(b) * maxFramesPerSlice() * perBuffer};
  InputPull pull(*this, *timeStamp);
  UInt32 made = frames;
  out = list;
  return rateConverter_->fill(pull, made, *list);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus DeviceOutput::renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp,
                                 UInt32, UInt32 frames, AudioBufferList *ioData) {
  AudioBufferList *input = nullptr;
  const AudioStreamBasicDescription *inputFormat = &element(kAudioUnitScope_Input, 0)->format;
  if (rateConverter_ != nullptr) {
    if (OSStatus status = resample(timeStamp, frames, input)) return status;
    inputFormat = &rateConverter_->destinationFormat();
  } else if (OSStatus status = pullInput(0, timeStamp, frames, input)) {
    return status;
  }
  copyChannels(*input, *inputFormat, *ioData, deviceFormat_, frames, channelMap_,
               mapSize_.load(std::memory_order_relaxed));
  Float32 volume = parameterValue(kAudioUnitScope_Global, 0, 0);
  if (volume != 1.0f) {
    for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
      auto *samples = static_cast<Float32 *>(ioData->mBuffers[b].mData);
      for (UInt32 i = 0; i < ioData->mBuffers[b].mDataByteSize / 4; ++i) samples[i] *= volume;
    }
  }
  return noErr;
}

}  // namespace xnq::au
