#include "converter/pcm_converter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace xnq::conv {
namespace {

// Samples of one block of work: small enough to stay in cache, large enough that per-block
// costs vanish.
constexpr UInt32 kBlockSamples = 8192;
constexpr UInt32 kMaxBlockFrames = 4096;
constexpr UInt32 kMinBlockFrames = 64;
constexpr Float64 kMaxRateRatio = 256;
// Room for the resampler's output, in blocks.
constexpr UInt32 kResampledBlocks = 4;

}  // namespace

PcmConverter::PcmConverter(const AudioStreamBasicDescription &source,
                           const AudioStreamBasicDescription &destination, const PcmFormat &from,
                           const PcmFormat &to)
    : sourceDescription_(source),
      destinationDescription_(destination),
      source_(from),
      destination_(to),
      width_(workingChannels(from.channels, to.channels)),
      blockFrames_(std::clamp(kBlockSamples / width_, kMinBlockFrames, kMaxBlockFrames)),
      direct_(directStep(from, to)) {}

PcmConverter::~PcmConverter() = default;

OSStatus PcmConverter::make(const AudioStreamBasicDescription &source,
                            const AudioStreamBasicDescription &destination,
                            std::unique_ptr<PcmConverter> &out, bool realTime) {
  PcmFormat from;
  PcmFormat to;
  if (!describePcm(source, from) || !describePcm(destination, to))
    return kAudioConverterErr_FormatNotSupported;
  const Float64 ratio = to.rate / from.rate;
  if (ratio > kMaxRateRatio || ratio < 1 / kMaxRateRatio)
    return kAudioConverterErr_FormatNotSupported;
  std::unique_ptr<PcmConverter> converter(new (std::nothrow)
                                              PcmConverter(source, destination, from, to));
  if (converter == nullptr) return memFullErr;
  converter->realTime_ = realTime;
  const OSStatus status = converter->allocate();
  if (status != noErr) return status;
  out = std::move(converter);
  return noErr;
}

OSStatus PcmConverter::allocate() {
  const UInt32 buffers = source_.bufferCount();
  try {
    inputSpace_.assign(size_t{blockFrames_} * source_.bytesPerFrame * buffers, 0);
    inputListBytes_.assign(offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * buffers, 0);
    decoded_.assign(size_t{blockFrames_} * width_, 0.0);
    if (resamples()) resampled_.assign(size_t{kResampledBlocks} * blockFrames_ * width_, 0.0);
  } catch (const std::bad_alloc &) {
    return memFullErr;
  }
  inputList_ = reinterpret_cast<AudioBufferList *>(inputListBytes_.data());
  return resamples() ? reset() : noErr;
}

AudioConverterPrimeInfo PcmConverter::primeInfo() const {
  const UInt32 reach = resampler_ != nullptr ? resampler_->reach() : 0;
  return {reach, reach};
}

OSStatus PcmConverter::setQuality(UInt32 quality) {
  if (quality > kAudioConverterQuality_Max) return paramErr;
  const UInt32 previous = quality_;
  quality_ = quality;
  if (!resamples()) return noErr;
  const OSStatus status = reset();
  if (status != noErr) quality_ = previous;
  return status;
}

OSStatus PcmConverter::reset() {
  clearStream();
  if (!resamples()) return noErr;
  // soxr has no way to forget a stream without remaking itself, so a new one is made and run
  // in; the old one stays if that fails.
  std::unique_ptr<Resampler> fresh =
      Resampler::make(source_.rate, destination_.rate, width_, quality_,
                      kResampledBlocks * blockFrames_, realTime_);
  if (fresh == nullptr)
    return resampler_ == nullptr ? OSStatus{kAudioConverterErr_FormatNotSupported}
                                 : OSStatus{memFullErr};
  resampler_ = std::move(fresh);
  return noErr;
}

void PcmConverter::clearStream() {
  decodedCount_ = 0;
  resampledStart_ = resampledCount_ = 0;
  fed_ = delivered_ = endTarget_ = 0;
  inputSinceEnd_ = flushing_ = ended_ = false;
}

OSStatus PcmConverter::pull(PacketSource &source, UInt32 wanted, UInt32 &got) {
  got = 0;
  const UInt32 asked = std::min(wanted, blockFrames_);
  const UInt32 buffers = source_.bufferCount();
  const size_t bufferBytes = size_t{blockFrames_} * source_.bytesPerFrame;
  inputList_->mNumberBuffers = buffers;
  for (UInt32 b = 0; b < buffers; ++b)
    inputList_->mBuffers[b] = {source_.interleaved ? source_.channels : 1,
                               asked * source_.bytesPerFrame, inputSpace_.data() + b * bufferBytes};
  UInt32 packets = asked;
  const OSStatus status = source.supply(packets, *inputList_);
  if (status != noErr) return status;
  if (packets == 0) return noErr;
  // Never trust a count beyond the bytes behind it.
  UInt32 held = 0;
  if (inputList_->mNumberBuffers > buffers || !listCapacity(source_, *inputList_, held) ||
      held == 0)
    return kAudioConverterErr_InvalidInputSize;
  got = std::min({packets, asked, held});
  return noErr;
}

