// The base of the units that play their input at another pace (time-pitch, varispeed): a rate
// stage that pulls the input in chunks no longer than a slice, which the unit drives with the
// rate and pitch its parameters give.
#pragma once

#include <memory>

#include "audiounit/effect_unit.h"
#include "dsp/rate_stage.h"

namespace xnq::au {

class RateUnit : public EffectUnit {
 public:
  using EffectUnit::EffectUnit;

 protected:
  // Host thread, lock held: makes the engine for the present formats (null: out of memory).
  virtual std::unique_ptr<dsp::RateEngine> makeEngine(size_t &crossfadeFrames) = 0;
  // Render thread: the input frames per output frame and the pitch factor to play at now.
  virtual void currentRates(double &rate, double &pitch) = 0;

  OSStatus prepareEffect() override;
  void unprepare() override { engine_.reset(); }
  void resetState() override { resetPending_.store(true, std::memory_order_release); }
  OSStatus renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32, UInt32 frames,
                     AudioBufferList *ioData) override;
  OSStatus renderBypassed(const AudioTimeStamp *, UInt32, UInt32 frames,
                          AudioBufferList *ioData) override;
  dsp::RateEngine *engine() { return engine_.get(); }

 private:
  // Render thread: the stage's pull, through the unit's input.
  static int32_t pullFrames(void *context, float *const *into, size_t frames);
  OSStatus renderStage(bool passthrough, UInt32 frames, AudioBufferList *ioData);

  std::unique_ptr<dsp::RateEngine> engine_;
  dsp::RateStage stage_;
  // Made at initialize: a buffer list that points the input's samples at the stage's buffers.
  std::vector<unsigned char> pullList_;
  // Render thread only: the input's timeline, which runs at the input's own pace.
  Float64 inputTime_ = 0;
  // Written by host threads (reset); read by the render thread.
  std::atomic<bool> resetPending_{false};
};

}  // namespace xnq::au
