#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "messages.h"

namespace xnq::tool {

bool ParseFinite(const std::string &text, double *value) {
  char *end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(*value);
}

bool ParseInRange(const char *command, const NumberRange &range, const std::string &text,
                  double *value) {
  if (ParseFinite(text, value) && *value >= range.min && *value <= range.max &&
      (!range.whole || *value == std::floor(*value)))
    return true;
  char words[160];
  std::snprintf(words, sizeof words, "%s takes %s from %g to %g, not '%s'", range.option,
                range.whole ? "a whole number" : "a number", range.min, range.max, text.c_str());
  Report(command, "", words);
  return false;
}

bool ParseGains(const char *command, const std::string &text, std::vector<double> *gains) {
  gains->clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    double gain = 0;
    if (!ParseFinite(text.substr(start, comma - start), &gain) || gain < kEqMin || gain > kEqMax ||
        gains->size() == kEqBands) {
      Report(command, "",
             "--eq takes up to 31 gains in dB from -20 to 12, separated by commas, not '" + text +
                 "'");
      return false;
    }
    gains->push_back(gain);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace xnq::tool
