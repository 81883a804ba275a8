// xnq inspect, run as a user runs it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "xnq/host.h"

#ifdef XNQ_TOOL_PATH
namespace {

std::string RunInspect(const std::string &arguments, int *exitCode) {
  std::string command = std::string("XNQ_PLUGIN='") + XNQ_PLUGIN_PATH + "' '" + XNQ_TOOL_PATH +
                        "' inspect " + arguments + " 2>&1";
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = pclose(pipe);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

// The classes the plugin registers in this process, to compare the tool's output with.
const xnq::host::Runtime &Loaded(std::optional<double> version) {
  xnq::host::Settings settings;
  settings.version = version;
  auto &rt = xnq::host::Runtime::get();
  EXPECT_TRUE(rt.load(XNQ_PLUGIN_PATH, settings)) << rt.error();
  return rt;
}

TEST(InspectTool, PrintsEveryRegisteredClassWithItsMembers) {
  const auto &rt = Loaded(2017.0);
  int code = -1;
  std::string out = RunInspect("", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("class-definition version 13"), std::string::npos) << out;
  for (const auto *info : rt.classes()) {
    EXPECT_NE(out.find("\n" + info->name + "\n"), std::string::npos) << info->name;
    EXPECT_NE(out.find(std::to_string(info->dataSize) + " bytes at offset"), std::string::npos);
    for (const auto &m : info->methods) {
      EXPECT_NE(out.find(m.declaration), std::string::npos) << m.declaration;
    }
    for (const auto &p : info->properties) EXPECT_NE(out.find(p.name), std::string::npos);
    for (const auto &k : info->constants) EXPECT_NE(out.find(k.name), std::string::npos);
  }
}

TEST(InspectTool, ShowsOneClassUnderAnotherHostVersion) {
  const auto &rt = Loaded(2008.0);
  if (rt.classes().empty()) {
    GTEST_SKIP() << "this build registers no class yet";
  }
  const std::string name = rt.classes().front()->name;
  int code = -1;
  std::string out = RunInspect(name + " --host-version 2008.0", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out.rfind(name + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("layout version  9"), std::string::npos) << out;
}

TEST(InspectTool, RejectsUnknownClassesAndBadArguments) {
  int code = -1;
  std::string out = RunInspect("NoSuchClassXNQ", &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find("no class 'NoSuchClassXNQ'"), std::string::npos) << out;
  RunInspect("--host-version", &code);
  EXPECT_EQ(code, 2);
  RunInspect("--host-version soon", &code);
  EXPECT_EQ(code, 2);
  RunInspect("--frobnicate", &code);
  EXPECT_EQ(code, 2);
}

}  // namespace
#endif
