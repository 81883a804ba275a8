// What the devices, prop and watch commands share: a CoreAudioXNQ object driven through the
// host by member name, four-character codes as text, and property values decoded for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "xnq/host.h"

namespace xnq::tool {

// A CoreAudioXNQ object of the plugin, called by name as a host program calls it.
class CoreAudioClient {
 public:
  // Creates the object; prints why not and returns false when it can't.
  bool create();
  // Calls a method; prints a raised exception and returns nil then.
  host::Value call(const std::string &method, std::vector<host::Value> args);
  host::Value get(const std::string &property);
  // The status the last call left.
  int64_t lastError();
  const host::Value &object() const { return object_; }

  // Helpers over the members above.
  host::Value text(const std::string &s);
  std::optional<uint32_t> hardwareUInt32(const std::string &code);
  // A device's property as a block (nil when it fails).
  host::Value deviceBlock(uint32_t device, bool input, const std::string &code);
  std::string deviceCFString(uint32_t device, bool input, const std::string &code);
  // False once the device has gone away (unplugged): its alive property reads 0, or the device is
  // no longer known.
  bool deviceAlive(uint32_t device);
  // The IDs of every device (empty when there are none or the call fails).
  std::vector<uint32_t> deviceIds();

 private:
  host::Value object_;
};

// How a property's bytes read.
enum class ValueKind {
  UInt32,
  Float64,
  Float32,
  CString,
  CFString,
  IDList,
  Format,
  Ranges,
  Unknown
};

// The kind of a property by its code, as far as this tool knows it.
ValueKind KindOfProperty(uint32_t code);
// The bytes of a property of that kind as text; hex when they don't fit the kind.
std::string DescribeBytes(ValueKind kind, const uint8_t *bytes, size_t size);
std::string HexBytes(const uint8_t *bytes, size_t size);

// "abcd" -> its code; "0x..." or a decimal number -> that number; a shorter text -> its code
// padded with blanks. Nullopt when none of these.
std::optional<uint32_t> ParseCode(const std::string &text);
// A decimal or 0x number that fits 32 bits.
std::optional<uint32_t> ParseNumber(const std::string &text);
// A code as 'abcd' when its bytes are printable, else as a decimal number.
std::string CodeText(uint32_t code);
// A status for people: 0 is "ok", four printable characters are quoted, others decimal.
std::string StatusText(int64_t status);
// A device given as its ID, its UID, its name, "default-output", "default-input" or
// "system-output". An ID must name a device that exists when mustExist is set (otherwise it is
// passed on, so that the call shows what the system says). Nullopt with the problem in words.
std::optional<uint32_t> ResolveDevice(CoreAudioClient &client, const std::string &text,
                                      bool mustExist, std::string *problem);

// Which object a property belongs to and how it is addressed.
struct PropertyTarget {
  enum Kind { Hardware, Device, Stream, Object } kind = Hardware;
  uint32_t id = 1;              // device, stream or object ID (the system object is 1)
  bool input = false;           // device side
  uint32_t channel = 0;         // device and stream calls
  uint32_t scope = 0x676C6F62;  // 'glob', object calls
  uint32_t element = 0;         // object calls
};

// Reads a property through CoreAudioXNQ and describes its value: decoded when the code's type is
// known, hex otherwise. False (with the status in *text) when the read fails.
bool ReadPropertyText(CoreAudioClient &client, const PropertyTarget &target, uint32_t code,
                      std::string *text);

}  // namespace xnq::tool
