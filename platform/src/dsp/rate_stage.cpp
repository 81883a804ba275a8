#include "dsp/rate_stage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace xnq::dsp {

void RateStage::prepare(unsigned channels, size_t maxChunk, size_t crossfadeFrames) {
  engine_ = nullptr;
  channels_ = std::min(channels, kMaxChannels);
  maxChunk_ = maxChunk;
  crossfade_ = crossfadeFrames;
  ring_.assign(static_cast<size_t>(kRingFrames) * channels_, 0.0f);
  ringHeld_ = false;
  scratch_.assign(2 * maxChunk * channels_, 0.0f);
  reset();
}

void RateStage::reset() {
  // The history before the first frame reads as silence; a ring that never held input already
  // is (a graph's first render resets every stage it made a moment before).
  if (ringHeld_) std::fill(ring_.begin(), ring_.end(), 0.0f);
  ringHeld_ = false;
  mode_ = Mode::kDry;
  pulled_ = dryPos_ = fedPos_ = unitySince_ = 0;
  owed_ = 0;
  rate_ = pitch_ = 1;
  discard_ = fadeDone_ = 0;
}

void RateStage::appendToRing(const float *const *from, size_t frames) {
  ringHeld_ = true;
  for (unsigned c = 0; c < channels_; ++c) {
    for (size_t done = 0; done < frames;) {
      int64_t at = pulled_ + static_cast<int64_t>(done);
      size_t run =
          std::min(frames - done, static_cast<size_t>(kRingFrames - (at & (kRingFrames - 1))));
      std::memcpy(ringAt(c, at), from[c] + done, run * sizeof(float));
      done += run;
    }
  }
  pulled_ += static_cast<int64_t>(frames);
}

// Render thread: pulls the input up to frame upTo into the ring.
int32_t RateStage::pullIntoRing(int64_t upTo) {
  float *into[kMaxChannels];
  while (pulled_ < upTo) {
    size_t n = static_cast<size_t>(std::min<int64_t>(upTo - pulled_, maxChunk_));
    for (unsigned c = 0; c < channels_; ++c) into[c] = scratch_.data() + c * maxChunk_;
    if (int32_t status = pull_(context_, into, n)) return status;
    appendToRing(into, n);
  }
  return 0;
}

void RateStage::feedFromRing(int64_t from, size_t frames) {
  const float *in[kMaxChannels];
  while (frames > 0) {
    size_t run = std::min(frames, static_cast<size_t>(kRingFrames - (from & (kRingFrames - 1))));
    for (unsigned c = 0; c < channels_; ++c) in[c] = ringAt(c, from);
    engine_->feed(in, run);
    from += static_cast<int64_t>(run);
    frames -= run;
  }
}

int32_t RateStage::readDry(float *const *out, size_t offset, size_t frames) {
  while (frames > 0) {
    if (dryPos_ < pulled_) {
      // Frames the ring holds already (after a return from the engine, or during a crossfade).
      size_t n = static_cast<size_t>(std::min<int64_t>(pulled_ - dryPos_, frames));
      for (unsigned c = 0; c < channels_; ++c)
        for (size_t i = 0; i < n; ++i) out[c][offset + i] = *ringAt(c, dryPos_ + i);
      dryPos_ += static_cast<int64_t>(n);
      offset += n;
      frames -= n;
      continue;
    }
    // Caught up: pull straight into the output, and keep a copy for a later start of the engine.
    size_t n = frames;
    float *into[kMaxChannels];
    for (unsigned c = 0; c < channels_; ++c) into[c] = out[c] + offset;
    if (int32_t status = pull_(context_, into, n)) return status;
    appendToRing(into, n);
    dryPos_ = pulled_;
    offset += n;
    frames -= n;
  }
  return 0;
}

int32_t RateStage::readWet(float *const *out, size_t offset, size_t frames) {
  float *into[kMaxChannels];
  size_t produced = 0;
  // Each turn either takes output or feeds input; the bound only guards against an engine that
  // stops producing, whose missing output is then silence.
  for (int turns = 0; produced < frames && turns < 65536; ++turns) {
    // An engine that works ahead is fed ahead, but no further than half the ring: the input it
    // has not yet played out must stay in the ring for a crossfade back to it.
    if (engine_->hungry() && owed_ * rate_ < static_cast<double>(kRingFrames / 2)) {
      size_t want = engine_->wanted(maxChunk_, maxChunk_);
      if (int32_t status = pullIntoRing(fedPos_ + static_cast<int64_t>(want))) return status;
      feedFromRing(fedPos_, want);
      fedPos_ += static_cast<int64_t>(want);
      owed_ += static_cast<double>(want) / rate_;
      continue;
    }
    size_t available = engine_->available();
    if (available > 0 && discard_ > 0) {
      size_t n = std::min({available, discard_, maxChunk_});
      for (unsigned c = 0; c < channels_; ++c) into[c] = scratch_.data() + c * maxChunk_;
      engine_->retrieve(into, n);
      discard_ -= n;
      continue;
    }
    if (available > 0) {
      size_t n = std::min(available, frames - produced);
      for (unsigned c = 0; c < channels_; ++c) into[c] = out[c] + offset + produced;
      n = engine_->retrieve(into, n);
      produced += n;
      owed_ -= static_cast<double>(n);
      continue;
    }
    size_t want = engine_->wanted(maxChunk_, frames - produced + discard_);
    if (int32_t status = pullIntoRing(fedPos_ + static_cast<int64_t>(want))) return status;
    feedFromRing(fedPos_, want);
    fedPos_ += static_cast<int64_t>(want);
    owed_ += static_cast<double>(want) / rate_;
  }
  for (unsigned c = 0; c < channels_; ++c)
    std::fill(out[c] + offset + produced, out[c] + offset + frames, 0.0f);
  return 0;
}

