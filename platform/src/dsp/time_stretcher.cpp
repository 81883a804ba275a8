#include "dsp/time_stretcher.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <system_error>

namespace xnq::dsp {

using RubberBand::RubberBandStretcher;

namespace {

// The stretcher reports on standard error that it allocates when the warm-up below takes it to
// the ends of its range; that is the purpose of the warm-up, not news for a user of the platform.
struct QuietLog final : RubberBandStretcher::Logger {
  void log(const char *) override {}
  void log(const char *, double) override {}
  void log(const char *, double, double) override {}
};

}  // namespace

TimeStretcher::TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk, int windowScale,
                             bool finer, bool offline, bool pitchFirst)
    : pitcher_(channels, maxChunk, 1 / kMaxPitch, kMaxPitch),
      channels_(channels),
      maxChunk_(maxChunk),
      pitchFirst_(pitchFirst),
      // Room for every chunk in flight and the stretcher's own bursts, a power of two so that
      // the ring's place follows its counters through their wrap.
      ringFrames_(std::bit_ceil((kSlots + 2) * maxChunk + 16384)),
      between_(maxChunk * channels) {
  // One thread at a time, at pitch 1 throughout: the resampler after it shifts pitch.
  RubberBandStretcher::Options options =
      RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
      RubberBandStretcher::OptionTransientsMixed |
      (finer ? RubberBandStretcher::OptionEngineFiner : RubberBandStretcher::OptionEngineFaster) |
      (windowScale < 0   ? RubberBandStretcher::OptionWindowShort
       : windowScale > 0 ? RubberBandStretcher::OptionWindowLong
                         : RubberBandStretcher::OptionWindowStandard);
  // The stretcher sizes its windows for rates from 8 to 192 kHz and misbehaves outside them (at
  // 100 Hz its faster engine fails); a stream outside takes the nearest, with windows that are
  // longer or shorter in time but work the same.
  stretcher_ = std::make_unique<RubberBandStretcher>(
      static_cast<size_t>(std::clamp(sampleRate, 8000.0, 192000.0)), channels,
      std::make_shared<QuietLog>(), options, 1.0, 1.0);
  stretcher_->setMaxProcessSize(maxChunk);
  // Runs once through the extremes of the stretch so that every buffer they need exists before
  // the render thread comes: in real-time mode the stretcher then changes it without allocating.
  // The stretch is pitch over rate: 32 x 4 the longest, its inverse the shortest.
  std::vector<float> silence(maxChunk, 0.0f);
  std::vector<const float *> in(channels, silence.data());
  std::vector<float *> out(channels);
  for (unsigned c = 0; c < channels; ++c) out[c] = between_.data() + c * maxChunk;
  for (double ratio : {32 * kMaxPitch, 1 / (32 * kMaxPitch), 1.0}) {
    stretcher_->setTimeRatio(ratio);
    for (int i = 0; i < 2; ++i) {
      stretcher_->process(in.data(), maxChunk, false);
      while (stretcher_->available() > 0)
        stretcher_->retrieve(out.data(), std::min<size_t>(stretcher_->available(), maxChunk));
    }
  }
  stretcher_->reset();
  startPad_ = pad_ = stretcher_->getPreferredStartPad();
  delay_ = stretcher_->getStartDelay();
  stretched_.assign(ringFrames_ * channels, 0.0f);
  if (offline) {
    for (Chunk &chunk : chunks_) chunk.samples.assign(maxChunk * channels, 0.0f);
    // Without a worker thread the stretcher runs on the render thread, as live.
    threaded_ = true;
    try {
      worker_ = std::thread(&TimeStretcher::work, this);
    } catch (const std::system_error &) {
      threaded_ = false;
    }
  }
  clear();
}

TimeStretcher::~TimeStretcher() {
  if (!threaded_) return;
  stop_.store(true, std::memory_order_release);
  work_.fetch_add(1, std::memory_order_release);
  work_.notify_one();
  worker_.join();
}

// The stretching thread (the render thread too, while nothing is in flight): gives the
// stretcher the settings that changed.
void TimeStretcher::apply(double ratio, const Options &options) {
  if (ratio != appliedRatio_) stretcher_->setTimeRatio(ratio);
  if (options.peakLocking != appliedOptions_.peakLocking)
    stretcher_->setPhaseOption(options.peakLocking ? RubberBandStretcher::OptionPhaseLaminar
                                                   : RubberBandStretcher::OptionPhaseIndependent);
  if (options.transients != appliedOptions_.transients)
    stretcher_->setTransientsOption(options.transients == 0
                                        ? RubberBandStretcher::OptionTransientsSmooth
                                        : RubberBandStretcher::OptionTransientsMixed);
  appliedRatio_ = ratio;
  appliedOptions_ = options;
}

// The stretching thread: no allocation, no lock, no host calls.
void TimeStretcher::stretch(const float *const *input, size_t frames, double ratio,
                            const Options &options) {
  apply(ratio, options);
  stretcher_->process(input, frames, false);
  moveOut();
}

