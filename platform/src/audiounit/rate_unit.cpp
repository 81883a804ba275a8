#include "audiounit/rate_unit.h"

namespace xnq::au {

OSStatus RateUnit::prepareEffect() {
  stage_.prepare(channels(), kEngineChunk, crossfadeFrames());
  pullList_.assign(offsetof(AudioBufferList, mBuffers) + channels() * sizeof(AudioBuffer), 0);
  reinterpret_cast<AudioBufferList *>(pullList_.data())->mNumberBuffers = channels();
  inputTime_ = 0;
  resetPending_.store(false);
  if (!makeEngineIfAway()) return kAudioUnitErr_FailedInitialization;
  return noErr;
}

void RateUnit::unprepare() {
  engine_.store(nullptr, std::memory_order_release);
  ownedEngine_.reset();
}

bool RateUnit::makeEngineIfAway() {
  if (ownedEngine_ != nullptr) return true;
  double rate = 1, pitch = 1;
  currentRates(rate, pitch);
  if (rate == 1 && pitch == 1) return true;
  ownedEngine_ = makeEngine(kEngineChunk);
  engine_.store(ownedEngine_.get(), std::memory_order_release);
  return ownedEngine_ != nullptr;
}

void RateUnit::parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID) {
  // An engine that cannot be made (out of memory) leaves the unit at identity; the next change
  // tries again.
  if (initialized()) makeEngineIfAway();
}

// Render thread: no allocation, no lock, no host calls.
int32_t RateUnit::pullFrames(void *context, float *const *into, size_t frames) {
  auto *unit = static_cast<RateUnit *>(context);
  auto *list = reinterpret_cast<AudioBufferList *>(unit->pullList_.data());
  for (UInt32 c = 0; c < list->mNumberBuffers; ++c)
    list->mBuffers[c] = AudioBuffer{1, static_cast<UInt32>(frames * sizeof(float)), into[c]};
  AudioTimeStamp stamp{};
  stamp.mSampleTime = unit->inputTime_;
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  unit->inputTime_ += static_cast<Float64>(frames);
  return unit->pullInputInto(0, &stamp, static_cast<UInt32>(frames), list);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus RateUnit::renderStage(bool passthrough, UInt32 frames, AudioBufferList *ioData) {
  if (resetPending_.exchange(false, std::memory_order_acq_rel)) stage_.reset();
  float *out[kMaxChannels];
  if (channelPointers(*ioData, out, kMaxChannels) < channels())
    return kAudioUnitErr_FormatNotSupported;
  dsp::RateEngine *engine = engine_.load(std::memory_order_acquire);
  double rate = 1, pitch = 1;
  if (!passthrough && engine != nullptr) {
    currentRates(rate, pitch);
    applyOptions(*engine);
  }
  return stage_.render(engine, rate, pitch, passthrough, out, frames, pullFrames, this);
}

OSStatus RateUnit::renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                             UInt32 frames, AudioBufferList *ioData) {
  return renderStage(false, frames, ioData);
}

OSStatus RateUnit::renderBypassed(const AudioTimeStamp *, UInt32, UInt32 frames,
                                  AudioBufferList *ioData) {
  return renderStage(true, frames, ioData);
}

}  // namespace xnq::au
