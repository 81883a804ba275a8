// xnq watch: prints every Changed of one property, with the time and the new value, until
// interrupted. The property is watched with a CoreAudioListenerXNQ and read with CoreAudioXNQ.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "coreaudio_values.h"
#include "messages.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

const char kUsage[] =
    "usage: xnq watch [TARGET] [--scope CODE] [--element N] CODE\n"
    "\n"
    "TARGET (default --hardware):\n"
    "  --hardware          the audio hardware (the system object)\n"
    "  --device DEVICE     a device: its ID, default-output, default-input or system-output\n"
    "  --object ID         any audio object\n"
    "Prints a line for each change of the property until Ctrl-C.";

// Written by the SIGINT handler, read by the main loop.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) { gInterrupted.store(true); }

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis.count()));
  return text;
}

int RunWatch(const std::vector<std::string> &args) {
  PropertyTarget target;
  target.kind = PropertyTarget::Object;
  std::string deviceText, codeText;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--hardware") {
      target.id = 1;
    } else if (arg == "--device" && hasValue) {
      deviceText = args[++i];
    } else if ((arg == "--object" || arg == "--element") && hasValue) {
      const std::string value = args[++i];
      std::optional<uint32_t> number = ParseNumber(value);
      if (!number) {
        std::fprintf(stderr, "xnq watch: %s wants a number\n", arg.c_str());
        return 2;
      }
      (arg == "--object" ? target.id : target.element) = *number;
    } else if (arg == "--scope" && hasValue) {
      std::optional<uint32_t> scope = ParseCode(args[++i]);
      if (!scope) {
        std::fprintf(stderr, "xnq watch: bad scope\n");
        return 2;
      }
      target.scope = *scope;
    } else if (!arg.empty() && arg[0] != '-' && codeText.empty()) {
      codeText = arg;
    } else {
      std::fprintf(stderr, "xnq watch: unexpected '%s'\n%s\n", arg.c_str(), kUsage);
      return 2;
    }
  }
  std::optional<uint32_t> code = ParseCode(codeText);
  if (!code) {
    std::fprintf(stderr, "xnq watch: give a property code\n%s\n", kUsage);
    return 2;
  }
  if (!loadPlugin()) return 1;
  auto &runtime = host::Runtime::get();
  CoreAudioClient client;
  if (!client.create()) return 1;
  if (!deviceText.empty()) {
    std::string problem;
    std::optional<uint32_t> device = ResolveDevice(client, deviceText, false, &problem);
    if (!device) {
      Report("watch", "", problem);
      return kExitFailed;
    }
    target.id = *device;
  }

  int status = 0;
  {
    host::CallResult created =
        runtime.newObject("CoreAudioListenerXNQ",
                          {host::Value::uint32(target.id), host::Value::uint32(*code),
                           host::Value::uint32(target.scope), host::Value::uint32(target.element)});
    if (created.raised() || created.value.isNil()) {
      std::fprintf(stderr, "xnq watch: cannot create a CoreAudioListenerXNQ\n");
      return 1;
    }
    const host::Value listener = created.value;
    const int64_t error = runtime.get(listener, "LastError").value.asInteger();
    if (error != 0) {
      std::fprintf(stderr, "xnq watch: cannot listen to %s of object %u: %s\n",
                   CodeText(*code).c_str(), target.id, StatusWords(error).c_str());
      return 1;
    }
    runtime.setEventHandler(listener, "Changed", [&] {
      std::string text;
      ReadPropertyText(client, target, *code, &text);
      std::printf("%s %s = %s\n", Now().c_str(), CodeText(*code).c_str(), text.c_str());
      std::fflush(stdout);
    });
    std::string initial;
    if (ReadPropertyText(client, target, *code, &initial)) {
      std::printf("%s %s = %s (watching; Ctrl-C stops)\n", Now().c_str(), CodeText(*code).c_str(),
                  initial.c_str());
    } else {
      std::printf("watching %s of object %u (Ctrl-C stops)\n", CodeText(*code).c_str(), target.id);
    }
    std::fflush(stdout);

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);
    while (!gInterrupted.load()) {
      runtime.runUntil([] { return gInterrupted.load(); }, 200);
    }
    sigaction(SIGINT, &previous, nullptr);
    std::printf("\nstopped\n");
  }  // the listener's last reference goes here: its Destructor removes the listener
  return status;
}

const Registrar registrar({"watch", "print each change of an audio property until interrupted",
                           kUsage, RunWatch});

}  // namespace
}  // namespace xnq::tool
