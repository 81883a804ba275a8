// The audio system as a whole: which devices exist, the default devices, object IDs, and the
// lazy set-up from XNQ_AUDIO_DEVICES on the first call.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hal/audio_device.h"
#include "platform/audio_devices.h"

namespace xnq::hal {

enum class ObjectKind { None, System, Device, Stream };

class HalRegistry {
 public:
  static HalRegistry &instance();

  // Every entry of the C interface calls this first: sets up the devices on first use.
  void ensureConfigured();

  OSStatus configure(const char *text, std::string *error);
  // Why XNQ_AUDIO_DEVICES could not be used ("" when it could); sets up the devices first.
  std::string configurationError();
  AudioDeviceID addDevice(const XnqDeviceConfig &config, std::string *error);
  OSStatus removeDevice(AudioDeviceID id);
  void reset();

  std::shared_ptr<AudioDevice> device(AudioObjectID id);
  // The device owning a stream, and which side the stream is.
  std::shared_ptr<AudioDevice> streamOwner(AudioObjectID id, bool *input);
  std::vector<std::shared_ptr<AudioDevice>> devices();
  std::shared_ptr<AudioDevice> deviceForUid(const std::string &uid);

  // kAudioHardwarePropertyDefault{Input,Output,SystemOutput}Device.
  AudioDeviceID defaultDevice(AudioObjectPropertySelector which);
  OSStatus setDefaultDevice(AudioObjectPropertySelector which, AudioDeviceID id);

  UInt32 sleepingAllowed() const { return sleepingAllowed_.load(); }
  bool setSleepingAllowed(UInt32 v) { return sleepingAllowed_.exchange(v) != v; }
  UInt32 unloadingAllowed() const { return unloadingAllowed_.load(); }
  bool setUnloadingAllowed(UInt32 v) { return unloadingAllowed_.exchange(v) != v; }

 private:
  HalRegistry() = default;
  OSStatus configureLocked(const std::string &text, std::string *error,
                           std::vector<AudioObjectPropertyAddress> *changes);
  AudioDeviceID addDeviceLocked(const XnqDeviceConfig &config, std::string *error,
                                std::vector<AudioObjectPropertyAddress> *changes);
  void removeLocked(const std::vector<std::shared_ptr<AudioDevice>> &removed,
                    std::vector<AudioObjectPropertyAddress> *changes);
  void repairDefaultsLocked(std::vector<AudioObjectPropertyAddress> *changes);
  static void shutDown(const std::vector<std::shared_ptr<AudioDevice>> &leaving);
  static void notifyGone(const std::vector<std::shared_ptr<AudioDevice>> &removed,
                         const std::vector<AudioObjectPropertyAddress> &changes);
  static void atProcessExit();

  // The device list, IDs and defaults: written by host threads under mutex_, read under it by
  // every call (IO procedures included, when they stop their device).
  std::mutex mutex_;
  bool configured_ = false;
  std::string configurationError_;
  AudioObjectID nextId_ = 2;
  std::vector<std::shared_ptr<AudioDevice>> devices_;
  AudioDeviceID defaultInput_ = 0, defaultOutput_ = 0, defaultSystemOutput_ = 0;
  // Written and read by host threads through the system object's properties.
  std::atomic<UInt32> sleepingAllowed_{1}, unloadingAllowed_{1};
};

}  // namespace xnq::hal
