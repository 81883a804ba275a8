// xnq prop: reads or writes one property of the hardware, a device, a stream or an audio object
// by its four-character code, through CoreAudioXNQ.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "coreaudio_values.h"
#include "messages.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

const char kUsage[] =
    "usage: xnq prop [TARGET] [OPTIONS] CODE [--set VALUE | --set-hex BYTES]\n"
    "\n"
    "TARGET (default --hardware):\n"
    "  --hardware          a property of the audio hardware (the system object)\n"
    "  --device DEVICE     a device: its ID, default-output, default-input or system-output\n"
    "  --stream ID         a stream\n"
    "  --object ID         any audio object, addressed by selector, scope and element\n"
    "OPTIONS:\n"
    "  --input             the device's input side (device calls)\n"
    "  --channel N         the channel (device and stream calls; default 0)\n"
    "  --scope CODE        the scope (object calls; default glob)\n"
    "  --element N         the element (object calls; default 0)\n"
    "CODE is four characters ('nsrt', 'dOut', 'uid ') or a number. Values of known types are\n"
    "printed decoded, others as hex. --set takes a number or text for properties of a known\n"
    "type; --set-hex takes the raw bytes (\"00 00 2c 47\").";

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// The bytes of a value typed on the command line, by the property's kind.
bool EncodeValue(ValueKind kind, const std::string &text, std::vector<uint8_t> *bytes) {
  char *end = nullptr;
  switch (kind) {
    case ValueKind::UInt32: {
      std::optional<uint32_t> value = ParseCode(text);
      if (!value) return false;
      bytes->resize(4);
      std::memcpy(bytes->data(), &*value, 4);
      return true;
    }
    case ValueKind::Float64: {
      double value = std::strtod(text.c_str(), &end);
      if (*end != '\0') return false;
      bytes->resize(8);
      std::memcpy(bytes->data(), &value, 8);
      return true;
    }
    case ValueKind::Float32: {
      float value = std::strtof(text.c_str(), &end);
      if (*end != '\0') return false;
      bytes->resize(4);
      std::memcpy(bytes->data(), &value, 4);
      return true;
    }
    case ValueKind::CString:
      bytes->assign(text.begin(), text.end());
      bytes->push_back(0);
      return true;
    default:
      return false;
  }
}

int64_t WriteProperty(CoreAudioClient &client, const PropertyTarget &target, uint32_t code,
                      const std::vector<uint8_t> &bytes) {
  auto &runtime = host::Runtime::get();
  host::Value block = runtime.newMemoryBlock(bytes.data(), static_cast<int64_t>(bytes.size()));
  const host::Value offset = host::Value::integer(0);
  const host::Value length = host::Value::integer(static_cast<int64_t>(bytes.size()));
  const host::Value codeString =
      client.text({char(code >> 24), char(code >> 16), char(code >> 8), char(code)});
  switch (target.kind) {
    case PropertyTarget::Hardware:
      client.call("AudioHardwareSetPropertyMemory", {codeString, block, offset, length});
      break;
    case PropertyTarget::Device:
      client.call(
          "AudioDeviceSetPropertyMemory",
          {host::Value::integer(target.id), host::Value(), host::Value::integer(target.channel),
           host::Value::boolean(target.input), codeString, block, offset, length});
      break;
    case PropertyTarget::Stream:
      client.call("AudioStreamSetPropertyMemory",
                  {host::Value::integer(target.id), host::Value(),
                   host::Value::integer(target.channel), codeString, block, offset, length});
      break;
    case PropertyTarget::Object:
      client.call("AudioObjectSetPropertyData",
                  {host::Value::integer(target.id), host::Value::uint32(code),
                   host::Value::uint32(target.scope), host::Value::uint32(target.element), block});
      break;
  }
  return client.lastError();
}

int RunProp(const std::vector<std::string> &args) {
  PropertyTarget target;
  std::string deviceText, codeText, setText, setHex;
  bool set = false, setRaw = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto next = [&](std::string *out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string value;
    if (arg == "--hardware") {
      target.kind = PropertyTarget::Hardware;
    } else if (arg == "--device" && next(&deviceText)) {
      target.kind = PropertyTarget::Device;
    } else if ((arg == "--stream" || arg == "--object") && next(&value)) {
      target.kind = arg == "--stream" ? PropertyTarget::Stream : PropertyTarget::Object;
      std::optional<uint32_t> id = ParseNumber(value);
      if (!id) {
        std::fprintf(stderr, "xnq prop: %s wants a number\n", arg.c_str());
        return 2;
      }
      target.id = *id;
    } else if (arg == "--input") {
      target.input = true;
    } else if ((arg == "--channel" || arg == "--element") && next(&value)) {
      std::optional<uint32_t> number = ParseNumber(value);
      if (!number) {
        std::fprintf(stderr, "xnq prop: %s wants a number\n", arg.c_str());
        return 2;
      }
      (arg == "--channel" ? target.channel : target.element) = *number;
    } else if (arg == "--scope" && next(&value)) {
      std::optional<uint32_t> scope = ParseCode(value);
      if (!scope) {
        std::fprintf(stderr, "xnq prop: bad scope '%s'\n", value.c_str());
        return 2;
      }
      target.scope = *scope;
    } else if (arg == "--set" && next(&setText)) {
      set = true;
    } else if (arg == "--set-hex" && next(&setHex)) {
      set = setRaw = true;
    } else if (!arg.empty() && arg[0] != '-' && codeText.empty()) {
      codeText = arg;
    } else {
      std::fprintf(stderr, "xnq prop: unexpected '%s'\n%s\n", arg.c_str(), kUsage);
      return 2;
    }
  }
  std::optional<uint32_t> code = ParseCode(codeText);
  if (!code) {
    std::fprintf(stderr, "xnq prop: give a property code\n%s\n", kUsage);
    return 2;
  }
  if (!loadPlugin()) return 1;
  CoreAudioClient client;
  if (!client.create()) return 1;
  if (target.kind == PropertyTarget::Device) {
    std::string problem;
    std::optional<uint32_t> device = ResolveDevice(client, deviceText, false, &problem);
    if (!device) {
      Report("prop", "", problem);
      return kExitFailed;
    }
    target.id = *device;
  }

  if (set) {
    std::vector<uint8_t> bytes;
    const bool encoded =
        setRaw ? ParseHex(setHex, &bytes) : EncodeValue(KindOfProperty(*code), setText, &bytes);
    if (!encoded) {
      std::fprintf(stderr, "xnq prop: cannot encode the value for %s; use --set-hex\n",
                   CodeText(*code).c_str());
      return 2;
    }
    const int64_t status = WriteProperty(client, target, *code, bytes);
    if (status != 0) {
      std::fprintf(stderr, "xnq prop: writing %s failed: %s\n", CodeText(*code).c_str(),
                   StatusWords(status).c_str());
      return 1;
    }
  }
  std::string text;
  if (!ReadPropertyText(client, target, *code, &text)) {
    std::fprintf(stderr, "xnq prop: reading %s failed: %s\n", CodeText(*code).c_str(),
                 text.c_str());
    return 1;
  }
  std::printf("%s = %s\n", CodeText(*code).c_str(), text.c_str());
  return 0;
}

const Registrar registrar({"prop", "read or write one audio property by its code", kUsage,
                           RunProp});

}  // namespace
}  // namespace xnq::tool
