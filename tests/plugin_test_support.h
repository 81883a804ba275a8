// What the suites that drive the plugin's classes through the host share: loading the plugin once
// per process under the host settings of the suite, short ways to make host values and call
// members, a fixture that checks the reference accounting, and renders of the generic output.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/audio_unit.h"
#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace plugin_test {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Value;

// Loads the plugin once per process (each case runs in a process of its own under CTest). False
// when the process already loaded it with other settings: the caller then skips.
inline bool LoadPlugin(const xnq::host::Settings &settings = {}) {
  static std::optional<xnq::host::Settings> loadedWith;
  if (loadedWith) {
    return loadedWith->version == settings.version && loadedWith->removed == settings.removed &&
           loadedWith->dispatchAvailable == settings.dispatchAvailable;
  }
  if (!Runtime::get().load(XNQ_PLUGIN_PATH, settings)) {
    ADD_FAILURE() << "cannot load the plugin: " << Runtime::get().error();
    return false;
  }
  loadedWith = settings;
  return true;
}

inline Value Int(int64_t v) { return Value::integer(v); }
inline Value Bool(bool v) { return Value::boolean(v); }
inline Value Str(const std::string &text) { return Runtime::get().newString(text); }
inline Value Bytes(const void *bytes, int64_t size) {
  return Runtime::get().newMemoryBlock(bytes, size);
}
inline Value Bytes(const std::vector<uint8_t> &bytes) {
  return Bytes(bytes.data(), static_cast<int64_t>(bytes.size()));
}
inline Value Floats(const std::vector<float> &floats) {
  return Bytes(floats.data(), static_cast<int64_t>(floats.size() * sizeof(float)));
}
inline std::vector<Value> With(std::vector<Value> args, const std::vector<Value> &more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
// A value's bytes as they come: a memory block's contents or a string's stored bytes.
inline std::string BytesOf(const Value &v) {
  if (v.isNil()) return "";
  if (v.type() == xnq::host::Type::MemoryBlock) {
    return std::string(reinterpret_cast<const char *>(v.data()), static_cast<size_t>(v.size()));
  }
  return v.bytes();
}
template <typename T>
std::string BytesOf(const T &value) {
  return std::string(reinterpret_cast<const char *>(&value), sizeof value);
}

// A member called, a property read and one written, expecting no exception.
inline Value Call(const Value &obj, const std::string &method, std::vector<Value> args = {}) {
  CallResult r = Runtime::get().call(obj, method, args);
  EXPECT_FALSE(r.raised()) << method << " raised " << r.exception->message;
  return r.value;
}
inline Value Get(const Value &obj, const std::string &property) {
  CallResult r = Runtime::get().get(obj, property);
  EXPECT_FALSE(r.raised()) << property << " raised " << r.exception->message;
  return r.value;
}
inline void Set(const Value &obj, const std::string &property, const Value &value) {
  EXPECT_FALSE(Runtime::get().set(obj, property, value).raised()) << property;
}
// "Class: message" of the exception a call raised, or "".
inline std::string Raised(const CallResult &r) {
  return r.raised() ? r.exception->className + ": " + r.exception->message : "";
}

// Every case starts from an audio system without devices and gives back every host reference it
// took (the suite's fixture loads the plugin before this runs).
class BalancedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xnq_hal_reset();
    baseline_ = Runtime::get().outstanding();
  }
  void TearDown() override {
    xnq_hal_reset();
    EXPECT_EQ(Runtime::get().outstanding(), baseline_);
    EXPECT_EQ(Runtime::get().accountingErrors(), 0);
  }
  xnq::host::ReferenceCounts baseline_;
};

// Renders frames of two channels from a unit its caller renders (the generic output), in slices
// of at most `slice` frames, into buffers first filled with junk; each render is to give status.
inline std::vector<std::vector<float>> RenderStereo(AudioUnit unit, UInt32 frames,
                                                    UInt32 slice = 512, OSStatus status = noErr) {
  std::vector<std::vector<float>> out(2, std::vector<float>(frames, 9.0f));
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list;
  AudioTimeStamp stamp{};
  for (UInt32 done = 0; done < frames; done += slice) {
    const UInt32 n = std::min(slice, frames - done);
    list = {2, {{1, n * 4, &out[0][done]}, {1, n * 4, &out[1][done]}}};
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(
        AudioUnitRender(unit, &flags, &stamp, 0, n, reinterpret_cast<AudioBufferList *>(&list)),
        status);
    stamp.mSampleTime += n;
  }
  return out;
}

}  // namespace plugin_test
