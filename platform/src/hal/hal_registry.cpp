#include "hal/hal_registry.h"

#include <cstdlib>
#include <cstring>

#include "hal/device_list_syntax.h"
#include "hal/listener_hub.h"

namespace xnq::hal {

namespace {

// Devices whose removal was asked from their own IO thread: their thread can't be joined there,
// so the object must outlive the thread. The next removal or the process exit joins it.
std::mutex graveyardMutex;
std::vector<std::shared_ptr<AudioDevice>> &graveyard() {
  static auto *kept = new std::vector<std::shared_ptr<AudioDevice>>();
  return *kept;
}

void keepUntilJoined(const std::shared_ptr<AudioDevice> &device) {
  std::lock_guard<std::mutex> lock(graveyardMutex);
  graveyard().push_back(device);
}

// Joins the IO threads of devices removed from their own IO thread, where the caller is not one
// of them.
void reapGraveyard() {
  std::vector<std::shared_ptr<AudioDevice>> removed;
  {
    std::lock_guard<std::mutex> lock(graveyardMutex);
    removed.swap(graveyard());
  }
  for (const auto &d : removed) {
    if (!d->shutdown()) keepUntilJoined(d);
  }
}

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
}

std::unique_ptr<DeviceBackend> makeBackend(const XnqDeviceConfig &config, std::string *error) {
  std::string kind = config.backend ? config.backend : "null";
  if (kind == "null") return makeNullBackend();
  if (kind == "capture") {
    if (!config.path || !*config.path) {
      *error = "capture device without path";
      return nullptr;
    }
    return makeCaptureBackend(config.path, config.sampleRate > 0 ? config.sampleRate : 44100.0,
                              config.outputChannels, error);
  }
  if (kind == "alsa") {
    return makeAlsaBackend(config.path && *config.path ? config.path : "default",
                           config.outputChannels > 0, config.inputChannels > 0, error);
  }
  *error = "unknown backend '" + kind + "'";
  return nullptr;
}

// The notification thread: removes a device that asked to go away (its unplug time), as
// xnq_hal_remove_device does. A device already gone answers with an error, which is ignored.
OSStatus UnplugDevice(AudioObjectID device, UInt32, const AudioObjectPropertyAddress *, void *) {
  HalRegistry::instance().removeDevice(device);
  return kAudioHardwareNoError;
}

}  // namespace

HalRegistry &HalRegistry::instance() {
  // Never destroyed: IO threads may still look devices up while the process exits. The exit
  // handler stops them first.
  static HalRegistry *registry = new HalRegistry();
  return *registry;
}

void HalRegistry::atProcessExit() {
  HalRegistry &self = instance();
  std::vector<std::shared_ptr<AudioDevice>> running;
  {
    std::lock_guard<std::mutex> lock(self.mutex_);
    running = self.devices_;
  }
  for (auto &d : running) d->shutdown();
  reapGraveyard();
  ListenerHub::instance().shutdown();
}

void HalRegistry::ensureConfigured() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (configured_) return;
  const char *env = std::getenv("XNQ_AUDIO_DEVICES");
  std::string text = env ? env : "";
  std::string error;
  // A list that can't be used leaves no device and says why (configurationError), rather than
  // play to a default device the user did not ask for.
  if (configureLocked(text, &error, nullptr) != kAudioHardwareNoError)
    configurationError_ = "XNQ_AUDIO_DEVICES: " + error;
}

std::string HalRegistry::configurationError() {
  ensureConfigured();
  std::lock_guard<std::mutex> lock(mutex_);
  return configurationError_;
}

// The set when nothing is named: the ALSA default device where it opens, else a null output.
static std::string defaultDeviceText() {
  if (alsaPlaybackOpens("default")) return "alsa:name=Default Output,pcm=default,out=2";
  return "null:name=Null Output,out=2,rate=44100,clock=realtime";
}

OSStatus HalRegistry::configureLocked(const std::string &text, std::string *error,
                                      std::vector<AudioObjectPropertyAddress> *changes) {
  if (!configured_) {
    configured_ = true;
    std::atexit(atProcessExit);
  }
  std::vector<DeviceDescription> wanted;
  bool empty = text.find_first_not_of(" \t\n") == std::string::npos;
  if (!parseDeviceList(empty ? defaultDeviceText() : text, &wanted, error)) {
    return kAudioHardwareIllegalOperationError;
  }
  // All of the list or nothing: the devices made before an entry that fails are taken away
  // again (none of them has started).
  const size_t before = devices_.size();
  for (size_t i = 0; i < wanted.size(); ++i) {
    XnqDeviceConfig config = wanted[i].config();
    std::string problem;
    if (addDeviceLocked(config, &problem, nullptr) == 0) {
      *error = entryName(i + 1, wanted[i].entry) + ": " + problem;
      devices_.resize(before);
      repairDefaultsLocked(nullptr);
      return kAudioHardwareBadDeviceError;
    }
  }
  if (changes && devices_.size() != before) {
    changes->push_back(globalAddress(kAudioHardwarePropertyDevices));
    changes->push_back(globalAddress(kAudioObjectPropertyOwnedObjects));
    repairDefaultsLocked(changes);
  }
  return kAudioHardwareNoError;
}

