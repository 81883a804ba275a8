// The audio converter interface over PcmConverter. A reference names a slot of the converter
// table: null, disposed and made-up references get paramErr on every call, fills included.
#include <cstring>

#include "converter/handle_table.h"
#include "converter/pcm_converter.h"

using xnq::conv::PcmConverter;

namespace {

xnq::conv::HandleTable<PcmConverter> &converters() {
  static xnq::conv::HandleTable<PcmConverter> table;
  return table;
}

// Adapts the caller's input data procedure to the engine's source. Runs on the filling thread.
class ProcedureSource final : public xnq::conv::PacketSource {
 public:
  ProcedureSource(AudioConverterRef converter, AudioConverterComplexInputDataProc procedure,
                  void *userData)
      : converter_(converter), procedure_(procedure), userData_(userData) {}

  OSStatus supply(UInt32 &packets, AudioBufferList &list) override {
    AudioStreamPacketDescription *descriptions = nullptr;  // linear PCM has none
    return procedure_(converter_, &packets, &list, &descriptions, userData_);
  }

 private:
  AudioConverterRef converter_;
  AudioConverterComplexInputDataProc procedure_;
  void *userData_;
};

OSStatus propertyInfo(AudioConverterPropertyID id, UInt32 &size, bool &writable) {
  writable = false;
  switch (id) {
    case kAudioConverterCurrentInputStreamDescription:
    case kAudioConverterCurrentOutputStreamDescription:
      size = sizeof(AudioStreamBasicDescription);
      return noErr;
    case kAudioConverterSampleRateConverterQuality:
      size = sizeof(UInt32);
      writable = true;
      return noErr;
    case kAudioConverterPrimeInfo:
      size = sizeof(AudioConverterPrimeInfo);
      return noErr;
    default:
      return kAudioConverterErr_PropertyNotSupported;
  }
}

}  // namespace

