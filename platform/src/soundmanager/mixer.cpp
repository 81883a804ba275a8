#include "soundmanager/mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "converter/resampler.h"
#include "os/audio_converter.h"

namespace xnq::sound {

// A source at a rate other than the output's plays through a band-limited resampler: linear
// interpolation would let images of its content through, -46 dB for a 1 kHz tone taken from
// 22050 Hz to 44100 Hz and much louder for higher tones. The converter takes a fixed number of
// frames per run and keeps its output until the mix has taken it.
struct RateConverter {
  std::unique_ptr<conv::Resampler> resampler;
  std::vector<double> in, out;  // interleaved stereo
  double ratio = 1;             // output frames per input frame
  // Render thread: the frames given to the resampler, where the last frame of sound among them
  // ends, and the frames it has given back.
  uint64_t fed = 0, soundEnd = 0, made = 0;
};

namespace {

// The most frames one run of a converter gives: room for a step up by Mixer::kMaxStep (the
// resampler takes at least 16 frames a run and wants four times their output in room).
constexpr UInt32 kConverterFrames = 4096;
// The most silent runs that push the end of a stream out of a converter: a guard, since the
// runs stop as soon as the last frame of sound has come out.
constexpr uint32_t kMaxSilentRuns = 64;

// Host thread: a converter from one rate to another; null when memory runs out.
RateConverter *makeConverter(double inputRate, double outputRate) {
  std::unique_ptr<RateConverter> made(new (std::nothrow) RateConverter);
  if (made == nullptr) return nullptr;
  made->resampler =
      conv::Resampler::make(inputRate, outputRate, 2, kAudioConverterQuality_Max, kConverterFrames);
  if (made->resampler == nullptr) return nullptr;
  made->ratio = outputRate / inputRate;
  try {
    made->in.assign(size_t{made->resampler->inputFrames()} * 2, 0.0);
    made->out.assign(size_t{kConverterFrames} * 2, 0.0);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return made.release();
}

constexpr double kFixedOne = 65536.0;

SoundSource encode(uint32_t index, uint32_t generation) {
  return reinterpret_cast<SoundSource>(static_cast<uintptr_t>(generation) << 8 | (index + 1));
}

float decode(const QueuedBlock &block, UInt32 frame, UInt32 channel) {
  const Byte *p = block.samples;
  size_t at = static_cast<size_t>(frame) * block.channels + channel;
  switch (block.kind) {
    case SampleKind::kOffsetBinary8:
      return (static_cast<int>(p[at]) - 128) * (1.0f / 128);
    case SampleKind::kSigned8:
      return static_cast<int8_t>(p[at]) * (1.0f / 128);
    case SampleKind::kBigEndian16:
      return static_cast<int16_t>(p[2 * at] << 8 | p[2 * at + 1]) * (1.0f / 32768);
    case SampleKind::kLittleEndian16:
      return static_cast<int16_t>(p[2 * at + 1] << 8 | p[2 * at]) * (1.0f / 32768);
  }
  return 0;
}

int16_t toInt16(float v) {
  float scaled = std::nearbyint(v * 32768.0f);
  if (scaled > 32767.0f) return 32767;
  if (scaled < -32768.0f) return -32768;
  return static_cast<int16_t>(scaled);
}

// Reads a block's format; an error names what is wrong with it.
OSErr kindOf(const SoundComponentData &desc, SampleKind &kind) {
  if (desc.numChannels != 1 && desc.numChannels != 2) return badFormat;
  if (desc.sampleSize == 8 && desc.format == kOffsetBinary) {
    kind = SampleKind::kOffsetBinary8;
  } else if (desc.sampleSize == 8 && desc.format == kTwosComplement) {
    kind = SampleKind::kSigned8;
  } else if (desc.sampleSize == 16 && desc.format == kTwosComplement) {
    kind = SampleKind::kBigEndian16;
  } else if (desc.sampleSize == 16 && desc.format == k16BitLittleEndianFormat) {
    kind = SampleKind::kLittleEndian16;
  } else {
    return desc.sampleSize == 8 || desc.sampleSize == 16 ? OSErr{badFormat}
                                                         : OSErr{siInvalidSampleSize};
  }
  return noErr;
}

}  // namespace

Mixer *Mixer::create() {
  auto *mixer = new (std::nothrow) Mixer;
  if (mixer == nullptr) return nullptr;
  SoundComponentData standard{0, kTwosComplement, 2, 16, 0xAC440000u, kDefaultFrames, nullptr, 0};
  if (mixer->setOutput(&standard) != noErr) {
    delete mixer;
    return nullptr;
  }
  return mixer;
}

Mixer::~Mixer() {
  for (MixerSource &source : sources_) releaseConverters(source);
}

void Mixer::releaseConverters(MixerSource &source) {
  for (uint32_t at = source.tail.load(); at != source.head.load(); ++at) {
    QueuedBlock &block = source.queue[at % MixerSource::kQueueLength];
    if (block.newRate) delete block.converter;
    block.newRate = false;
  }
  for (auto &retired : source.retired) delete retired.exchange(nullptr);
  delete source.converter;
  source.converter = nullptr;
  source.consumed = 0;
  source.outPos = source.outCount = 0;
  source.flush = 0;
  source.lastStep = uint64_t{1} << 32;
}

OSErr Mixer::setOutput(const SoundComponentData *requested) {
  if (requested == nullptr) return paramErr;
  SoundComponentData format = *requested;
  if (format.format != kTwosComplement && format.format != k16BitLittleEndianFormat)
    return badFormat;
  if (format.numChannels != 1 && format.numChannels != 2) return badFormat;
  if (format.sampleSize != 16) return siInvalidSampleSize;
  if (format.sampleRate == 0) return siInvalidSampleRate;
  if (format.sampleCount == 0) format.sampleCount = kDefaultFrames;
  if (format.sampleCount < 0 || format.sampleCount > kMaxFrames) return paramErr;
  std::lock_guard<std::mutex> lock(hostLock_);
  size_t frames = static_cast<size_t>(format.sampleCount);
  std::unique_ptr<float[]> mix(new (std::nothrow) float[frames * 2]);
  std::unique_ptr<Byte[]> bytes(new (std::nothrow) Byte[frames * 2 * format.numChannels]);
  if (mix == nullptr || bytes == nullptr) return memFullErr;
  // The output format changes only between renders: the caller does not pull while setting it.
  format.buffer = nullptr;
  format.flags = 0;
  output_ = format;
  mix_ = std::move(mix);
  bytes_ = std::move(bytes);
  return noErr;
}

MixerSource *Mixer::find(SoundSource source) {
  auto code = reinterpret_cast<uintptr_t>(source);
  uintptr_t index = (code & 0xFF) - 1;
  if ((code & 0xFF) == 0 || index >= kMaxSources) return nullptr;
  MixerSource &slot = sources_[index];
  if (slot.state.load(std::memory_order_relaxed) == kSourceFree ||
      slot.generation != static_cast<uint32_t>(code >> 8))
    return nullptr;
  return &slot;
}

void Mixer::waitForRender() const {
  uint32_t pass = passes_.load(std::memory_order_seq_cst);
  if ((pass & 1) == 0) return;
  while (passes_.load(std::memory_order_seq_cst) == pass) std::this_thread::yield();
}

OSErr Mixer::addSource(SoundSource *source) {
  if (source == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(hostLock_);
  for (uint32_t i = 0; i < kMaxSources; ++i) {
    MixerSource &slot = sources_[i];
    if (slot.state.load(std::memory_order_relaxed) != kSourceFree) continue;
    slot.generation = (slot.generation + 1) & 0xFFFFFF;
    if (slot.generation == 0) slot.generation = 1;
    slot.head.store(0, std::memory_order_relaxed);
    slot.tail.store(0, std::memory_order_relaxed);
    slot.state.store(kSourceStopped, std::memory_order_release);
    *source = encode(i, slot.generation);
    return noErr;
  }
  *source = nullptr;
  return notEnoughHardwareErr;
}

OSErr Mixer::removeSource(SoundSource source) {
  std::lock_guard<std::mutex> lock(hostLock_);
  MixerSource *slot = find(source);
  if (slot == nullptr) return badChannel;
  slot->state.store(kSourceFree, std::memory_order_seq_cst);
  waitForRender();
  releaseConverters(*slot);
  return noErr;
}

OSErr Mixer::setState(short count, const SoundSource *sources, SourceState state) {
  if (count < 0 || (count > 0 && sources == nullptr)) return paramErr;
  std::lock_guard<std::mutex> lock(hostLock_);
  OSErr result = noErr;
  bool stopped = false;
  for (short i = 0; i < count; ++i) {
    MixerSource *slot = find(sources[i]);
    if (slot == nullptr) {
      if (result == noErr) result = badChannel;
      continue;
    }
    stopped = stopped || state == kSourceStopped;
    slot->state.store(state, std::memory_order_seq_cst);
  }
  if (!stopped) return result;
  // Once no render can still be reading them, the stopped sources' queues are dropped.
  waitForRender();
  for (short i = 0; i < count; ++i) {
    MixerSource *slot = find(sources[i]);
    if (slot == nullptr || slot->state.load(std::memory_order_relaxed) != kSourceStopped) continue;
    releaseConverters(*slot);
    slot->tail.store(slot->head.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  return result;
}

OSErr Mixer::playBuffer(SoundSource source, const SoundParamBlock *pb, long actions) {
  if (pb == nullptr || pb->desc == nullptr) return paramErr;
  const SoundComponentData &desc = *pb->desc;
  QueuedBlock block{};
  if (OSErr status = kindOf(desc, block.kind)) return status;
  if (desc.sampleRate == 0) return siInvalidSampleRate;
  double multiplier = pb->rateMultiplier == 0 ? 1.0 : pb->rateMultiplier / kFixedOne;
  const double inputRate = desc.sampleRate / kFixedOne * multiplier;
  const double outputRate = output_.sampleRate / kFixedOne;
  const double step = inputRate / outputRate;
  if (!(step <= kMaxStep && step >= 1 / kMaxStep) ||
      !conv::Resampler::supports(inputRate, outputRate, kConverterFrames))
    return siInvalidSampleRate;
  if (desc.sampleCount < 0 || (desc.sampleCount > 0 && desc.buffer == nullptr)) return paramErr;
  block.pb = const_cast<SoundParamBlock *>(pb);
  block.samples = desc.buffer;
  block.frames = static_cast<UInt32>(desc.sampleCount);
  block.channels = static_cast<UInt32>(desc.numChannels);
  block.step = static_cast<uint64_t>(std::llround(step * 4294967296.0));
  if (block.step == 0) block.step = 1;

  std::lock_guard<std::mutex> lock(hostLock_);
  MixerSource *slot = find(source);
  if (slot == nullptr) return badChannel;
  // An empty block has nothing to play; it neither queues nor changes the source.
  if (block.frames == 0) return noErr;
  uint32_t head = slot->head.load(std::memory_order_relaxed);
  if (head - slot->tail.load(std::memory_order_acquire) >= MixerSource::kQueueLength)
    return notEnoughBufferSpace;
  delete slot->retired[head % MixerSource::kQueueLength].exchange(nullptr);
  // A block at a new rate brings the converter for it; one at the output's rate plays as it is.
  block.newRate = block.step != slot->lastStep;
  if (block.newRate && block.step != uint64_t{1} << 32) {
    block.converter = makeConverter(inputRate, outputRate);
    if (block.converter == nullptr) return memFullErr;
  }
  slot->lastStep = block.step;
  slot->queue[head % MixerSource::kQueueLength] = block;
  slot->head.store(head + 1, std::memory_order_release);
  SourceState next = (actions & kSourcePaused) != 0 ? kSourcePaused : kSourcePlaying;
  slot->state.store(next, std::memory_order_release);
  return noErr;
}

OSErr Mixer::getInfo(SoundSource, OSType selector, void *info) const {
  if (info == nullptr) return paramErr;
  switch (selector) {
    case siNumberChannels: {
      short channels = output_.numChannels;
      std::memcpy(info, &channels, sizeof channels);
      return noErr;
    }
    case siSampleSize: {
      short size = output_.sampleSize;
      std::memcpy(info, &size, sizeof size);
      return noErr;
    }
    case siSampleRate:
      std::memcpy(info, &output_.sampleRate, sizeof output_.sampleRate);
      return noErr;
    default:
      return siUnknownInfoType;
  }
}

// Render thread: no allocation, no lock.
bool Mixer::fetch(MixerSource &source, float out[2]) {
  uint32_t tail = source.tail.load(std::memory_order_relaxed);
  const uint32_t head = source.head.load(std::memory_order_acquire);
  while (tail != head) {
    const QueuedBlock &block = source.queue[tail % MixerSource::kQueueLength];
    if (source.consumed == 0 && block.newRate) return false;
    if (source.consumed < block.frames) {
      out[0] = decode(block, source.consumed, 0);
      out[1] = block.channels == 2 ? decode(block, source.consumed, 1) : out[0];
      ++source.consumed;
      return true;
    }
    SoundParamBlockPtr pb = block.pb;
    source.consumed = 0;
    if (pb->completionRtn != nullptr) pb->completionRtn(&pb);
    source.tail.store(++tail, std::memory_order_release);
  }
  return false;
}

// Render thread: no allocation, no lock.
bool Mixer::switchRate(MixerSource &source) {
  const uint32_t tail = source.tail.load(std::memory_order_relaxed);
  if (tail == source.head.load(std::memory_order_acquire)) return false;
  QueuedBlock &block = source.queue[tail % MixerSource::kQueueLength];
  if (source.consumed != 0 || !block.newRate) return false;
  source.retired[tail % MixerSource::kQueueLength].store(source.converter,
                                                         std::memory_order_release);
  source.converter = block.converter;
  block.newRate = false;
  source.outPos = source.outCount = 0;
  source.flush = 0;
  return true;
}

// Render thread: no allocation, no lock. A run short of source frames is filled with silence,
// and the end of a stream is followed by silent runs until its last frame has come out of the
// filter; then the converter rests until frames come again. A block at a new rate ends the
// stream of the converter before it in the same way.
bool Mixer::refill(MixerSource &source) {
  RateConverter &converter = *source.converter;
  const UInt32 frames = converter.resampler->inputFrames();
  UInt32 got = 0;
  for (float frame[2]; got < frames && fetch(source, frame); ++got) {
    converter.in[2 * got] = frame[0];
    converter.in[2 * got + 1] = frame[1];
  }
  if (got > 0) {
    converter.soundEnd = converter.fed + got;
    source.flush = kMaxSilentRuns;
  } else {
    const auto owed = static_cast<uint64_t>(std::llround(converter.soundEnd * converter.ratio));
    if (converter.made >= owed || source.flush == 0) return false;
    --source.flush;
  }
  std::fill(converter.in.begin() + 2 * got, converter.in.end(), 0.0);
  size_t made = 0;
  if (!converter.resampler->process(converter.in.data(), converter.out.data(), made)) made = 0;
  converter.fed += frames;
  converter.made += made;
  source.outPos = 0;
  source.outCount = made;
  return true;
}

// Render thread: no allocation, no lock.
bool Mixer::produce(MixerSource &s, float &left, float &right) {
  for (;;) {
    if (s.outPos < s.outCount) {
      left = static_cast<float>(s.converter->out[2 * s.outPos]);
      right = static_cast<float>(s.converter->out[2 * s.outPos + 1]);
      ++s.outPos;
      return true;
    }
    if (s.converter == nullptr) {
      float frame[2];
      if (fetch(s, frame)) {
        left = frame[0];
        right = frame[1];
        return true;
      }
    } else if (refill(s)) {
      continue;
    }
    if (!switchRate(s)) return false;
  }
}

// Render thread: no allocation, no lock.
SoundComponentData *Mixer::render() {
  passes_.fetch_add(1, std::memory_order_seq_cst);
  const size_t frames = static_cast<size_t>(output_.sampleCount);
  float *mix = mix_.get();
  std::memset(mix, 0, frames * 2 * sizeof(float));
  for (MixerSource &source : sources_) {
    if (source.state.load(std::memory_order_seq_cst) != kSourcePlaying) continue;
    for (size_t f = 0; f < frames; ++f) {
      float left = 0, right = 0;
      if (!produce(source, left, right)) break;
      mix[2 * f] += left;
      mix[2 * f + 1] += right;
    }
  }
  const bool stereo = output_.numChannels == 2;
  const bool bigEndian = output_.format == kTwosComplement;
  Byte *out = bytes_.get();
  for (size_t f = 0; f < frames; ++f) {
    for (int c = 0; c < (stereo ? 2 : 1); ++c) {
      float v = stereo ? mix[2 * f + c] : 0.5f * (mix[2 * f] + mix[2 * f + 1]);
      auto sample = static_cast<uint16_t>(toInt16(v));
      *out++ = static_cast<Byte>(bigEndian ? sample >> 8 : sample);
      *out++ = static_cast<Byte>(bigEndian ? sample : sample >> 8);
    }
  }
  delivered_ = output_;
  delivered_.buffer = bytes_.get();
  passes_.fetch_add(1, std::memory_order_seq_cst);
  return &delivered_;
}

}  // namespace xnq::sound
