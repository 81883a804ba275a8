// The C entries of the audio hardware interface: the object calls and the older hardware,
// device and stream calls, all over the same property tables.
#include <memory>

#include "hal/hal_registry.h"
#include "hal/listener_hub.h"
#include "hal/object_properties.h"

using namespace xnq::hal;

namespace {

struct Target {
  ObjectKind kind = ObjectKind::None;
  std::shared_ptr<AudioDevice> device;  // the device, or the stream's owner
  bool input = false;                   // the stream's side
};

Target resolve(AudioObjectID id) {
  HalRegistry &hal = HalRegistry::instance();
  hal.ensureConfigured();
  Target t;
  if (id == kAudioObjectSystemObject) {
    t.kind = ObjectKind::System;
  } else if ((t.device = hal.device(id))) {
    t.kind = ObjectKind::Device;
  } else if ((t.device = hal.streamOwner(id, &t.input))) {
    t.kind = ObjectKind::Stream;
  }
  return t;
}

OSStatus readProperty(const Target &t, const PropertyRead &read, PropertyValue *value) {
  switch (t.kind) {
    case ObjectKind::System:
      return readSystemProperty(read, value);
    case ObjectKind::Device:
      return readDeviceProperty(*t.device, read, value);
    case ObjectKind::Stream:
      return readStreamProperty(*t.device, t.input, read, value);
    case ObjectKind::None:
      break;
  }
  return kAudioHardwareBadObjectError;
}

bool settable(const Target &t, AudioObjectPropertySelector selector) {
  switch (t.kind) {
    case ObjectKind::System:
      return systemPropertySettable(selector);
    case ObjectKind::Device:
      return devicePropertySettable(selector);
    case ObjectKind::Stream:
      return streamPropertySettable(selector);
    case ObjectKind::None:
      break;
  }
  return false;
}

OSStatus writeProperty(const Target &t, const AudioObjectPropertyAddress &address, UInt32 size,
                       const void *data) {
  switch (t.kind) {
    case ObjectKind::System:
      return writeSystemProperty(address, size, data);
    case ObjectKind::Device:
      return writeDeviceProperty(*t.device, address, size, data);
    case ObjectKind::Stream:
      return writeStreamProperty(*t.device, t.input, address, size, data);
    case ObjectKind::None:
      break;
  }
  return kAudioHardwareBadObjectError;
}

OSStatus info(const Target &t, const AudioObjectPropertyAddress &address, UInt32 *outSize,
              Boolean *outWritable) {
  PropertyValue value;
  OSStatus status = readProperty(t, PropertyRead{address}, &value);
  if (status) return status;
  if (outSize) *outSize = value.size();
  if (outWritable) *outWritable = settable(t, address.mSelector);
  return kAudioHardwareNoError;
}

OSStatus get(const Target &t, const AudioObjectPropertyAddress &address, UInt32 qualifierSize,
             const void *qualifier, UInt32 *ioSize, void *out) {
  if (!ioSize || !out) return kAudioHardwareBadPropertySizeError;
  PropertyRead read{address, qualifierSize, qualifier, *ioSize, out};
  PropertyValue value;
  OSStatus status = readProperty(t, read, &value);
  if (status) return status;
  return value.copyOut(ioSize, out);
}

// The bad-object status each family of calls reports.
OSStatus badObject(const Target &t, ObjectKind wanted) {
  if (t.kind == wanted) return kAudioHardwareNoError;
  return wanted == ObjectKind::Device ? kAudioHardwareBadDeviceError : kAudioHardwareBadStreamError;
}

AudioObjectPropertyAddress deviceAddress(UInt32 channel, Boolean isInput, UInt32 selector) {
  return {
      selector,
      isInput ? UInt32(kAudioObjectPropertyScopeInput) : UInt32(kAudioObjectPropertyScopeOutput),
      channel};
}

AudioObjectPropertyAddress globalAddress(UInt32 selector, UInt32 element = 0) {
  return {selector, kAudioObjectPropertyScopeGlobal, element};
}

}  // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress *inAddress) {
  if (!inAddress) return false;
  return info(resolve(inObjectID), *inAddress, nullptr, nullptr) == kAudioHardwareNoError;
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress *inAddress,
                                       Boolean *outIsSettable) {
  if (!inAddress || !outIsSettable) return kAudioHardwareIllegalOperationError;
  return info(resolve(inObjectID), *inAddress, nullptr, outIsSettable);
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress *inAddress,
                                        UInt32 inQualifierDataSize, const void *inQualifierData,
                                        UInt32 *outDataSize) {
  if (!inAddress || !outDataSize) return kAudioHardwareIllegalOperationError;
  PropertyValue value;
  OSStatus status = readProperty(
      resolve(inObjectID), PropertyRead{*inAddress, inQualifierDataSize, inQualifierData}, &value);
  if (status == kAudioHardwareNoError) *outDataSize = value.size();
  return status;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress *inAddress,
                                    UInt32 inQualifierDataSize, const void *inQualifierData,
                                    UInt32 *ioDataSize, void *outData) {
  if (!inAddress) return kAudioHardwareIllegalOperationError;
  return get(resolve(inObjectID), *inAddress, inQualifierDataSize, inQualifierData, ioDataSize,
             outData);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress *inAddress,
                                    UInt32 inQualifierDataSize, const void *inQualifierData,
                                    UInt32 inDataSize, const void *inData) {
  (void)inQualifierDataSize;
  (void)inQualifierData;
  if (!inAddress) return kAudioHardwareIllegalOperationError;
  return writeProperty(resolve(inObjectID), *inAddress, inDataSize, inData);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress *inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void *inClientData) {
  if (!inAddress || !inListener) return kAudioHardwareIllegalOperationError;
  if (resolve(inObjectID).kind == ObjectKind::None) return kAudioHardwareBadObjectError;
  return ListenerHub::instance().add(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress *inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void *inClientData) {
  if (!inAddress || !inListener) return kAudioHardwareIllegalOperationError;
  // A listener of a device that went away can still be removed.
  if (ListenerHub::instance().remove(inObjectID, *inAddress, inListener, inClientData)) {
    return kAudioHardwareNoError;
  }
  if (resolve(inObjectID).kind == ObjectKind::None) return kAudioHardwareBadObjectError;
  return kAudioHardwareNoError;
}

OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32 *outSize,
                                      Boolean *outWritable) {
  return info(resolve(kAudioObjectSystemObject), globalAddress(inPropertyID), outSize, outWritable);
}

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                  void *outPropertyData) {
  return get(resolve(kAudioObjectSystemObject), globalAddress(inPropertyID), 0, nullptr,
             ioPropertyDataSize, outPropertyData);
}

