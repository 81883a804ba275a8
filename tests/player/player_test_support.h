// What the player tests share: the plugin loaded into the host once per process, stepped test
// devices whose output is captured exactly, and small helpers to call the player by name.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace player_test {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Value;

// The host the suite runs on: the current host, or an old one when the build names its
// version (records read directly, the shorter class layout).
inline xnq::host::Settings HostSettings() {
  xnq::host::Settings settings;
#ifdef PLAYER_TEST_HOST_VERSION
  settings.version = PLAYER_TEST_HOST_VERSION;
#endif
  return settings;
}

inline Runtime &Host() {
  static const bool loaded = [] {
    Runtime &runtime = Runtime::get();
    if (!runtime.classes().empty()) return true;  // a test loaded it under settings of its own
    const bool ok = runtime.load(XNQ_PLUGIN_PATH, HostSettings());
    if (!ok) ADD_FAILURE() << "cannot load the plugin: " << runtime.error();
    return ok;
  }();
  (void)loaded;
  return Runtime::get();
}

inline Value NewPlayer() {
  CallResult created = Host().newObject("CoreAudioPlayerXNQ");
  EXPECT_FALSE(created.raised());
  EXPECT_FALSE(created.value.isNil());
  return created.value;
}

inline Value Bytes(const std::vector<uint8_t> &bytes) {
  return Host().newMemoryBlock(bytes.data(), static_cast<int64_t>(bytes.size()));
}

inline Value Floats(const std::vector<float> &floats) {
  return Host().newMemoryBlock(floats.data(), static_cast<int64_t>(floats.size() * sizeof(float)));
}

inline Value Integer(int64_t v) { return Value::integer(v); }
inline Value Bool(bool v) { return Value::boolean(v); }

// Calls a method that returns a boolean and expects no exception.
inline bool CallBool(const Value &player, const std::string &method, std::vector<Value> args = {}) {
  CallResult r = Host().call(player, method, args);
  EXPECT_FALSE(r.raised()) << method << " raised " << r.exception->className << ": "
                           << r.exception->message;
  return r.value.asBool();
}

inline int64_t CallInteger(const Value &player, const std::string &method) {
  CallResult r = Host().call(player, method, {});
  EXPECT_FALSE(r.raised());
  return r.value.asInteger();
}

inline Value Get(const Value &player, const std::string &property) {
  CallResult r = Host().get(player, property);
  EXPECT_FALSE(r.raised()) << property;
  return r.value;
}

inline void Set(const Value &player, const std::string &property, const Value &value) {
  CallResult r = Host().set(player, property, value);
  EXPECT_FALSE(r.raised()) << property;
}

// Output captured from a device, cycle after cycle, into storage reserved up front so that the
// tap itself never allocates on the IO thread.
struct Capture {
  std::vector<float> samples;
  std::atomic<size_t> used{0};
  std::atomic<UInt32> channels{0};

  explicit Capture(size_t capacity) : samples(capacity) {}

  static void Tap(const Float32 *interleaved, UInt32 frames, UInt32 channelCount, void *context) {
    auto *self = static_cast<Capture *>(context);
    self->channels.store(channelCount);
    size_t at = self->used.load();
    const size_t n = std::min<size_t>(size_t{frames} * channelCount, self->samples.size() - at);
    std::memcpy(self->samples.data() + at, interleaved, n * sizeof(float));
    self->used.store(at + n);
  }
  // Sample of frame f, channel c, counted from the first captured cycle.
  float at(size_t frame, size_t channel) const { return samples[frame * channels + channel]; }
  size_t frames() const { return channels ? used / channels : 0; }
};

// A system holding only the devices a test adds. The first output device becomes the default.
inline AudioDeviceID AddSteppedDevice(Float64 rate, UInt32 channels, UInt32 bufferFrames = 512) {
  XnqDeviceConfig config{};
  config.backend = "null";
  config.sampleRate = rate;
  config.outputChannels = channels;
  config.bufferFrames = bufferFrames;
  config.clock = XNQ_CLOCK_STEPPED;
  AudioDeviceID id = xnq_hal_add_device(&config);
  EXPECT_NE(id, 0u);
  return id;
}

// Calls Stop (or Close) on this thread while another thread steps the device, since the player
// stops only from inside its IO procedure. Returns when Stop has returned.
inline void StopWhileStepping(const Value &player, AudioDeviceID device,
                              const char *method = "Stop") {
  std::atomic<bool> stopped{false};
  std::thread stepper([&] {
    while (!stopped.load()) {
      xnq_hal_step(device, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  CallResult r = Host().call(player, method, {});
  stopped.store(true);
  stepper.join();
  EXPECT_FALSE(r.raised());
}

// Every test starts from an empty system and checks that it gave back every host reference.
// Values made in a test body are released before TearDown runs.
class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Host();
    xnq_hal_reset();
    baseline_ = Host().outstanding();
  }
  void TearDown() override {
    EXPECT_EQ(Host().outstanding(), baseline_);
    EXPECT_EQ(Host().accountingErrors(), 0);
  }

  // A stepped device whose output is captured: the first one added is the default output.
  AudioDeviceID UseDevice(Float64 rate, UInt32 channels, UInt32 bufferFrames = 512,
                          Float32 prefill = 0.0f) {
    AudioDeviceID device = AddSteppedDevice(rate, channels, bufferFrames);
    if (device_ == 0) {
      device_ = device;
      capture_ = std::make_unique<Capture>(size_t{64} * bufferFrames * channels);
      xnq_hal_set_output_prefill(device, prefill);
      xnq_hal_set_output_tap(device, &Capture::Tap, capture_.get());
    }
    return device;
  }
  // Starts the player and runs cycles of the default test device.
  void StartAndStep(const Value &player, UInt32 cycles) {
    ASSERT_TRUE(CallBool(player, "Start"));
    ASSERT_EQ(xnq_hal_step(device_, cycles), cycles);
  }

  xnq::host::ReferenceCounts baseline_;
  AudioDeviceID device_ = 0;
  std::unique_ptr<Capture> capture_;
};

}  // namespace player_test
