// What play and render take alike: each number option with its range, checked the same way in
// both, with messages that give the range.
#pragma once

#include <string>
#include <vector>

namespace xnq::tool {

struct NumberRange {
  const char *option;
  double min, max;
  bool whole;  // whole numbers only
};

// The ranges the units accept. The rate stops at 0.04 because the file player keeps rates in
// steps of 0.01, and the time-pitch unit's least rate (1/32) falls between two of them.
inline constexpr NumberRange kRateRange{"--rate", 0.04, 32, false};
inline constexpr NumberRange kPitchRange{"--pitch", -2400, 2400, false};
inline constexpr NumberRange kVarispeedRange{"--varispeed", 0.25, 4, false};
inline constexpr NumberRange kVolumeRange{"--volume", 0, 1, false};
inline constexpr NumberRange kPanRange{"--pan", -1, 1, false};
inline constexpr NumberRange kQualityRange{"--quality", 0, 127, true};
inline constexpr double kEqMin = -20, kEqMax = 12;
inline constexpr int kEqBands = 31;

// Parses text as a number inside the range; prints "xnq COMMAND: --volume takes a number from 0
// to 1, not '2'" and returns false when it is not.
bool ParseInRange(const char *command, const NumberRange &range, const std::string &text,
                  double *value);
// A comma-separated list of up to 31 band gains in dB, each from -20 to 12 (bands not given
// stay at 0); prints what is wrong and returns false otherwise.
bool ParseGains(const char *command, const std::string &text, std::vector<double> *gains);
// A finite number, the whole text; false otherwise.
bool ParseFinite(const std::string &text, double *value);

}  // namespace xnq::tool
