// The host runtime's tests load the fixture plugin once per process (each case runs in a process
// of its own under CTest) and check the reference accounting after each case.
#pragma once

#include <gtest/gtest.h>

#include "xnq/host.h"

namespace xnq::host::testing {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (rt.classes().empty()) {
      ASSERT_TRUE(rt.load(XNQ_HOST_FIXTURE_PATH)) << rt.error();
    }
    before_ = rt.outstanding();
    errors_ = rt.accountingErrors();
  }
  // Values made in a test body are released before this runs.
  void TearDown() override { EXPECT_EQ(rt.outstanding(), before_); }
  Value counter() { return rt.newObject("FixtureCounter").value; }
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
