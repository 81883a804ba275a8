// The properties of the system object, devices and streams. Each kind answers reads, says
// what is settable, and applies writes (notifying listeners of real changes).
#pragma once

#include "hal/audio_device.h"
#include "hal/property_value.h"

namespace xnq::hal {

OSStatus readSystemProperty(const PropertyRead &read, PropertyValue *value);
bool systemPropertySettable(AudioObjectPropertySelector selector);
OSStatus writeSystemProperty(const AudioObjectPropertyAddress &address, UInt32 size,
                             const void *data);

OSStatus readDeviceProperty(const AudioDevice &device, const PropertyRead &read,
                            PropertyValue *value);
bool devicePropertySettable(AudioObjectPropertySelector selector);
OSStatus writeDeviceProperty(AudioDevice &device, const AudioObjectPropertyAddress &address,
                             UInt32 size, const void *data);

OSStatus readStreamProperty(const AudioDevice &device, bool input, const PropertyRead &read,
                            PropertyValue *value);
bool streamPropertySettable(AudioObjectPropertySelector selector);
OSStatus writeStreamProperty(AudioDevice &device, bool input,
                             const AudioObjectPropertyAddress &address, UInt32 size,
                             const void *data);

// Shared by devices and streams: whether a format can be used on a side, and the nearest one
// that can.
bool formatSupported(const AudioDevice &device, bool input, const AudioStreamBasicDescription &f);
AudioStreamBasicDescription closestFormat(const AudioDevice &device, bool input,
                                          const AudioStreamBasicDescription &f);
std::vector<AudioStreamBasicDescription> availableFormats(const AudioDevice &device, bool input,
                                                          bool physical);
// Applies a new stream format to a side (only the rate can change) and notifies.
OSStatus applyStreamFormat(AudioDevice &device, bool input, const AudioStreamBasicDescription &f);

}  // namespace xnq::hal
