// Builds the ComponentParameters of one call on the caller's stack, in the platform's layout:
// one long per parameter, the last parameter first, then the instance.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "os/components.h"

namespace xnq::components {

// The parameter words of a call. params is declared with one element but holds as many as the
// call carries, so the words are reached through a pointer rather than by indexing the array.
inline long *paramWords(ComponentParameters *cp) {
  return reinterpret_cast<long *>(reinterpret_cast<unsigned char *>(cp) +
                                  offsetof(ComponentParameters, params));
}
inline const long *paramWords(const ComponentParameters *cp) {
  return paramWords(const_cast<ComponentParameters *>(cp));
}

class CallFrame {
 public:
  static constexpr size_t kMaxParams = 16;

  // argsInCallOrder are the parameters as the caller writes them, first to last.
  CallFrame(SInt16 what, ComponentInstance ci, std::initializer_list<long> argsInCallOrder) {
    size_t count = argsInCallOrder.size() < kMaxParams ? argsInCallOrder.size() : kMaxParams;
    params_.cp.flags = 0;
    params_.cp.paramSize = static_cast<UInt8>(count * sizeof(long));
    params_.cp.what = what;
    size_t i = count;
    for (long arg : argsInCallOrder) {
      if (i == 0) break;
      paramWords(&params_.cp)[--i] = arg;
    }
    paramWords(&params_.cp)[count] = reinterpret_cast<long>(ci);
  }

  ComponentParameters *get() { return &params_.cp; }

 private:
  union Storage {
    ComponentParameters cp;
    unsigned char raw[offsetof(ComponentParameters, params) + (kMaxParams + 1) * sizeof(long)];
  } params_;
};

inline size_t paramCount(const ComponentParameters *cp) { return cp->paramSize / sizeof(long); }

inline ComponentInstance instanceOf(const ComponentParameters *cp) {
  return reinterpret_cast<ComponentInstance>(paramWords(cp)[paramCount(cp)]);
}

// Parameter i (0 = first in call order) of a call.
inline long paramAt(const ComponentParameters *cp, size_t i) {
  return paramWords(cp)[paramCount(cp) - 1 - i];
}

}  // namespace xnq::components
