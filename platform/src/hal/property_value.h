// A property's value on its way out to a caller's buffer, and the request that produced it.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "os/audio_hardware.h"

namespace xnq::hal {

// Status codes of the property interface, used the same way by every object:
//   unknown object          '!obj' (device calls '!dev', stream calls '!str')
//   unknown property        'who?'  (also: an element or side the object doesn't have)
//   wrong data size         '!siz'  (a set's size must be exact; a get's buffer must hold the
//                                    value, or for lists at least one whole element)
//   property not settable   'nope'
//   value not acceptable    '!dat'  (a rate not available, a format not supported, a frame
//                                    size out of range, a default device without that side)

// One property read: the address, the qualifier, and for translation properties the input that
// the caller placed in the buffer (input == null: only the size is wanted).
struct PropertyRead {
  AudioObjectPropertyAddress address;
  UInt32 qualifierSize = 0;
  const void *qualifier = nullptr;
  UInt32 inputSize = 0;
  const void *input = nullptr;
  bool sizeOnly() const { return input == nullptr; }
};

class PropertyValue {
 public:
  enum class Kind { Fixed, Array, CString, CFString };

  template <class T>
  static PropertyValue of(const T &value) {
    PropertyValue v;
    v.bytes_.resize(sizeof(T));
    std::memcpy(v.bytes_.data(), &value, sizeof(T));
    return v;
  }
  template <class T>
  static PropertyValue array(const std::vector<T> &values) {
    PropertyValue v;
    v.kind_ = Kind::Array;
    v.elementSize_ = sizeof(T);
    v.bytes_.resize(values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(v.bytes_.data(), values.data(), v.bytes_.size());
    return v;
  }
  static PropertyValue raw(std::vector<UInt8> bytes) {
    PropertyValue v;
    v.bytes_ = std::move(bytes);
    return v;
  }
  static PropertyValue cString(std::string text) {
    PropertyValue v;
    v.kind_ = Kind::CString;
    v.text_ = std::move(text);
    return v;
  }
  // A CFString made only when the value is copied out: the caller releases it.
  static PropertyValue cfString(std::string text) {
    PropertyValue v;
    v.kind_ = Kind::CFString;
    v.text_ = std::move(text);
    return v;
  }

  Kind kind() const { return kind_; }
  UInt32 size() const;
  // Copies the value into out (*ioSize bytes available) and sets *ioSize to the bytes written.
  OSStatus copyOut(UInt32 *ioSize, void *out) const;

 private:
  Kind kind_ = Kind::Fixed;
  std::vector<UInt8> bytes_;
  UInt32 elementSize_ = 1;
  std::string text_;
};

// Reads a set's data as T when the size is exactly right.
template <class T>
OSStatus readSetData(UInt32 size, const void *data, T *value) {
  // No data at all is an illegal request; data of the wrong size is a size error.
  if (data == nullptr) return kAudioHardwareIllegalOperationError;
  if (size != sizeof(T)) return kAudioHardwareBadPropertySizeError;
  std::memcpy(value, data, sizeof(T));
  return kAudioHardwareNoError;
}

// Reads a translation property's input of type T from the caller's buffer.
template <class T>
OSStatus readInput(const PropertyRead &read, T *value) {
  if (read.inputSize < sizeof(T)) return kAudioHardwareBadPropertySizeError;
  std::memcpy(value, read.input, sizeof(T));
  return kAudioHardwareNoError;
}

}  // namespace xnq::hal
