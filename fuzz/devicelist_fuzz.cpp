// Fuzzes the text that names the audio devices (XNQ_AUDIO_DEVICES). A text the parser takes must
// describe devices the platform can make, with every number in its range, and must come back
// the same when its devices are written out again with quoted values; the null devices it names
// are added to the platform and removed again.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "hal/device_list_syntax.h"

namespace {

using fuzz::Check;
using xnq::hal::DeviceDescription;

std::string Write(const std::vector<DeviceDescription> &devices) {
  if (devices.empty()) return "none";
  static const char *const kClocks[] = {"realtime", "free", "stepped"};
  std::string text;
  for (const DeviceDescription &d : devices) {
    text += d.backend + ":out=" + std::to_string(d.outputChannels) +
            ",in=" + std::to_string(d.inputChannels) +
            ",rate=" + std::to_string(static_cast<long>(d.sampleRate)) +
            ",frames=" + std::to_string(d.bufferFrames) + ",clock=" + kClocks[d.clock];
    if (!d.name.empty()) text += ",name=\"" + d.name + "\"";
    if (!d.uid.empty()) text += ",uid=\"" + d.uid + "\"";
    // Always written: an ALSA device's PCM name defaults to "default", and "pcm=" names none.
    text += (d.backend == "alsa" ? ",pcm=\"" : ",path=\"") + d.target + "\"";
    text += ";";
  }
  return text;
}

bool Same(const DeviceDescription &a, const DeviceDescription &b) {
  return a.backend == b.backend && a.name == b.name && a.uid == b.uid && a.target == b.target &&
         a.sampleRate == b.sampleRate && a.outputChannels == b.outputChannels &&
         a.inputChannels == b.inputChannels && a.bufferFrames == b.bufferFrames &&
         a.clock == b.clock;
}

// Values with quotes or surrounding blanks cannot be written back inside quotes unchanged.
bool Writable(const std::string &value) {
  return value.find('"') == std::string::npos &&
         (value.empty() || (value.front() > ' ' && value.back() > ' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<DeviceDescription> devices;
  std::string error;
  if (!xnq::hal::parseDeviceList(text, &devices, &error)) {
    Check(!error.empty());
    return 0;
  }
  bool writable = true;
  for (const DeviceDescription &d : devices) {
    Check(d.backend == "null" || d.backend == "capture" || d.backend == "alsa");
    Check(d.outputChannels <= 64 && d.inputChannels <= 64 &&
          d.outputChannels + d.inputChannels > 0);
    Check(d.sampleRate >= 1000 && d.sampleRate <= 768000);
    Check(d.bufferFrames >= 32 && d.bufferFrames <= 8192);
    Check(d.clock <= XNQ_CLOCK_STEPPED);
    Check(d.backend != "capture" || !d.target.empty());
    writable = writable && Writable(d.name) && Writable(d.uid) && Writable(d.target);
  }
  if (writable) {
    std::vector<DeviceDescription> again;
    Check(xnq::hal::parseDeviceList(Write(devices), &again, &error));
    Check(again.size() == devices.size());
    for (size_t k = 0; k < devices.size(); ++k) Check(Same(devices[k], again[k]));
  }
  // Only null devices: a capture device would write wherever the text says, an ALSA one would
  // open a sound card.
  for (const DeviceDescription &d : devices) {
    if (d.backend != "null") continue;
    const XnqDeviceConfig config = d.config();
    const AudioDeviceID id = xnq_hal_add_device(&config);
    Check(id != 0);
    Check(xnq_hal_remove_device(id) == noErr);
  }
  return 0;
}