// The stretching thread: moves what the stretcher made into the ring. Live the ring is empty
// whenever a chunk is fed; offline the worker waits for the render thread to make room.
void TimeStretcher::moveOut() {
  float *into[64];
  for (;;) {
    int ready = stretcher_->available();
    if (ready <= 0) return;
    uint32_t signal = work_.load(std::memory_order_acquire);
    uint32_t at = written_.load(std::memory_order_relaxed);
    size_t room = ringFrames_ - (at - read_.load(std::memory_order_acquire));
    if (room == 0) {
      if (!threaded_ || stop_.load(std::memory_order_acquire)) return;
      progress_.fetch_add(1, std::memory_order_release);
      progress_.notify_one();
      work_.wait(signal, std::memory_order_acquire);
      continue;
    }
    size_t place = at & (ringFrames_ - 1);
    size_t n = std::min({static_cast<size_t>(ready), room, ringFrames_ - place});
    for (unsigned c = 0; c < channels_; ++c) into[c] = stretched_.data() + c * ringFrames_ + place;
    n = stretcher_->retrieve(into, n);
    written_.store(at + static_cast<uint32_t>(n), std::memory_order_release);
  }
}

// The worker thread: no allocation, no lock, no host calls.
void TimeStretcher::work() {
  uint32_t done = 0;
  for (;;) {
    uint32_t signal = work_.load(std::memory_order_acquire);
    if (stop_.load(std::memory_order_acquire)) return;
    if (done == submitted_.load(std::memory_order_acquire)) {
      work_.wait(signal, std::memory_order_acquire);
      continue;
    }
    stretchChunk(done++);
    progress_.fetch_add(1, std::memory_order_release);
    progress_.notify_one();
  }
}

// The stretching thread: stretches the chunk in a slot and marks it done.
void TimeStretcher::stretchChunk(uint32_t slot) {
  const Chunk &chunk = chunks_[slot % kSlots];
  const float *input[64];
  for (unsigned c = 0; c < channels_; ++c) input[c] = chunk.samples.data() + c * maxChunk_;
  stretch(input, chunk.frames, chunk.ratio, chunk.options);
  done_.store(slot + 1, std::memory_order_release);
}

void TimeStretcher::drain() {
  for (;;) {
    uint32_t progress = progress_.load(std::memory_order_acquire);
    read_.store(written_.load(std::memory_order_acquire), std::memory_order_release);
    work_.fetch_add(1, std::memory_order_release);
    work_.notify_one();
    if (done_.load(std::memory_order_acquire) == submitted_.load(std::memory_order_relaxed)) break;
    progress_.wait(progress, std::memory_order_acquire);
  }
  idle_ = true;
}

// With nothing in flight the stretcher takes new settings at once; a worker otherwise takes
// them with the next chunk.
void TimeStretcher::setOptions(const Options &options) {
  options_ = options;
  if (!threaded_ || idle_) apply(appliedRatio_, options);
}

