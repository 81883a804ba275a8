// The base of the units with one input and one output in the units' own format (32-bit float, a
// buffer per channel) and the same channels on both sides: the graphic EQ, the time-pitch units
// and the varispeed. They can be bypassed.
#pragma once

#include "audiounit/audio_unit_base.h"

namespace xnq::au {

class EffectUnit : public AudioUnitBase {
 public:
  EffectUnit(AudioUnit self, const ComponentDescription &description,
             std::vector<ParameterDefinition> parameters)
      : AudioUnitBase(self, description, 1, 1, std::move(parameters)) {}

 protected:
  bool canBypass() const override { return true; }
  OSStatus checkFormat(AudioUnitScope scope, AudioUnitElement element,
                       const AudioStreamBasicDescription &format) override;
  // Checks that both sides agree, then lets the unit make what it renders with.
  OSStatus prepare() override;
  virtual OSStatus prepareEffect() = 0;
  // Whether the output may run at a rate other than the input's (a resampling unit).
  virtual bool changesRate() const { return false; }

  UInt32 channels() { return element(kAudioUnitScope_Output, 0)->format.mChannelsPerFrame; }
  Float64 inputRate() { return element(kAudioUnitScope_Input, 0)->format.mSampleRate; }
  Float64 outputRate() { return element(kAudioUnitScope_Output, 0)->format.mSampleRate; }
};

// The channel buffers of a list in the units' own format, at most count of them.
UInt32 channelPointers(const AudioBufferList &list, float **into, UInt32 count);

}  // namespace xnq::au
