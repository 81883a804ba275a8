// xnq inspect, run as a user runs it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "xnq/host.h"

#ifdef XNQ_TOOL_PATH
namespace {

std::string RunInspect(const std::string &arguments, int *exitCode) {
  const std::string command = std::string("XNQ_PLUGIN='") + XNQ_PLUGIN_PATH + "' '" +
                              XNQ_TOOL_PATH + "' inspect " + arguments + " 2>&1";
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

// Every class the plugin registers in this process is listed with its members; one class can be
// shown under another host version.
TEST(InspectTool, PrintsTheRegisteredClassesWithTheirMembers) {
  auto &rt = xnq::host::Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH)) << rt.error();
  int code = -1;
  const std::string out = RunInspect("", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("class-definition version 13"), std::string::npos) << out;
  for (const auto *info : rt.classes()) {
    EXPECT_NE(out.find("\n" + info->name + "\n"), std::string::npos) << info->name;
    EXPECT_NE(out.find(std::to_string(info->dataSize) + " bytes at offset"), std::string::npos);
    for (const auto &m : info->methods) EXPECT_NE(out.find(m.declaration), std::string::npos);
    for (const auto &p : info->properties) EXPECT_NE(out.find(p.name), std::string::npos);
  }
  ASSERT_FALSE(rt.classes().empty());
  const std::string name = rt.classes().front()->name;
  const std::string one = RunInspect(name + " --host-version 2008.0", &code);
  EXPECT_EQ(code, 0) << one;
  EXPECT_EQ(one.rfind(name + "\n", 0), 0u) << one;
  EXPECT_NE(one.find("layout version  9"), std::string::npos) << one;
}

TEST(InspectTool, RejectsUnknownClassesAndBadArguments) {
  int code = -1;
  EXPECT_NE(RunInspect("NoSuchClassXNQ", &code).find("no class 'NoSuchClassXNQ'"),
            std::string::npos);
  EXPECT_EQ(code, 1);
  for (const char *bad : {"--host-version", "--host-version soon", "--frobnicate"}) {
    RunInspect(bad, &code);
    EXPECT_EQ(code, 2) << bad;
  }
}

}  // namespace
#endif
