// The offline processing chain of xnq render, built from the platform's units in a graph:
// input callback -> converter -> multichannel mixer -> graphic EQ -> time-pitch -> varispeed ->
// generic output, rendered by its caller into interleaved 32-bit floats.
#pragma once

#include <string>
#include <vector>

#include "os/au_graph.h"

namespace xnq::tool {

struct ChainSettings {
  std::vector<Float32> eqGains;  // 31 band gains in dB; empty: all 0
  Float32 rate = 1;              // time-pitch rate
  Float32 pitch = 0;             // time-pitch pitch in cents
  Float32 varispeed = 1;         // varispeed playback rate
  Float32 volume = 1;            // mixer output volume, linear
  Float32 pan = 0;               // mixer input pan, -1 (left) to 1 (right)
  UInt32 quality = 127;          // render quality of the two rate units, 0 to 127
  // Units to bypass, for comparing the chain's cost with and without them.
  bool bypassEq = false, bypassTimePitch = false, bypassVarispeed = false;
};

class RenderChain {
 public:
  // The most frames one render makes: within every unit's default maximum, so no unit needs a
  // larger one (the time-pitch unit prepares for its maximum at initialize, and that cost grows
  // quickly with it).
  static constexpr UInt32 kSliceFrames = 1024;

  RenderChain() = default;
  ~RenderChain();
  RenderChain(const RenderChain &) = delete;
  RenderChain &operator=(const RenderChain &) = delete;

  // Builds and initializes the chain for interleaved float32 input of the given rate and
  // channels, fed by source; the output has the same rate and channels. On failure failedStep()
  // says what failed.
  OSStatus build(Float64 rate, UInt32 channels, const ChainSettings &settings,
                 const AURenderCallbackStruct &source);
  // Renders frames (at most kSliceFrames) into out, interleaved.
  OSStatus render(UInt32 frames, Float32 *out);
  // Frames by which the output lags the input (the units' latency).
  UInt32 latencyFrames() const { return latencyFrames_; }
  const std::string &failedStep() const { return failedStep_; }

 private:
  OSStatus step(const std::string &what, OSStatus status);

  AUGraph graph_ = nullptr;
  AudioUnit output_ = nullptr;
  UInt32 channels_ = 0;
  UInt32 latencyFrames_ = 0;
  Float64 sampleTime_ = 0;
  std::string failedStep_;
};

}  // namespace xnq::tool