OSStatus HalRegistry::configure(const char *text, std::string *error) {
  const std::vector<std::shared_ptr<AudioDevice>> removed = devices();
  shutDown(removed);
  std::vector<AudioObjectPropertyAddress> changes;
  OSStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removeLocked(removed, &changes);
    status = configureLocked(text ? text : "", error, &changes);
  }
  notifyGone(removed, changes);
  return status;
}

AudioDeviceID HalRegistry::addDevice(const XnqDeviceConfig &config, std::string *error) {
  std::vector<AudioObjectPropertyAddress> changes;
  AudioDeviceID id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A test that adds its own devices before any other call starts from an empty system.
    if (!configured_) {
      configured_ = true;
      std::atexit(atProcessExit);
    }
    id = addDeviceLocked(config, error, &changes);
  }
  if (!changes.empty())
    ListenerHub::instance().notify(kAudioObjectSystemObject, changes.data(),
                                   UInt32(changes.size()));
  return id;
}

AudioDeviceID HalRegistry::addDeviceLocked(const XnqDeviceConfig &config, std::string *error,
                                           std::vector<AudioObjectPropertyAddress> *changes) {
  if (config.outputChannels == 0 && config.inputChannels == 0) {
    *error = "device without channels";
    return 0;
  }
  if (config.outputChannels > 64 || config.inputChannels > 64) {
    *error = "too many channels";
    return 0;
  }
  if (config.clock != XNQ_CLOCK_REALTIME && config.clock != XNQ_CLOCK_FREE_RUNNING &&
      config.clock != XNQ_CLOCK_STEPPED) {
    *error = "unknown clock mode";
    return 0;
  }
  std::unique_ptr<DeviceBackend> backend = makeBackend(config, error);
  if (!backend) return 0;
  DeviceSettings s;
  s.backendName = config.backend ? config.backend : "null";
  s.id = nextId_++;
  s.outputChannels = config.outputChannels;
  s.inputChannels = config.inputChannels;
  if (s.outputChannels) s.outputStream = nextId_++;
  if (s.inputChannels) s.inputStream = nextId_++;
  s.name =
      config.name && *config.name ? config.name : s.backendName + " device " + std::to_string(s.id);
  s.uid = config.uid && *config.uid ? config.uid : "xnq:" + s.backendName + ":" + s.name;
  s.sampleRate = config.sampleRate > 0 ? config.sampleRate : 44100.0;
  s.bufferFrames = config.bufferFrames ? config.bufferFrames : 512;
  if (s.bufferFrames < kMinBufferFrames || s.bufferFrames > kMaxBufferFrames) {
    *error = "buffer frames out of range";
    return 0;
  }
  s.clock = static_cast<XnqClockMode>(config.clock);
  if (!(config.unplugAfter >= 0)) {
    *error = "unplug time out of range";
    return 0;
  }
  s.unplugAfter = config.unplugAfter;
  devices_.push_back(std::make_shared<AudioDevice>(s, std::move(backend)));
  if (s.unplugAfter > 0) {
    ListenerHub::instance().add(s.id, globalAddress(kDeviceUnplugRequest), UnplugDevice, nullptr);
  }
  if (changes) {
    changes->push_back(globalAddress(kAudioHardwarePropertyDevices));
    changes->push_back(globalAddress(kAudioObjectPropertyOwnedObjects));
  }
  repairDefaultsLocked(changes);
  return s.id;
}

// Points every default at a device that exists and has the side, keeping valid choices.
void HalRegistry::repairDefaultsLocked(std::vector<AudioObjectPropertyAddress> *changes) {
  auto valid = [&](AudioDeviceID id, bool input) {
    for (auto &d : devices_) {
      if (d->id() == id) return d->channels(input) > 0;
    }
    return false;
  };
  auto first = [&](bool input) -> AudioDeviceID {
    for (auto &d : devices_) {
      if (d->channels(input) > 0) return d->id();
    }
    return 0;
  };
  struct Slot {
    AudioDeviceID *id;
    bool input;
    AudioObjectPropertySelector selector;
  } slots[] = {{&defaultInput_, true, kAudioHardwarePropertyDefaultInputDevice},
               {&defaultOutput_, false, kAudioHardwarePropertyDefaultOutputDevice},
               {&defaultSystemOutput_, false, kAudioHardwarePropertyDefaultSystemOutputDevice}};
  for (Slot &slot : slots) {
    if (valid(*slot.id, slot.input)) continue;
    AudioDeviceID replacement = first(slot.input);
    if (replacement == *slot.id) continue;
    *slot.id = replacement;
    if (changes) changes->push_back(globalAddress(slot.selector));
  }
}

