#include "unit_harness.h"

#include <algorithm>

namespace xnq::test {

UnitHarness::UnitHarness(OSType type, OSType subType, unsigned channels, unsigned inputChannels,
                         double rate)
    : channels_(channels) {
  unit_ = OpenDefaultComponent(type, subType);
  EXPECT_NE(unit_, nullptr);
  if (unit_ == nullptr) return;
  const UInt32 flags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
  for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
    UInt32 n = scope == kAudioUnitScope_Input && inputChannels != 0 ? inputChannels : channels;
    AudioStreamBasicDescription format{rate, kAudioFormatLinearPCM, flags, 4, 1, 4, n, 32, 0};
    EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                   sizeof format),
              noErr);
  }
  AURenderCallbackStruct callback{feed, this};
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                 0, &callback, sizeof callback),
            noErr);
}

OSStatus UnitHarness::feed(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *,
                           UInt32, UInt32 frames, AudioBufferList *ioData) {
  auto *self = static_cast<UnitHarness *>(refCon);
  if (self->onPull != nullptr) self->onPull(*self);
  for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
    auto *out = static_cast<float *>(ioData->mBuffers[c].mData);
    const std::vector<float> &from = (*self->input_)[std::min<size_t>(c, self->input_->size() - 1)];
    for (UInt32 i = 0; i < frames; ++i) {
      size_t at = self->position_ + i;
      out[i] = at < from.size() ? from[at] : 0.0f;
    }
  }
  self->position_ += frames;
  return noErr;
}

Signal UnitHarness::render(const Signal &input, size_t frames, UInt32 slice,
                           void (*between)(UnitHarness &, size_t)) {
  input_ = &input;
  position_ = 0;
  Signal out(channels_, std::vector<float>(frames));
  std::vector<unsigned char> bytes(offsetof(AudioBufferList, mBuffers) +
                                   channels_ * sizeof(AudioBuffer));
  auto *list = reinterpret_cast<AudioBufferList *>(bytes.data());
  AudioTimeStamp stamp{};
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  for (size_t done = 0; done < frames; done += slice) {
    if (between != nullptr) between(*this, done);
    UInt32 n = static_cast<UInt32>(std::min<size_t>(slice, frames - done));
    list->mNumberBuffers = channels_;
    for (unsigned c = 0; c < channels_; ++c)
      list->mBuffers[c] = AudioBuffer{1, n * 4, out[c].data() + done};
    AudioUnitRenderActionFlags flags = 0;
    OSStatus status = AudioUnitRender(unit_, &flags, &stamp, 0, n, list);
    EXPECT_EQ(status, noErr);
    if (status != noErr) break;
    stamp.mSampleTime += n;
  }
  return out;
}

double amplitudeAt(const std::vector<float> &samples, size_t from, size_t count, double hz,
                   double rate) {
  double re = 0, im = 0, window = 0;
  for (size_t i = 0; i < count; ++i) {
    double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / count);
    double phase = 2 * M_PI * hz * static_cast<double>(from + i) / rate;
    re += w * samples[from + i] * std::cos(phase);
    im += w * samples[from + i] * std::sin(phase);
    window += w;
  }
  return 2 * std::hypot(re, im) / window;
}

double frequencyOf(const std::vector<float> &samples, size_t from, size_t count, double rate) {
  // Rising zero crossings, each counted only after the signal went clearly negative, so that
  // ripples around zero do not count twice.
  double first = -1, last = -1;
  int periods = 0;
  bool armed = false;
  for (size_t i = from + 1; i < from + count; ++i) {
    if (samples[i] < -0.05f) armed = true;
    if (!armed || samples[i - 1] >= 0 || samples[i] < 0) continue;
    armed = false;
    double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
    if (first < 0)
      first = at;
    else
      ++periods;
    last = at;
  }
  return periods * rate / (last - first);
}

double timeMapOffset(const std::vector<float> &out, const std::vector<float> &in, double rate,
                     int limit) {
  // Power over a millisecond centred on each frame.
  auto envelope = [](const std::vector<float> &x) {
    std::vector<double> power(x.size());
    double sum = 0;
    for (size_t i = 0; i < x.size() + 22; ++i) {
      if (i < x.size()) sum += x[i] * x[i];
      if (i >= 44) sum -= x[i - 44] * x[i - 44];
      if (i >= 22 && i - 22 < x.size()) power[i - 22] = sum;
    }
    return power;
  };
  std::vector<double> p = envelope(out), q = envelope(in);
  double best = -1, offset = 0;
  for (int lag = -limit; lag <= limit; ++lag) {
    double match = 0;
    for (size_t k = limit; k + limit < p.size(); k += 8) {
      double t = (static_cast<double>(k) - lag) * rate;
      auto i = static_cast<size_t>(t);
      if (i + 1 >= q.size()) break;
      match += p[k] * (q[i] + (t - static_cast<double>(i)) * (q[i + 1] - q[i]));
    }
    if (match > best) best = match, offset = lag;
  }
  return offset;
}

}  // namespace xnq::test
