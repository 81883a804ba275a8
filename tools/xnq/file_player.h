// One file in AUPlayerXNQ, as xnq play drives it: loaded, set up from the options (each value
// checked by the unit that takes it), then played live with keys and a meter, or rendered
// offline into a file. A playlist is a loop of these, one object per file, as the class loads one
// file per object.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio_writer.h"
#include "coreaudio_values.h"
#include "terminal.h"
#include "xnq/host.h"

namespace xnq::tool {

struct PlayOptions {
  std::vector<std::string> paths;             // "-": standard input; empty: the demo
  double rate = 0, pitch = 0, varispeed = 0;  // 0 (pitch: not given) leaves the class's default
  bool pitchGiven = false;
  double volume = NAN, pan = NAN, start = 0;
  std::vector<double> eq;
  bool loop = false;
  double loopIn = 0, loopOut = 0;
  int quality = -1;      // -1: the class's own (127)
  uint32_t device = 0;   // resolved from --device; 0: the player's default
  long outputUnit = -1;  // -1: the class's default
  std::string render;    // output file; empty: play live
  SampleBits bits = SampleBits::Default;
};

// How the play of one file ended.
enum class PlayEnd { Ended, Next, Quit, Stopped, Failed };

class FilePlayer {
 public:
  explicit FilePlayer(CoreAudioClient &audio) : audio_(audio) {}
  // Creates the object and loads the file; false after reporting why (name: how to call the
  // file in messages).
  bool load(const std::string &path, const std::string &name, const PlayOptions &o);
  // Applies the options; false after reporting the first value refused.
  bool configure(const PlayOptions &o);
  // The first status line: the file, its length and rate, and where it plays.
  void announce(const PlayOptions &o);
  PlayEnd playLive(const PlayOptions &o, KeyReader &keys);
  // For a render: how many frames the file really decoded, whatever its header claims. Called
  // after the load and before configure() moves a rate unit.
  bool measureDecodedFrames();
  PlayEnd render(const PlayOptions &o, AudioWriter &writer);

 private:
  host::Value get(const char *property);
  double number(const char *property) { return get(property).asDouble(); }
  // Sets a property and checks the status the class kept; reports a refusal as what.
  bool set(const char *property, const host::Value &value, const std::string &what);
  bool setQuality(int quality);
  void drawStatus(bool paused);
  bool renderSlice(uint32_t frames, float *interleaved);
  void readMeter();

  CoreAudioClient &audio_;
  host::Value object_;
  std::string name_;
  double length_ = 0, rate_ = 0;
  int64_t decodedFrames_ = 0;  // measured for a render
  double renderedFrames_ = 0;  // the generic output's sample time
  void *output_ = nullptr;     // the generic output unit, once rendering
  uint32_t device_ = 0;        // the device it plays on live (0: not known)
  // The meter: each channel's level and held peak in dB, and how often a peak reached full scale.
  double level_[2] = {-120, -120}, peak_[2] = {-120, -120}, loudest_ = -120;
  bool atFullScale_ = false;
  int clips_ = 0;
};

}  // namespace xnq::tool
