#include "audiounit/effect_unit.h"

namespace xnq::au {

OSStatus EffectUnit::checkFormat(AudioUnitScope scope, AudioUnitElement element,
                                 const AudioStreamBasicDescription &format) {
  if (OSStatus status = AudioUnitBase::checkFormat(scope, element, format)) return status;
  if (!isCanonical(format)) return kAudioUnitErr_FormatNotSupported;
  return noErr;
}

OSStatus EffectUnit::prepare() {
  const AudioStreamBasicDescription &in = element(kAudioUnitScope_Input, 0)->format;
  const AudioStreamBasicDescription &out = element(kAudioUnitScope_Output, 0)->format;
  if (in.mChannelsPerFrame != out.mChannelsPerFrame) return kAudioUnitErr_FormatNotSupported;
  if (!changesRate() && in.mSampleRate != out.mSampleRate) return kAudioUnitErr_FormatNotSupported;
  return prepareEffect();
}

UInt32 channelPointers(const AudioBufferList &list, float **into, UInt32 count) {
  UInt32 n = list.mNumberBuffers < count ? list.mNumberBuffers : count;
  for (UInt32 c = 0; c < n; ++c) into[c] = static_cast<float *>(list.mBuffers[c].mData);
  return n;
}

}  // namespace xnq::au
