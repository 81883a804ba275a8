#include <cstring>

#include "hal/hal_registry.h"
#include "hal/listener_hub.h"
#include "hal/object_properties.h"
#include "os/cf.h"

namespace xnq::hal {

static std::vector<AudioObjectID> deviceIds() {
  std::vector<AudioObjectID> ids;
  for (auto &d : HalRegistry::instance().devices()) ids.push_back(d->id());
  return ids;
}

static std::string cfText(CFStringRef s) {
  if (!s) return {};
  char buffer[512];
  if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return {};
  return buffer;
}

// 'duid': the device for a UID. Given as the old translation record in the buffer (input: a
// CFString reference, output: a device ID) or with the CFString as the qualifier and a device
// ID as the result. Unknown UIDs give kAudioDeviceUnknown, as the property has no error for them.
static OSStatus readDeviceForUid(const PropertyRead &read, PropertyValue *value) {
  if (read.qualifierSize == sizeof(CFStringRef) && read.qualifier) {
    if (read.sizeOnly()) {
      *value = PropertyValue::of(AudioDeviceID(0));
      return kAudioHardwareNoError;
    }
    CFStringRef uid;
    std::memcpy(&uid, read.qualifier, sizeof uid);
    auto d = HalRegistry::instance().deviceForUid(cfText(uid));
    *value = PropertyValue::of(AudioDeviceID(d ? d->id() : kAudioDeviceUnknown));
    return kAudioHardwareNoError;
  }
  AudioValueTranslation t{};
  if (read.sizeOnly()) {
    *value = PropertyValue::of(t);
    return kAudioHardwareNoError;
  }
  OSStatus status = readInput(read, &t);
  if (status) return status;
  if (!t.mInputData || t.mInputDataSize != sizeof(CFStringRef) || !t.mOutputData ||
      t.mOutputDataSize < sizeof(AudioDeviceID)) {
    return kAudioHardwareBadPropertySizeError;
  }
  CFStringRef uid;
  std::memcpy(&uid, t.mInputData, sizeof uid);
  auto d = HalRegistry::instance().deviceForUid(cfText(uid));
  AudioDeviceID id = d ? d->id() : kAudioDeviceUnknown;
  std::memcpy(t.mOutputData, &id, sizeof id);
  t.mOutputDataSize = sizeof id;
  *value = PropertyValue::of(t);
  return kAudioHardwareNoError;
}

OSStatus readSystemProperty(const PropertyRead &read, PropertyValue *value) {
  HalRegistry &hal = HalRegistry::instance();
  switch (read.address.mSelector) {
    case kAudioObjectPropertyClass:
      *value = PropertyValue::of(UInt32(kAudioSystemObjectClassID));
      return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
      *value = PropertyValue::cfString("Audio System");
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDevices:
    case kAudioObjectPropertyOwnedObjects:
      *value = PropertyValue::array(deviceIds());
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
      *value = PropertyValue::of(hal.defaultDevice(read.address.mSelector));
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDeviceForUID:
      return readDeviceForUid(read, value);
    case kAudioHardwarePropertySleepingIsAllowed:
      *value = PropertyValue::of(hal.sleepingAllowed());
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyUnloadingIsAllowed:
      *value = PropertyValue::of(hal.unloadingAllowed());
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

bool systemPropertySettable(AudioObjectPropertySelector selector) {
  switch (selector) {
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
    case kAudioHardwarePropertySleepingIsAllowed:
    case kAudioHardwarePropertyUnloadingIsAllowed:
      return true;
    default:
      return false;
  }
}

OSStatus writeSystemProperty(const AudioObjectPropertyAddress &address, UInt32 size,
                             const void *data) {
  HalRegistry &hal = HalRegistry::instance();
  UInt32 v = 0;
  switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
      if (OSStatus status = readSetData(size, data, &v)) return status;
      return hal.setDefaultDevice(address.mSelector, v);
    case kAudioHardwarePropertySleepingIsAllowed:
    case kAudioHardwarePropertyUnloadingIsAllowed: {
      if (OSStatus status = readSetData(size, data, &v)) return status;
      bool changed = address.mSelector == kAudioHardwarePropertySleepingIsAllowed
                         ? hal.setSleepingAllowed(v != 0)
                         : hal.setUnloadingAllowed(v != 0);
      if (changed) ListenerHub::instance().notify(kAudioObjectSystemObject, address.mSelector);
      return kAudioHardwareNoError;
    }
    default: {
      PropertyValue ignored;
      PropertyRead probe{address};
      if (readSystemProperty(probe, &ignored) == kAudioHardwareUnknownPropertyError) {
        return kAudioHardwareUnknownPropertyError;
      }
      return kAudioHardwareIllegalOperationError;
    }
  }
}

}  // namespace xnq::hal
