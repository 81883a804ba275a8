// CoreAudioXNQ: the property-code constants and the shared host-time methods. Constants are
// computed on every read: each read of a code builds a new four-character ASCII host string.
#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyCodeConstants.h"
#include "frame/frame.h"
#include "os/audio_hardware.h"

namespace {
REALstring CodeString(const char (&code)[5]) {
  return REALBuildUnicodeString(code, 4, kTextEncodingASCII);
}
}  // namespace

#define XNQ_DEFINE_CODE_GETTER(name, code) \
  REALstring Get##name(REALobject, RBInteger) { return CodeString(code); }
XNQ_PROPERTY_CODE_CONSTANTS(XNQ_DEFINE_CODE_GETTER)
#undef XNQ_DEFINE_CODE_GETTER

// 0xFF, the framework's wildcard section.
RBInteger GetkAudioPropertyWildcardSection(REALobject, RBInteger) { return 255; }
// 0xFFFFFFFF as the host reads it: -1.
RBInteger GetkAudioPropertyWildcardChannel(REALobject, RBInteger) { return -1; }

double CoreAudioGetHostClockFrequency() { return AudioGetHostClockFrequency(); }
RBInteger GetHostClockMinimumTimeDelta() {
  return static_cast<RBInteger>(AudioGetHostClockMinimumTimeDelta());
}
uint64_t CoreAudioGetCurrentHostTimeUINT64() { return AudioGetCurrentHostTime(); }
uint64_t CoreAudioConvertHostTimeToNanosUINT64(uint64_t hostTime) {
  return AudioConvertHostTimeToNanos(hostTime);
}
uint64_t CoreAudioConvertNanosToHostTimeUINT64(uint64_t nanos) {
  return AudioConvertNanosToHostTime(nanos);
}
