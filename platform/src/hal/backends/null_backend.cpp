// The null device: its output goes nowhere and its input is silence. The smallest complete
// backend, and the model for writing another.
#include "hal/device_backend.h"

namespace xnq::hal {

namespace {

class NullBackend final : public DeviceBackend {
 public:
  const char *manufacturer() const override { return "CoreAudioXNQ"; }
  UInt32 transportType() const override { return kAudioDeviceTransportTypeVirtual; }
  OSStatus open(const RunFormat &) override { return kAudioHardwareNoError; }
  // IO thread: discards the output; must not allocate or lock.
  void writeOutput(const float *, UInt32, UInt32) override {}
  void close() override {}
};

}  // namespace

std::unique_ptr<DeviceBackend> makeNullBackend() { return std::make_unique<NullBackend>(); }

}  // namespace xnq::hal
