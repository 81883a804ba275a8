// Host exceptions raised from plugin code, memory blocks handed to the host, and the
// translation of the plugin's own C++ exceptions into host exceptions.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "frame/FrameInternal.h"

namespace {
const double kAccessorHostVersion = 2017.0;
}

void RaiseException(const char *className, const char *message) {
  REALstring text = nullptr;
  if (message != nullptr) {
    text =
        REALBuildUnicodeString(message, static_cast<int64_t>(strlen(message)), kTextEncodingUTF8);
  }
  REALobject exception = REALnewInstance(className);
  if (exception == nullptr) exception = REALnewInstance("RuntimeException");
  if (exception != nullptr) {
    REALSetPropValueString(exception, "Message", text);
    REALSetPropValueInteger(exception, "ErrorNumber", 0);
    REALRaiseException(exception);
    REALUnlockObject(exception);
  }
  if (text != nullptr) REALUnlockString(text);
}

void RaiseOutOfBoundsException(int64_t index, int64_t count) {
  const size_t kTextSize = 205;
  auto *text = static_cast<char *>(calloc(1, kTextSize));
  if (text == nullptr) {
    RaiseException("OutOfBoundsException", "Out of Bounds");
    return;
  }
  const char *format =
      index < 0 ? "Parameter %s %s%s is too small. Range is %lld to %lld, but value is %lld."
                : "Parameter %s %s%s is too big. Range is %lld to %lld, but value is %lld.";
  snprintf(text, kTextSize, format, "index", "", "", 0LL, static_cast<long long>(count - 1),
           static_cast<long long>(index));
  RaiseException("OutOfBoundsException", text);
  free(text);
}

// A nil block has no data on any host; the host is not asked about it.
void *MemoryBlockData(REALmemoryBlock b) {
  if (b == nullptr) return nullptr;
  if (rbversion_rbversion >= kAccessorHostVersion) return REALMemoryBlockGetPtr(b);
  return b->data;
}

int64_t MemoryBlockSize(REALmemoryBlock b) {
  if (b == nullptr) return 0;
  if (rbversion_rbversion >= kAccessorHostVersion) return REALMemoryBlockGetSize(b);
  return b->size;
}

bool MemoryBlockSizeKnown() {
  return rbversion_rbversion < kAccessorHostVersion || HostHasREALMemoryBlockGetSize();
}

namespace {

void RaiseMemoryblockFailure(int64_t size) {
  char text[200];
  snprintf(text, sizeof text, "Failed to allocate a memoryblock with %lld bytes in size.",
           static_cast<long long>(size));
  RaiseException("OutOfMemoryException", text);
}

}  // namespace

REALmemoryBlock REALBuildMemoryblock(const void *bytes, int64_t size) {
  if (bytes == nullptr || size < 1) return nullptr;
  if (size > 0x7FFFFFFE) {
    RaiseMemoryblockFailure(size);
    return nullptr;
  }
  try {
    REALmemoryBlock block = REALNewMemoryBlockOriginal(static_cast<int32_t>(size));
    if (block == nullptr) {
      RaiseMemoryblockFailure(size);
      return nullptr;
    }
    void *data = nullptr;
    bool accessorMissing = false;
    if (rbversion_rbversion >= kAccessorHostVersion) {
      accessorMissing = !HostHasREALMemoryBlockGetPtr();
      data = REALMemoryBlockGetPtr(block);
    } else {
      data = block->data;
    }
    if (data == nullptr || accessorMissing) {
      REALUnlockObject(reinterpret_cast<REALobject>(block));
      RaiseMemoryblockFailure(size);
      return nullptr;
    }
    memcpy(data, bytes, static_cast<size_t>(size));
    return block;
  } catch (const std::bad_alloc &) {
    RaiseMemoryblockFailure(size);
    return nullptr;
  }
}

void TranslateCurrentException() {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  // Rows are tried top to bottom; the first match wins.
  try {
    std::rethrow_exception(current);
  } catch (const std::bad_alloc &) {
    RaiseException("OutOfMemoryException", "Failed to allocate memory.");
  } catch (const std::range_error &e) {
    RaiseException("OutOfBoundsException", e.what());
  } catch (const std::out_of_range &e) {
    RaiseException("OutOfBoundsException", e.what());
  } catch (const std::overflow_error &e) {
    RaiseException("OutOfBoundsException", e.what());
  } catch (const std::underflow_error &e) {
    RaiseException("OutOfBoundsException", e.what());
  } catch (const std::logic_error &e) {
    RaiseException("RuntimeException", e.what());
  } catch (const std::runtime_error &e) {
    RaiseException("RuntimeException", e.what());
  } catch (const std::bad_cast &e) {
    RaiseException("IllegalCastException", e.what());
  } catch (const std::exception &e) {
    RaiseException("RuntimeException", e.what());
  } catch (...) {
    RaiseException("RuntimeException", "Sorry, but there was an unnamed C++ Exception.");
  }
}
