// The multichannel mixer: any number of inputs (the element count of the input scope), each with
// a volume, an enable switch and a pan, mixed into one output with a volume of its own, and
// meters per channel on every input and on the output.
//
// Channels: a mono input goes to every output channel; otherwise input channel c goes to output
// channel c, and channels one side lacks stay silent. Pan (dsp::panGains) acts on output
// channels 0 and 1. Meters: parameter base + c is channel c's meter of the element, so 3000 on
// input element 0 is the post-fader average power of that input's first channel. "Pre" is the
// signal as it arrives (an input) or as mixed (the output); "post" is after the element's volume
// and pan. An input without a source is silent; a disabled input is not pulled at all.
#include <algorithm>
#include <cstring>
#include <new>

#include "audiounit/audio_unit_base.h"
#include "audiounit/unit_factories.h"
#include "dsp/level_meter.h"

namespace xnq::au {
namespace {

using dsp::ChannelMeter;
using dsp::LevelMeter;
using dsp::SliceLevel;

// Definition positions in the parameter list below.
// Four meter definitions (pre average, pre peak, post average, post peak) follow each scope's
// controls.
constexpr size_t kInVolume = 0, kInEnable = 1, kInPan = 2, kInMeters = 3;
constexpr size_t kOutVolume = kInMeters + 4, kOutMeters = kOutVolume + 1;
constexpr size_t kPreAverage = 0, kPostAverage = 2;

std::vector<ParameterDefinition> mixerParameters() {
  std::vector<ParameterDefinition> list;
  auto meters = [&list](AudioUnitScope scope) {
    const AudioUnitParameterID ids[] = {
        kMultiChannelMixerParam_PreAveragePower, kMultiChannelMixerParam_PrePeakHoldLevel,
        kMultiChannelMixerParam_PostAveragePower, kMultiChannelMixerParam_PostPeakHoldLevel};
    const char *names[] = {"Pre Average Power", "Pre Peak Hold Level", "Post Average Power",
                           "Post Peak Hold Level"};
    for (int i = 0; i < 4; ++i)
      list.push_back({scope, ids[i], names[i], kAudioUnitParameterUnit_Decibels, -120.0f, 0.0f,
                      -120.0f, AudioUnitBase::kMaxChannels, true});
  };
  list.push_back({kAudioUnitScope_Input, kMultiChannelMixerParam_Volume, "Input Volume",
                  kAudioUnitParameterUnit_LinearGain, 0.0f, 1.0f, 1.0f});
  list.push_back({kAudioUnitScope_Input, kMultiChannelMixerParam_Enable, "Enable",
                  kAudioUnitParameterUnit_Boolean, 0.0f, 1.0f, 1.0f});
  list.push_back({kAudioUnitScope_Input, kMultiChannelMixerParam_Pan, "Pan",
                  kAudioUnitParameterUnit_Pan, -1.0f, 1.0f, 0.0f});
  meters(kAudioUnitScope_Input);
  list.push_back({kAudioUnitScope_Output, kMultiChannelMixerParam_Volume, "Output Volume",
                  kAudioUnitParameterUnit_LinearGain, 0.0f, 1.0f, 1.0f});
  meters(kAudioUnitScope_Output);
  return list;
}

class MultichannelMixer final : public AudioUnitBase {
 public:
  MultichannelMixer(AudioUnit self, const ComponentDescription &description)
      : AudioUnitBase(self, description, 1, 1, mixerParameters()) {}

