#include "coreaudio_values.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"

namespace xnq::tool {

bool CoreAudioClient::create() {
  host::CallResult created = host::Runtime::get().newObject("CoreAudioXNQ");
  if (created.raised() || created.value.isNil()) {
    std::fprintf(stderr, "xnq: cannot create a CoreAudioXNQ object\n");
    return false;
  }
  object_ = created.value;
  return true;
}

host::Value CoreAudioClient::call(const std::string &method, std::vector<host::Value> args) {
  host::CallResult result = host::Runtime::get().call(object_, method, args);
  if (result.raised()) {
    std::fprintf(stderr, "xnq: %s raised %s: %s\n", method.c_str(),
                 result.exception->className.c_str(), result.exception->message.c_str());
    return {};
  }
  return result.value;
}

host::Value CoreAudioClient::get(const std::string &property) {
  return host::Runtime::get().get(object_, property).value;
}

int64_t CoreAudioClient::lastError() { return get("Lasterror").asInteger(); }

host::Value CoreAudioClient::text(const std::string &s) {
  return host::Runtime::get().newString(s, host::kUTF8);
}

std::optional<uint32_t> CoreAudioClient::hardwareUInt32(const std::string &code) {
  host::Value block = call("AudioHardwareGetPropertyMemory", {text(code)});
  if (block.isNil() || block.size() != 4) return std::nullopt;
  uint32_t value = 0;
  std::memcpy(&value, block.data(), 4);
  return value;
}

host::Value CoreAudioClient::deviceBlock(uint32_t device, bool input, const std::string &code) {
  return call("AudioDeviceGetPropertyMemory",
              {host::Value::integer(device), host::Value::integer(0), host::Value::boolean(input),
               text(code)});
}

bool CoreAudioClient::deviceAlive(uint32_t device) {
  const host::Value alive = deviceBlock(device, false, "livn");
  uint32_t isAlive = 0;
  if (!alive.isNil() && alive.size() == 4) std::memcpy(&isAlive, alive.data(), 4);
  return isAlive != 0;
}

std::string CoreAudioClient::deviceCFString(uint32_t device, bool input, const std::string &code) {
  host::Value value =
      call("AudioDeviceGetPropertyCFString", {host::Value::integer(device), host::Value::integer(0),
                                              host::Value::boolean(input), text(code)});
  return value.isNil() ? std::string() : value.utf8();
}

namespace {
constexpr uint32_t Code(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 |
         uint32_t(uint8_t(c[2])) << 8 | uint32_t(uint8_t(c[3]));
}

template <typename T>
T Read(const uint8_t *bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::string Printf(const char *format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}
}  // namespace

ValueKind KindOfProperty(uint32_t code) {
  switch (code) {
    case Code("lnam"):
    case Code("lmak"):
    case Code("uid "):
    case Code("muid"):
      return ValueKind::CFString;
    case Code("name"):
    case Code("makr"):
      return ValueKind::CString;
    case Code("nsrt"):
    case Code("asrt"):
      return ValueKind::Float64;
    case Code("volm"):
    case Code("vold"):
    case Code("svlm"):
    case Code("svld"):
      return ValueKind::Float32;
    case Code("dev#"):
    case Code("stm#"):
    case Code("ownd"):
      return ValueKind::IDList;
    case Code("sfmt"):
    case Code("pft "):
      return ValueKind::Format;
    case Code("nsr#"):
    case Code("fsz#"):
    case Code("bsz#"):
    case Code("vdb#"):
      return ValueKind::Ranges;
    case Code("dIn "):
    case Code("dOut"):
    case Code("sOut"):
    case Code("fsiz"):
    case Code("bsiz"):
    case Code("ltnc"):
    case Code("saft"):
    case Code("livn"):
    case Code("goin"):
    case Code("gone"):
    case Code("dflt"):
    case Code("sflt"):
    case Code("mute"):
    case Code("tran"):
    case Code("sdir"):
    case Code("term"):
    case Code("schn"):
    case Code("stdv"):
    case Code("clas"):
    case Code("oink"):
    case Code("ssrc"):
    case Code("csrc"):
    case Code("jack"):
    case Code("mix?"):
      return ValueKind::UInt32;
    default:
      return ValueKind::Unknown;
  }
}

std::string HexBytes(const uint8_t *bytes, size_t size) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += pair;
  }
  return text.empty() ? "(no bytes)" : text;
}