OSStatus AudioHardwareSetProperty(AudioHardwarePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                  const void *inPropertyData) {
  return writeProperty(resolve(kAudioObjectSystemObject), globalAddress(inPropertyID),
                       inPropertyDataSize, inPropertyData);
}

OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32 *outSize,
                                    Boolean *outWritable) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return info(t, deviceAddress(inChannel, isInput, inPropertyID), outSize, outWritable);
}

OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                void *outPropertyData) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return get(t, deviceAddress(inChannel, isInput, inPropertyID), 0, nullptr, ioPropertyDataSize,
             outPropertyData);
}

OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp *inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void *inPropertyData) {
  (void)inWhen;  // every change takes effect at once
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return writeProperty(t, deviceAddress(inChannel, isInput, inPropertyID), inPropertyDataSize,
                       inPropertyData);
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                              void *inClientData) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return t.device->addIOProc(inProc, inClientData);
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return t.device->removeIOProc(inProc);
}

OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProcID) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return t.device->start(inProcID);
}

OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProcID) {
  Target t = resolve(inDevice);
  if (OSStatus status = badObject(t, ObjectKind::Device)) return status;
  return t.device->stop(inProcID);
}

OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                    AudioStreamPropertyID inPropertyID, UInt32 *outSize,
                                    Boolean *outWritable) {
  Target t = resolve(inStream);
  if (OSStatus status = badObject(t, ObjectKind::Stream)) return status;
  return info(t, globalAddress(inPropertyID, inChannel), outSize, outWritable);
}

OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                AudioStreamPropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                void *outPropertyData) {
  Target t = resolve(inStream);
  if (OSStatus status = badObject(t, ObjectKind::Stream)) return status;
  return get(t, globalAddress(inPropertyID, inChannel), 0, nullptr, ioPropertyDataSize,
             outPropertyData);
}

OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp *inWhen,
                                UInt32 inChannel, AudioStreamPropertyID inPropertyID,
                                UInt32 inPropertyDataSize, const void *inPropertyData) {
  (void)inWhen;
  Target t = resolve(inStream);
  if (OSStatus status = badObject(t, ObjectKind::Stream)) return status;
  return writeProperty(t, globalAddress(inPropertyID, inChannel), inPropertyDataSize,
                       inPropertyData);
}

}  // extern "C"
