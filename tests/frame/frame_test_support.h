// Helpers of the frame tests: the frame is linked into the test program and bound to the host's
// resolver, as REALPluginMain would bind it inside a plugin.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "frame/frame.h"
#include "xnq/host.h"

namespace frametest {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Settings;
using xnq::host::Type;
using xnq::host::Value;

// Configures this process's host and binds the frame to it. nullopt removes REALGetRBVersion.
inline void BindToHost(std::optional<double> version, std::set<std::string> removed = {}) {
  Settings settings;
  settings.version = version;
  settings.removed = std::move(removed);
  Runtime::get().configure(settings);
  BindHost(&Runtime::resolve);
}

// A host string the frame built, owned by the returned Value.
inline Value Adopt(REALstring s) { return Value::adopt(Type::String, s); }

inline int64_t Outstanding() { return Runtime::get().outstanding().total(); }

// How many times the frame asked the resolver for a host function.
inline int Lookups(const std::string &name) {
  int n = 0;
  for (const auto &looked : Runtime::get().resolvedNames()) n += looked == name;
  return n;
}

}  // namespace frametest
