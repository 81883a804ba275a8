// The converter unit: the audio converter inside a unit. Its input takes any linear PCM the
// converter reads, its output is the units' own 32-bit float (interleaved or not), and the two
// may differ in channels (a mono input fills every output channel) and in rate (the converter's
// resampler). It pulls its input in whatever chunks the converter asks for, at most a slice.
// It has no bypass: with formats that differ there is nothing it could hand on unchanged.
#include <algorithm>
#include <new>

#include "audiounit/audio_unit_base.h"
#include "audiounit/unit_factories.h"
#include "converter/pcm_converter.h"

namespace xnq::au {
namespace {

using conv::PcmConverter;

class ConverterUnit final : public AudioUnitBase, private conv::PacketSource {
 public:
  ConverterUnit(AudioUnit self, const ComponentDescription &description)
      : AudioUnitBase(self, description, 1, 1) {}
  ~ConverterUnit() override { unprepare(); }

 protected:
  OSStatus checkFormat(AudioUnitScope scope, AudioUnitElement element,
                       const AudioStreamBasicDescription &format) override {
    conv::PcmFormat pcm;
    if (scope == kAudioUnitScope_Input)
      return conv::describePcm(format, pcm) && format.mChannelsPerFrame <= kMaxChannels
                 ? OSStatus{noErr}
                 : OSStatus{kAudioUnitErr_FormatNotSupported};
    return AudioUnitBase::checkFormat(scope, element, format);
  }
  OSStatus prepare() override {
    PcmConverter *made = makeConverter();
    if (made == nullptr) return kAudioUnitErr_FormatNotSupported;
    active_ = made;
    inputTime_ = 0;
    return noErr;
  }
  void unprepare() override {
    delete pending_.exchange(nullptr);
    delete retired_.exchange(nullptr);
    delete active_;
    active_ = nullptr;
  }
  // The converter forgets a stream only by remaking its resampler, which allocates: a fresh
  // converter is made here and handed to the render thread, which takes it at its next slice
  // and leaves the old one for the host thread to free.
  void resetState() override {
    if (!initialized()) return;
    delete retired_.exchange(nullptr);
    delete pending_.exchange(makeConverter());
  }
  OSStatus renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32, UInt32 frames,
                     AudioBufferList *ioData) override;

 private:
  PcmConverter *makeConverter() {
    std::unique_ptr<PcmConverter> converter;
    if (PcmConverter::make(element(kAudioUnitScope_Input, 0)->format,
                           element(kAudioUnitScope_Output, 0)->format, converter) != noErr)
      return nullptr;
    // Render quality (0 ... 127) is the resampler's quality on the converter's own scale.
    converter->setQuality(renderQuality());
    return converter.release();
  }
  // Render thread: the converter asks for input.
  OSStatus supply(UInt32 &packets, AudioBufferList &list) override {
    AudioTimeStamp stamp{};
    stamp.mSampleTime = inputTime_;
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    inputTime_ += packets;
    return pullInputInto(0, &stamp, packets, &list);
  }

  // Render thread only (made at initialize).
  PcmConverter *active_ = nullptr;
  Float64 inputTime_ = 0;
  // A fresh converter from a reset, written by host threads and taken by the render thread; the
  // one it replaced, written by the render thread and freed by host threads.
  std::atomic<PcmConverter *> pending_{nullptr};
  std::atomic<PcmConverter *> retired_{nullptr};
};

// Render thread: no allocation, no lock, no host calls.
OSStatus ConverterUnit::renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                                  UInt32 frames, AudioBufferList *ioData) {
  if (PcmConverter *fresh = pending_.exchange(nullptr, std::memory_order_acq_rel)) {
    retired_.store(active_, std::memory_order_release);
    active_ = fresh;
    inputTime_ = 0;
  }
  UInt32 written = frames;
  OSStatus status = active_->fill(*this, written, *ioData);
  // An input that ended leaves the rest of the slice silent.
  for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
    AudioBuffer &buffer = ioData->mBuffers[b];
    UInt32 full = frames * (buffer.mNumberChannels * 4);
    auto *bytes = static_cast<unsigned char *>(buffer.mData);
    if (buffer.mDataByteSize < full) std::fill(bytes + buffer.mDataByteSize, bytes + full, 0);
    buffer.mDataByteSize = full;
  }
  return status;
}

}  // namespace

AudioUnitBase *makeConverterUnit(AudioUnit self, const ComponentDescription &description) {
  return new (std::nothrow) ConverterUnit(self, description);
}

}  // namespace xnq::au