void TimeStretcher::clear() {
  if (threaded_) drain();
  stretcher_->reset();
  read_.store(written_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  pitcher_.clear();
  skip_ = 0;
}

size_t TimeStretcher::lookAhead(double rate, double pitch) const {
  double pitcher = static_cast<double>(VariableResampler::reach(pitch));
  return static_cast<size_t>(pitchFirst_ ? pitcher + static_cast<double>(startPad_) * pitch
                                         : static_cast<double>(startPad_) + pitcher * rate / pitch);
}

void TimeStretcher::setRates(double rate, double pitch) {
  ratio_ = pitch / rate;
  pitch_ = pitch;
  pitcher_.setRates(pitch, 1);
  if (threaded_ && !idle_) return;
  apply(ratio_, appliedOptions_);
  pad_ = stretcher_->getPreferredStartPad();
  delay_ = stretcher_->getStartDelay();
}

size_t TimeStretcher::primeFrames() {
  if (!pitchFirst_) return pad_;
  return VariableResampler::reach(pitch_) +
         static_cast<size_t>(std::ceil(static_cast<double>(pad_) * pitch_));
}

// Pitch first, the resampler starts where the stretcher's pad, read at the pitch, ends on the
// frame after the prime.
void TimeStretcher::start() {
  if (pitchFirst_)
    pitcher_.startAfter(static_cast<double>(primeFrames()) - static_cast<double>(pad_) * pitch_);
}

// The stretcher's output is in step with its input from its start delay on. Pitch after, the
// pitcher starts there, with the stretcher's output just before it as the history its filter
// reaches into.
size_t TimeStretcher::alignmentDiscard() {
  if (pitchFirst_) {
    skip_ = delay_;
    return 0;
  }
  size_t history = pitcher_.primeFrames();
  pitcher_.start();
  skip_ = delay_ > history ? delay_ - history : 0;
  if (history > delay_) {
    const float *zeros[64];
    std::fill(between_.begin(), between_.begin() + static_cast<std::ptrdiff_t>(maxChunk_), 0.0f);
    for (unsigned c = 0; c < channels_; ++c) zeros[c] = between_.data();
    pitcher_.feed(zeros, history - delay_);
  }
  return 0;
}

// The same chunks live and offline, so that both make the same calls on the stretcher: whole
// chunks, smaller when the stretch lengthens them, so that one chunk's output stays within one
// chunk's room; pitch first, also smaller for a pitch down, so that a chunk of input makes at
// most a chunk for the stretcher (and a frame more), two slots' worth.
size_t TimeStretcher::wanted(size_t maxChunk, size_t) {
  double frames = static_cast<double>(maxChunk) / std::max(1.0, ratio_);
  if (pitchFirst_) frames = std::min(frames, static_cast<double>(maxChunk) * pitch_);
  return std::clamp<size_t>(static_cast<size_t>(frames), std::min<size_t>(64, maxChunk), maxChunk);
}

TimeStretcher::Chunk &TimeStretcher::claimChunk() {
  uint32_t slot = submitted_.load(std::memory_order_relaxed);
  for (;;) {
    uint32_t progress = progress_.load(std::memory_order_acquire);
    if (slot - done_.load(std::memory_order_acquire) < kSlots) break;
    progress_.wait(progress, std::memory_order_acquire);
  }
  return chunks_[slot % kSlots];
}

void TimeStretcher::submitChunk(size_t frames) {
  uint32_t slot = submitted_.load(std::memory_order_relaxed);
  Chunk &chunk = chunks_[slot % kSlots];
  chunk.frames = frames;
  chunk.ratio = ratio_;
  chunk.options = options_;
  submitted_.store(slot + 1, std::memory_order_release);
  work_.fetch_add(1, std::memory_order_release);
  work_.notify_one();
  idle_ = false;
}

void TimeStretcher::stretchPitched() {
  float *into[64];
  while (size_t ready = pitcher_.available()) {
    size_t n = std::min(ready, maxChunk_);
    float *base = threaded_ ? claimChunk().samples.data() : between_.data();
    for (unsigned c = 0; c < channels_; ++c) into[c] = base + c * maxChunk_;
    pitcher_.retrieve(into, n);
    if (threaded_) {
      submitChunk(n);
    } else {
      stretch(into, n, ratio_, options_);
    }
  }
}

void TimeStretcher::feed(const float *const *input, size_t frames) {
  if (pitchFirst_) {
    pitcher_.feed(input, frames);
    stretchPitched();
    return;
  }
  if (!threaded_) {
    stretch(input, frames, ratio_, options_);
    return;
  }
  Chunk &chunk = claimChunk();
  for (unsigned c = 0; c < channels_; ++c)
    std::copy_n(input[c], frames, chunk.samples.data() + c * maxChunk_);
  submitChunk(frames);
}

// Pitch first, the stretched sound is the output, once the stretcher's delay is dropped. Pitch
// after, it moves through the pitcher until some comes out, a chunk at a time so that the pitcher
// never holds more than a chunk.
size_t TimeStretcher::available() {
  const float *chunk[64];
  for (;;) {
    if (!pitchFirst_ && pitcher_.available() > 0) return pitcher_.available();
    uint32_t at = read_.load(std::memory_order_relaxed);
    size_t ready = written_.load(std::memory_order_acquire) - at;
    if (pitchFirst_ && skip_ == 0) return ready;
    if (ready == 0) return pitchFirst_ ? 0 : pitcher_.available();
    size_t place = at & (ringFrames_ - 1);
    size_t n = std::min({ready, ringFrames_ - place, maxChunk_});
    size_t drop = std::min(skip_, n);
    skip_ -= drop;
    if (pitchFirst_) n = drop;
    for (unsigned c = 0; c < channels_; ++c)
      chunk[c] = stretched_.data() + c * ringFrames_ + place + drop;
    if (n > drop) pitcher_.feed(chunk, n - drop);
    consumed(at + static_cast<uint32_t>(n));
  }
}

// The render thread has taken the ring up to at: the worker may write there again.
void TimeStretcher::consumed(uint32_t at) {
  read_.store(at, std::memory_order_release);
  if (threaded_) {
    work_.fetch_add(1, std::memory_order_release);
    work_.notify_one();
  }
}

// Room for the two chunks a feed may make, so that feeding ahead never waits for the worker
// (which may itself be waiting for the render thread to take its output).
bool TimeStretcher::hungry() {
  return threaded_ &&
         submitted_.load(std::memory_order_relaxed) - done_.load(std::memory_order_acquire) + 2 <=
             kSlots;
}

size_t TimeStretcher::retrieve(float *const *output, size_t frames) {
  if (!pitchFirst_) return pitcher_.retrieve(output, frames);
  uint32_t at = read_.load(std::memory_order_relaxed);
  frames = std::min<size_t>(frames, written_.load(std::memory_order_acquire) - at);
  for (size_t done = 0; done < frames;) {
    size_t place = (at + done) & (ringFrames_ - 1);
    size_t run = std::min(frames - done, ringFrames_ - place);
    for (unsigned c = 0; c < channels_; ++c)
      std::copy_n(stretched_.data() + c * ringFrames_ + place, run, output[c] + done);
    done += run;
  }
  consumed(at + static_cast<uint32_t>(frames));
  return frames;
}

}  // namespace xnq::dsp