std::string DescribeBytes(ValueKind kind, const uint8_t *bytes, size_t size) {
  switch (kind) {
    case ValueKind::UInt32:
      if (size != 4) break;
      {
        // Codes such as a transport type read better as their characters.
        const uint32_t value = Read<uint32_t>(bytes);
        const std::string code = CodeText(value);
        return std::to_string(value) + (code[0] == '\'' ? " (" + code + ")" : "");
      }
    case ValueKind::Float64:
      if (size != 8) break;
      return Printf("%g", Read<double>(bytes));
    case ValueKind::Float32:
      if (size != 4) break;
      return Printf("%g", Read<float>(bytes));
    case ValueKind::CString: {
      size_t length = strnlen(reinterpret_cast<const char *>(bytes), size);
      return "\"" + std::string(reinterpret_cast<const char *>(bytes), length) + "\"";
    }
    case ValueKind::IDList: {
      if (size % 4 != 0) break;
      std::string text = "[";
      for (size_t i = 0; i < size; i += 4) {
        text += (i ? ", " : "") + std::to_string(Read<uint32_t>(bytes + i));
      }
      return text + "]";
    }
    case ValueKind::Format: {
      if (size != 40) break;
      const double rate = Read<double>(bytes);
      const uint32_t format = Read<uint32_t>(bytes + 8), flags = Read<uint32_t>(bytes + 12),
                     channels = Read<uint32_t>(bytes + 28), bits = Read<uint32_t>(bytes + 32);
      char flagText[16];
      std::snprintf(flagText, sizeof flagText, "0x%" PRIx32, flags);
      return Printf("%g Hz", rate) + ", " + CodeText(format) + ", flags " + flagText + ", " +
             std::to_string(channels) + " ch, " + std::to_string(bits) + " bits";
    }
    case ValueKind::Ranges: {
      if (size % 16 != 0) break;
      std::string text;
      for (size_t i = 0; i < size; i += 16) {
        text += (i ? ", " : "") + Printf("%g", Read<double>(bytes + i)) + "..." +
                Printf("%g", Read<double>(bytes + i + 8));
      }
      return text;
    }
    case ValueKind::CFString:
    case ValueKind::Unknown:
      break;
  }
  return HexBytes(bytes, size);
}

std::optional<uint32_t> ParseCode(const std::string &text) {
  if (text.size() == 4) return Code({text[0], text[1], text[2], text[3], 0});
  if (text.empty()) return std::nullopt;
  char *end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (end != nullptr && *end == '\0' && value <= 0xFFFFFFFFull) return static_cast<uint32_t>(value);
  // A shorter code is padded with blanks, as the plugin pads codes ("uid" is 'uid ').
  if (text.size() > 4) return std::nullopt;
  const std::string padded = text + std::string(4 - text.size(), ' ');
  return Code({padded[0], padded[1], padded[2], padded[3], 0});
}

std::optional<uint32_t> ParseNumber(const std::string &text) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char *end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string CodeText(uint32_t code) {
  char c[4] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
  for (char ch : c) {
    if (!std::isprint(static_cast<unsigned char>(ch))) return std::to_string(code);
  }
  return "'" + std::string(c, 4) + "'";
}

std::string StatusText(int64_t status) {
  if (status == 0) return "ok";
  if (status == -1) return "-1 (no call completed)";
  const std::string code = CodeText(static_cast<uint32_t>(status));
  return code[0] == '\'' ? code : std::to_string(status);
}

std::vector<uint32_t> CoreAudioClient::deviceIds() {
  host::Value list = call("AudioHardwareGetPropertyMemory", {text("dev#")});
  std::vector<uint32_t> ids(list.isNil() ? 0 : static_cast<size_t>(list.size()) / 4);
  if (!ids.empty()) std::memcpy(ids.data(), list.data(), ids.size() * 4);
  return ids;
}

