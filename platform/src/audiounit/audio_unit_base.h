// The base of every audio unit of the platform: elements in the global, input and output
// scopes, their stream formats, properties, parameters with their ranges, the life cycle
// (initialize, uninitialize, reset) and rendering, which pulls the inputs from render callbacks
// or connections to other units.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "os/audio_unit.h"

namespace xnq::au {

// One parameter a unit offers in one scope, on every element of that scope. A definition with a
// count above 1 stands for the IDs id ... id + count - 1 (one per channel, as the mixer's meters).
// A read-only parameter is a measurement that the render thread writes.
struct ParameterDefinition {
  AudioUnitScope scope;
  AudioUnitParameterID id;
  const char *name;
  UInt32 unit;
  Float32 minValue;
  Float32 maxValue;
  Float32 defaultValue;
  UInt32 count = 1;
  bool readOnly = false;
};

// An input's source: a render callback or another unit's output.
struct InputSource {
  // Written by host threads (properties); read by the render thread.
  std::atomic<AURenderCallback> callback{nullptr};
  std::atomic<void *> callbackRefCon{nullptr};
  std::atomic<AudioUnit> sourceUnit{nullptr};
  std::atomic<UInt32> sourceOutput{0};
};

struct Element {
  AudioStreamBasicDescription format;
  InputSource source;  // used by input elements only
  // One value per parameter ID of this unit (slots in definition order). Written by host threads,
  // read by the render thread; read-only parameters the other way round.
  std::unique_ptr<std::atomic<Float32>[]> values;
};

// Buffers for one input, made at initialize so the render thread never allocates.
struct InputBuffers {
  std::vector<Float32> samples;
  std::vector<unsigned char> listBytes;
  AudioBufferList *list() { return reinterpret_cast<AudioBufferList *>(listBytes.data()); }
};

class AudioUnitBase {
 public:
  static constexpr UInt32 kDefaultMaxFramesPerSlice = 1156;
  // The largest maximum slice a unit takes: its buffers for a larger one (gigabytes at 2^31
  // frames) could not be held, so the request is refused and the unit keeps its maximum.
  static constexpr UInt32 kLargestMaxFramesPerSlice = 1 << 20;
  static constexpr UInt32 kMaxChannels = 64;

  AudioUnitBase(AudioUnit self, const ComponentDescription &description, UInt32 inputs,
                UInt32 outputs, std::vector<ParameterDefinition> parameters = {});
  virtual ~AudioUnitBase();
  AudioUnitBase(const AudioUnitBase &) = delete;
  AudioUnitBase &operator=(const AudioUnitBase &) = delete;