 protected:
  bool canBypass() const override { return true; }
  bool elementCountWritable(AudioUnitScope scope) const override {
    return scope == kAudioUnitScope_Input;
  }
  OSStatus checkFormat(AudioUnitScope scope, AudioUnitElement element,
                       const AudioStreamBasicDescription &format) override {
    if (OSStatus status = AudioUnitBase::checkFormat(scope, element, format)) return status;
    if (!isCanonical(format)) return kAudioUnitErr_FormatNotSupported;
    return noErr;
  }
  OSStatus propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        UInt32 &size, bool &writable) override {
    if (id != kAudioUnitProperty_MeteringMode)
      return AudioUnitBase::propertyInfo(id, scope, element, size, writable);
    size = sizeof(UInt32);
    writable = true;
    return noErr;
  }
  OSStatus readProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        void *data, UInt32 &size) override {
    if (id != kAudioUnitProperty_MeteringMode)
      return AudioUnitBase::readProperty(id, scope, element, data, size);
    if (size < sizeof(UInt32)) return kAudioUnitErr_InvalidPropertyValue;
    UInt32 on = metering_.load() ? 1 : 0;
    std::memcpy(data, &on, sizeof on);
    size = sizeof on;
    return noErr;
  }
  // One switch for the whole unit: metering on any element turns every meter on.
  OSStatus writeProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void *data, UInt32 size) override {
    if (id != kAudioUnitProperty_MeteringMode)
      return AudioUnitBase::writeProperty(id, scope, element, data, size);
    UInt32 on;
    std::memcpy(&on, data, sizeof on);
    metering_.store(on != 0, std::memory_order_release);
    return noErr;
  }
  OSStatus prepare() override;
  void resetState() override { clearMeters_.store(true, std::memory_order_release); }
  OSStatus renderBus(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp, UInt32,
                     UInt32 frames, AudioBufferList *ioData) override;

 private:
  // Render thread: moves meters[0 .. channels) on by the channels' slice levels heard through
  // gains (unit gain when null) and publishes them as the element's parameters from definition
  // first on.
  void meter(AudioUnitScope scope, UInt32 element, size_t first, ChannelMeter *meters,
             const SliceLevel *levels, UInt32 channels, const float *gains);

  // Written by host threads (metering mode, reset); read by the render thread.
  std::atomic<bool> metering_{false};
  std::atomic<bool> clearMeters_{false};
  // Made at initialize; render thread only afterwards. Per element: pre then post meters of
  // each channel; the output's after the inputs'.
  std::vector<std::vector<ChannelMeter>> meters_;
  LevelMeter levels_;
};

OSStatus MultichannelMixer::prepare() {
  const AudioStreamBasicDescription &out = element(kAudioUnitScope_Output, 0)->format;
  UInt32 inputs = static_cast<UInt32>(elements(kAudioUnitScope_Input).size());
  meters_.assign(inputs + 1, {});
  for (UInt32 i = 0; i < inputs; ++i) {
    const AudioStreamBasicDescription &in = element(kAudioUnitScope_Input, i)->format;
    // The mixer does not resample.
    if (in.mSampleRate != out.mSampleRate) return kAudioUnitErr_FormatNotSupported;
    meters_[i].assign(2 * in.mChannelsPerFrame, ChannelMeter{});
  }
  meters_[inputs].assign(2 * out.mChannelsPerFrame, ChannelMeter{});
  levels_.setRate(out.mSampleRate);
  return noErr;
}

void MultichannelMixer::meter(AudioUnitScope scope, UInt32 element, size_t first,
                              ChannelMeter *meters, const SliceLevel *levels, UInt32 channels,
                              const float *gains) {
  for (UInt32 c = 0; c < channels; ++c) {
    levels_.update(meters[c], levels[c], gains == nullptr ? 1.0f : gains[c]);
    storeParameter(scope, element, first, c, LevelMeter::averageDb(meters[c]));
    storeParameter(scope, element, first + 1, c, LevelMeter::peakDb(meters[c]));
  }
}

