// The ALSA device: a real PCM (a card, a sound server's plugin, or ALSA's own null and file
// plugins). The PCM is opened on the device's IO thread at each start and closed at its stop;
// writes block at the card's pace, which is the real-time clock of this backend.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "hal/audio_device.h"
#include "hal/device_backend.h"

namespace xnq::hal {

namespace {

// ALSA prints its errors to stderr by default; the status codes say enough.
void quietAlsaErrors(const char *, int, const char *, int, const char *, ...) {}

void installQuietHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(quietAlsaErrors); });
}

class AlsaBackend final : public DeviceBackend {
 public:
  AlsaBackend(std::string pcm, bool output, bool input)
      : pcm_(std::move(pcm)), wantOutput_(output), wantInput_(input) {}
  ~AlsaBackend() override { close(); }

  const char *manufacturer() const override { return "ALSA"; }
  UInt32 transportType() const override { return kAudioDeviceTransportTypeBuiltIn; }
  bool pacesItself() const override { return true; }
  UInt32 latencyFrames(bool input) const override {
    return input ? inputLatency_.load() : outputLatency_.load();
  }
  bool physicalIsFloat() const override { return outputFloat_.load(); }
  UInt32 physicalBitsPerChannel() const override { return outputFloat_.load() ? 32 : 16; }

  // IO thread, at the start of a run: opens and configures the PCMs. May allocate.
  OSStatus open(const RunFormat &format) override {
    if (wantOutput_ && format.outputChannels > 0) {
      bool isFloat = true;
      UInt32 latency = 0;
      if (!openPcm(SND_PCM_STREAM_PLAYBACK, format, format.outputChannels, &playback_, &isFloat,
                   &latency)) {
        close();
        return kAudioHardwareUnspecifiedError;
      }
      outputFloat_.store(isFloat);
      outputLatency_.store(latency);
    }
    if (wantInput_ && format.inputChannels > 0) {
      UInt32 latency = 0;
      if (!openPcm(SND_PCM_STREAM_CAPTURE, format, format.inputChannels, &capture_, &inputFloat_,
                   &latency)) {
        close();
        return kAudioHardwareUnspecifiedError;
      }
      inputLatency_.store(latency);
    }
    // Conversion buffers for a card that takes only 16-bit samples, sized once here.
    size_t samples =
        size_t(kMaxBufferFrames) * std::max(format.outputChannels, format.inputChannels);
    shorts_.assign(samples, 0);
    return kAudioHardwareNoError;
  }

  // IO thread: blocks in the write at the card's pace; no allocation, no lock.
  void writeOutput(const float *interleaved, UInt32 frames, UInt32 channels) override {
    if (!playback_) return;
    const void *data = interleaved;
    if (!outputFloat_.load()) {
      for (size_t i = 0; i < size_t(frames) * channels; ++i) {
        float v = std::fmax(-1.0f, std::fmin(1.0f, interleaved[i]));
        shorts_[i] = int16_t(std::lrintf(v * 32767.0f));
      }
      data = shorts_.data();
    }
    size_t frameBytes = size_t(channels) * (outputFloat_.load() ? 4 : 2);
    transfer(playback_, frames, [&](size_t done, snd_pcm_uframes_t n) {
      return snd_pcm_writei(playback_, static_cast<const char *>(data) + done * frameBytes, n);
    });
  }

  // IO thread: reads a cycle of input, converting 16-bit samples; no allocation, no lock.
  void readInput(float *interleaved, UInt32 frames, UInt32 channels) override {
    if (!capture_) {
      DeviceBackend::readInput(interleaved, frames, channels);
      return;
    }
    void *data = inputFloat_ ? static_cast<void *>(interleaved) : shorts_.data();
    size_t frameBytes = size_t(channels) * (inputFloat_ ? 4 : 2);
    size_t got = transfer(capture_, frames, [&](size_t done, snd_pcm_uframes_t n) {
      return snd_pcm_readi(capture_, static_cast<char *>(data) + done * frameBytes, n);
    });
    if (!inputFloat_) {
      for (size_t i = 0; i < got * channels; ++i) interleaved[i] = shorts_[i] / 32768.0f;
    }
    for (size_t i = got * channels; i < size_t(frames) * channels; ++i) interleaved[i] = 0.0f;
  }

