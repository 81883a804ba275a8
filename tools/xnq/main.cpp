// xnq: the command-line host. Loads the plugin into the host runtime and uses its classes.
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "messages.h"
#include "platform/audio_devices.h"
#include "subcommand.h"
#include "xnq/host.h"

namespace xnq::tool {
namespace {
std::map<std::string, Subcommand> &registry() {
  static std::map<std::string, Subcommand> commands;
  return commands;
}

void printHelp(FILE *to) {
  std::fprintf(to, "usage: xnq COMMAND [ARGS...]\n       xnq --version\n\ncommands:\n");
  for (const auto &[name, command] : registry())
    std::fprintf(to, "  %-12s %s\n", name.c_str(), command.summary);
  std::fprintf(
      to,
      "\n`xnq COMMAND --help` describes a command.\n"
      "\nThe audio devices are the ones XNQ_AUDIO_DEVICES names, for example\n"
      "  XNQ_AUDIO_DEVICES='capture:path=/tmp/out.wav'   record what plays to a WAV file\n"
      "  XNQ_AUDIO_DEVICES='alsa:pcm=default'            the sound card\n"
      "(unset: the ALSA default device, else a null device); `xnq devices` lists them.\n"
      "Exit status: 0 done, 1 failed, 2 usage, 128+N stopped by signal N (130: Ctrl-C).\n");
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
    printHelp(argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : kExitDone;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("xnq %s (CoreAudioXNQ's command-line host; %s)\n", XNQ_TOOL_VERSION,
                sf_version_string());
    return kExitDone;
  }
  auto it = registry().find(argv[1]);
  if (it == registry().end()) {
    std::fprintf(stderr, "xnq: unknown command '%s'\n\n", argv[1]);
    printHelp(stderr);
    return kExitUsage;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  // `--help` anywhere asks for the command's help, as it does in other tools: a user who adds it
  // to the end of a command line that failed wants to know why, not to be told it takes a value.
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string &a) { return a == "--help" || a == "-h"; })) {
    std::printf("%s\n", it->second.usage);
    return kExitDone;
  }
  catchStopSignals();
  // A device list that cannot be used fails every command, before anything plays or is written.
  if (const char *error = xnq_hal_configuration_error(); *error != '\0') {
    std::fprintf(stderr, "xnq %s: %s\n", argv[1], error);
    return kExitFailed;
  }
  return it->second.run(args);
}