// Render thread: the levels of frames of a list's first channels.
void measureList(const AudioBufferList &list, UInt32 channels, UInt32 frames, SliceLevel *levels) {
  for (UInt32 c = 0; c < channels; ++c)
    levels[c] = dsp::measureSlice(static_cast<const float *>(list.mBuffers[c].mData), frames);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus MultichannelMixer::renderBus(AudioUnitRenderActionFlags *flags,
                                      const AudioTimeStamp *timeStamp, UInt32, UInt32 frames,
                                      AudioBufferList *ioData) {
  bool metering = metering_.load(std::memory_order_acquire);
  if (clearMeters_.exchange(false, std::memory_order_acq_rel))
    for (auto &list : meters_) std::fill(list.begin(), list.end(), ChannelMeter{});
  UInt32 outChannels = std::min(ioData->mNumberBuffers,
                                element(kAudioUnitScope_Output, 0)->format.mChannelsPerFrame);
  UInt32 inputs = static_cast<UInt32>(meters_.size() - 1);
  bool written[kMaxChannels] = {};
  for (UInt32 i = 0; i < inputs; ++i) {
    if (parameterValue(kAudioUnitScope_Input, i, kInEnable) < 0.5f || !hasSource(i)) continue;
    AudioBufferList *input = nullptr;
    if (OSStatus status = pullInput(i, timeStamp, frames, input)) return status;
    Float32 volume = parameterValue(kAudioUnitScope_Input, i, kInVolume);
    float left, right;
    dsp::panGains(parameterValue(kAudioUnitScope_Input, i, kInPan), left, right);
    float gain[kMaxChannels];
    for (UInt32 d = 0; d < outChannels; ++d)
      gain[d] = volume * (outChannels < 2 ? 1.0f : d == 0 ? left : d == 1 ? right : 1.0f);
    UInt32 inChannels = input->mNumberBuffers;
    if (metering) {
      // The input is measured once; its post meters see it through the gains it is mixed with.
      SliceLevel levels[kMaxChannels];
      measureList(*input, inChannels, frames, levels);
      ChannelMeter *m = meters_[i].data();
      meter(kAudioUnitScope_Input, i, kInMeters + kPreAverage, m, levels, inChannels, nullptr);
      float post[kMaxChannels];
      for (UInt32 c = 0; c < inChannels; ++c)
        post[c] = inChannels == 1 ? volume : c < outChannels ? gain[c] : 0.0f;
      meter(kAudioUnitScope_Input, i, kInMeters + kPostAverage, m + inChannels, levels, inChannels,
            post);
    }
    for (UInt32 d = 0; d < outChannels; ++d) {
      UInt32 c = inChannels == 1 ? 0 : d;
      if (c >= inChannels) continue;
      auto *from = static_cast<const float *>(input->mBuffers[c].mData);
      auto *to = static_cast<float *>(ioData->mBuffers[d].mData);
      float g = gain[d];
      if (written[d]) {
        for (UInt32 f = 0; f < frames; ++f) to[f] += from[f] * g;
      } else {
        for (UInt32 f = 0; f < frames; ++f) to[f] = from[f] * g;
        written[d] = true;
      }
    }
  }
  bool silent = true;
  for (UInt32 d = 0; d < outChannels; ++d) {
    auto *to = static_cast<float *>(ioData->mBuffers[d].mData);
    if (!written[d]) std::fill(to, to + frames, 0.0f);
    silent = silent && !written[d];
  }
  if (silent && flags != nullptr) *flags |= kAudioUnitRenderAction_OutputIsSilence;

  Float32 volume = parameterValue(kAudioUnitScope_Output, 0, kOutVolume);
  if (metering) {
    // The mix is measured once, before the output volume, which its post meters apply as a gain.
    SliceLevel levels[kMaxChannels];
    measureList(*ioData, outChannels, frames, levels);
    float post[kMaxChannels];
    std::fill(post, post + outChannels, volume);
    ChannelMeter *m = meters_[inputs].data();
    meter(kAudioUnitScope_Output, 0, kOutMeters + kPreAverage, m, levels, outChannels, nullptr);
    meter(kAudioUnitScope_Output, 0, kOutMeters + kPostAverage, m + outChannels, levels,
          outChannels, post);
  }
  if (volume != 1.0f) {
    for (UInt32 d = 0; d < outChannels; ++d) {
      auto *to = static_cast<float *>(ioData->mBuffers[d].mData);
      for (UInt32 f = 0; f < frames; ++f) to[f] *= volume;
    }
  }
  return noErr;
}

}  // namespace

AudioUnitBase *makeMultichannelMixer(AudioUnit self, const ComponentDescription &description) {
  return new (std::nothrow) MultichannelMixer(self, description);
}

}  // namespace xnq::au
