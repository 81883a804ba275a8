// The plugin file loaded by the host: its one export, the version it chooses, and the classes
// it registers, in order and in the layout of the host version.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_version_names.h"
#include "xnq/host.h"

namespace {

using xnq::host::Runtime;
using xnq::host::Settings;

// The classes in the order the plugin registers those it holds, with their registered
// instance data sizes on the reference build.
const std::vector<std::pair<std::string, intptr_t>> kClassOrder = {
    {"AUPlayerXNQ", 192},         {"CoreAudioXNQ", 16},     {"CoreAudioListenerXNQ", 32},
    {"CoreAudioPlayerXNQ", 1664}, {"QTSoundStreamXNQ", 32},
};

std::string RunCommand(const std::string &command, int *status) {
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  *status = pclose(pipe);
  return output;
}

TEST(PluginFile, ExportsREALPluginMainAsItsOnlyFunction) {
  int status = 0;
  std::string out =
      RunCommand(std::string("nm -D --defined-only '") + XNQ_PLUGIN_PATH + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  std::vector<std::string> functions;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    // "address type name"; T, t, W, i are code.
    size_t typeAt = line.find(' ');
    if (typeAt == std::string::npos || typeAt + 3 > line.size()) continue;
    char type = line[typeAt + 1];
    if (type == 'T' || type == 't' || type == 'W' || type == 'w' || type == 'i') {
      functions.push_back(line.substr(typeAt + 3));
    }
  }
  EXPECT_EQ(functions, std::vector<std::string>{"REALPluginMain"}) << out;
}

struct LoadCase {
  std::optional<double> hostVersion;
  int controlVersion;
};

class PluginLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PluginLoad, ChoosesTheVersionAndRegistersTheClassesInOrder) {
  Settings settings;
  settings.version = GetParam().hostVersion;
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_EQ(rt.registeredPluginVersion(), GetParam().controlVersion);
  EXPECT_EQ(rt.callCount("REALinRuntime"), 1);

  // The host's version is read first, then the version told, then REALinRuntime asked.
  std::vector<std::string> names = rt.resolvedNames();
  auto firstLookup = [&](const std::string &name) {
    return std::find(names.begin(), names.end(), name) - names.begin();
  };
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "REALGetRBVersion");
  EXPECT_LT(firstLookup("RegisterPluginVersion"), firstLookup("REALinRuntime"));

  // Whichever classes this build holds come in the fixed order, each rounded to 16 bytes, in
  // the layout the version selects.
  std::vector<const xnq::host::ClassInfo *> classes = rt.classes();
  size_t next = 0;
  for (const auto *info : classes) {
    while (next < kClassOrder.size() && kClassOrder[next].first != info->name) ++next;
    ASSERT_LT(next, kClassOrder.size()) << info->name << " registered out of order or unknown";
    EXPECT_EQ(info->layoutVersion, GetParam().controlVersion) << info->name;
    EXPECT_EQ(info->dataSize % 16, 0) << info->name;
#if defined(__i386__)
    EXPECT_EQ(info->dataSize, kClassOrder[next].second) << info->name;
#endif
    EXPECT_NE(info->dataOffset, 0) << info->name;
    EXPECT_EQ(info->flags, 4) << info->name;
    for (const auto &event : info->events) EXPECT_NE(event.identifier, 0) << event.name;
    ++next;
  }
  if (!classes.empty()) {
    EXPECT_LT(firstLookup("REALinRuntime"), firstLookup("PluginRegisterClass"));
  }
  for (const auto &error : rt.registrationErrors()) ADD_FAILURE() << error;
}

INSTANTIATE_TEST_SUITE_P(HostVersions, PluginLoad,
                         ::testing::Values(LoadCase{std::nullopt, 9}, LoadCase{2008.0, 9},
                                           LoadCase{2012.0, 10}, LoadCase{2013.0, 11},
                                           LoadCase{2013.03, 12}, LoadCase{2013.04, 13},
                                           LoadCase{2017.0, 13}),
                         testnames::ByHostVersion());

// The same classes, with the same members, whichever layout they were handed over in.
TEST(PluginLoadOlderLayout, DescribesTheSameMembers) {
  Settings settings;
  settings.version = 2008.0;
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  for (const auto *info : rt.classes()) {
    for (const auto &p : info->properties) {
      EXPECT_FALSE(p.name.empty()) << info->name;
      EXPECT_FALSE(p.typeName.empty()) << info->name << "." << p.name;
      EXPECT_EQ(p.flags, 6) << info->name << "." << p.name;
    }
    for (const auto &m : info->methods) EXPECT_FALSE(m.name.empty()) << info->name;
  }
  EXPECT_TRUE(rt.registrationErrors().empty());
}

TEST(PluginLoadWithoutHostFunctions, NoRegisterPluginVersionSkipsOnlyThatStep) {
  Settings settings;
  settings.version = 2013.04;
  settings.removed = {"RegisterPluginVersion"};
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_EQ(rt.registeredPluginVersion(), 0);
  for (const auto *info : rt.classes()) EXPECT_EQ(info->layoutVersion, 13) << info->name;
}

TEST(PluginLoadWithoutHostFunctions, NoPluginRegisterClassRegistersNothing) {
  Settings settings;
  settings.version = 2008.0;
  settings.removed = {"PluginRegisterClass"};
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_TRUE(rt.classes().empty());
  EXPECT_EQ(rt.registeredPluginVersion(), 9);
}

TEST(PluginLoadWithoutHostFunctions, NoREALinRuntimeStillLoads) {
  Settings settings;
  settings.removed = {"REALinRuntime"};
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_EQ(rt.callCount("REALinRuntime"), 0);
  EXPECT_EQ(rt.registeredPluginVersion(), 13);
}

TEST(PluginLoadWithoutHostFunctions, OutsideTheRuntimeLoadsTheSameClasses) {
  Settings settings;
  settings.inRuntime = false;
  auto &rt = Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  EXPECT_EQ(rt.callCount("REALinRuntime"), 1);
  EXPECT_TRUE(rt.registrationErrors().empty());
}

}  // namespace
