// Loading the fixture plugin for a test. The plugin is loaded once per process; a test that
// needs other host settings than the process already has is skipped there and runs in a process
// of its own under CTest.
#pragma once

#include <gtest/gtest.h>

#include "xnq/host.h"

namespace xnq::host::testing {

inline bool sameSettings(const Settings &a, const Settings &b) {
  return a.version == b.version && a.inRuntime == b.inRuntime && a.removed == b.removed &&
         a.dispatchAvailable == b.dispatchAvailable;
}

// Loads the fixture under settings; false (with the test skipped) when this process already
// loaded it under other settings.
inline bool loadFixture(const Settings &settings = {}) {
  Runtime &rt = Runtime::get();
  static bool loaded = false;
  if (loaded) {
    if (sameSettings(rt.settings(), settings)) return true;
    return false;
  }
  loaded = rt.load(XNQ_HOST_FIXTURE_PATH, settings);
  EXPECT_TRUE(loaded) << rt.error();
  return loaded;
}

}  // namespace xnq::host::testing

#define XNQ_LOAD_FIXTURE(settings)                                           \
  do {                                                                       \
    if (!::xnq::host::testing::loadFixture(settings)) {                      \
      if (::testing::Test::HasFailure()) return;                             \
      GTEST_SKIP() << "needs a process of its own with other host settings"; \
    }                                                                        \
  } while (0)
