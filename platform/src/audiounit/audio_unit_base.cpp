#include "audiounit/audio_unit_base.h"

#include <cmath>
#include <cstring>

#include "audiounit/channel_copy.h"

namespace xnq::au {
namespace {

constexpr UInt32 kScopeCount = 3;

template <typename T>
OSStatus readValue(void *data, UInt32 &size, T value) {
  if (size < sizeof(T)) return kAudioUnitErr_InvalidPropertyValue;
  std::memcpy(data, &value, sizeof(T));
  size = sizeof(T);
  return noErr;
}

template <typename T>
T valueOf(const void *data) {
  T value;
  std::memcpy(&value, data, sizeof(T));
  return value;
}

// Whether a list has the buffers a format lays out (one per channel, or one for all), each
// with the channels it should hold and, unless the unit is to supply it, bytes for frames.
bool listFits(const AudioBufferList &list, const AudioStreamBasicDescription &format,
              UInt32 frames) {
  bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  UInt32 perBuffer = nonInterleaved ? 1 : format.mChannelsPerFrame;
  if (list.mNumberBuffers != (nonInterleaved ? format.mChannelsPerFrame : 1)) return false;
  for (UInt32 b = 0; b < list.mNumberBuffers; ++b) {
    const AudioBuffer &buffer = list.mBuffers[b];
    if (buffer.mNumberChannels != perBuffer) return false;
    if (buffer.mData != nullptr && buffer.mDataByteSize < frames * format.mBytesPerFrame)
      return false;
  }
  return true;
}

}  // namespace

AudioStreamBasicDescription AudioUnitBase::canonicalFormat(Float64 rate, UInt32 channels) {
  // The units' own format: 32-bit float, one buffer per channel.
  return AudioStreamBasicDescription{
      rate,
      kAudioFormatLinearPCM,
      kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
      4,
      1,
      4,
      channels,
      32,
      0};
}

bool AudioUnitBase::isCanonical(const AudioStreamBasicDescription &format) {
  AudioStreamBasicDescription canonical = canonicalFormat(format.mSampleRate, 1);
  return format.mFormatID == canonical.mFormatID &&
         (format.mFormatFlags & ~kAudioFormatFlagIsPacked) ==
             (canonical.mFormatFlags & ~kAudioFormatFlagIsPacked) &&
         format.mBitsPerChannel == 32 && format.mBytesPerFrame == 4 &&
         format.mBytesPerPacket == 4 && format.mFramesPerPacket == 1;
}

AudioUnitBase::AudioUnitBase(AudioUnit self, const ComponentDescription &description, UInt32 inputs,
                             UInt32 outputs, std::vector<ParameterDefinition> parameters)
    : self_(self), description_(description), parameters_(std::move(parameters)) {
  for (const auto &definition : parameters_) {
    firstSlot_.push_back(slotCount_);
    slotCount_ += definition.count;
  }
  setElementCount(kAudioUnitScope_Global, 1);
  setElementCount(kAudioUnitScope_Input, inputs);
  setElementCount(kAudioUnitScope_Output, outputs);
}

AudioUnitBase::~AudioUnitBase() = default;

std::vector<std::unique_ptr<Element>> &AudioUnitBase::elements(AudioUnitScope scope) {
  return scopes_[scope];
}

Element *AudioUnitBase::element(AudioUnitScope scope, AudioUnitElement index) {
  if (scope >= kScopeCount || index >= scopes_[scope].size()) return nullptr;
  return scopes_[scope][index].get();
}

void AudioUnitBase::makeValues(AudioUnitScope scope, Element &element) {
  element.values = std::make_unique<std::atomic<Float32>[]>(slotCount_);
  for (size_t i = 0; i < parameters_.size(); ++i) {
    if (parameters_[i].scope != scope) continue;
    for (UInt32 k = 0; k < parameters_[i].count; ++k)
      element.values[firstSlot_[i] + k].store(parameters_[i].defaultValue);
  }
}

void AudioUnitBase::setElementCount(AudioUnitScope scope, UInt32 count) {
  auto &list = scopes_[scope];
  AudioStreamBasicDescription format =
      list.empty() ? canonicalFormat(44100.0, 2) : list.front()->format;
  while (list.size() > count) list.pop_back();
  while (list.size() < count) {
    auto element = std::make_unique<Element>();
    element->format = format;
    makeValues(scope, *element);
    list.push_back(std::move(element));
  }
}

OSStatus AudioUnitBase::validateAddress(AudioUnitScope scope, AudioUnitElement element) {
  if (scope >= kScopeCount) return kAudioUnitErr_InvalidScope;
  if (element >= scopes_[scope].size()) return kAudioUnitErr_InvalidElement;
  return noErr;
}

const ParameterDefinition *AudioUnitBase::findParameter(AudioUnitScope scope,
                                                        AudioUnitParameterID id,
                                                        size_t &slot) const {
  for (size_t i = 0; i < parameters_.size(); ++i) {
    const ParameterDefinition &definition = parameters_[i];
    if (definition.scope == scope && id >= definition.id && id - definition.id < definition.count &&
        offersParameter(scope, id)) {
      slot = firstSlot_[i] + (id - definition.id);
      return &definition;
    }
  }
  return nullptr;
}

Float32 AudioUnitBase::parameterValue(AudioUnitScope scope, AudioUnitElement element,
                                      size_t definition, UInt32 offset) const {
  return scopes_[scope][element]->values[firstSlot_[definition] + offset].load(
      std::memory_order_relaxed);
}

void AudioUnitBase::storeParameter(AudioUnitScope scope, AudioUnitElement element,
                                   size_t definition, UInt32 offset, Float32 value) {
  scopes_[scope][element]->values[firstSlot_[definition] + offset].store(value,
                                                                         std::memory_order_relaxed);
}

OSStatus AudioUnitBase::getParameter(AudioUnitParameterID id, AudioUnitScope scope,
                                     AudioUnitElement element, Float32 *value) {
  if (value == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(lock_);
  if (OSStatus status = validateAddress(scope, element)) return status;
  size_t slot;
  if (findParameter(scope, id, slot) == nullptr) return kAudioUnitErr_InvalidParameter;
  *value = scopes_[scope][element]->values[slot].load(std::memory_order_relaxed);
  return noErr;
}

OSStatus AudioUnitBase::setParameter(AudioUnitParameterID id, AudioUnitScope scope,
                                     AudioUnitElement element, Float32 value) {
  std::lock_guard<std::mutex> lock(lock_);
  if (OSStatus status = validateAddress(scope, element)) return status;
  size_t slot;
  const ParameterDefinition *definition = findParameter(scope, id, slot);
  // Measurements are the unit's to write.
  if (definition == nullptr || definition->readOnly) return kAudioUnitErr_InvalidParameter;
  // Values outside the parameter's range (NaN included) are refused, not clamped, so the caller
  // learns of it and the value stays as it was.
  if (!(value >= definition->minValue && value <= definition->maxValue))
    return kAudioUnitErr_InvalidParameter;
  // A choice from a list takes whole numbers only: 0.5 names no entry. A switch keeps any value
  // in its range, as programs read it by their own rule (above a half, or its integer part).
  if (definition->unit == kAudioUnitParameterUnit_Indexed && value != std::floor(value))
    return kAudioUnitErr_InvalidParameter;
  scopes_[scope][element]->values[slot].store(value, std::memory_order_relaxed);
  parameterChanged(scope, element, id);
  return noErr;
}

OSStatus AudioUnitBase::checkFormat(AudioUnitScope, AudioUnitElement,
                                    const AudioStreamBasicDescription &format) {
  bool isFloat32 = format.mFormatID == kAudioFormatLinearPCM &&
                   (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                   (format.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 &&
                   format.mBitsPerChannel == 32 && format.mFramesPerPacket == 1;
  if (!isFloat32 || format.mChannelsPerFrame == 0 || format.mChannelsPerFrame > kMaxChannels ||
      !(format.mSampleRate > 0))
    return kAudioUnitErr_FormatNotSupported;
  bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  UInt32 frameBytes = nonInterleaved ? 4 : 4 * format.mChannelsPerFrame;
  if (format.mBytesPerFrame != frameBytes || format.mBytesPerPacket != frameBytes)
    return kAudioUnitErr_FormatNotSupported;
  return noErr;
}

OSStatus AudioUnitBase::propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, UInt32 &size, bool &writable) {
  bool global = scope == kAudioUnitScope_Global;
  writable = false;
  switch (id) {
    case kAudioUnitProperty_MakeConnection:
      if (scope != kAudioUnitScope_Input) return kAudioUnitErr_InvalidScope;
      size = sizeof(AudioUnitConnection);
      writable = true;
      return noErr;
    case kAudioUnitProperty_SetRenderCallback:
      if (scope != kAudioUnitScope_Input) return kAudioUnitErr_InvalidScope;
      size = sizeof(AURenderCallbackStruct);
      writable = true;
      return noErr;
    case kAudioUnitProperty_SampleRate:
      if (global) return kAudioUnitErr_InvalidScope;
      size = sizeof(Float64);
      writable = true;
      return noErr;
    case kAudioUnitProperty_StreamFormat:
      if (global) return kAudioUnitErr_InvalidScope;
      size = sizeof(AudioStreamBasicDescription);
      writable = true;
      return noErr;
    case kAudioUnitProperty_ParameterList: {
      size = 0;
      for (const auto &definition : parameters_)
        for (UInt32 k = 0; k < definition.count; ++k)
          if (definition.scope == scope && offersParameter(scope, definition.id + k))
            size += sizeof(AudioUnitParameterID);
      return noErr;
    }
    case kAudioUnitProperty_BypassEffect:
      if (!canBypass()) return kAudioUnitErr_InvalidProperty;
      if (!global) return kAudioUnitErr_InvalidScope;
      size = sizeof(UInt32);
      writable = true;
      return noErr;
    case kAudioUnitProperty_ParameterInfo: {
      size_t slot;
      if (findParameter(scope, element, slot) == nullptr) return kAudioUnitErr_InvalidParameter;
      size = sizeof(AudioUnitParameterInfo);
      return noErr;
    }
    case kAudioUnitProperty_ElementCount:
      size = sizeof(UInt32);
      writable = elementCountWritable(scope);
      return noErr;
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime:
      if (!global) return kAudioUnitErr_InvalidScope;
      size = sizeof(Float64);
      return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_RenderQuality:
    case kAudioUnitProperty_OfflineRender:
      if (!global) return kAudioUnitErr_InvalidScope;
      size = sizeof(UInt32);
      writable = true;
      return noErr;
    case kAudioUnitProperty_LastRenderError:
      if (!global) return kAudioUnitErr_InvalidScope;
      size = sizeof(SInt32);
      return noErr;
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus AudioUnitBase::readProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void *data, UInt32 &size) {
  switch (id) {
    case kAudioUnitProperty_MakeConnection: {
      const InputSource &source = scopes_[scope][element]->source;
      return readValue(
          data, size,
          AudioUnitConnection{source.sourceUnit.load(), source.sourceOutput.load(), element});
    }
    case kAudioUnitProperty_SetRenderCallback: {
      const InputSource &source = scopes_[scope][element]->source;
      return readValue(
          data, size, AURenderCallbackStruct{source.callback.load(), source.callbackRefCon.load()});
    }
    case kAudioUnitProperty_SampleRate:
      return readValue(data, size, scopes_[scope][element]->format.mSampleRate);
    case kAudioUnitProperty_StreamFormat:
      return readValue(data, size, scopes_[scope][element]->format);
    case kAudioUnitProperty_ParameterList: {
      UInt32 written = 0;
      for (const auto &definition : parameters_) {
        for (UInt32 k = 0; k < definition.count; ++k) {
          AudioUnitParameterID id = definition.id + k;
          if (definition.scope != scope || !offersParameter(scope, id)) continue;
          if (written + sizeof id > size) return kAudioUnitErr_InvalidPropertyValue;
          std::memcpy(static_cast<char *>(data) + written, &id, sizeof id);
          written += sizeof id;
        }
      }
      size = written;
      return noErr;
    }
    case kAudioUnitProperty_ParameterInfo: {
      size_t slot;
      const ParameterDefinition *definition = findParameter(scope, element, slot);
      AudioUnitParameterInfo info{};
      info.flags = kAudioUnitParameterFlag_IsReadable |
                   (definition->readOnly ? 0u : UInt32{kAudioUnitParameterFlag_IsWritable});
      std::strncpy(info.name, definition->name, sizeof info.name - 1);
      info.unit = definition->unit;
      info.minValue = definition->minValue;
      info.maxValue = definition->maxValue;
      info.defaultValue = definition->defaultValue;
      return readValue(data, size, info);
    }
    case kAudioUnitProperty_ElementCount:
      return readValue(data, size, static_cast<UInt32>(scopes_[scope].size()));
    case kAudioUnitProperty_Latency:
      return readValue(data, size, latencySeconds());
    case kAudioUnitProperty_TailTime:
      return readValue(data, size, tailSeconds());
    case kAudioUnitProperty_MaximumFramesPerSlice:
      return readValue(data, size, maxFrames_);
    case kAudioUnitProperty_RenderQuality:
      return readValue(data, size, renderQuality_.load());
    case kAudioUnitProperty_OfflineRender:
      return readValue(data, size, static_cast<UInt32>(offline() ? 1 : 0));
    case kAudioUnitProperty_BypassEffect:
      return readValue(data, size, static_cast<UInt32>(bypassed_.load()));
    case kAudioUnitProperty_LastRenderError:
      // Reading the last error clears it, so each failure is reported once.
      return readValue(data, size, lastRenderError_.exchange(noErr));
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus AudioUnitBase::writeProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                      AudioUnitElement element, const void *data, UInt32) {
  switch (id) {
    case kAudioUnitProperty_MakeConnection: {
      auto connection = valueOf<AudioUnitConnection>(data);
      if (connection.destInputNumber != element) return kAudioUnitErr_InvalidElement;
      if (connection.sourceAudioUnit == self_) return kAudioUnitErr_InvalidPropertyValue;
      InputSource &source = scopes_[scope][element]->source;
      // A connection replaces a render callback on the same input, and the reverse.
      source.callback.store(nullptr);
      source.sourceOutput.store(connection.sourceOutputNumber);
      source.sourceUnit.store(connection.sourceAudioUnit);
      return noErr;
    }
    case kAudioUnitProperty_SetRenderCallback: {
      auto callback = valueOf<AURenderCallbackStruct>(data);
      InputSource &source = scopes_[scope][element]->source;
      source.sourceUnit.store(nullptr);
      source.callbackRefCon.store(callback.inputProcRefCon);
      source.callback.store(callback.inputProc);
      return noErr;
    }
    case kAudioUnitProperty_SampleRate: {
      AudioStreamBasicDescription format = scopes_[scope][element]->format;
      format.mSampleRate = valueOf<Float64>(data);
      return writeProperty(kAudioUnitProperty_StreamFormat, scope, element, &format, sizeof format);
    }
    case kAudioUnitProperty_StreamFormat: {
      if (initialized()) return kAudioUnitErr_Initialized;
      auto format = valueOf<AudioStreamBasicDescription>(data);
      if (OSStatus status = checkFormat(scope, element, format)) return status;
      scopes_[scope][element]->format = format;
      return noErr;
    }
    case kAudioUnitProperty_ElementCount: {
      if (initialized()) return kAudioUnitErr_Initialized;
      auto count = valueOf<UInt32>(data);
      if (count == 0 || count > 1024) return kAudioUnitErr_InvalidPropertyValue;
      setElementCount(scope, count);
      return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
      if (initialized()) return kAudioUnitErr_Initialized;
      auto frames = valueOf<UInt32>(data);
      if (frames == 0 || frames > kLargestMaxFramesPerSlice)
        return kAudioUnitErr_InvalidPropertyValue;
      maxFrames_ = frames;
      return noErr;
    }
    case kAudioUnitProperty_RenderQuality: {
      auto quality = valueOf<UInt32>(data);
      if (quality > 127) return kAudioUnitErr_InvalidPropertyValue;
      if (renderQuality_.exchange(quality) != quality) settingsChanged();
      return noErr;
    }
    case kAudioUnitProperty_OfflineRender: {
      bool offline = valueOf<UInt32>(data) != 0;
      if (offline_.exchange(offline) != offline) settingsChanged();
      return noErr;
    }
    case kAudioUnitProperty_BypassEffect:
      bypassed_.store(valueOf<UInt32>(data) != 0, std::memory_order_release);
      return noErr;
    default:
      return kAudioUnitErr_PropertyNotWritable;
  }
}

OSStatus AudioUnitBase::getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                        AudioUnitElement element, UInt32 *size, Boolean *writable) {
  std::lock_guard<std::mutex> lock(lock_);
  if (scope >= kScopeCount) return kAudioUnitErr_InvalidScope;
  // Parameter info names the parameter in the element argument.
  if (id != kAudioUnitProperty_ParameterInfo && element >= scopes_[scope].size())
    return kAudioUnitErr_InvalidElement;
  UInt32 dataSize = 0;
  bool canWrite = false;
  if (OSStatus status = propertyInfo(id, scope, element, dataSize, canWrite)) return status;
  if (size != nullptr) *size = dataSize;
  if (writable != nullptr) *writable = canWrite;
  return noErr;
}

OSStatus AudioUnitBase::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                    AudioUnitElement element, void *data, UInt32 *size) {
  if (data == nullptr || size == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(lock_);
  if (scope >= kScopeCount) return kAudioUnitErr_InvalidScope;
  if (id != kAudioUnitProperty_ParameterInfo && element >= scopes_[scope].size())
    return kAudioUnitErr_InvalidElement;
  UInt32 dataSize = 0;
  bool canWrite = false;
  if (OSStatus status = propertyInfo(id, scope, element, dataSize, canWrite)) return status;
  return readProperty(id, scope, element, data, *size);
}

OSStatus AudioUnitBase::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                    AudioUnitElement element, const void *data, UInt32 size) {
  bool passOn = false;
  OSStatus status = [&]() -> OSStatus {
    std::lock_guard<std::mutex> lock(lock_);
    if (scope >= kScopeCount) return kAudioUnitErr_InvalidScope;
    if (element >= scopes_[scope].size()) return kAudioUnitErr_InvalidElement;
    UInt32 dataSize = 0;
    bool canWrite = false;
    if (OSStatus info = propertyInfo(id, scope, element, dataSize, canWrite)) return info;
    if (!canWrite) return kAudioUnitErr_PropertyNotWritable;
    // Variable-sized properties report their current size; they check the size they are given.
    bool variableSize = id == kAudioOutputUnitProperty_ChannelMap;
    if (data == nullptr || (!variableSize && size != dataSize))
      return kAudioUnitErr_InvalidPropertyValue;
    bool before = offline();
    OSStatus written = writeProperty(id, scope, element, data, size);
    passOn = written == noErr && offline() != before;
    return written;
  }();
  // Without the lock, as the units before this one may pass it back along a loop.
  if (passOn) passOfflineOn();
  return status;
}

void AudioUnitBase::passOfflineOn() {
  UInt32 value = offline() ? 1 : 0;
  for (const auto &input : scopes_[kAudioUnitScope_Input]) {
    AudioUnit source = input->source.sourceUnit.load(std::memory_order_acquire);
    if (source != nullptr)
      AudioUnitSetProperty(source, kAudioUnitProperty_OfflineRender, kAudioUnitScope_Global, 0,
                           &value, sizeof value);
  }
}

void AudioUnitBase::layoutBuffers(InputBuffers &buffers, const AudioStreamBasicDescription &format,
                                  UInt32 frames) {
  UInt32 channels = format.mChannelsPerFrame;
  bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  UInt32 bufferCount = nonInterleaved ? channels : 1;
  buffers.samples.assign(static_cast<size_t>(frames) * channels, 0.0f);
  buffers.listBytes.assign(offsetof(AudioBufferList, mBuffers) + bufferCount * sizeof(AudioBuffer),
                           0);
  buffers.list()->mNumberBuffers = bufferCount;
}

OSStatus AudioUnitBase::initialize() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (initialized()) return noErr;
    adoptConnectedFormats();
    inputBuffers_.clear();
    inputBuffers_.resize(scopes_[kAudioUnitScope_Input].size());
    for (size_t i = 0; i < inputBuffers_.size(); ++i)
      layoutBuffers(inputBuffers_[i], scopes_[kAudioUnitScope_Input][i]->format, maxFrames_);
    outputScratch_.clear();
    for (const auto &output : scopes_[kAudioUnitScope_Output])
      outputScratch_.emplace_back(static_cast<size_t>(maxFrames_) *
                                  output->format.mChannelsPerFrame);
    if (OSStatus status = prepare()) {
      inputBuffers_.clear();
      outputScratch_.clear();
      return status;
    }
    initialized_.store(true, std::memory_order_release);
  }
  // A chain is initialized from its sources on, so the units before an output unit are ready
  // when it tells them how they render.
  if (endsChain()) passOfflineOn();
  return noErr;
}

void AudioUnitBase::adoptConnectedFormats() {
  auto &inputs = scopes_[kAudioUnitScope_Input];
  for (UInt32 i = 0; i < inputs.size(); ++i) {
    AudioUnit source = inputs[i]->source.sourceUnit.load();
    if (source == nullptr) continue;
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    if (AudioUnitGetProperty(source, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output,
                             inputs[i]->source.sourceOutput.load(), &format, &size) == noErr &&
        checkFormat(kAudioUnitScope_Input, i, format) == noErr)
      inputs[i]->format = format;
  }
}

OSStatus AudioUnitBase::uninitialize() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!initialized()) return noErr;
  unprepare();
  initialized_.store(false, std::memory_order_release);
  inputBuffers_.clear();
  outputScratch_.clear();
  return noErr;
}

