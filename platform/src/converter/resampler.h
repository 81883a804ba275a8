// Sample-rate conversion of interleaved doubles through libsoxr.
//
// soxr keeps queues between its stages that grow (by realloc) whenever a call needs more room
// than they have had, and it can only forget a stream by freeing and remaking everything. So a
// resampler is run in at creation, on silence: a few calls far larger than any later one, which
// give every queue more room than it will need, then calls of the one shape every later call
// has: always inputFrames() frames in and room for outputFrames() out. The run-in is a whole
// number of periods of the two rates, so the first output frame of the real stream falls
// exactly on its first input frame; the outputs that still belong to the run-in are dropped as
// they come. After that, processing allocates nothing. A resampler for a thread that may
// allocate (a file's reader) skips the large calls, and its queues grow as they need to.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "os/types.h"

struct soxr;

namespace xnq::conv {

class Resampler {
 public:
  // The widest ratio of the two rates, either way up, that a resampler takes.
  static constexpr Float64 kMaxRatio = 256;

  // Whether a resampler between the rates fits the call shape: the rates are finite and above
  // 0, at most kMaxRatio apart, and the smallest call's output fits a quarter of outputFrames.
  static bool supports(Float64 inputRate, Float64 outputRate, UInt32 outputFrames);

  // Host thread. quality is the converter's quality value (0 to 127); outputFrames the most
  // frames a call gives; realTime: whether calls must allocate nothing (then it is run in).
  // Null for rates it does not support, when soxr refuses them, or when memory runs out.
  static std::unique_ptr<Resampler> make(Float64 inputRate, Float64 outputRate, UInt32 channels,
                                         UInt32 quality, UInt32 outputFrames, bool realTime = true);
  ~Resampler();
  Resampler(const Resampler &) = delete;
  Resampler &operator=(const Resampler &) = delete;

  // The frames every call takes: few enough that their output fits outputFrames.
  UInt32 inputFrames() const { return inputFrames_; }

  // Any thread (render threads included): no allocation, no lock (for a real-time resampler).
  // Takes inputFrames() frames
  // from input (null: silence, which pushes the last frames of a stream out) and writes up to
  // outputFrames frames to output; made is the frames written. False on a soxr failure.
  bool process(const double *input, double *output, size_t &made);

  // Input frames the filter reaches on either side of a frame.
  UInt32 reach() const { return reach_; }

 private:
  Resampler(UInt32 channels, UInt32 inputFrames, UInt32 outputFrames);
  bool runIn(Float64 inputRate, Float64 outputRate, bool realTime);

  soxr *soxr_ = nullptr;
  UInt32 channels_;
  UInt32 inputFrames_;
  UInt32 outputFrames_;
  size_t discard_ = 0;  // outputs of the run-in still to drop
  UInt32 reach_ = 0;
  std::vector<double> silence_;
};

}  // namespace xnq::conv
