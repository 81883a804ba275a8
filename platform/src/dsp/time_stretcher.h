// The time-pitch engine: the phase-vocoder stretcher in its real-time mode, which changes the
// length, and the variable-rate resampler, which changes the pitch. The stretcher makes the sound
// pitch times as long as the rate asks and the resampler plays it pitch times faster. Rate and
// pitch may change between any two calls.
//
// The stretcher could shift the pitch itself, but its resampler for pitches that change on the
// fly works out its filter for every sample, close to half of all the work; the variable-rate
// resampler does the same job in a fraction of that. Which comes first is chosen when the engine
// is made, by the pitch then: the stretcher's work grows with the frames it takes, so for a pitch
// up the resampler goes first and hands it pitch times fewer (at +300 cents a sixth less work);
// for a pitch down it goes after. Either order serves any pitch later; the output is in step with
// the input in both.
//
// Offline (for a caller that waits for the result, never for a device) the stretcher, nearly all
// of the work, runs on a worker thread of the engine's own, a few chunks ahead of the render
// thread, which meanwhile pulls the input, shifts the pitch and hands the output on. The worker
// makes the same calls on the stretcher, with the same chunks and ratios, as the render thread
// makes itself live, so both give the same samples. The render thread waits for the worker only
// when it has nothing else to do; the worker neither allocates nor locks.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "dsp/rate_stage.h"
#include "dsp/variable_resampler.h"

namespace RubberBand {
class RubberBandStretcher;
}

namespace xnq::dsp {

class TimeStretcher final : public RateEngine {
 public:
  struct Options {
    bool peakLocking = true;  // phases of the bins around a peak move together
    // Transients: 0 smooth; 1 sharp above a few hundred hertz only, which keeps steady tones at
    // their exact frequency (sharp transients everywhere make them waver by several cents).
    int transients = 1;
    bool operator==(const Options &) const = default;
  };
  // Host thread. windowScale: -1 a short window, 0 the standard one, 1 a long one. finer: the
  // stretcher's finer engine instead of its faster one. offline: the stretcher runs on a worker
  // thread (if one can be started). valid() is false when a buffer could not be made.
  // pitchFirst: the resampler before the stretcher.
  TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk, int windowScale, bool finer,
                bool offline, bool pitchFirst);
  // Host thread, when the render thread no longer uses the engine: stops the worker.
  ~TimeStretcher() override;
  bool valid() const { return pitcher_.valid(); }
  // Any thread: the input the engine reads ahead of what it plays at a rate and pitch, in input
  // frames.
  size_t lookAhead(double rate, double pitch) const;
  // Render thread: the options for the chunks fed from now on.
  void setOptions(const Options &options);

  void clear() override;
  void setRates(double rate, double pitch) override;
  size_t primeFrames() override;
  size_t alignmentDiscard() override;
  size_t wanted(size_t maxChunk, size_t outputNeeded) override;
  void feed(const float *const *input, size_t frames) override;
  size_t available() override;
  size_t retrieve(float *const *output, size_t frames) override;
  bool hungry() override;
  void start() override;

 private:
  static constexpr double kMaxPitch = 4;
  // Chunks in flight: enough that the worker has work while the render thread waits its turn
  // on a busy machine.
  static constexpr uint32_t kSlots = 8;

  // A chunk of input on its way to the worker, with the settings it is to be stretched with.
  struct Chunk {
    std::vector<float> samples;  // maxChunk_ per channel
    size_t frames = 0;
    double ratio = 1;
    Options options;
  };

  // The worker, or the render thread live: stretches one chunk and moves all it made into the
  // stretched sound.
  void stretchChunk(uint32_t slot);
  // Render thread, offline: a free slot for the next chunk (waiting for the worker to free one),
  // and handing the filled slot over.
  Chunk &claimChunk();
  void submitChunk(size_t frames);
  // Render thread, pitch first: stretches what the resampler made.
  void stretchPitched();
  void stretch(const float *const *input, size_t frames, double ratio, const Options &options);
  void apply(double ratio, const Options &options);
  void moveOut();
  void work();
  // Render thread, offline: waits until the worker has stretched every chunk fed, dropping what
  // it makes; the stretcher is then the render thread's until the next feed.
  void drain();
  void consumed(uint32_t at);

  std::unique_ptr<RubberBand::RubberBandStretcher> stretcher_;
  VariableResampler pitcher_;
  unsigned channels_;
  size_t maxChunk_;
  bool pitchFirst_;
  size_t startPad_ = 0;  // at rate and pitch 1
  // The stretched sound (on its way to the pitcher, or pitch first the output): a ring of
  // ringFrames_ per channel. The stretching thread writes it and advances written_; the render
  // thread reads it and advances read_.
  std::vector<float> stretched_;
  size_t ringFrames_;
  std::atomic<uint32_t> written_{0}, read_{0};
  // Render thread only: a chunk's room (silence for the pitcher's history at a start; pitch first
  // and live, the pitched sound on its way to the stretcher), stretched frames still to drop
  // after a start (the stretcher's own delay), and the settings asked for.
  std::vector<float> between_;
  size_t skip_ = 0;
  double ratio_ = 1, pitch_ = 1;
  // The stretcher's start pad and delay at the present stretch, as it gives them while it is free.
  size_t pad_ = 0, delay_ = 0;
  Options options_;
  // Stretching thread only: the settings the stretcher has.
  double appliedRatio_ = 1;
  Options appliedOptions_;
  // Offline. Chunks: the render thread fills slot submitted_ % kSlots and advances submitted_;
  // the worker stretches slot done_ % kSlots and advances done_. work_ counts the render
  // thread's signals to the worker (a chunk, room in the ring, stop) and progress_ the worker's
  // to the render thread (a chunk done, the ring full); each side waits on the other's counter.
  Chunk chunks_[kSlots];
  std::atomic<uint32_t> submitted_{0}, done_{0}, work_{0}, progress_{0};
  std::atomic<bool> stop_{false};
  // Render thread only: no chunk in flight since the last drain, so the stretcher is free.
  bool idle_ = true;
  // Set before the worker starts.
  bool threaded_ = false;
  std::thread worker_;
};

}  // namespace xnq::dsp