void HalRegistry::removeLocked(const std::vector<std::shared_ptr<AudioDevice>> &removed,
                               std::vector<AudioObjectPropertyAddress> *changes) {
  const size_t before = devices_.size();
  for (const auto &d : removed) std::erase(devices_, d);
  if (devices_.size() == before) return;
  changes->push_back(globalAddress(kAudioHardwarePropertyDevices));
  changes->push_back(globalAddress(kAudioObjectPropertyOwnedObjects));
  repairDefaultsLocked(changes);
}

// Stops devices that are about to leave the list, outside the registry's lock (their IO
// procedures may call in). A device leaves the list only after this, so whoever no longer finds
// a device (or reads it as not alive) knows that none of its IO procedures runs any more.
void HalRegistry::shutDown(const std::vector<std::shared_ptr<AudioDevice>> &leaving) {
  reapGraveyard();
  for (const auto &d : leaving) {
    if (!d->shutdown()) keepUntilJoined(d);
  }
}

// Tells the listeners of removed devices that they are gone, and the system's listeners what
// changed.
void HalRegistry::notifyGone(const std::vector<std::shared_ptr<AudioDevice>> &removed,
                             const std::vector<AudioObjectPropertyAddress> &changes) {
  for (const auto &d : removed) {
    if (d->unplugAfter() > 0) {
      // Not under mutex_: taking the listener away waits for a removal it may be making.
      ListenerHub::instance().remove(d->id(), globalAddress(kDeviceUnplugRequest), UnplugDevice,
                                     nullptr);
    }
    ListenerHub::instance().notify(d->id(), kAudioDevicePropertyDeviceIsAlive);
  }
  if (!changes.empty()) {
    ListenerHub::instance().notify(kAudioObjectSystemObject, changes.data(),
                                   UInt32(changes.size()));
  }
}

OSStatus HalRegistry::removeDevice(AudioDeviceID id) {
  const std::shared_ptr<AudioDevice> found = device(id);
  if (!found) return kAudioHardwareBadDeviceError;
  const std::vector<std::shared_ptr<AudioDevice>> removed = {found};
  shutDown(removed);
  std::vector<AudioObjectPropertyAddress> changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removeLocked(removed, &changes);
  }
  notifyGone(removed, changes);
  return kAudioHardwareNoError;
}

void HalRegistry::reset() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!configured_) {
      configured_ = true;
      std::atexit(atProcessExit);
    }
  }
  const std::vector<std::shared_ptr<AudioDevice>> removed = devices();
  shutDown(removed);
  std::vector<AudioObjectPropertyAddress> changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removeLocked(removed, &changes);
  }
  notifyGone(removed, changes);
}

std::shared_ptr<AudioDevice> HalRegistry::device(AudioObjectID id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &d : devices_) {
    if (d->id() == id) return d;
  }
  return nullptr;
}

std::shared_ptr<AudioDevice> HalRegistry::streamOwner(AudioObjectID id, bool *input) {
  if (id == 0) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &d : devices_) {
    for (bool side : {false, true}) {
      if (d->streamId(side) == id) {
        *input = side;
        return d;
      }
    }
  }
  return nullptr;
}

std::vector<std::shared_ptr<AudioDevice>> HalRegistry::devices() {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

std::shared_ptr<AudioDevice> HalRegistry::deviceForUid(const std::string &uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &d : devices_) {
    if (d->uid() == uid) return d;
  }
  return nullptr;
}

AudioDeviceID HalRegistry::defaultDevice(AudioObjectPropertySelector which) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (which == kAudioHardwarePropertyDefaultInputDevice) return defaultInput_;
  if (which == kAudioHardwarePropertyDefaultOutputDevice) return defaultOutput_;
  return defaultSystemOutput_;
}

OSStatus HalRegistry::setDefaultDevice(AudioObjectPropertySelector which, AudioDeviceID id) {
  bool input = which == kAudioHardwarePropertyDefaultInputDevice;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<AudioDevice> target;
    for (auto &d : devices_) {
      if (d->id() == id) target = d;
    }
    if (!target) return kAudioHardwareBadDeviceError;
    if (target->channels(input) == 0) return kAudioDeviceUnsupportedFormatError;
    AudioDeviceID *slot = input ? &defaultInput_
                          : which == kAudioHardwarePropertyDefaultOutputDevice
                              ? &defaultOutput_
                              : &defaultSystemOutput_;
    changed = *slot != id;
    *slot = id;
  }
  if (changed) ListenerHub::instance().notify(kAudioObjectSystemObject, which);
  return kAudioHardwareNoError;
}

}  // namespace xnq::hal