  // IO thread, at the end of a run: stops at once, as a device stop does.
  void close() override {
    for (snd_pcm_t **pcm : {&playback_, &capture_}) {
      if (!*pcm) continue;
      snd_pcm_drop(*pcm);
      snd_pcm_close(*pcm);
      *pcm = nullptr;
    }
  }

 private:
  bool openPcm(snd_pcm_stream_t direction, const RunFormat &format, UInt32 channels,
               snd_pcm_t **out, bool *isFloat, UInt32 *latency) {
    installQuietHandler();
    snd_pcm_t *pcm = nullptr;
    if (snd_pcm_open(&pcm, pcm_.c_str(), direction, 0) < 0) return false;
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned rate = unsigned(format.sampleRate);
    snd_pcm_uframes_t period = format.bufferFrames, buffer = format.bufferFrames * 4;
    bool ok = snd_pcm_hw_params_any(pcm, hw) >= 0 &&
              snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0;
    *isFloat = ok && snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_FLOAT_LE) >= 0;
    ok = ok && (*isFloat || snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) >= 0) &&
         snd_pcm_hw_params_set_channels(pcm, hw, channels) >= 0 &&
         snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr) >= 0 &&
         snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr) >= 0 &&
         snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer) >= 0 &&
         snd_pcm_hw_params(pcm, hw) >= 0 && snd_pcm_prepare(pcm) >= 0;
    // A PCM that can't run at the device's rate would play at the wrong speed: refuse it.
    ok = ok && rate == unsigned(format.sampleRate);
    if (!ok) {
      snd_pcm_close(pcm);
      return false;
    }
    *latency = UInt32(buffer);
    *out = pcm;
    return true;
  }

  // Moves frames through a PCM, recovering from under- and overruns; returns frames moved.
  template <class F>
  static size_t transfer(snd_pcm_t *pcm, UInt32 frames, F io) {
    size_t done = 0;
    int failures = 0;
    while (done < frames && failures < 4) {
      snd_pcm_sframes_t n = io(done, frames - done);
      if (n >= 0) {
        done += size_t(n);
        continue;
      }
      if (n == -EAGAIN) continue;
      ++failures;
      if (snd_pcm_recover(pcm, int(n), 1) < 0) break;
    }
    return done;
  }

  const std::string pcm_;
  const bool wantOutput_, wantInput_;
  // The PCMs and buffers: touched by the IO thread only (open, cycles, close) and the destructor.
  snd_pcm_t *playback_ = nullptr;
  snd_pcm_t *capture_ = nullptr;
  bool inputFloat_ = true;
  std::vector<int16_t> shorts_;
  // Written by the IO thread at open, read by host threads for the stream properties.
  std::atomic<bool> outputFloat_{true};
  std::atomic<UInt32> outputLatency_{0}, inputLatency_{0};
};

}  // namespace

std::unique_ptr<DeviceBackend> makeAlsaBackend(const std::string &pcm, bool wantOutput,
                                               bool wantInput, std::string *error) {
  if (pcm.empty()) {
    *error = "ALSA device without a PCM name";
    return nullptr;
  }
  return std::make_unique<AlsaBackend>(pcm, wantOutput, wantInput);
}

bool alsaPlaybackOpens(const std::string &pcm) {
  installQuietHandler();
  snd_pcm_t *handle = nullptr;
  if (snd_pcm_open(&handle, pcm.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return false;
  }
  snd_pcm_close(handle);
  return true;
}

}  // namespace xnq::hal