OSStatus AudioUnitBase::reset(AudioUnitScope scope, AudioUnitElement element) {
  std::lock_guard<std::mutex> lock(lock_);
  if (OSStatus status = validateAddress(scope, element)) return status;
  resetState();
  return noErr;
}

OSStatus AudioUnitBase::start() { return badComponentSelector; }

OSStatus AudioUnitBase::stop() { return badComponentSelector; }

OSStatus AudioUnitBase::addRenderNotify(AURenderCallback proc, void *refCon) {
  if (proc == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(lock_);
  for (RenderNotify &notify : notifies_) {
    if (notify.proc.load() != nullptr) continue;
    notify.refCon.store(refCon);
    notify.proc.store(proc, std::memory_order_release);
    return noErr;
  }
  return memFullErr;
}

OSStatus AudioUnitBase::removeRenderNotify(AURenderCallback proc, void *refCon) {
  std::lock_guard<std::mutex> lock(lock_);
  for (RenderNotify &notify : notifies_) {
    if (notify.proc.load() == proc && notify.refCon.load() == refCon) {
      notify.proc.store(nullptr, std::memory_order_release);
      return noErr;
    }
  }
  return paramErr;
}

// Render thread: no allocation, no lock, no host calls.
OSStatus AudioUnitBase::pullInput(UInt32 index, const AudioTimeStamp *timeStamp, UInt32 frames,
                                  AudioBufferList *&ioData) {
  if (index >= inputBuffers_.size()) return kAudioUnitErr_InvalidElement;
  InputBuffers &buffers = inputBuffers_[index];
  const Element &input = *scopes_[kAudioUnitScope_Input][index];
  AudioBufferList *list = buffers.list();
  UInt32 channels = input.format.mChannelsPerFrame;
  UInt32 perBuffer = list->mNumberBuffers == 1 ? channels : 1;
  for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
    list->mBuffers[i].mNumberChannels = perBuffer;
    list->mBuffers[i].mDataByteSize = frames * perBuffer * 4;
    list->mBuffers[i].mData =
        buffers.samples.data() + static_cast<size_t>(i) * maxFrames_ * perBuffer;
  }
  ioData = list;
  // The source gets flags of its own; what it sets there concerns only its own render.
  AudioUnitRenderActionFlags inputFlags = 0;
  AURenderCallback callback = input.source.callback.load(std::memory_order_acquire);
  if (callback != nullptr)
    return callback(input.source.callbackRefCon.load(std::memory_order_relaxed), &inputFlags,
                    timeStamp, index, frames, list);
  AudioUnit source = input.source.sourceUnit.load(std::memory_order_acquire);
  if (source != nullptr)
    return AudioUnitRender(source, &inputFlags, timeStamp,
                           input.source.sourceOutput.load(std::memory_order_relaxed), frames, list);
  return kAudioUnitErr_NoConnection;
}

