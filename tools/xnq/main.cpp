// xnq: the command-line host. Loads the plugin into the host runtime and uses its classes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "subcommand.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {
std::map<std::string, Subcommand> &registry() {
  static std::map<std::string, Subcommand> commands;
  return commands;
}

void printHelp() {
  std::printf("usage: xnq COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto &[name, command] : registry())
    std::printf("  %-10s %s\n", name.c_str(), command.summary);
  std::printf("\n`xnq COMMAND --help` describes a command.\n");
}
}  // namespace

void registerSubcommand(const Subcommand &command) { registry()[command.name] = command; }

bool loadPlugin() {
  const char *path = std::getenv("XNQ_PLUGIN");
  if (path == nullptr || *path == '\0') path = XNQ_PLUGIN_PATH;
  auto &runtime = host::Runtime::get();
  if (!runtime.load(path)) {
    std::fprintf(stderr, "xnq: cannot load the plugin %s: %s\n", path, runtime.error().c_str());
    return false;
  }
  return true;
}

}  // namespace xnq::tool

int main(int argc, char **argv) {
  using namespace xnq::tool;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    printHelp();
    return argc < 2 ? 2 : 0;
  }
  auto it = registry().find(argv[1]);
  if (it == registry().end()) {
    std::fprintf(stderr, "xnq: unknown command '%s'\n", argv[1]);
    printHelp();
    return 2;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", it->second.usage);
    return 0;
  }
  return it->second.run(args);
}
