// The base of the units that play their input at another pace (time-pitch, varispeed): a rate
// stage, which the unit drives with the rate and pitch its parameters give, and the engine
// behind it.
//
// The engine is costly to make (its buffers are sized and its tables filled for the whole range
// of rate and pitch), so a unit at identity never makes one: initialize makes it only when the
// parameters are already away from identity, and otherwise the parameter change that first moves
// them away does, on the caller's host thread. A change of the settings an engine is made for
// (the render quality, offline rendering) makes a new one on the host thread that changes them.
// The render thread finds the engine through an atomic pointer; until there is one, the stage
// passes its input on untouched. A new engine takes over only while the stage is at identity
// (at the start, after a reset, or back at rate 1 and pitch 0), so a stretch in progress never
// jumps; the engine it replaces lives on until the render thread has let go of it. The engine is
// fed in chunks of at most kEngineChunk frames whatever the slice, so its buffers and its making
// do not grow with the maximum frames per slice.
//
// Latency: the stage reads its input ahead by what the engine needs to play a frame, so offline
// the output starts with the input's first frame and keeps to its time map, and the latency is
// 0. Live, the input runs that far ahead of what is heard, and the latency property says how far
// while the parameters are away from identity.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "audiounit/effect_unit.h"
#include "dsp/rate_stage.h"

namespace xnq::au {

class RateUnit : public EffectUnit {
 public:
  using EffectUnit::EffectUnit;

 protected:
  static constexpr size_t kEngineChunk = 1024;

  // Host thread, lock held: makes the engine for the present formats and settings, fed at most
  // maxChunk frames at a time (null: out of memory).
  virtual std::unique_ptr<dsp::RateEngine> makeEngine(size_t maxChunk) = 0;
  // Host thread, lock held: a number that changes when the settings call for another engine.
  virtual int engineKind() { return 0; }
  // Host thread, lock held, with an engine: the input frames the engine reads ahead of what it
  // plays at the present parameters.
  virtual size_t lookAheadFrames() = 0;
  // Any thread: the input frames per output frame and the pitch factor the parameters ask for.
  virtual void currentRates(double &rate, double &pitch) = 0;
  // Render thread: passes the parameters' other settings to the engine. No allocation, no lock.
  virtual void applyOptions(dsp::RateEngine &) {}
  virtual size_t crossfadeFrames() const = 0;
  // Host thread, lock held: the engine made last (its settings and immutable members only; the
  // render thread owns its state).
  dsp::RateEngine *madeEngine() const { return ownedEngine_.get(); }

  OSStatus prepareEffect() override;
  void unprepare() override;
  void resetState() override { resetPending_.store(true, std::memory_order_release); }
  // Host thread, lock held: makes the engine when the change leaves identity.
  void parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID) override;
  void settingsChanged() override;
  Float64 latencySeconds() override;
  OSStatus renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32, UInt32 frames,
                     AudioBufferList *ioData) override;
  OSStatus renderBypassed(const AudioTimeStamp *, UInt32, UInt32 frames,
                          AudioBufferList *ioData) override;

 private:
  // Host thread, lock held: makes and publishes an engine if the parameters are away from
  // identity and there is none yet, or if the one there is was made for other settings. False
  // when it could not be made.
  bool makeEngineIfNeeded();
  // Host thread, lock held: frees the engines the render thread has let go of.
  void dropRetired();
  // Render thread: the engine to render with (see the top of this file).
  dsp::RateEngine *engineForRender();
  // Render thread: the stage's pull, through the unit's input.
  static int32_t pullFrames(void *context, float *const *into, size_t frames);
  OSStatus renderStage(bool passthrough, UInt32 frames, AudioBufferList *ioData);

  // Host threads only, lock held: the engine made last, what it was made for, and the engines it
  // replaced that the render thread may still hold.
  std::unique_ptr<dsp::RateEngine> ownedEngine_;
  int engineKind_ = 0;
  std::vector<std::unique_ptr<dsp::RateEngine>> retired_;
  // Written by host threads (published once made, cleared at unprepare, when nothing renders);
  // read by the render thread.
  std::atomic<dsp::RateEngine *> engine_{nullptr};
  // Written by the render thread (the engine it holds); read by host threads, which free no
  // engine the render thread holds.
  std::atomic<dsp::RateEngine *> inUse_{nullptr};
  // Render thread only: the engine the stage renders with.
  dsp::RateEngine *current_ = nullptr;
  dsp::RateStage stage_;
  // Made at initialize: a buffer list that points the input's samples at the stage's buffers.
  std::vector<unsigned char> pullList_;
  // Render thread only: the input's timeline, which runs at the input's own pace.
  Float64 inputTime_ = 0;
  // Written by host threads (reset); read by the render thread.
  std::atomic<bool> resetPending_{false};
};

}  // namespace xnq::au
