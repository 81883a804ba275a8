#include "hal/property_value.h"

#include <algorithm>

#include "os/cf.h"

namespace xnq::hal {

UInt32 PropertyValue::size() const {
  switch (kind_) {
    case Kind::CString:
      return UInt32(text_.size() + 1);
    case Kind::CFString:
      return sizeof(CFStringRef);
    default:
      return UInt32(bytes_.size());
  }
}

OSStatus PropertyValue::copyOut(UInt32 *ioSize, void *out) const {
  if (!ioSize) return kAudioHardwareIllegalOperationError;
  UInt32 room = out ? *ioSize : 0;
  switch (kind_) {
    case Kind::CString: {
      // A name that doesn't fit is cut short, always with its terminating zero.
      if (room == 0) return kAudioHardwareBadPropertySizeError;
      UInt32 n = std::min<UInt32>(room - 1, UInt32(text_.size()));
      std::memcpy(out, text_.data(), n);
      static_cast<char *>(out)[n] = '\0';
      *ioSize = n + 1;
      return kAudioHardwareNoError;
    }
    case Kind::CFString: {
      if (room < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
      CFStringRef s =
          CFStringCreateWithCString(kCFAllocatorDefault, text_.c_str(), kCFStringEncodingUTF8);
      if (!s) return kAudioHardwareUnspecifiedError;
      std::memcpy(out, &s, sizeof(s));
      *ioSize = sizeof(CFStringRef);
      return kAudioHardwareNoError;
    }
    case Kind::Array: {
      // Lists give as many whole elements as fit; an empty list fits any buffer.
      UInt32 n = std::min<UInt32>(room / elementSize_ * elementSize_, UInt32(bytes_.size()));
      if (n == 0 && !bytes_.empty()) return kAudioHardwareBadPropertySizeError;
      if (n) std::memcpy(out, bytes_.data(), n);
      *ioSize = n;
      return kAudioHardwareNoError;
    }
    case Kind::Fixed:
      break;
  }
  if (room < bytes_.size()) return kAudioHardwareBadPropertySizeError;
  if (!bytes_.empty()) std::memcpy(out, bytes_.data(), bytes_.size());
  *ioSize = UInt32(bytes_.size());
  return kAudioHardwareNoError;
}

}  // namespace xnq::hal
