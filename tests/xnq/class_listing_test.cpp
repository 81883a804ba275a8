// xnq inspect: the classes the plugin registers, with their members, as a host loads them.
#include <gtest/gtest.h>

#include "xnq/host.h"
#include "xnq_runner.h"

namespace xnq_test {
namespace {

// What xnq inspect prints for args (standard output, then standard error), expecting status.
std::string Inspect(std::vector<std::string> args, int status) {
  const std::string out = ScratchPath("inspect.txt");
  std::string said;
  args.insert(args.begin(), "inspect");
  EXPECT_EQ(RunXnq({args, "none", false, "", out}, &said), status) << said;
  return audio_test::FileBytes(out) + said;
}

// Every class the plugin registers in this process is listed with its members; one class can be
// shown under another host version.
TEST(InspectTool, PrintsTheRegisteredClassesWithTheirMembers) {
  auto &rt = xnq::host::Runtime::get();
  ASSERT_TRUE(rt.load(XNQ_PLUGIN_PATH)) << rt.error();
  const std::string out = Inspect({}, 0);
  EXPECT_NE(out.find("class-definition version 13"), std::string::npos) << out;
  for (const auto *info : rt.classes()) {
    EXPECT_NE(out.find("\n" + info->name + "\n"), std::string::npos) << info->name;
    EXPECT_NE(out.find(std::to_string(info->dataSize) + " bytes at offset"), std::string::npos);
    for (const auto &m : info->methods) EXPECT_NE(out.find(m.declaration), std::string::npos);
    for (const auto &p : info->properties) EXPECT_NE(out.find(p.name), std::string::npos);
  }
  ASSERT_FALSE(rt.classes().empty());
  const std::string name = rt.classes().front()->name;
  const std::string one = Inspect({name, "--host-version", "2008.0"}, 0);
  EXPECT_EQ(one.rfind(name + "\n", 0), 0u) << one;
  EXPECT_NE(one.find("layout version  9"), std::string::npos) << one;
}

TEST(InspectTool, RejectsUnknownClassesAndBadArguments) {
  EXPECT_NE(Inspect({"NoSuchClassXNQ"}, 1).find("no class 'NoSuchClassXNQ'"), std::string::npos);
  for (const auto &bad : std::vector<std::vector<std::string>>{
           {"--host-version"}, {"--host-version", "soon"}, {"--frobnicate"}})
    Inspect(bad, 2);
}

}  // namespace
}  // namespace xnq_test