bool AudioUnitBase::hasSource(UInt32 index) {
  if (index >= scopes_[kAudioUnitScope_Input].size()) return false;
  const InputSource &source = scopes_[kAudioUnitScope_Input][index]->source;
  return source.callback.load(std::memory_order_acquire) != nullptr ||
         source.sourceUnit.load(std::memory_order_acquire) != nullptr;
}

// Render thread: no allocation, no lock, no host calls.
OSStatus AudioUnitBase::pullInputInto(UInt32 index, const AudioTimeStamp *timeStamp, UInt32 frames,
                                      AudioBufferList *ioData) {
  if (index >= scopes_[kAudioUnitScope_Input].size()) return kAudioUnitErr_InvalidElement;
  const InputSource &source = scopes_[kAudioUnitScope_Input][index]->source;
  AudioUnitRenderActionFlags inputFlags = 0;
  void *given[kMaxChannels];
  UInt32 buffers = ioData->mNumberBuffers < kMaxChannels ? ioData->mNumberBuffers : kMaxChannels;
  for (UInt32 b = 0; b < buffers; ++b) given[b] = ioData->mBuffers[b].mData;
  OSStatus status = kAudioUnitErr_NoConnection;
  AURenderCallback callback = source.callback.load(std::memory_order_acquire);
  AudioUnit unit = source.sourceUnit.load(std::memory_order_acquire);
  if (callback != nullptr)
    status = callback(source.callbackRefCon.load(std::memory_order_relaxed), &inputFlags, timeStamp,
                      index, frames, ioData);
  else if (unit != nullptr)
    status = AudioUnitRender(unit, &inputFlags, timeStamp,
                             source.sourceOutput.load(std::memory_order_relaxed), frames, ioData);
  // A source may answer with buffers of its own; the samples go where the caller asked, so that
  // the caller may work on them in place.
  for (UInt32 b = 0; b < buffers; ++b) {
    AudioBuffer &buffer = ioData->mBuffers[b];
    if (buffer.mData == given[b] || buffer.mData == nullptr || given[b] == nullptr) continue;
    std::memmove(given[b], buffer.mData, buffer.mDataByteSize);
    buffer.mData = given[b];
  }
  return status;
}

