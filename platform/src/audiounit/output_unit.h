// Output units: the generic output, which its caller renders, and the units that drive an
// audio device ('ahal' chooses its device; 'def ' and 'sys ' take the default output and the
// system output device).
#pragma once

#include "audiounit/audio_unit_base.h"
#include "converter/pcm_converter.h"
#include "os/audio_hardware.h"

namespace xnq::au {

class OutputUnit : public AudioUnitBase {
 public:
  OutputUnit(AudioUnit self, const ComponentDescription &description, UInt32 elements,
             std::vector<ParameterDefinition> parameters = {})
      : AudioUnitBase(self, description, elements, elements, std::move(parameters)) {}
  OSStatus start() override;
  OSStatus stop() override;

 protected:
  OSStatus propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        UInt32 &size, bool &writable) override;
  OSStatus readProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        void *data, UInt32 &size) override;
  void unprepare() override;
  bool endsChain() const override { return true; }
  virtual OSStatus startIO() { return noErr; }
  virtual void stopIO() {}

  // Written by host threads (start, stop) and the device's IO thread; read by anyone.
  std::atomic<bool> running_{false};
};

// Rendered by whoever calls AudioUnitRender on it: pulls its input and hands it on in the
// output scope's format. Its caller waits for the result, so the chain renders offline (the
// offline render property says so to the units before it; a caller that renders it for a device
// of its own sets the property to 0).
class GenericOutput final : public OutputUnit {
 public:
  GenericOutput(AudioUnit self, const ComponentDescription &description)
      : OutputUnit(self, description, 1) {
    setOffline(true);
  }

 protected:
  OSStatus renderBus(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp, UInt32 bus,
                     UInt32 frames, AudioBufferList *ioData) override;
};

// Plays its input on a device, converting it to the device's sample rate when the two differ,
// and mapping its channels onto the device's.
class DeviceOutput final : public OutputUnit {
 public:
  // The output volume, a gain from 0 to 1 applied to everything the unit plays.
  static constexpr AudioUnitParameterID kVolumeParameter = 14;

  enum class Follows { kChosenDevice, kDefaultOutput, kSystemOutput };
  DeviceOutput(AudioUnit self, const ComponentDescription &description, Follows follows);
  ~DeviceOutput() override;

  // Notification thread: moves a default or system output unit to the device the system now
  // names, and keeps it playing if it was.
  void followSystemChoice();

  // Device IO thread: no allocation, no lock, no host calls.
  OSStatus deviceIO(const AudioTimeStamp *outputTime, AudioBufferList *output);

 protected:
  OSStatus propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        UInt32 &size, bool &writable) override;
  OSStatus readProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                        void *data, UInt32 &size) override;
  OSStatus writeProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void *data, UInt32 size) override;
  OSStatus checkFormat(AudioUnitScope scope, AudioUnitElement element,
                       const AudioStreamBasicDescription &format) override;
  OSStatus prepare() override;
  void unprepare() override;
  OSStatus startIO() override;
  void stopIO() override;
  OSStatus renderBus(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp, UInt32 bus,
                     UInt32 frames, AudioBufferList *ioData) override;

 private:
  AudioDeviceID followedDevice() const;
  // Takes the device's format as the output scope's, and maps its channels one to one.
  void adoptDevice(AudioDeviceID device);
  OSStatus attach();
  void detach();
  // With the lock held: plays to device from now on (kAudioDeviceUnknown: stops playing).
  OSStatus moveTo(AudioDeviceID device);
  AudioObjectPropertyAddress systemChoice() const;
  // With the lock held, before the IO procedure is added: makes the rate converter when the
  // input's rate is not the device's, else drops it.
  OSStatus makeRateConverter();
  // Device IO thread: no allocation, no lock, no host calls. Renders frames of the input at the
  // device's rate into resampled_.
  OSStatus resample(const AudioTimeStamp *timeStamp, UInt32 frames, AudioBufferList *&out);
  class InputPull;

  Follows follows_;
  AudioDeviceID device_ = kAudioDeviceUnknown;
  // Written by host threads only while no IO procedure is attached; read by the IO thread.
  AudioStreamBasicDescription deviceFormat_{};
  AudioDeviceIOProc ioProc_ = nullptr;
  // Written by host threads only while uninitialized; read by the IO thread.
  bool outputEnabled_ = true;
  bool clientFormatChosen_ = false;  // the caller set the input format; a new device keeps it
  // Written by host threads (channel map property); read by the IO thread.
  std::atomic<SInt32> channelMap_[kMaxChannels];
  // Written by host threads when the device changes; read by the IO thread.
  std::atomic<UInt32> mapSize_{0};
  // Written and read by the IO thread only, reset by start while the device is stopped.
  Float64 sampleTime_ = 0;
  // Made at initialize for the IO thread: one buffer that points into the device's output.
  AudioBufferList sliceList_{};
  // Made by host threads while no IO procedure is attached; used by the IO thread only. The
  // converter takes the input to the device's rate, in the input's layout, into resampled_.
  std::unique_ptr<conv::PcmConverter> rateConverter_;
  InputBuffers resampled_;
  // Written and read by the IO thread only, reset by start while the device is stopped: the
  // input's own sample time, which runs at its rate, not the device's.
  Float64 inputSampleTime_ = 0;
};

}  // namespace xnq::au
