// The varispeed engine, and the pitch stage of the time-pitch engine: a resampler whose ratio
// may change at any output frame, gliding to each new value over a few milliseconds.
//
// Output frame k is the input band-limited and read at input position p_k, where p_0 is the
// frame after the history fed before the start (see start) and p_{k+1} = p_k + the ratio
// at frame k. The reading is exact: a windowed-sinc filter centred on p_k, so the output starts
// with the input's first frame and stays on that time map through every change of ratio (a
// resampler that keeps its own delay would start late and cut the end). When the ratio is
// above 1 (the input played faster), the filter narrows its band by the ratio, so nothing
// folds back below the output's Nyquist frequency.
//
// Every buffer is made by the constructor, on the host thread; the render thread only reads and
// writes them.
#pragma once

#include <cstddef>
#include <vector>

#include "dsp/rate_stage.h"

namespace xnq::dsp {

class VariableResampler final : public RateEngine {
 public:
  // Host thread. minRate and maxRate bound the ratios (input frames per output frame) that
  // will be set; maxChunk bounds each feed.
  VariableResampler(unsigned channels, size_t maxChunk, double minRate, double maxRate);
  ~VariableResampler() override;
  bool valid() const { return !fifo_.empty(); }

  // Every call below comes from the render thread: no allocation, no lock.
  void clear() override;
  void setRates(double rate, double pitch) override;
  // The history the filter reaches back into at the present ratio.
  size_t primeFrames() override { return reach(rate_); }
  size_t alignmentDiscard() override { return 0; }
  void start() override { startAfter(static_cast<double>(reach(rate_))); }
  // Render thread: the output is to start that many input frames after those held now.
  void startAfter(double frames);
  size_t wanted(size_t maxChunk, size_t outputNeeded) override;
  void feed(const float *const *input, size_t frames) override;
  size_t available() override { return static_cast<size_t>(written_ - read_); }
  size_t retrieve(float *const *output, size_t frames) override;

  // Input frames the filter reads beyond an output frame's position at a ratio: how far ahead
  // of what it plays the resampler must have read.
  static size_t reach(double rate);

 private:
  // Writes one output frame per channel at the position; false when the input does not yet
  // reach it or the output has no room.
  bool produce();

  unsigned channels_;
  size_t keep_;  // frames kept behind the position: as far back as the largest ratio reaches
  // Render thread only.
  std::vector<float> history_;  // historyFrames_ per channel
  size_t historyFrames_ = 0;
  size_t held_ = 0;  // frames the history holds
  // The position of the next output frame in the history, whole frames and the fraction apart:
  // the fraction then adds up the same way wherever the history starts.
  size_t whole_ = 0;
  double fraction_ = 0;
  double rate_ = 1;    // the ratio at the next output frame
  double target_ = 1;  // the ratio a glide leads to
  double glideStep_ = 0;
  int glideLeft_ = 0;
  bool started_ = false;     // the first ratio after a clear applies at once
  std::vector<float> taps_;  // the filter of one output frame
  // The output waits here until retrieved: fifoFrames_ per channel.
  std::vector<float> fifo_;
  size_t fifoFrames_ = 0;
  unsigned long long written_ = 0, read_ = 0;
};

}  // namespace xnq::dsp
