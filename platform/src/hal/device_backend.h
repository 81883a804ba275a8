// What a device needs from the thing that really moves its samples: a null sink, a WAV file, a
// sound card. Each backend lives in backends/ and knows nothing of the object model.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "os/audio_hardware.h"

namespace xnq::hal {

// The format a device runs with for one run (from start to stop).
struct RunFormat {
  double sampleRate = 44100.0;
  UInt32 outputChannels = 0;
  UInt32 inputChannels = 0;
  UInt32 bufferFrames = 512;
};

class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;

  virtual const char *manufacturer() const = 0;
  virtual UInt32 transportType() const = 0;
  // Nominal rates the backend can run at; the device offers these.
  virtual std::vector<double> availableRates() const;
  // True when writeOutput blocks at the hardware's pace, so the real-time clock needs no timer.
  virtual bool pacesItself() const { return false; }
  // Frames between the IO procedure's buffer and the listener's ear (per side).
  virtual UInt32 latencyFrames(bool input) const {
    (void)input;
    return 0;
  }
  // The sample layout the backend moves, for the stream's physical format: float32 unless the
  // hardware took another encoding.
  virtual bool physicalIsFloat() const { return true; }
  virtual UInt32 physicalBitsPerChannel() const { return 32; }

  // IO thread, at the start of a run: prepares the sink/source. May allocate; returns a status.
  virtual OSStatus open(const RunFormat &format) = 0;
  // IO thread, once per cycle: must not allocate or take locks. Fills frames of interleaved input.
  virtual void readInput(float *interleaved, UInt32 frames, UInt32 channels);
  // IO thread, once per cycle: must not allocate or take locks. Consumes frames of interleaved
  // output (after volume and mute).
  virtual void writeOutput(const float *interleaved, UInt32 frames, UInt32 channels) = 0;
  // IO thread, at the end of a run.
  virtual void close() = 0;
};

// The standard rates a virtual device offers.
std::vector<double> standardRates();

// Backend factories. `target` is the capture file path or the ALSA PCM name. They return null
// (with a message in *error) when the backend can't be made.
std::unique_ptr<DeviceBackend> makeNullBackend();
std::unique_ptr<DeviceBackend> makeCaptureBackend(const std::string &path, double rate,
                                                  UInt32 channels, std::string *error);
std::unique_ptr<DeviceBackend> makeAlsaBackend(const std::string &pcm, bool wantOutput,
                                               bool wantInput, std::string *error);
// True when the ALSA PCM opens for playback (used to choose the default device set).
bool alsaPlaybackOpens(const std::string &pcm);

}  // namespace xnq::hal
