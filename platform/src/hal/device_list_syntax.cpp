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
  return s;
}

static bool applyKey(DeviceDescription &d, const std::string &key, const std::string &value,
                     std::string *error) {
  UInt32 n = 0;
  if (key == "name") {
    d.name = value;
  } else if (key == "uid") {
    d.uid = value;
  } else if (key == "path" || key == "pcm") {
    d.target = value;
  } else if (key == "out" && parseUnsigned(value, 64, &n)) {
    d.outputChannels = n;
  } else if (key == "in" && parseUnsigned(value, 64, &n)) {
    d.inputChannels = n;
  } else if (key == "rate" && parseUnsigned(value, 768000, &n) && n >= 1000) {
    d.sampleRate = n;
  } else if (key == "frames" && parseUnsigned(value, 8192, &n) && n >= 32) {
    d.bufferFrames = n;
  } else if (key == "clock" && (value == "realtime" || value == "free" || value == "stepped")) {
    d.clock = value == "realtime" ? XNQ_CLOCK_REALTIME
              : value == "free"   ? XNQ_CLOCK_FREE_RUNNING
                                  : XNQ_CLOCK_STEPPED;
  } else {
    *error = "bad setting '" + key + "=" + value + "'";
    return false;
  }
  return true;
}

bool parseDeviceList(const std::string &text, std::vector<DeviceDescription> *devices,
                     std::string *error) {
  devices->clear();
  if (trim(text) == "none") return true;
  for (const std::string &rawEntry : split(text, ';')) {
    std::string entry = trim(rawEntry);
    if (entry.empty()) continue;
    DeviceDescription d;
    size_t colon = entry.find(':');  // the backend name holds no quotes
    d.backend = trim(entry.substr(0, colon));
    if (d.backend != "null" && d.backend != "capture" && d.backend != "alsa") {
      *error = "unknown backend '" + d.backend + "'";
      return false;
    }
    if (d.backend == "alsa") d.target = "default";
    if (colon != std::string::npos) {
      for (const std::string &rawPair : split(entry.substr(colon + 1), ',')) {
        std::string pair = trim(rawPair);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');  // keys hold no quotes: the first '=' ends the key
        if (eq == std::string::npos) {
          *error = "setting without a value: '" + pair + "'";
          return false;
        }
        if (!applyKey(d, trim(pair.substr(0, eq)), unquote(trim(pair.substr(eq + 1))), error)) {
          return false;
        }
      }
    }
    if (d.backend == "capture" && d.target.empty()) {
      *error = "capture device without path";
      return false;
    }
    if (d.outputChannels == 0 && d.inputChannels == 0) {
      *error = "device without channels";
      return false;
    }
    devices->push_back(d);
  }
  return true;
}

}  // namespace xnq::hal
