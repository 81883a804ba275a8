// xnq devices: a table of the output and input devices, read through CoreAudioXNQ.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "coreaudio_values.h"
#include "messages.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

struct DeviceSide {
  uint32_t device = 0;
  bool input = false;
  uint32_t channels = 0;
  double rate = 0;
  uint32_t bufferFrames = 0;
};

// The side's channel count from its stream format; 0 when the device has no such side.
uint32_t SideChannels(CoreAudioClient &client, uint32_t device, bool input) {
  host::Value format = client.deviceBlock(device, input, "sfmt");
  if (format.isNil() || format.size() != 40) return 0;
  uint32_t channels = 0;
  std::memcpy(&channels, format.data() + 28, 4);
  return channels;
}

std::string Clip(std::string text, size_t width) {
  if (text.size() > width) text = text.substr(0, width - 1) + "~";
  return text;
}

int RunDevices(const std::vector<std::string> &args) {
  if (!args.empty()) {
    std::fprintf(stderr, "xnq devices: takes no arguments\n");
    return 2;
  }
  if (!loadPlugin()) return 1;
  CoreAudioClient client;
  if (!client.create()) return 1;

  host::Value list = client.call("AudioHardwareGetPropertyMemory", {client.text("dev#")});
  if (list.isNil()) {
    if (client.lastError() == 0 || client.lastError() == -1) {
      std::printf("no audio devices\n");
      return 0;
    }
    std::fprintf(stderr, "xnq devices: cannot list the devices: %s\n",
                 StatusWords(client.lastError()).c_str());
    return 1;
  }
  std::vector<uint32_t> ids(static_cast<size_t>(list.size()) / 4);
  std::memcpy(ids.data(), list.data(), ids.size() * 4);
  const uint32_t defaultOutput = client.hardwareUInt32("dOut").value_or(0);
  const uint32_t defaultInput = client.hardwareUInt32("dIn ").value_or(0);
  const uint32_t systemOutput = client.hardwareUInt32("sOut").value_or(0);

  std::printf("%-5s %-4s %-14s %-24s %-16s %-24s %8s %3s %6s\n", "ID", "SIDE", "DEFAULT", "NAME",
              "MANUFACTURER", "UID", "RATE", "CH", "BUFFER");
  for (bool input : {false, true}) {
    for (uint32_t id : ids) {
      const uint32_t channels = SideChannels(client, id, input);
      if (channels == 0) continue;
      double rate = 0;
      host::Value rateBlock = client.deviceBlock(id, input, "nsrt");
      if (rateBlock.size() == 8) std::memcpy(&rate, rateBlock.data(), 8);
      uint32_t frames = 0;
      host::Value framesBlock = client.deviceBlock(id, input, "fsiz");
      if (framesBlock.size() == 4) std::memcpy(&frames, framesBlock.data(), 4);
      std::string marks;
      if (!input && id == defaultOutput) marks += "default";
      if (!input && id == systemOutput) marks += marks.empty() ? "system" : ",system";
      if (input && id == defaultInput) marks += "default";
      std::printf("%-5u %-4s %-14s %-24s %-16s %-24s %8.0f %3u %6u\n", id, input ? "in" : "out",
                  marks.c_str(), Clip(client.deviceCFString(id, input, "lnam"), 24).c_str(),
                  Clip(client.deviceCFString(id, input, "lmak"), 16).c_str(),
                  Clip(client.deviceCFString(id, input, "uid "), 24).c_str(), rate, channels,
                  frames);
    }
  }
  return 0;
}

const Registrar registrar({"devices", "list the output and input audio devices",
                           "usage: xnq devices\n\n"
                           "Prints one row per device side (output, then input): ID, default "
                           "marks, name,\nmanufacturer, UID, nominal sample rate, channels and "
                           "buffer size in frames.",
                           RunDevices});

}  // namespace
}  // namespace xnq::tool