extern "C" {

OSStatus AudioConverterNew(const AudioStreamBasicDescription *inSourceFormat,
                           const AudioStreamBasicDescription *inDestinationFormat,
                           AudioConverterRef *outAudioConverter) {
  if (outAudioConverter == nullptr) return paramErr;
  *outAudioConverter = nullptr;
  if (inSourceFormat == nullptr || inDestinationFormat == nullptr) return paramErr;
  std::unique_ptr<PcmConverter> converter;
  const OSStatus status = PcmConverter::make(*inSourceFormat, *inDestinationFormat, converter);
  if (status != noErr) return status;
  *outAudioConverter = converters().add<AudioConverterRef>(std::move(converter));
  return *outAudioConverter == nullptr ? memFullErr : noErr;
}

OSStatus AudioConverterDispose(AudioConverterRef inAudioConverter) {
  return converters().remove(inAudioConverter) == nullptr ? paramErr : noErr;
}

OSStatus AudioConverterReset(AudioConverterRef inAudioConverter) {
  PcmConverter *c = converters().find(inAudioConverter);
  return c == nullptr ? paramErr : c->reset();
}

OSStatus AudioConverterGetPropertyInfo(AudioConverterRef inAudioConverter,
                                       AudioConverterPropertyID inPropertyID, UInt32 *outSize,
                                       Boolean *outWritable) {
  PcmConverter *c = converters().find(inAudioConverter);
  if (c == nullptr) return paramErr;
  UInt32 size = 0;
  bool writable = false;
  const OSStatus status = propertyInfo(inPropertyID, size, writable);
  if (status != noErr) return status;
  if (outSize != nullptr) *outSize = size;
  if (outWritable != nullptr) *outWritable = writable;
  return noErr;
}

OSStatus AudioConverterGetProperty(AudioConverterRef inAudioConverter,
                                   AudioConverterPropertyID inPropertyID,
                                   UInt32 *ioPropertyDataSize, void *outPropertyData) {
  PcmConverter *c = converters().find(inAudioConverter);
  if (c == nullptr || ioPropertyDataSize == nullptr || outPropertyData == nullptr) return paramErr;
  UInt32 size = 0;
  bool writable = false;
  const OSStatus status = propertyInfo(inPropertyID, size, writable);
  if (status != noErr) return status;
  if (*ioPropertyDataSize < size) return kAudioConverterErr_BadPropertySizeError;
  const UInt32 quality = c->quality();
  const AudioConverterPrimeInfo prime = c->primeInfo();
  const void *value = inPropertyID == kAudioConverterCurrentInputStreamDescription
                          ? static_cast<const void *>(&c->sourceFormat())
                      : inPropertyID == kAudioConverterCurrentOutputStreamDescription
                          ? static_cast<const void *>(&c->destinationFormat())
                      : inPropertyID == kAudioConverterSampleRateConverterQuality
                          ? static_cast<const void *>(&quality)
                          : static_cast<const void *>(&prime);
  std::memcpy(outPropertyData, value, size);
  *ioPropertyDataSize = size;
  return noErr;
}

OSStatus AudioConverterSetProperty(AudioConverterRef inAudioConverter,
                                   AudioConverterPropertyID inPropertyID, UInt32 inPropertyDataSize,
                                   const void *inPropertyData) {
  PcmConverter *c = converters().find(inAudioConverter);
  if (c == nullptr || inPropertyData == nullptr) return paramErr;
  UInt32 size = 0;
  bool writable = false;
  const OSStatus status = propertyInfo(inPropertyID, size, writable);
  if (status != noErr) return status;
  if (!writable) return kAudioConverterErr_PropertyNotSupported;
  if (inPropertyDataSize != size) return kAudioConverterErr_BadPropertySizeError;
  UInt32 quality = 0;
  std::memcpy(&quality, inPropertyData, sizeof quality);
  return c->setQuality(quality);
}

OSStatus AudioConverterFillComplexBuffer(AudioConverterRef inAudioConverter,
                                         AudioConverterComplexInputDataProc inInputDataProc,
                                         void *inInputDataProcUserData,
                                         UInt32 *ioOutputDataPacketSize,
                                         AudioBufferList *outOutputData,
                                         AudioStreamPacketDescription *) {
  PcmConverter *c = converters().find(inAudioConverter);
  if (c == nullptr || inInputDataProc == nullptr || ioOutputDataPacketSize == nullptr ||
      outOutputData == nullptr) {
    if (ioOutputDataPacketSize != nullptr) *ioOutputDataPacketSize = 0;
    return paramErr;
  }
  ProcedureSource source(inAudioConverter, inInputDataProc, inInputDataProcUserData);
  return c->fill(source, *ioOutputDataPacketSize, *outOutputData);
}

OSStatus AudioConverterConvertBuffer(AudioConverterRef inAudioConverter, UInt32 inInputDataSize,
                                     const void *inInputData, UInt32 *ioOutputDataSize,
                                     void *outOutputData) {
  PcmConverter *c = converters().find(inAudioConverter);
  if (c == nullptr || inInputData == nullptr || ioOutputDataSize == nullptr ||
      outOutputData == nullptr)
    return paramErr;
  const AudioStreamBasicDescription &from = c->sourceFormat();
  const AudioStreamBasicDescription &to = c->destinationFormat();
  const auto nonInterleaved = [](const AudioStreamBasicDescription &f) {
    return (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 && f.mChannelsPerFrame > 1;
  };
  if (c->resamples() || nonInterleaved(from) || nonInterleaved(to))
    return kAudioConverterErr_OperationNotSupported;
  if (inInputDataSize % from.mBytesPerFrame != 0) return kAudioConverterErr_InvalidInputSize;
  const UInt32 frames = inInputDataSize / from.mBytesPerFrame;
  if (*ioOutputDataSize / to.mBytesPerFrame < frames) return kAudioConverterErr_InvalidOutputSize;
  AudioBufferList in{1,
                     {{from.mChannelsPerFrame, inInputDataSize, const_cast<void *>(inInputData)}}};
  AudioBufferList out{1, {{to.mChannelsPerFrame, *ioOutputDataSize, outOutputData}}};
  const OSStatus status = c->convert(in, out, frames);
  if (status == noErr) *ioOutputDataSize = frames * to.mBytesPerFrame;
  return status;
}

}  // extern "C"
