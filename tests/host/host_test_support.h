// The host runtime's tests bind the frame to the host and register its probe class, as a plugin
// registers its classes, and check the reference accounting after each case.
#pragma once

#include <gtest/gtest.h>

#include "frame/frame_test_support.h"
#include "frame/probe_class.h"

namespace xnq::host::testing {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frametest::BindToHost(2017.0);
    if (rt.findClass("FrameProbeXNQ") == nullptr) MyREALRegisterClass(&ProbeClass);
    before_ = rt.outstanding();
    errors_ = rt.accountingErrors();
  }
  // Values made in a test body are released before this runs.
  void TearDown() override { EXPECT_EQ(rt.outstanding(), before_); }
  Value probe() { return rt.newObject("FrameProbeXNQ").value; }
  template <typename F>
  F fn(const char *name) {
    auto f = reinterpret_cast<F>(Runtime::resolve(name));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }

  Runtime &rt = Runtime::get();
  ReferenceCounts before_;
  int64_t errors_ = 0;
};

}  // namespace xnq::host::testing
