// The plugin file loaded by the host: its one export, the version it chooses, and the classes
// it registers, in order and in the layout of the host version, also on hosts that lack some of
// the registration functions.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_version_names.h"
#include "xnq/host.h"

namespace {

using xnq::host::Runtime;
using xnq::host::Settings;

TEST(PluginFile, ExportsREALPluginMainAsItsOnlyFunction) {
  const std::string command = std::string("nm -D --defined-only '") + XNQ_PLUGIN_PATH + "'";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> functions;
  char address[64], type[8], name[256];
  while (fscanf(pipe, "%63s %7s %255s", address, type, name) == 3) {
    if (std::string("TtWwi").find(type[0]) != std::string::npos) functions.push_back(name);
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(functions, std::vector<std::string>{"REALPluginMain"});
}

struct LoadCase {
  std::optional<double> hostVersion;
  std::set<std::string> removed;
  int toldVersion, layoutVersion;
  bool registers;
};

class PluginLoad : public ::testing::TestWithParam<LoadCase> {};

// The classes this build holds come in the fixed order, each rounded to 16 bytes (the sizes of
// the reference build on i386), with every member described, in the layout the version selects.
TEST_P(PluginLoad, ChoosesTheVersionAndRegistersTheClassesInOrder) {
  const std::vector<std::pair<std::string, intptr_t>> order = {
      {"AUPlayerXNQ", 192},         {"CoreAudioXNQ", 16},     {"CoreAudioListenerXNQ", 32},
      {"CoreAudioPlayerXNQ", 1664}, {"QTSoundStreamXNQ", 16},
  };
  Settings settings;
  settings.version = GetParam().hostVersion;
  settings.removed = GetParam().removed;
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_EQ(rt.registeredPluginVersion(), GetParam().toldVersion);
  // The host's version is read first, then the version told, then REALinRuntime asked.
  const std::vector<std::string> names = rt.resolvedNames();
  auto firstLookup = [&](const std::string &n) {
    return std::find(names.begin(), names.end(), n) - names.begin();
  };
  EXPECT_EQ(names.front(), "REALGetRBVersion");
  EXPECT_LT(firstLookup("RegisterPluginVersion"), firstLookup("REALinRuntime"));
  EXPECT_LT(firstLookup("REALinRuntime"), firstLookup("PluginRegisterClass"));
  const std::vector<const xnq::host::ClassInfo *> classes = rt.classes();
  EXPECT_EQ(classes.empty(), !GetParam().registers);
  size_t next = 0;
  for (const auto *info : classes) {
    while (next < order.size() && order[next].first != info->name) ++next;
    ASSERT_LT(next, order.size()) << info->name << " registered out of order or unknown";
    EXPECT_EQ(info->layoutVersion, GetParam().layoutVersion) << info->name;
#if defined(__i386__)
    EXPECT_EQ(info->dataSize, order[next].second) << info->name;
#endif
    EXPECT_EQ(info->dataSize % 16, 0) << info->name;
    EXPECT_NE(info->dataOffset, 0) << info->name;
    EXPECT_EQ(info->flags, 4) << info->name;
    for (const auto &p : info->properties) EXPECT_EQ(p.flags, 6) << info->name << "." << p.name;
    for (const auto &e : info->events) EXPECT_NE(e.identifier, 0) << e.name;
  }
  for (const auto &error : rt.registrationErrors()) ADD_FAILURE() << error;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, PluginLoad,
    ::testing::Values(LoadCase{std::nullopt, {}, 9, 9, true}, LoadCase{2012.0, {}, 10, 10, true},
                      LoadCase{2013.0, {}, 11, 11, true}, LoadCase{2017.0, {}, 13, 13, true},
                      LoadCase{2013.04, {"RegisterPluginVersion"}, 0, 13, true},
                      LoadCase{2008.0, {"PluginRegisterClass"}, 9, 9, false},
                      LoadCase{2017.0, {"REALinRuntime"}, 13, 13, true}),
    [](const auto &info) {
      std::string name = testnames::HostVersionName(info.param.hostVersion);
      for (const auto &removed : info.param.removed) name += "Without" + removed;
      return name;
    });

}  // namespace