  // Host threads. Each call holds the unit's lock.
  OSStatus initialize();
  OSStatus uninitialize();
  OSStatus reset(AudioUnitScope scope, AudioUnitElement element);
  OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                           UInt32 *size, Boolean *writable);
  OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                       void *data, UInt32 *size);
  OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                       const void *data, UInt32 size);
  OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                        Float32 *value);
  OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                        Float32 value);
  OSStatus addRenderNotify(AURenderCallback proc, void *refCon);
  OSStatus removeRenderNotify(AURenderCallback proc, void *refCon);
  virtual OSStatus start();
  virtual OSStatus stop();

  // Render thread: no allocation, no lock, no host calls. A bypassed unit hands its input on.
  OSStatus render(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp, UInt32 bus,
                  UInt32 frames, AudioBufferList *ioData);

  AudioUnit self() const { return self_; }
  const ComponentDescription &description() const { return description_; }

 protected:
  // What a property is: its size and whether a caller may write it. Returns InvalidProperty for
  // properties the unit lacks; a subclass handles its own first and defers to the base.
  virtual OSStatus propertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, UInt32 &size, bool &writable);
  // Reads a property into data, which propertyInfo sized; size is the bytes available.
  virtual OSStatus readProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, void *data, UInt32 &size);
  // Writes a property whose size was checked against propertyInfo.
  virtual OSStatus writeProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void *data, UInt32 size);
  // Whether the unit can work with a stream format on an element.
  virtual OSStatus checkFormat(AudioUnitScope scope, AudioUnitElement element,
                               const AudioStreamBasicDescription &format);
  // Called with the lock held after the base made the input buffers.
  virtual OSStatus prepare() { return noErr; }
  virtual void unprepare() {}
  virtual void resetState() {}
  virtual bool elementCountWritable(AudioUnitScope) const { return false; }
  // Whether the unit offers the bypass property (effects do; output units do not).
  virtual bool canBypass() const { return false; }
  // Whether the unit ends a chain and tells the units before it, when it is initialized,
  // whether they render offline (output units do).
  virtual bool endsChain() const { return false; }
  // Called with the lock held after the render quality or the offline render setting changed.
  virtual void settingsChanged() {}
  // Whether a parameter of the unit's list is offered in the unit's present configuration.
  virtual bool offersParameter(AudioUnitScope, AudioUnitParameterID) const { return true; }
  // Called with the lock held after a parameter took a new value.
  virtual void parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID) {}
  // The delay of the unit's output behind its input and how long its output rings on after the
  // input falls silent, in seconds. Called with the lock held.
  virtual Float64 latencySeconds() { return 0; }
  virtual Float64 tailSeconds() { return 0; }
  // Render thread: the bypassed render, which hands input bus 0 on unchanged.
  virtual OSStatus renderBypassed(const AudioTimeStamp *timeStamp, UInt32 bus, UInt32 frames,
                                  AudioBufferList *ioData);
  // Render thread: fills ioData (already pointing at buffers) with frames of output bus.
  virtual OSStatus renderBus(AudioUnitRenderActionFlags *flags, const AudioTimeStamp *timeStamp,
                             UInt32 bus, UInt32 frames, AudioBufferList *ioData) = 0;

  // Render thread: pulls frames of input element into its preallocated buffers, which ioData
  // then points at. NoConnection when the input has neither a callback nor a source unit.
  OSStatus pullInput(UInt32 element, const AudioTimeStamp *timeStamp, UInt32 frames,
                     AudioBufferList *&ioData);
  // Render thread: pulls frames of input element straight into the caller's buffers, which must
  // match the input's format (the source may point them at buffers of its own).
  OSStatus pullInputInto(UInt32 element, const AudioTimeStamp *timeStamp, UInt32 frames,
                         AudioBufferList *ioData);
  bool hasSource(UInt32 element);

  std::vector<std::unique_ptr<Element>> &elements(AudioUnitScope scope);
  Element *element(AudioUnitScope scope, AudioUnitElement index);
  // The value of a parameter by its definition's position and the ID's offset in the definition.
  Float32 parameterValue(AudioUnitScope scope, AudioUnitElement element, size_t definition,
                         UInt32 offset = 0) const;
  // Stores a value without checks: a measurement (render thread) or a value that follows from
  // another parameter (host thread, lock held).
  void storeParameter(AudioUnitScope scope, AudioUnitElement element, size_t definition,
                      UInt32 offset, Float32 value);
  // Changes the element count of a scope; new elements take the first element's format.
  void setElementCount(AudioUnitScope scope, UInt32 count);
  UInt32 maxFramesPerSlice() const { return maxFrames_; }
  bool initialized() const { return initialized_.load(std::memory_order_acquire); }
  UInt32 renderQuality() const { return renderQuality_.load(std::memory_order_relaxed); }
  // Whether the unit renders offline: for a caller that waits for the result, not for a device
  // that plays it as it comes. The generic output unit says so to the units before it.
  bool offline() const { return offline_.load(std::memory_order_relaxed); }
  void setOffline(bool offline) { offline_.store(offline, std::memory_order_relaxed); }
  // Whether the units' own format, 32-bit float with a buffer per channel, and nothing else.
  static bool isCanonical(const AudioStreamBasicDescription &format);
  static AudioStreamBasicDescription canonicalFormat(Float64 rate, UInt32 channels);

  std::mutex lock_;

 private:
  OSStatus validateAddress(AudioUnitScope scope, AudioUnitElement element);
  // The definition of an offered parameter and the value slot of the ID.
  const ParameterDefinition *findParameter(AudioUnitScope scope, AudioUnitParameterID id,
                                           size_t &slot) const;
  // Takes the output formats of the units connected to the inputs, as a connection carries them.
  void adoptConnectedFormats();
  // Without the lock: passes the offline render setting on to the units connected to the inputs
  // (each passes it on only when it changes, so a loop of connections ends).
  void passOfflineOn();
  void makeValues(AudioUnitScope scope, Element &element);
  static void layoutBuffers(InputBuffers &buffers, const AudioStreamBasicDescription &format,
                            UInt32 frames);

  struct RenderNotify {
    // Written by host threads (add, remove); read by the render thread.
    std::atomic<AURenderCallback> proc{nullptr};
    std::atomic<void *> refCon{nullptr};
  };
  static constexpr size_t kMaxNotifies = 8;

  AudioUnit self_;
  ComponentDescription description_;
  std::vector<ParameterDefinition> parameters_;
  std::vector<size_t> firstSlot_;  // per definition: the slot of its first ID
  size_t slotCount_ = 0;
  std::vector<std::unique_ptr<Element>> scopes_[3];
  std::vector<InputBuffers> inputBuffers_;
  // Where a render writes when the caller's buffers have no data pointers.
  std::vector<std::vector<Float32>> outputScratch_;
  UInt32 maxFrames_ = kDefaultMaxFramesPerSlice;
  // Written by host threads; read by units as they render.
  std::atomic<UInt32> renderQuality_{127};
  // Written by host threads (offline render property); read by host threads.
  std::atomic<bool> offline_{false};
  // Written by host threads (bypass property); read by the render thread.
  std::atomic<bool> bypassed_{false};
  // Written by host threads (initialize, uninitialize); read by the render thread.
  std::atomic<bool> initialized_{false};
  // Written by the render thread; read by host threads.
  std::atomic<SInt32> lastRenderError_{noErr};
  RenderNotify notifies_[kMaxNotifies];
};

}  // namespace xnq::au
