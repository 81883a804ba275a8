// Readable names for test cases parameterized by a host version: "Host2013_03", or
// "NoVersionFunction" for a host without the version function.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace testnames {

inline std::string HostVersionName(const std::optional<double> &version) {
  if (!version) return "NoVersionFunction";
  std::string name = "Host" + std::to_string(*version);
  while (name.back() == '0') name.pop_back();
  if (name.back() == '.') name.pop_back();
  for (char &c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

// For INSTANTIATE_TEST_SUITE_P over a case type with a `hostVersion` member.
struct ByHostVersion {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case> &info) const {
    return HostVersionName(info.param.hostVersion);
  }
};

}  // namespace testnames
