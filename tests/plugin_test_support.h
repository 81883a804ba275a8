// What the suites that drive the plugin's classes through the host share: loading the plugin once
// per process under the host settings of the suite, and short ways to make host values.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace plugin_test
