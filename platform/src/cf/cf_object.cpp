// Retain and release of CoreFoundation objects. A null reference is ignored rather than
// crashing, so a caller's fault cannot take the whole process down.
#include "cf/cf_object.h"

using xnq::cf::Object;

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf != nullptr) const_cast<Object *>(static_cast<const Object *>(cf))->retain();
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (cf == nullptr) return;
  auto *object = const_cast<Object *>(static_cast<const Object *>(cf));
  if (object->release()) delete object;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  return cf == nullptr ? 0 : static_cast<const Object *>(cf)->count();
}

}  // extern "C"