void RateStage::startWet(double rate, double pitch) {
  engine_->clear();
  engine_->setRates(rate, pitch);
  // The engine starts from the input just before the switch (silence before the stream began),
  // then drops the output that belongs to that history.
  size_t prime = engine_->primeFrames();
  engine_->start();
  int64_t from = dryPos_ - static_cast<int64_t>(prime);
  while (from < dryPos_) {
    size_t n = static_cast<size_t>(std::min<int64_t>(dryPos_ - from, maxChunk_));
    if (from < 0 || from < pulled_ - kRingFrames) {
      n = static_cast<size_t>(std::min<int64_t>(n, -from > 0 ? -from : n));
      const float *zeros[kMaxChannels];
      std::fill(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(maxChunk_), 0.0f);
      for (unsigned c = 0; c < channels_; ++c) zeros[c] = scratch_.data();
      engine_->feed(zeros, n);
    } else {
      feedFromRing(from, n);
    }
    from += static_cast<int64_t>(n);
  }
  discard_ = engine_->alignmentDiscard();
  fedPos_ = dryPos_;
  owed_ = 0;
  rate_ = rate;
  pitch_ = pitch;
}

// Render thread: no allocation, no lock.
int32_t RateStage::render(RateEngine *engine, double rate, double pitch, bool passthrough,
                          float *const *out, size_t frames, PullFrames pull, void *context) {
  engine_ = engine;
  pull_ = pull;
  context_ = context;
  bool identity = passthrough || engine == nullptr || (rate == 1 && pitch == 1);
  if (passthrough && mode_ != Mode::kDry) {
    mode_ = Mode::kDry;
    dryPos_ = pulled_;
  }
  // Decide the mode for this slice.
  switch (mode_) {
    case Mode::kDry:
      if (!identity) {
        bool fresh = pulled_ == 0;
        startWet(rate, pitch);
        // At the very start there is nothing to move away from.
        mode_ = fresh ? Mode::kWet : Mode::kToWet;
        fadeDone_ = 0;
      }
      break;
    case Mode::kWet:
      if (identity) {
        rate_ = pitch_ = 1;
        engine_->setRates(1, 1);
        unitySince_ = fedPos_;
        mode_ = Mode::kSettling;
      }
      break;
    case Mode::kSettling:
      if (!identity) {
        mode_ = Mode::kWet;
      } else if (static_cast<double>(fedPos_ - unitySince_) >=
                 owed_ + static_cast<double>(engine_->primeFrames())) {
        dryPos_ = std::max(fedPos_ - static_cast<int64_t>(std::llround(owed_)),
                           pulled_ - kRingFrames + 1);
        mode_ = Mode::kToDry;
        fadeDone_ = 0;
      }
      break;
    case Mode::kToWet:
    case Mode::kToDry:
      break;
  }
  if ((mode_ == Mode::kWet || mode_ == Mode::kToWet) && (rate != rate_ || pitch != pitch_) &&
      !identity) {
    rate_ = rate;
    pitch_ = pitch;
    engine_->setRates(rate, pitch);
  }

  if (mode_ == Mode::kDry) return readDry(out, 0, frames);
  if (mode_ == Mode::kWet || mode_ == Mode::kSettling) return readWet(out, 0, frames);

  // A crossfade: the frames still in it mix the two, the rest come from where it leads.
  bool toWet = mode_ == Mode::kToWet;
  size_t fading = std::min(frames, crossfade_ - fadeDone_);
  float *other[kMaxChannels];
  for (unsigned c = 0; c < channels_; ++c) other[c] = scratch_.data() + (channels_ + c) * maxChunk_;
  size_t done = 0;
  while (done < fading) {
    size_t n = std::min(fading - done, maxChunk_);
    int32_t status = toWet ? readWet(out, done, n) : readDry(out, done, n);
    if (status == 0) status = toWet ? readDry(other, 0, n) : readWet(other, 0, n);
    if (status != 0) return status;
    for (size_t i = 0; i < n; ++i) {
      float w = static_cast<float>(fadeDone_ + done + i + 1) / static_cast<float>(crossfade_ + 1);
      for (unsigned c = 0; c < channels_; ++c)
        out[c][done + i] = out[c][done + i] * w + other[c][i] * (1 - w);
    }
    done += n;
  }
  fadeDone_ += fading;
  if (fadeDone_ >= crossfade_) mode_ = toWet ? Mode::kWet : Mode::kDry;
  if (fading == frames) return 0;
  return toWet ? readWet(out, fading, frames - fading) : readDry(out, fading, frames - fading);
}

}  // namespace xnq::dsp
