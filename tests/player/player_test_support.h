// What the player tests share: the plugin loaded into the host once per process, stepped test
// devices whose output is captured exactly, and short ways to call the player by name.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plugin_test_support.h"

namespace player_test {

using namespace plugin_test;

// The host the suite runs on: the current host, or an old one when the build names its version
// (records read directly, the shorter class layout). A case may load it under its own settings.
inline Runtime &Host() {
  if (Runtime::get().classes().empty()) {
    xnq::host::Settings settings;
#ifdef PLAYER_TEST_HOST_VERSION
    settings.version = PLAYER_TEST_HOST_VERSION;
#endif
    LoadPlugin(settings);
  }
  return Runtime::get();
}
// Calls a method that returns a boolean (or an integer) and expects no exception.
inline bool CallBool(const Value &player, const std::string &method, std::vector<Value> args = {}) {
  return Call(player, method, std::move(args)).asBool();
}
inline int64_t CallInteger(const Value &player, const std::string &method) {
  return Call(player, method).asInteger();
}

// Distinct, exactly representable samples.
inline std::vector<float> Ramp(size_t n, float first = -0.5f) {
  std::vector<float> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = first + static_cast<float>(k % 509) / 512.0f;
  return v;
}

// Output captured from a device, cycle after cycle, into storage reserved up front so that the
// tap itself never allocates on the IO thread.
struct Capture {
  std::vector<float> samples;
  std::atomic<size_t> used{0};
  std::atomic<UInt32> channels{0};

  explicit Capture(size_t capacity) : samples(capacity) {}
  // IO thread: copies the cycle's output; no allocation.
  static void Tap(const Float32 *interleaved, UInt32 frames, UInt32 channelCount, void *context) {
    auto *self = static_cast<Capture *>(context);
    self->channels.store(channelCount);
    const size_t at = self->used.load();
    const size_t n = std::min<size_t>(size_t{frames} * channelCount, self->samples.size() - at);
    std::memcpy(self->samples.data() + at, interleaved, n * sizeof(float));
    self->used.store(at + n);
  }
  // Sample of frame f, channel c, counted from the first captured cycle.
  float at(size_t frame, size_t channel = 0) const { return samples[frame * channels + channel]; }
  size_t frames() const { return channels ? used / channels : 0; }
};

inline AudioDeviceID AddDevice(Float64 rate, UInt32 channels, UInt32 frames = 512,
                               XnqClockMode clock = XNQ_CLOCK_STEPPED) {
  XnqDeviceConfig config{"null", nullptr, nullptr, nullptr, rate, channels, 0, frames, clock};
  const AudioDeviceID id = xnq_hal_add_device(&config);
  EXPECT_NE(id, 0u);
  return id;
}

// Players are held until the test has ended and its devices are gone, so a failed check never
// leaves a destructor waiting for a stepped device.
class PlayerTest : public BalancedTest {
 protected:
  void SetUp() override {
    Host();
    BalancedTest::SetUp();
  }
  void TearDown() override {
    xnq_hal_reset();
    players_.clear();
    BalancedTest::TearDown();
  }
  Value NewPlayer() {
    players_.push_back(Host().newObject("CoreAudioPlayerXNQ").value);
    return players_.back();
  }
  // A stepped device whose output is captured (the first added is the default output device).
  AudioDeviceID UseDevice(Float64 rate, UInt32 channels, UInt32 frames = 512,
                          Float32 prefill = 0.0f) {
    const AudioDeviceID device = AddDevice(rate, channels, frames);
    captures_.push_back(std::make_unique<Capture>(size_t{64} * frames * channels));
    xnq_hal_set_output_prefill(device, prefill);
    xnq_hal_set_output_tap(device, &Capture::Tap, captures_.back().get());
    if (device_ == 0) {
      device_ = device;
      capture_ = captures_.back().get();
    }
    return device;
  }
  // Runs cycles of the default test device; returns how many called a procedure.
  UInt32 Step(UInt32 cycles = 1) { return xnq_hal_step(device_, cycles); }
  // Stop (or Close) called on this thread while another steps the device, since the player
  // stops only from inside its IO procedure.
  void StopWhileStepping(const Value &player, const char *method = "Stop") {
    std::atomic<bool> stopped{false};
    std::thread stepper([&] {
      while (!stopped.load()) {
        xnq_hal_step(device_, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    Host().call(player, method, {});
    stopped.store(true);
    stepper.join();
  }

  std::vector<Value> players_;
  std::vector<std::unique_ptr<Capture>> captures_;
  AudioDeviceID device_ = 0;
  Capture *capture_ = nullptr;
};

}  // namespace player_test