void PcmConverter::copyOrConvert(const AudioBufferList &in, UInt32 first, AudioBufferList &out,
                                 UInt32 outFirst, UInt32 frames) {
  if (sameLayout(source_, destination_)) {
    const size_t bytes = size_t{frames} * source_.bytesPerFrame;
    for (UInt32 b = 0; b < source_.bufferCount(); ++b)
      std::memmove(
          static_cast<UInt8 *>(out.mBuffers[b].mData) +
              size_t{outFirst} * destination_.bytesPerFrame,
          static_cast<const UInt8 *>(in.mBuffers[b].mData) + size_t{first} * source_.bytesPerFrame,
          bytes);
    return;
  }
  if (direct_ != nullptr) {
    convertDirect(direct_, source_, in, first, destination_, out, outFirst, frames, width_);
    return;
  }
  for (UInt32 done = 0; done < frames;) {
    const UInt32 n = std::min(frames - done, blockFrames_);
    decode(source_, in, first + done, n, width_, decoded_.data());
    encode(destination_, decoded_.data(), width_, n, out, outFirst + done);
    done += n;
  }
}

OSStatus PcmConverter::fill(PacketSource &source, UInt32 &frames, AudioBufferList &out) {
  UInt32 capacity = 0;
  if (!listCapacity(destination_, out, capacity)) {
    frames = 0;
    return paramErr;
  }
  const UInt32 wanted = std::min(frames, capacity);
  UInt32 written = 0;
  const OSStatus status = resampler_ != nullptr ? fillResampled(source, wanted, written, out)
                                                : fillDirect(source, wanted, written, out);
  frames = written;
  for (UInt32 b = 0; b < destination_.bufferCount(); ++b)
    out.mBuffers[b].mDataByteSize = written * destination_.bytesPerFrame;
  return status;
}

OSStatus PcmConverter::fillDirect(PacketSource &source, UInt32 wanted, UInt32 &written,
                                  AudioBufferList &out) {
  while (written < wanted) {
    UInt32 got = 0;
    const OSStatus status = pull(source, wanted - written, got);
    if (status != noErr || got == 0) return status;
    copyOrConvert(*inputList_, 0, out, written, got);
    written += got;
  }
  return noErr;
}

OSStatus PcmConverter::fillResampled(PacketSource &source, UInt32 wanted, UInt32 &written,
                                     AudioBufferList &out) {
  const UInt32 block = resampler_->inputFrames();
  // Adds the source's next packets to the block being gathered; false when the data has ended.
  auto gather = [&](OSStatus &status) {
    UInt32 got = 0;
    status = pull(source, block - decodedCount_, got);
    if (status != noErr || got == 0) return false;
    decode(source_, *inputList_, 0, got, width_, decoded_.data() + size_t{decodedCount_} * width_);
    decodedCount_ += got;
    inputSinceEnd_ = true;
    return true;
  };
  OSStatus status = noErr;
  if (ended_) {
    // The last fill delivered everything up to an end: only new input starts another stretch,
    // which follows the silence that pushed the end out.
    if (!gather(status)) return status;
    ended_ = false;
  }
  while (written < wanted) {
    if (flushing_ && delivered_ >= endTarget_) break;
    if (resampledCount_ > 0) {
      UInt32 take = std::min(resampledCount_, wanted - written);
      if (flushing_) take = static_cast<UInt32>(std::min<SInt64>(take, endTarget_ - delivered_));
      encode(destination_, resampled_.data() + size_t{resampledStart_} * width_, width_, take, out,
             written);
      resampledStart_ += take;
      resampledCount_ -= take;
      written += take;
      delivered_ += take;
      continue;
    }
    // The resampler always takes a whole block: gather one, or finish the last one with
    // silence when the data ends; the output then runs to the time of the last real frame.
    while (!flushing_ && decodedCount_ < block) {
      if (gather(status)) continue;
      if (status != noErr) return status;
      if (inputSinceEnd_)
        endTarget_ = std::llround(static_cast<Float64>(fed_ + decodedCount_) * destination_.rate /
                                  source_.rate);
      inputSinceEnd_ = false;
      flushing_ = true;
      std::fill(decoded_.begin() + size_t{decodedCount_} * width_, decoded_.end(), 0.0);
    }
    size_t made = 0;
    if (!resampler_->process(decodedCount_ > 0 || !flushing_ ? decoded_.data() : nullptr,
                             resampled_.data(), made))
      return kAudioConverterErr_UnspecifiedError;
    fed_ += block;
    decodedCount_ = 0;
    resampledStart_ = 0;
    resampledCount_ = static_cast<UInt32>(made);
  }
  if (flushing_ && delivered_ >= endTarget_) {
    flushing_ = false;
    ended_ = true;
  }
  return noErr;
}

OSStatus PcmConverter::convert(const AudioBufferList &in, AudioBufferList &out, UInt32 frames) {
  if (resamples()) return kAudioConverterErr_OperationNotSupported;
  UInt32 inHeld = 0;
  UInt32 outHeld = 0;
  if (!listCapacity(source_, in, inHeld) || !listCapacity(destination_, out, outHeld))
    return paramErr;
  if (frames > inHeld) return kAudioConverterErr_InvalidInputSize;
  if (frames > outHeld) return kAudioConverterErr_InvalidOutputSize;
  copyOrConvert(in, 0, out, 0, frames);
  return noErr;
}

}  // namespace xnq::conv
