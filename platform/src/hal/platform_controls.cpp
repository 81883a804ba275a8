// The platform-only controls of the audio hardware: device set-up and test hooks.
#include <string>

#include "hal/hal_registry.h"
#include "hal/listener_hub.h"
#include "platform/audio_devices.h"

using xnq::hal::HalRegistry;
using xnq::hal::ListenerHub;

namespace {
thread_local std::string lastError;
}

extern "C" {

OSStatus xnq_hal_configure(const char *devices) {
  std::string error;
  OSStatus status = HalRegistry::instance().configure(devices, &error);
  lastError = status ? error : "";
  return status;
}

AudioDeviceID xnq_hal_add_device(const XnqDeviceConfig *config) {
  if (!config) return 0;
  std::string error;
  AudioDeviceID id = HalRegistry::instance().addDevice(*config, &error);
  lastError = error;
  return id;
}

OSStatus xnq_hal_remove_device(AudioDeviceID device) {
  return HalRegistry::instance().removeDevice(device);
}

void xnq_hal_reset(void) { HalRegistry::instance().reset(); }

UInt32 xnq_hal_step(AudioDeviceID device, UInt32 cycles) {
  auto d = HalRegistry::instance().device(device);
  return d ? d->step(cycles) : 0;
}

OSStatus xnq_hal_set_output_prefill(AudioDeviceID device, Float32 value) {
  auto d = HalRegistry::instance().device(device);
  if (!d) return kAudioHardwareBadDeviceError;
  d->setPrefill(value);
  return kAudioHardwareNoError;
}

OSStatus xnq_hal_set_output_tap(AudioDeviceID device, XnqOutputTap tap, void *context) {
  auto d = HalRegistry::instance().device(device);
  if (!d) return kAudioHardwareBadDeviceError;
  d->setTap(tap, context);
  return kAudioHardwareNoError;
}

UInt64 xnq_hal_cycle_count(AudioDeviceID device) {
  auto d = HalRegistry::instance().device(device);
  return d ? d->cycleCount() : 0;
}

OSStatus xnq_hal_fail_next_start(AudioDeviceID device, OSStatus status) {
  auto d = HalRegistry::instance().device(device);
  if (!d) return kAudioHardwareBadDeviceError;
  d->failNextStart(status);
  return kAudioHardwareNoError;
}

void xnq_hal_flush_notifications(void) { ListenerHub::instance().drain(); }

const char *xnq_hal_last_error(void) { return lastError.c_str(); }

const char *xnq_hal_configuration_error(void) {
  // Fixed once the devices are set up from the environment, so one copy serves every caller.
  static const std::string *error = new std::string(HalRegistry::instance().configurationError());
  return error->c_str();
}

}  // extern "C"
