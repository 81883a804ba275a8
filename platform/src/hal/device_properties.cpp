#include <algorithm>
#include <cmath>
#include <cstring>

#include "hal/listener_hub.h"
#include "hal/object_properties.h"
#include "os/cf.h"

namespace xnq::hal {

namespace {

// The side a scope names. The global scope (and any other) means the output side when the
// device has one, else its input side.
bool sideOf(const AudioDevice &d, UInt32 scope) {
  if (scope == kAudioObjectPropertyScopeInput) return true;
  if (scope == kAudioObjectPropertyScopeOutput) return false;
  return d.channels(false) == 0;
}

AudioObjectPropertyScope scopeOf(bool input) {
  return input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
}

const char *clockSourceName(UInt32 id) {
  switch (id) {
    case XNQ_CLOCK_REALTIME:
      return "Real-Time Clock";
    case XNQ_CLOCK_FREE_RUNNING:
      return "Free-Running Clock";
    case XNQ_CLOCK_STEPPED:
      return "Stepped Clock";
    default:
      return nullptr;
  }
}

std::vector<AudioValueRange> rateRanges(const AudioDevice &d) {
  std::vector<AudioValueRange> ranges;
  for (double r : d.availableRates()) ranges.push_back({r, r});
  return ranges;
}

std::vector<AudioObjectID> streamsOf(const AudioDevice &d, UInt32 scope) {
  std::vector<AudioObjectID> ids;
  for (bool input : {false, true}) {
    if (!d.streamId(input)) continue;
    if (scope == kAudioObjectPropertyScopeInput && !input) continue;
    if (scope == kAudioObjectPropertyScopeOutput && input) continue;
    ids.push_back(d.streamId(input));
  }
  return ids;
}

PropertyValue streamConfiguration(const AudioDevice &d, bool input) {
  // An AudioBufferList describing the side: one interleaved buffer, or none.
  UInt32 ch = d.channels(input);
  std::vector<UInt8> bytes(offsetof(AudioBufferList, mBuffers) + (ch ? sizeof(AudioBuffer) : 0));
  AudioBufferList list{};
  list.mNumberBuffers = ch ? 1 : 0;
  list.mBuffers[0].mNumberChannels = ch;
  list.mBuffers[0].mDataByteSize = d.bufferFrames() * ch * 4;
  std::memcpy(bytes.data(), &list, bytes.size());
  return PropertyValue::raw(std::move(bytes));
}

// Translation through the caller's buffer: reads an input of type In and gives back Out.
template <class In, class Out, class F>
OSStatus translate(const PropertyRead &read, PropertyValue *value, F f) {
  if (read.sizeOnly()) {
    *value = PropertyValue::of(Out{});
    return kAudioHardwareNoError;
  }
  In in{};
  if (OSStatus status = readInput(read, &in)) return status;
  Out out{};
  if (OSStatus status = f(in, &out)) return status;
  *value = PropertyValue::of(out);
  return kAudioHardwareNoError;
}

// The old translation record: input a UInt32 ID, output a CFString the caller releases, or the
// name as a C string into the caller's buffer (cut short to fit, always terminated).
OSStatus translateToName(const PropertyRead &read, PropertyValue *value,
                         const char *(*nameOf)(UInt32), bool asCFString) {
  AudioValueTranslation t{};
  if (read.sizeOnly()) {
    *value = PropertyValue::of(t);
    return kAudioHardwareNoError;
  }
  if (OSStatus status = readInput(read, &t)) return status;
  if (!t.mInputData || t.mInputDataSize != sizeof(UInt32) || !t.mOutputData ||
      t.mOutputDataSize < (asCFString ? sizeof(CFStringRef) : 1)) {
    return kAudioHardwareBadPropertySizeError;
  }
  UInt32 id;
  std::memcpy(&id, t.mInputData, sizeof id);
  const char *name = nameOf(id);
  if (!name) return kAudioDeviceUnsupportedFormatError;
  PropertyValue text = asCFString ? PropertyValue::cfString(name) : PropertyValue::cString(name);
  UInt32 size = t.mOutputDataSize;
  if (OSStatus status = text.copyOut(&size, t.mOutputData)) return status;
  t.mOutputDataSize = size;
  *value = PropertyValue::of(t);
  return kAudioHardwareNoError;
}

OSStatus readFormatProperty(const AudioDevice &d, bool input, const PropertyRead &read,
                            PropertyValue *value, bool physical) {
  switch (read.address.mSelector) {
    case kAudioDevicePropertyStreamFormat:
    case kAudioStreamPropertyPhysicalFormat:
      *value = PropertyValue::of(physical ? d.physicalFormat(input) : d.streamFormat(input));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamFormats:
    case kAudioStreamPropertyPhysicalFormats:
      *value = PropertyValue::array(availableFormats(d, input, physical));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamFormatSupported:
    case kAudioStreamPropertyPhysicalFormatSupported:
      return translate<AudioStreamBasicDescription, AudioStreamBasicDescription>(
          read, value, [&](const AudioStreamBasicDescription &f, AudioStreamBasicDescription *out) {
            *out = f;
            return formatSupported(d, input, f) ? kAudioHardwareNoError
                                                : kAudioDeviceUnsupportedFormatError;
          });
    case kAudioDevicePropertyStreamFormatMatch:
    case kAudioStreamPropertyPhysicalFormatMatch:
      return translate<AudioStreamBasicDescription, AudioStreamBasicDescription>(
          read, value, [&](const AudioStreamBasicDescription &f, AudioStreamBasicDescription *out) {
            *out = closestFormat(d, input, f);
            return kAudioHardwareNoError;
          });
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

// Properties of one side of the device (the side must exist).
OSStatus readSideProperty(const AudioDevice &d, bool input, const PropertyRead &read,
                          PropertyValue *value) {
  UInt32 ch = d.channels(input);
  switch (read.address.mSelector) {
    case kAudioDevicePropertyLatency:
      *value = PropertyValue::of(d.backend().latencyFrames(input));
      return kAudioHardwareNoError;
    case kAudioDevicePropertySafetyOffset:
      *value = PropertyValue::of(UInt32(0));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferSize:
      *value = PropertyValue::of(UInt32(d.bufferFrames() * ch * 4));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferSizeRange:
      *value = PropertyValue::of(
          AudioValueRange{double(kMinBufferFrames * ch * 4), double(kMaxBufferFrames * ch * 4)});
      return kAudioHardwareNoError;
    case kAudioDevicePropertyPreferredChannelsForStereo: {
      UInt32 pair[2] = {1, ch >= 2 ? 2u : 1u};
      *value = PropertyValue::of(pair);
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyVolumeScalar:
      *value = PropertyValue::of(d.volume(input));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyVolumeDecibels:
      *value = PropertyValue::of(volumeScalarToDecibels(d.volume(input)));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyVolumeRangeDecibels:
      *value = PropertyValue::of(AudioValueRange{kVolumeMinDecibels, kVolumeMaxDecibels});
      return kAudioHardwareNoError;
    case kAudioDevicePropertyVolumeScalarToDecibels:
      return translate<Float32, Float32>(read, value, [](Float32 s, Float32 *db) {
        *db = volumeScalarToDecibels(s);
        return kAudioHardwareNoError;
      });
    case kAudioDevicePropertyVolumeDecibelsToScalar:
      return translate<Float32, Float32>(read, value, [](Float32 db, Float32 *s) {
        *s = volumeDecibelsToScalar(db);
        return kAudioHardwareNoError;
      });
    case kAudioDevicePropertyMute:
      *value = PropertyValue::of(UInt32(d.muted(input)));
      return kAudioHardwareNoError;
    default:
      return readFormatProperty(d, input, read, value, false);
  }
}

void notifyFormatChange(const AudioDevice &d) {
  ListenerHub &hub = ListenerHub::instance();
  AudioObjectPropertyAddress changes[4];
  UInt32 n = 0;
  changes[n++] = {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
  for (bool input : {false, true}) {
    if (!d.channels(input)) continue;
    changes[n++] = {kAudioDevicePropertyStreamFormat, scopeOf(input), 0};
    AudioObjectPropertyAddress stream[2] = {
        {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeGlobal, 0},
        {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal, 0}};
    hub.notify(d.streamId(input), stream, 2);
  }
  hub.notify(d.id(), changes, n);
}

}  // namespace

bool formatSupported(const AudioDevice &d, bool input, const AudioStreamBasicDescription &f) {
  // Zero fields are wildcards.
  AudioStreamBasicDescription own = d.streamFormat(input);
  if (f.mFormatID && f.mFormatID != kAudioFormatLinearPCM) return false;
  if (f.mFormatFlags &&
      (f.mFormatFlags & ~UInt32(kAudioFormatFlagIsNonMixable)) != own.mFormatFlags)
    return false;
  if (f.mBitsPerChannel && f.mBitsPerChannel != own.mBitsPerChannel) return false;
  if (f.mChannelsPerFrame && f.mChannelsPerFrame != own.mChannelsPerFrame) return false;
  if (f.mBytesPerFrame && f.mBytesPerFrame != own.mBytesPerFrame) return false;
  if (f.mBytesPerPacket && f.mBytesPerPacket != own.mBytesPerPacket) return false;
  if (f.mFramesPerPacket && f.mFramesPerPacket != 1) return false;
  if (f.mSampleRate != 0 && !d.rateAvailable(f.mSampleRate)) return false;
  return true;
}

AudioStreamBasicDescription closestFormat(const AudioDevice &d, bool input,
                                          const AudioStreamBasicDescription &f) {
  AudioStreamBasicDescription out = d.streamFormat(input);
  if (f.mSampleRate > 0) {
    double best = out.mSampleRate;
    for (double r : d.availableRates()) {
      if (std::fabs(r - f.mSampleRate) < std::fabs(best - f.mSampleRate)) best = r;
    }
    out.mSampleRate = best;
  }
  return out;
}

std::vector<AudioStreamBasicDescription> availableFormats(const AudioDevice &d, bool input,
                                                          bool physical) {
  std::vector<AudioStreamBasicDescription> formats;
  for (double r : d.availableRates()) {
    AudioStreamBasicDescription f = physical ? d.physicalFormat(input) : d.streamFormat(input);
    f.mSampleRate = r;
    formats.push_back(f);
  }
  return formats;
}

OSStatus applyStreamFormat(AudioDevice &d, bool input, const AudioStreamBasicDescription &f) {
  if (!formatSupported(d, input, f)) return kAudioDeviceUnsupportedFormatError;
  if (f.mSampleRate != 0 && d.setNominalRate(f.mSampleRate)) notifyFormatChange(d);
  return kAudioHardwareNoError;
}

OSStatus readDeviceProperty(const AudioDevice &d, const PropertyRead &read, PropertyValue *value) {
  const AudioObjectPropertyAddress &a = read.address;
  if (a.mElement != kAudioObjectPropertyElementMaster) return kAudioHardwareUnknownPropertyError;
  switch (a.mSelector) {
    case kAudioObjectPropertyClass:
      *value = PropertyValue::of(UInt32(kAudioDeviceClassID));
      return kAudioHardwareNoError;
    case kAudioObjectPropertyOwner:
      *value = PropertyValue::of(AudioObjectID(kAudioObjectSystemObject));
      return kAudioHardwareNoError;
    case kAudioObjectPropertyOwnedObjects:
    case kAudioDevicePropertyStreams:
      *value = PropertyValue::array(streamsOf(d, a.mScope));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceNameCFString:
      *value = PropertyValue::cfString(d.name());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceName:
      *value = PropertyValue::cString(d.name());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceManufacturer:
      *value = PropertyValue::cString(d.backend().manufacturer());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceManufacturerCFString:
      *value = PropertyValue::cfString(d.backend().manufacturer());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceUID:
      *value = PropertyValue::cfString(d.uid());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyTransportType:
      *value = PropertyValue::of(d.backend().transportType());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsAlive:
      // 0 once the device is shut down and no procedure of it runs any more; a device that went
      // away is no longer found at all.
      *value = PropertyValue::of(UInt32(d.alive()));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
      *value = PropertyValue::of(UInt32(d.isRunning()));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
      *value = PropertyValue::of(UInt32(d.channels(sideOf(d, a.mScope)) > 0));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
      *value = PropertyValue::of(UInt32(d.channels(false) > 0));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyHogMode:
      *value = PropertyValue::of(SInt32(-1));  // shared by every process: nobody hogs it
      return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferFrameSize:
      *value = PropertyValue::of(d.bufferFrames());
      return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferFrameSizeRange:
      *value =
          PropertyValue::of(AudioValueRange{double(kMinBufferFrames), double(kMaxBufferFrames)});
      return kAudioHardwareNoError;
    case kAudioDevicePropertyNominalSampleRate:
      *value = PropertyValue::of(Float64(d.nominalRate()));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyAvailableNominalSampleRates:
      *value = PropertyValue::array(rateRanges(d));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyActualSampleRate:
      // The clock runs at the nominal rate; a stopped device has no measured rate.
      *value = PropertyValue::of(Float64(d.isRunning() ? d.nominalRate() : 0.0));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyClockSource:
      *value = PropertyValue::of(UInt32(d.clock()));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyClockSources:
      *value = PropertyValue::array(
          std::vector<UInt32>{XNQ_CLOCK_REALTIME, XNQ_CLOCK_FREE_RUNNING, XNQ_CLOCK_STEPPED});
      return kAudioHardwareNoError;
    case kAudioDevicePropertyClockSourceNameForIDCFString:
      return translateToName(read, value, clockSourceName, true);
    case kAudioDevicePropertyClockSourceNameForID:
      return translateToName(read, value, clockSourceName, false);
    case kAudioDevicePropertySupportsMixing:
      // Several IO procedures of a device are summed, so clients share it.
      *value = PropertyValue::of(UInt32(1));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamConfiguration:
      *value = streamConfiguration(d, sideOf(d, a.mScope));
      return kAudioHardwareNoError;
    default:
      break;
  }
  bool input = sideOf(d, a.mScope);
  OSStatus status = readSideProperty(d, input, read, value);
  if (status == kAudioHardwareNoError && d.channels(input) == 0) {
    return kAudioHardwareUnknownPropertyError;  // the device has no such side
  }
  return status;
}

bool devicePropertySettable(AudioObjectPropertySelector selector) {
  switch (selector) {
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioDevicePropertyBufferFrameSize:
    case kAudioDevicePropertyBufferSize:
    case kAudioDevicePropertyStreamFormat:
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyVolumeDecibels:
    case kAudioDevicePropertyMute:
    case kAudioDevicePropertyClockSource:
      return true;
    default:
      return false;
  }
}

static OSStatus setBufferFrames(AudioDevice &d, UInt32 frames) {
  if (frames < kMinBufferFrames || frames > kMaxBufferFrames) {
    return kAudioDeviceUnsupportedFormatError;
  }
  if (d.setBufferFrames(frames)) {
    AudioObjectPropertyAddress changes[4];
    UInt32 n = 0;
    changes[n++] = {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
    for (bool input : {false, true}) {
      if (!d.channels(input)) continue;
      changes[n++] = {kAudioDevicePropertyBufferSize, scopeOf(input), 0};
      changes[n++] = {kAudioDevicePropertyStreamConfiguration, scopeOf(input), 0};
    }
    ListenerHub::instance().notify(d.id(), changes, n);
  }
  return kAudioHardwareNoError;
}

OSStatus writeDeviceProperty(AudioDevice &d, const AudioObjectPropertyAddress &a, UInt32 size,
                             const void *data) {
  PropertyValue current;
  if (OSStatus status = readDeviceProperty(d, PropertyRead{a}, &current)) return status;
  if (!devicePropertySettable(a.mSelector)) return kAudioHardwareIllegalOperationError;
  bool input = sideOf(d, a.mScope);
  AudioObjectPropertyAddress changed[2] = {{a.mSelector, kAudioObjectPropertyScopeGlobal, 0}};
  switch (a.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
      Float64 rate;
      if (OSStatus status = readSetData(size, data, &rate)) return status;
      if (!d.rateAvailable(rate)) return kAudioDeviceUnsupportedFormatError;
      if (d.setNominalRate(rate)) notifyFormatChange(d);
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyBufferFrameSize: {
      UInt32 frames;
      if (OSStatus status = readSetData(size, data, &frames)) return status;
      return setBufferFrames(d, frames);
    }
    case kAudioDevicePropertyBufferSize: {
      UInt32 bytes, frameBytes = 4 * d.channels(input);
      if (OSStatus status = readSetData(size, data, &bytes)) return status;
      if (bytes % frameBytes) return kAudioDeviceUnsupportedFormatError;
      return setBufferFrames(d, bytes / frameBytes);
    }
    case kAudioDevicePropertyStreamFormat: {
      AudioStreamBasicDescription f;
      if (OSStatus status = readSetData(size, data, &f)) return status;
      return applyStreamFormat(d, input, f);
    }
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyVolumeDecibels: {
      Float32 v;
      if (OSStatus status = readSetData(size, data, &v)) return status;
      if (std::isnan(v)) return kAudioDeviceUnsupportedFormatError;
      if (a.mSelector == kAudioDevicePropertyVolumeDecibels) v = volumeDecibelsToScalar(v);
      if (d.setVolume(input, v)) {
        changed[0] = {kAudioDevicePropertyVolumeScalar, scopeOf(input), 0};
        changed[1] = {kAudioDevicePropertyVolumeDecibels, scopeOf(input), 0};
        ListenerHub::instance().notify(d.id(), changed, 2);
      }
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyMute: {
      UInt32 v;
      if (OSStatus status = readSetData(size, data, &v)) return status;
      if (d.setMuted(input, v != 0)) {
        changed[0] = {kAudioDevicePropertyMute, scopeOf(input), 0};
        ListenerHub::instance().notify(d.id(), changed, 1);
      }
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyClockSource: {
      UInt32 v;
      if (OSStatus status = readSetData(size, data, &v)) return status;
      if (!clockSourceName(v)) return kAudioDeviceUnsupportedFormatError;
      if (d.setClock(static_cast<XnqClockMode>(v)))
        ListenerHub::instance().notify(d.id(), changed, 1);
      return kAudioHardwareNoError;
    }
    default:
      return kAudioHardwareIllegalOperationError;
  }
}

OSStatus readStreamProperty(const AudioDevice &d, bool input, const PropertyRead &read,
                            PropertyValue *value) {
  if (read.address.mElement != kAudioObjectPropertyElementMaster) {
    return kAudioHardwareUnknownPropertyError;
  }
  switch (read.address.mSelector) {
    case kAudioObjectPropertyClass:
      *value = PropertyValue::of(UInt32(kAudioStreamClassID));
      return kAudioHardwareNoError;
    case kAudioStreamPropertyOwningDevice:
      *value = PropertyValue::of(AudioObjectID(d.id()));
      return kAudioHardwareNoError;
    case kAudioStreamPropertyDirection:
      *value = PropertyValue::of(UInt32(input ? 1 : 0));
      return kAudioHardwareNoError;
    case kAudioStreamPropertyTerminalType:
      *value = PropertyValue::of(UInt32(
          d.backend().transportType() == kAudioDeviceTransportTypeBuiltIn
              ? (input ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker)
              : kAudioStreamTerminalTypeLine));
      return kAudioHardwareNoError;
    case kAudioStreamPropertyStartingChannel:
      *value = PropertyValue::of(UInt32(1));
      return kAudioHardwareNoError;
    case kAudioDevicePropertyLatency:
      *value = PropertyValue::of(d.backend().latencyFrames(input));
      return kAudioHardwareNoError;
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyPhysicalFormats:
    case kAudioStreamPropertyPhysicalFormatSupported:
    case kAudioStreamPropertyPhysicalFormatMatch:
      return readFormatProperty(d, input, read, value, true);
    default:
      return readFormatProperty(d, input, read, value, false);
  }
}

bool streamPropertySettable(AudioObjectPropertySelector selector) {
  return selector == kAudioDevicePropertyStreamFormat;
}

OSStatus writeStreamProperty(AudioDevice &d, bool input, const AudioObjectPropertyAddress &a,
                             UInt32 size, const void *data) {
  PropertyValue current;
  if (OSStatus status = readStreamProperty(d, input, PropertyRead{a}, &current)) return status;
  if (!streamPropertySettable(a.mSelector)) return kAudioHardwareIllegalOperationError;
  AudioStreamBasicDescription f;
  if (OSStatus status = readSetData(size, data, &f)) return status;
  return applyStreamFormat(d, input, f);
}

}  // namespace xnq::hal
