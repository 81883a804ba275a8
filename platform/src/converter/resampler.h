// Sample-rate conversion of interleaved doubles through libsoxr.
//
// soxr grows its internal queues on the first blocks it processes and frees and remakes
// everything when it is cleared, so a resampler is run in at creation: it processes silence in
// blocks of the largest size it will ever be given, until its queues have their working size.
// The run-in is a whole number of periods of the two rates, so the first output frame of the
// real stream falls exactly on its first input frame; the outputs that still belong to the
// run-in are dropped as they come. After that, processing allocates nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "os/types.h"

struct soxr;

namespace xnq::conv {

class Resampler {
 public:
  // Host thread. quality is the converter's quality value (0 to 127); blockFrames the most
  // frames any call takes or gives. Null when soxr refuses the rates or memory runs out.
  static std::unique_ptr<Resampler> make(Float64 inputRate, Float64 outputRate, UInt32 channels,
                                         UInt32 quality, UInt32 blockFrames);
  ~Resampler();
  Resampler(const Resampler &) = delete;
  Resampler &operator=(const Resampler &) = delete;

  // Any thread (render threads included): no allocation, no lock. Takes up to inputFrames
  // (at most blockFrames) frames from input and writes up to blockFrames frames to output;
  // input null feeds silence, which pushes the last frames of a stream out. False on a soxr
  // failure.
  bool process(const double *input, size_t inputFrames, size_t &used, double *output, size_t &made);

  // Input frames the filter reaches on either side of a frame.
  UInt32 reach() const { return reach_; }

 private:
  Resampler(UInt32 channels, UInt32 blockFrames);
  bool runIn(Float64 inputRate, Float64 outputRate);

  soxr *soxr_ = nullptr;
  UInt32 channels_;
  UInt32 blockFrames_;
  size_t discard_ = 0;  // outputs of the run-in still to drop
  UInt32 reach_ = 0;
  std::vector<double> silence_;
};

}  // namespace xnq::conv
