// The capture device: writes its output to a WAV file of 32-bit float samples, so a test or a
// user can hear and inspect exactly what the IO procedures produced. Its input is silence.
#include <sndfile.h>

#include "hal/device_backend.h"

namespace xnq::hal {

namespace {

class CaptureBackend final : public DeviceBackend {
 public:
  explicit CaptureBackend(std::string path) : path_(std::move(path)) {}
  ~CaptureBackend() override { closeFile(); }

  const char *manufacturer() const override { return "CoreAudioXNQ"; }
  UInt32 transportType() const override { return kAudioDeviceTransportTypeVirtual; }

  // Creates the file at once, so a path that can't be written is refused when the device is
  // made rather than at its first start.
  bool create(double rate, UInt32 channels, std::string *error) {
    if (!openFile(rate, channels)) {
      *error = "cannot write '" + path_ + "': " + sf_strerror(nullptr);
      return false;
    }
    return true;
  }

  // IO thread, at the start of a run. The file keeps growing over the runs of the device; a run
  // with another rate or channel count starts the file again.
  OSStatus open(const RunFormat &format) override {
    if (format.outputChannels == 0) return kAudioHardwareNoError;
    if (file_ && format.sampleRate == rate_ && format.outputChannels == channels_) {
      return kAudioHardwareNoError;
    }
    closeFile();
    return openFile(format.sampleRate, format.outputChannels) ? kAudioHardwareNoError
                                                              : kAudioHardwareUnspecifiedError;
  }

  // IO thread: a file write per cycle, as a capture must; no allocation, no lock.
  void writeOutput(const float *interleaved, UInt32 frames, UInt32) override {
    if (file_) sf_writef_float(file_, interleaved, frames);
  }

  // IO thread, at the end of a run: the header is brought up to date so the file is complete.
  void close() override {
    if (!file_) return;
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    sf_write_sync(file_);
  }

 private:
  bool openFile(double rate, UInt32 channels) {
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_ = sf_open(path_.c_str(), SFM_WRITE, &info);
    rate_ = rate;
    channels_ = channels;
    return file_ != nullptr;
  }
  void closeFile() {
    if (file_) sf_close(file_);
    file_ = nullptr;
  }

  const std::string path_;
  SNDFILE *file_ = nullptr;  // used by the IO thread during runs, by the owner otherwise
  double rate_ = 0;
  UInt32 channels_ = 0;
};

}  // namespace

std::unique_ptr<DeviceBackend> makeCaptureBackend(const std::string &path, double rate,
                                                  UInt32 channels, std::string *error) {
  auto backend = std::make_unique<CaptureBackend>(path);
  if (!backend->create(rate, channels ? channels : 1, error)) return nullptr;
  return backend;
}

}  // namespace xnq::hal
