#include "audiounit/rate_unit.h"

#include <exception>

namespace xnq::au {

OSStatus RateUnit::prepareEffect() {
  stage_.prepare(channels(), kEngineChunk, crossfadeFrames());
  pullList_.assign(offsetof(AudioBufferList, mBuffers) + channels() * sizeof(AudioBuffer), 0);
  reinterpret_cast<AudioBufferList *>(pullList_.data())->mNumberBuffers = channels();
  inputTime_ = 0;
  current_ = nullptr;
  resetPending_.store(false);
  if (!makeEngineIfNeeded()) return kAudioUnitErr_FailedInitialization;
  return noErr;
}

void RateUnit::unprepare() {
  // Nothing renders once the unit is uninitialized.
  engine_.store(nullptr);
  inUse_.store(nullptr);
  ownedEngine_.reset();
  retired_.clear();
}

void RateUnit::dropRetired() {
  dsp::RateEngine *held = inUse_.load();
  std::erase_if(retired_, [held](const auto &engine) { return engine.get() != held; });
}

bool RateUnit::makeEngineIfNeeded() {
  dropRetired();
  int kind = engineKind();
  if (ownedEngine_ != nullptr && kind == engineKind_) return true;
  double rate = 1, pitch = 1;
  currentRates(rate, pitch);
  if (ownedEngine_ == nullptr && rate == 1 && pitch == 1) return true;
  // An engine that cannot be made (out of memory) leaves the one there is, or the unit at
  // identity; the next change tries again.
  std::unique_ptr<dsp::RateEngine> made;
  try {
    made = makeEngine(kEngineChunk);
  } catch (const std::exception &) {
  }
  if (made == nullptr) return false;
  if (ownedEngine_ != nullptr) retired_.push_back(std::move(ownedEngine_));
  ownedEngine_ = std::move(made);
  engineKind_ = kind;
  engine_.store(ownedEngine_.get());
  dropRetired();
  return true;
}

void RateUnit::parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID) {
  if (initialized()) makeEngineIfNeeded();
}

void RateUnit::settingsChanged() {
  if (initialized()) makeEngineIfNeeded();
}

Float64 RateUnit::latencySeconds() {
  double rate = 1, pitch = 1;
  currentRates(rate, pitch);
  if (offline() || ownedEngine_ == nullptr || (rate == 1 && pitch == 1)) return 0;
  return static_cast<Float64>(lookAheadFrames()) / inputRate();
}

// Render thread: no allocation, no lock, no host calls.
dsp::RateEngine *RateUnit::engineForRender() {
  if (!stage_.atIdentity()) return current_;
  // The host thread frees no engine it finds in inUse_; reading engine_ again after publishing
  // it makes sure the host saw it before it could retire and free this one.
  dsp::RateEngine *engine = engine_.load();
  for (;;) {
    inUse_.store(engine);
    dsp::RateEngine *now = engine_.load();
    if (now == engine) break;
    engine = now;
  }
  current_ = engine;
  return engine;
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
  dsp::RateEngine *engine = engineForRender();
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
