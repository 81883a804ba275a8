// The text that names the devices (XNQ_AUDIO_DEVICES, xnq_hal_configure):
//   entry[;entry...]   entry = backend[:key=value[,key=value...]]
// backends: null, capture, alsa; "none" alone means no devices. Keys: name, uid, out, in, rate,
// frames, clock (realtime | free | stepped), unplug (seconds of audio after which the device
// goes away), path (capture: the WAV file), pcm (alsa: the PCM).
// A value in double quotes may hold ';', ',', ':' and '=' (ALSA PCM strings do).
#pragma once

#include <string>
#include <vector>

#include "platform/audio_devices.h"

namespace xnq::hal {

struct DeviceDescription {
  std::string entry;  // the entry's text, for messages about it
  std::string backend, name, uid, target;
  double sampleRate = 44100.0;
  UInt32 outputChannels = 2, inputChannels = 0, bufferFrames = 512;
  XnqClockMode clock = XNQ_CLOCK_REALTIME;
  double unplugAfter = 0;

  // The device record pointing into this description's strings.
  XnqDeviceConfig config() const;
};

// "entry N 'text'": how messages name an entry of the list (N counts from 1).
std::string entryName(size_t index, const std::string &entry);

// Parses the text; on a mistake returns false with a message naming the entry and the problem.
bool parseDeviceList(const std::string &text, std::vector<DeviceDescription> *devices,
                     std::string *error);

}  // namespace xnq::hal