// Render thread: no allocation, no lock, no host calls.
OSStatus AudioUnitBase::renderBypassed(const AudioTimeStamp *timeStamp, UInt32 bus, UInt32 frames,
                                       AudioBufferList *ioData) {
  const AudioStreamBasicDescription &in = scopes_[kAudioUnitScope_Input][0]->format;
  const AudioStreamBasicDescription &out = scopes_[kAudioUnitScope_Output][bus]->format;
  if (in.mChannelsPerFrame == out.mChannelsPerFrame && in.mFormatFlags == out.mFormatFlags &&
      in.mBytesPerFrame == out.mBytesPerFrame)
    return pullInputInto(0, timeStamp, frames, ioData);
  AudioBufferList *input = nullptr;
  if (OSStatus status = pullInput(0, timeStamp, frames, input)) return status;
  copyChannels(*input, in, *ioData, out, frames, nullptr, 0);
  return noErr;
}

// Render thread: no allocation, no lock, no host calls.
OSStatus AudioUnitBase::render(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp,
                               UInt32 bus, UInt32 frames, AudioBufferList *ioData) {
  if (ioData == nullptr || timeStamp == nullptr) return paramErr;
  if (!initialized()) return kAudioUnitErr_Uninitialized;
  if (bus >= scopes_[kAudioUnitScope_Output].size()) return kAudioUnitErr_InvalidElement;
  if (frames > maxFrames_) return kAudioUnitErr_TooManyFramesToProcess;
  // Units write every channel's frames without looking further, so the caller's list must have
  // the output format's layout and room for the frames asked.
  if (!listFits(*ioData, scopes_[kAudioUnitScope_Output][bus]->format, frames)) return paramErr;
  // A caller may pass buffers without data and let the unit supply them; the scratch holds a
  // slice of every channel.
  Float32 *scratch = outputScratch_[bus].data();
  size_t used = 0;
  for (UInt32 i = 0; i < ioData->mNumberBuffers; ++i) {
    AudioBuffer &buffer = ioData->mBuffers[i];
    size_t samples = static_cast<size_t>(frames) * buffer.mNumberChannels;
    if (buffer.mData != nullptr) continue;
    buffer.mData = scratch + used;
    buffer.mDataByteSize = static_cast<UInt32>(samples * 4);
    used += samples;
  }
  AudioUnitRenderActionFlags localFlags = 0;
  AudioUnitRenderActionFlags &actionFlags = flags != nullptr ? *flags : localFlags;

  for (RenderNotify &notify : notifies_) {
    AURenderCallback proc = notify.proc.load(std::memory_order_acquire);
    if (proc == nullptr) continue;
    AudioUnitRenderActionFlags pre = actionFlags | kAudioUnitRenderAction_PreRender;
    proc(notify.refCon.load(std::memory_order_relaxed), &pre, timeStamp, bus, frames, ioData);
  }
  OSStatus status = bypassed_.load(std::memory_order_acquire) && canBypass()
                        ? renderBypassed(timeStamp, bus, frames, ioData)
                        : renderBus(&actionFlags, timeStamp, bus, frames, ioData);
  if (status != noErr) lastRenderError_.store(status, std::memory_order_relaxed);
  for (RenderNotify &notify : notifies_) {
    AURenderCallback proc = notify.proc.load(std::memory_order_acquire);
    if (proc == nullptr) continue;
    AudioUnitRenderActionFlags post = actionFlags | kAudioUnitRenderAction_PostRender;
    proc(notify.refCon.load(std::memory_order_relaxed), &post, timeStamp, bus, frames, ioData);
  }
  return status;
}

}  // namespace xnq::au
