// Calls a component's handler with the parameters of a ComponentParameters record unpacked as
// its declaration says: the storage first (for the WithStorage forms), then the call's
// parameters in order. Every argument travels as one long, which both build ABIs pass in the
// slot or register of a parameter of 1, 2 or 4 bytes.
#include "components/call_frame.h"

namespace {

using WordFunction0 = long (*)();
using WordFunction1 = long (*)(long);
using WordFunction2 = long (*)(long, long);
using WordFunction3 = long (*)(long, long, long);
using WordFunction4 = long (*)(long, long, long, long);
using WordFunction5 = long (*)(long, long, long, long, long);
using WordFunction6 = long (*)(long, long, long, long, long, long);
using WordFunction7 = long (*)(long, long, long, long, long, long, long);
using WordFunction8 = long (*)(long, long, long, long, long, long, long, long);

constexpr size_t kMaxArgs = 8;
constexpr unsigned kFirstParamShift = 6;

long callWithWords(ProcPtr func, const long *a, size_t n) {
  switch (n) {
    case 0:
      return reinterpret_cast<WordFunction0>(func)();
    case 1:
      return reinterpret_cast<WordFunction1>(func)(a[0]);
    case 2:
      return reinterpret_cast<WordFunction2>(func)(a[0], a[1]);
    case 3:
      return reinterpret_cast<WordFunction3>(func)(a[0], a[1], a[2]);
    case 4:
      return reinterpret_cast<WordFunction4>(func)(a[0], a[1], a[2], a[3]);
    case 5:
      return reinterpret_cast<WordFunction5>(func)(a[0], a[1], a[2], a[3], a[4]);
    case 6:
      return reinterpret_cast<WordFunction6>(func)(a[0], a[1], a[2], a[3], a[4], a[5]);
    case 7:
      return reinterpret_cast<WordFunction7>(func)(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
    default:
      return reinterpret_cast<WordFunction8>(func)(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  }
}

// Narrows a word to the size a procInfo code names: 1 byte unsigned, 2 bytes signed, else 4
// bytes (a whole word for pointers and longs).
long narrow(long value, unsigned code) {
  switch (code) {
    case 1:
      return static_cast<UInt8>(value);
    case 2:
      return static_cast<SInt16>(value);
    default:
      return value;
  }
}

ComponentResult callWithProcInfo(bool withStorage, Handle storage, ComponentParameters *params,
                                 ProcPtr func, UInt32 procInfo) {
  if (params == nullptr || func == nullptr) return paramErr;
  long args[kMaxArgs];
  size_t count = 0;
  size_t available = xnq::components::paramCount(params);
  size_t taken = 0;
  for (unsigned shift = kFirstParamShift; shift < 32 && count < kMaxArgs; shift += 2) {
    unsigned code = (procInfo >> shift) & 3;
    if (code == 0) break;
    if (withStorage && count == 0) {
      args[count++] = narrow(reinterpret_cast<long>(storage), code);
      continue;
    }
    // The handler must not read past the parameters the caller passed.
    if (taken == available) return paramErr;
    args[count++] = narrow(xnq::components::paramAt(params, taken++), code);
  }
  long result = callWithWords(func, args, count);
  switch ((procInfo >> 4) & 3) {
    case 0:
      return noErr;
    case 1:
      return static_cast<UInt8>(result);
    case 2:
      return static_cast<SInt16>(result);
    default:
      return static_cast<SInt32>(result);
  }
}

// The procInfo of a handler whose every parameter is a word and whose result is 4 bytes.
UInt32 allWordsProcInfo(size_t count) {
  UInt32 procInfo = 3u << 4;
  for (size_t i = 0; i < count && i < kMaxArgs; ++i) procInfo |= 3u << (kFirstParamShift + 2 * i);
  return procInfo;
}

}  // namespace

extern "C" {

ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage,
                                                         ComponentParameters *params, ProcPtr func,
                                                         UInt32 procInfo) {
  return callWithProcInfo(true, storage, params, func, procInfo);
}

ComponentResult CallComponentFunctionWithStorage(Handle storage, ComponentParameters *params,
                                                 ComponentRoutineUPP func) {
  if (params == nullptr) return paramErr;
  return callWithProcInfo(true, storage, params, reinterpret_cast<ProcPtr>(func),
                          allWordsProcInfo(xnq::components::paramCount(params) + 1));
}

ComponentResult CallComponentFunction(ComponentParameters *params, ComponentRoutineUPP func) {
  if (params == nullptr) return paramErr;
  return callWithProcInfo(false, nullptr, params, reinterpret_cast<ProcPtr>(func),
                          allWordsProcInfo(xnq::components::paramCount(params)));
}

}  // extern "C"
