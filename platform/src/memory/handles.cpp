// Memory Manager handles: a handle points at a master pointer, which points at the relocatable
// block. The master pointer is the first field of a record that also keeps the block's size, so
// the record is found from the handle alone.
#include <cstdlib>
#include <cstring>
#include <new>

#include "os/components.h"

namespace {

constexpr UInt32 kHandleTag = 0x48444c21;  // 'HDL!'
enum { nilHandleErr = -109 };

struct HandleRecord {
  Ptr master;  // must stay first: a Handle is the address of this field
  Size size;
  UInt32 tag;
};

thread_local OSErr lastMemoryError = noErr;

HandleRecord *recordOf(Handle h) {
  if (h == nullptr) return nullptr;
  auto *record = reinterpret_cast<HandleRecord *>(h);
  return record->tag == kHandleTag ? record : nullptr;
}

Handle allocate(Size byteCount, bool clear) {
  if (byteCount < 0) {
    lastMemoryError = memFullErr;
    return nullptr;
  }
  auto *record = new (std::nothrow) HandleRecord{nullptr, byteCount, kHandleTag};
  // Every block has at least one byte, so a zero-sized handle still has a master pointer.
  void *block = record == nullptr ? nullptr : std::malloc(byteCount > 0 ? byteCount : 1);
  if (block == nullptr) {
    delete record;
    lastMemoryError = memFullErr;
    return nullptr;
  }
  if (clear) std::memset(block, 0, byteCount > 0 ? byteCount : 1);
  record->master = static_cast<Ptr>(block);
  lastMemoryError = noErr;
  return &record->master;
}

}  // namespace

extern "C" {

Handle NewHandle(Size byteCount) { return allocate(byteCount, false); }

Handle NewHandleClear(Size byteCount) { return allocate(byteCount, true); }

void DisposeHandle(Handle h) {
  HandleRecord *record = recordOf(h);
  if (record == nullptr) {
    lastMemoryError = nilHandleErr;
    return;
  }
  std::free(record->master);
  record->tag = 0;
  delete record;
  lastMemoryError = noErr;
}

Size GetHandleSize(Handle h) {
  HandleRecord *record = recordOf(h);
  lastMemoryError = record == nullptr ? OSErr{nilHandleErr} : OSErr{noErr};
  return record == nullptr ? 0 : record->size;
}

void SetHandleSize(Handle h, Size newSize) {
  HandleRecord *record = recordOf(h);
  if (record == nullptr) {
    lastMemoryError = nilHandleErr;
    return;
  }
  if (newSize < 0) {
    lastMemoryError = memFullErr;
    return;
  }
  void *block = std::realloc(record->master, newSize > 0 ? newSize : 1);
  if (block == nullptr) {
    lastMemoryError = memFullErr;
    return;
  }
  record->master = static_cast<Ptr>(block);
  record->size = newSize;
  lastMemoryError = noErr;
}

OSErr MemError(void) { return lastMemoryError; }

StringHandle NewString(ConstStr255Param theString) {
  if (theString == nullptr) {
    lastMemoryError = paramErr;
    return nullptr;
  }
  Size length = theString[0] + 1;
  Handle h = allocate(length, false);
  if (h != nullptr) std::memcpy(*h, theString, length);
  return h;
}

void CopyCStringToPascal(const char *src, Str255 dst) {
  if (dst == nullptr) return;
  size_t length = src == nullptr ? 0 : std::strlen(src);
  if (length > 255) length = 255;
  dst[0] = static_cast<unsigned char>(length);
  if (length > 0) std::memcpy(dst + 1, src, length);
}

}  // extern "C"
