#include "hal/device_list_syntax.h"

#include <cstdlib>

namespace xnq::hal {

static std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Splits at sep outside double quotes, so a quoted value may hold ',', ';', ':' and '='.
static std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts(1);
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (c == sep && !quoted) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

static std::string unquote(const std::string &s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

static bool parseUnsigned(const std::string &text, unsigned long max, UInt32 *out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = UInt32(v);
  return true;
}

XnqDeviceConfig DeviceDescription::config() const {
  XnqDeviceConfig s{};
  s.backend = backend.c_str();
  s.name = name.empty() ? nullptr : name.c_str();
  s.uid = uid.empty() ? nullptr : uid.c_str();
  s.path = target.empty() ? nullptr : target.c_str();
  s.sampleRate = sampleRate;
  s.outputChannels = outputChannels;
  s.inputChannels = inputChannels;
  s.bufferFrames = bufferFrames;
  s.clock = clock;
  s.unplugAfter = unplugAfter;
  return s;
}

static bool applyKey(DeviceDescription &d, const std::string &key, const std::string &value,
                     std::string *error) {
  // Each number key with the range a device accepts; a value outside it is named with the range.
  struct Bounded {
    const char *key;
    unsigned long min, max;
    UInt32 *to;
  } bounded[] = {{"out", 0, 64, &d.outputChannels},
                 {"in", 0, 64, &d.inputChannels},
                 {"frames", 32, 8192, &d.bufferFrames}};
  UInt32 n = 0;
  for (const Bounded &b : bounded) {
    if (key != b.key) continue;
    if (!parseUnsigned(value, b.max, &n) || n < b.min) {
      *error = key + " takes a whole number from " + std::to_string(b.min) + " to " +
               std::to_string(b.max) + ", not '" + value + "'";
      return false;
    }
    *b.to = n;
    return true;
  }
  if (key == "name") {
    d.name = value;
  } else if (key == "uid") {
    d.uid = value;
  } else if (key == "path" || key == "pcm") {
    d.target = value;
  } else if (key == "rate") {
    if (!parseUnsigned(value, 768000, &n) || n < 1000) {
      *error = "rate takes a whole number of Hz from 1000 to 768000, not '" + value + "'";
      return false;
    }
    d.sampleRate = n;
  } else if (key == "clock") {
    if (value != "realtime" && value != "free" && value != "stepped") {
      *error = "clock takes realtime, free or stepped, not '" + value + "'";
      return false;
    }
    d.clock = value == "realtime" ? XNQ_CLOCK_REALTIME
              : value == "free"   ? XNQ_CLOCK_FREE_RUNNING
                                  : XNQ_CLOCK_STEPPED;
  } else if (key == "unplug") {
    char *end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(seconds >= 0.001 && seconds <= 1e6)) {
      *error = "unplug takes seconds of audio from 0.001 to 1000000, not '" + value + "'";
      return false;
    }
    d.unplugAfter = seconds;
  } else {
    *error = "unknown key '" + key +
             "' (keys: name, uid, out, in, rate, frames, clock, unplug, path, pcm)";
    return false;
  }
  return true;
}

std::string entryName(size_t index, const std::string &entry) {
  return "entry " + std::to_string(index) + " '" + entry + "'";
}

bool parseDeviceList(const std::string &text, std::vector<DeviceDescription> *devices,
                     std::string *error) {
  devices->clear();
  if (trim(text) == "none") return true;
  size_t index = 0;
  for (const std::string &rawEntry : split(text, ';')) {
    std::string entry = trim(rawEntry);
    if (entry.empty()) continue;
    ++index;
    auto fail = [&](const std::string &problem) {
      *error = entryName(index, entry) + ": " + problem;
      return false;
    };
    DeviceDescription d;
    d.entry = entry;
    size_t colon = entry.find(':');  // the backend name holds no quotes
    d.backend = trim(entry.substr(0, colon));
    if (d.backend != "null" && d.backend != "capture" && d.backend != "alsa")
      return fail("unknown backend '" + d.backend + "' (backends: null, capture, alsa)");
    if (d.backend == "alsa") d.target = "default";
    if (colon != std::string::npos) {
      for (const std::string &rawPair : split(entry.substr(colon + 1), ',')) {
        std::string pair = trim(rawPair);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');  // keys hold no quotes: the first '=' ends the key
        if (eq == std::string::npos) return fail("setting without a value: '" + pair + "'");
        std::string problem;
        if (!applyKey(d, trim(pair.substr(0, eq)), unquote(trim(pair.substr(eq + 1))), &problem))
          return fail(problem);
      }
    }
    if (d.backend == "capture" && d.target.empty()) return fail("a capture device needs path=FILE");
    if (d.outputChannels == 0 && d.inputChannels == 0)
      return fail("a device needs out or in channels");
    devices->push_back(d);
  }
  if (devices->empty()) {
    *error = "no device named (give 'none' for no devices)";
    return false;
  }
  return true;
}

}  // namespace xnq::hal
