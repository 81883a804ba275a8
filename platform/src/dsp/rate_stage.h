// A stage that plays its input at another pace or pitch through an engine (a time stretcher or a
// resampler), and at unit rate and pitch hands the input on untouched: pulled straight into the
// caller's buffers, with no delay and no work but keeping a copy of the recent input.
//
// Into and out of that identity without a gap or a jump:
// - Leaving identity, the engine starts from the recent input (the copy), so it is already in
//   the sound, and its output is aligned to the frame where the untouched input stopped. Over a
//   short crossfade the output then moves from the untouched input to the engine's.
// - Returning to identity, the engine is first set to unit rate and pitch and runs until all it
//   still owes comes from input it took at unit rate. Its output then matches the input delayed
//   by exactly what it owes, so the untouched input resumes from the copy at that frame, after a
//   crossfade, and catches up with the input as it goes on.
// The copy is a ring of the input pulled last; every pull goes through it, so the engine, the
// crossfades and the untouched input all read the one stream.
//
// The engine may arrive late (its owner makes it on a host thread when the stage first has to
// leave identity): until it does, the stage stays at identity whatever it is asked. It may also
// be replaced, but only while the stage is at identity (see atIdentity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace xnq::dsp {

// A time stretcher or resampler behind a rate stage. Every call but the destructor comes from
// the render thread and must not allocate or lock.
class RateEngine {
 public:
  virtual ~RateEngine() = default;
  // Forgets all input, as after a seek.
  virtual void clear() = 0;
  // rate: input frames per output frame; pitch: the factor on frequencies.
  virtual void setRates(double rate, double pitch) = 0;
  // Input frames to feed before the first frame whose output should align (at the rates last
  // set; the stage also takes it as the input the engine holds on to), and the output frames to
  // drop after them so that it does.
  virtual size_t primeFrames() = 0;
  virtual size_t alignmentDiscard() = 0;
  // Called after clear and setRates, before the prime is fed: the output is to start at the
  // frame that follows it.
  virtual void start() {}
  // Input frames to feed next (1 ... maxChunk) toward outputNeeded more output frames.
  virtual size_t wanted(size_t maxChunk, size_t outputNeeded) = 0;
  virtual void feed(const float *const *input, size_t frames) = 0;
  virtual size_t available() = 0;
  virtual size_t retrieve(float *const *output, size_t frames) = 0;
  // Whether the engine works ahead on a thread of its own and has room for another chunk now:
  // the stage then feeds it before it takes its output, so that the engine never waits.
  virtual bool hungry() { return false; }
};

// Pulls the next frames of the stage's input into one buffer per channel; nonzero on failure.
using PullFrames = int32_t (*)(void *context, float *const *into, size_t frames);

class RateStage {
 public:
  // Host thread: makes every buffer the render thread uses. maxChunk bounds each pull for the
  // engine and each feed of it (the untouched input is pulled a whole slice at a time);
  // crossfadeFrames is the length of each crossfade.
  void prepare(unsigned channels, size_t maxChunk, size_t crossfadeFrames);
  // Render thread: starts again at identity with an empty history, as after a seek.
  void reset();
  // Render thread: fills frames of every channel of out. engine: null until there is one, and
  // then the same one until the next prepare. passthrough hands the input on at once (bypass),
  // without a crossfade. Returns the first pull failure (the rest is silence).
  int32_t render(RateEngine *engine, double rate, double pitch, bool passthrough, float *const *out,
                 size_t frames, PullFrames pull, void *context);
  // Render thread: whether the stage hands its input on untouched and uses no engine, so that the
  // engine it is given may change.
  bool atIdentity() const { return mode_ == Mode::kDry; }

 private:
  enum class Mode { kDry, kToWet, kWet, kSettling, kToDry };

  int32_t readDry(float *const *out, size_t offset, size_t frames);
  int32_t readWet(float *const *out, size_t offset, size_t frames);
  int32_t pullIntoRing(int64_t upTo);
  // Copies frames just pulled into the ring after what it holds.
  void appendToRing(const float *const *from, size_t frames);
  void feedFromRing(int64_t from, size_t frames);
  void startWet(double rate, double pitch);
  float *ringAt(unsigned channel, int64_t frame) {
    return &ring_[channel * kRingFrames + static_cast<size_t>(frame & (kRingFrames - 1))];
  }

  static constexpr int64_t kRingFrames = 1 << 15;
  static constexpr unsigned kMaxChannels = 64;

  RateEngine *engine_ = nullptr;  // render thread only: the engine of the present render
  unsigned channels_ = 0;
  size_t maxChunk_ = 0;
  size_t crossfade_ = 0;
  std::vector<float> ring_;     // kRingFrames per channel
  bool ringHeld_ = false;       // input was copied into the ring since it was last cleared
  std::vector<float> scratch_;  // maxChunk per channel, twice (pulls, crossfades, drops)
  // Render thread only.
  PullFrames pull_ = nullptr;
  void *context_ = nullptr;
  Mode mode_ = Mode::kDry;
  int64_t pulled_ = 0;  // frames pulled so far; the ring holds the last of them
  int64_t dryPos_ = 0;  // next frame of the untouched input
  int64_t fedPos_ = 0;  // next frame to feed the engine
  int64_t unitySince_ = 0;
  double owed_ = 0;  // output frames the engine owes for what it was fed
  double rate_ = 1, pitch_ = 1;
  size_t discard_ = 0;
  size_t fadeDone_ = 0;
};

}  // namespace xnq::dsp
