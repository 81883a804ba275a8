// The base of the units that play their input at another pace (time-pitch, varispeed): a rate
// stage, which the unit drives with the rate and pitch its parameters give, and the engine
// behind it.
//
// The engine is costly to make (its buffers are sized and its tables filled for the whole range
// of rate and pitch), so a unit at identity never makes one: initialize makes it only when the
// parameters are already away from identity, and otherwise the parameter change that first moves
// them away does, on the caller's host thread. The render thread then finds it through an atomic
// pointer; until it does, the stage passes its input on untouched. The engine is fed in chunks of
// at most kEngineChunk frames whatever the slice, so its buffers and its making do not grow with
// the maximum frames per slice.
#pragma once

#include <atomic>
#include <memory>

#include "audiounit/effect_unit.h"
#include "dsp/rate_stage.h"

namespace xnq::au {

class RateUnit : public EffectUnit {
 public:
  using EffectUnit::EffectUnit;

 protected:
  static constexpr size_t kEngineChunk = 1024;

  // Host thread, lock held: makes the engine for the present formats, fed at most maxChunk
  // frames at a time (null: out of memory).
  virtual std::unique_ptr<dsp::RateEngine> makeEngine(size_t maxChunk) = 0;
  // Any thread: the input frames per output frame and the pitch factor the parameters ask for.
  virtual void currentRates(double &rate, double &pitch) = 0;
  // Render thread: passes the parameters' other settings to the engine. No allocation, no lock.
  virtual void applyOptions(dsp::RateEngine &) {}
  virtual size_t crossfadeFrames() const = 0;

  OSStatus prepareEffect() override;
  void unprepare() override;
  void resetState() override { resetPending_.store(true, std::memory_order_release); }
  // Host thread, lock held: makes the engine when the change leaves identity.
  void parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID) override;
  OSStatus renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32, UInt32 frames,
                     AudioBufferList *ioData) override;
  OSStatus renderBypassed(const AudioTimeStamp *, UInt32, UInt32 frames,
                          AudioBufferList *ioData) override;

 private:
  // Host thread, lock held: makes and publishes the engine if the parameters are away from
  // identity and there is none yet. False when it could not be made.
  bool makeEngineIfAway();
  // Render thread: the stage's pull, through the unit's input.
  static int32_t pullFrames(void *context, float *const *into, size_t frames);
  OSStatus renderStage(bool passthrough, UInt32 frames, AudioBufferList *ioData);

  // Host threads only, lock held: owns the engine from its making until unprepare.
  std::unique_ptr<dsp::RateEngine> ownedEngine_;
  // Written by host threads (published once made, cleared at unprepare, when nothing renders);
  // read by the render thread.
  std::atomic<dsp::RateEngine *> engine_{nullptr};
  dsp::RateStage stage_;
  // Made at initialize: a buffer list that points the input's samples at the stage's buffers.
  std::vector<unsigned char> pullList_;
  // Render thread only: the input's timeline, which runs at the input's own pace.
  Float64 inputTime_ = 0;
  // Written by host threads (reset); read by the render thread.
  std::atomic<bool> resetPending_{false};
};

}  // namespace xnq::au