std::optional<uint32_t> ResolveDevice(CoreAudioClient &client, const std::string &text,
                                      bool mustExist, std::string *problem) {
  const struct {
    const char *name, *code;
  } defaults[] = {{"default-output", "dOut"}, {"default-input", "dIn "}, {"system-output", "sOut"}};
  for (const auto &d : defaults) {
    if (text != d.name) continue;
    std::optional<uint32_t> id = client.hardwareUInt32(d.code);
    if (!id || *id == 0) {
      *problem = std::string("there is no ") + d.name + " device (xnq devices lists them)";
      return std::nullopt;
    }
    return id;
  }
  const std::vector<uint32_t> ids = client.deviceIds();
  if (std::optional<uint32_t> number = ParseNumber(text)) {
    if (!mustExist || std::find(ids.begin(), ids.end(), *number) != ids.end()) return number;
  } else {
    // Not a number: a UID first (they are unique), then a name.
    for (const char *code : {"uid ", "lnam"}) {
      for (uint32_t id : ids) {
        for (bool input : {false, true}) {
          if (client.deviceCFString(id, input, code) == text) return id;
        }
      }
    }
  }
  *problem =
      "device not found: no device has the ID, UID or name '" + text + "' (xnq devices lists them)";
  return std::nullopt;
}

}  // namespace xnq::tool

namespace xnq::tool {
namespace {
// The code as the 4-character host string the device, stream and hardware methods take.
std::string CodeString(uint32_t code) {
  return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

host::Value ReadCFString(CoreAudioClient &client, const PropertyTarget &target,
                         const host::Value &code) {
  switch (target.kind) {
    case PropertyTarget::Hardware:
      return client.call("AudioHardwareGetPropertyCFString", {code});
    case PropertyTarget::Device:
      return client.call("AudioDeviceGetPropertyCFString",
                         {host::Value::integer(target.id), host::Value::integer(target.channel),
                          host::Value::boolean(target.input), code});
    case PropertyTarget::Stream:
      return client.call(
          "AudioStreamGetPropertyCFString",
          {host::Value::integer(target.id), host::Value::integer(target.channel), code});
    case PropertyTarget::Object:
      break;
  }
  // An object: the system object's properties are the hardware's; other objects are tried as a
  // device (on the side the scope names), then as a stream.
  if (target.id == 1) return client.call("AudioHardwareGetPropertyCFString", {code});
  const bool input = target.scope == 0x696E7074;  // 'inpt'
  host::Value value = client.call("AudioDeviceGetPropertyCFString",
                                  {host::Value::integer(target.id), host::Value::integer(0),
                                   host::Value::boolean(input), code});
  if (client.lastError() == 0) return value;
  return client.call("AudioStreamGetPropertyCFString",
                     {host::Value::integer(target.id), host::Value::integer(0), code});
}

host::Value ReadBlock(CoreAudioClient &client, const PropertyTarget &target, uint32_t selector,
                      const host::Value &code) {
  switch (target.kind) {
    case PropertyTarget::Hardware:
      return client.call("AudioHardwareGetPropertyMemory", {code});
    case PropertyTarget::Device:
      return client.call("AudioDeviceGetPropertyMemory",
                         {host::Value::integer(target.id), host::Value::integer(target.channel),
                          host::Value::boolean(target.input), code});
    case PropertyTarget::Stream:
      return client.call(
          "AudioStreamGetPropertyMemory",
          {host::Value::integer(target.id), host::Value::integer(target.channel), code});
    case PropertyTarget::Object:
      break;
  }
  return client.call("AudioObjectGetPropertyData",
                     {host::Value::integer(target.id), host::Value::uint32(selector),
                      host::Value::uint32(target.scope), host::Value::uint32(target.element)});
}
}  // namespace

bool ReadPropertyText(CoreAudioClient &client, const PropertyTarget &target, uint32_t code,
                      std::string *text) {
  const host::Value codeString = client.text(CodeString(code));
  const ValueKind kind = KindOfProperty(code);
  if (kind == ValueKind::CFString) {
    host::Value value = ReadCFString(client, target, codeString);
    if (client.lastError() != 0) {
      *text = StatusWords(client.lastError());
      return false;
    }
    *text = "\"" + (value.isNil() ? std::string() : value.utf8()) + "\"";
    return true;
  }
  host::Value block = ReadBlock(client, target, code, codeString);
  if (block.isNil()) {
    const int64_t status = client.lastError();
    if (status == 0) {
      *text = "(no bytes)";
      return true;
    }
    *text = StatusWords(status);
    return false;
  }
  *text = DescribeBytes(kind, block.data(), static_cast<size_t>(block.size()));
  return true;
}

}  // namespace xnq::tool
