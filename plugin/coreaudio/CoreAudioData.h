// Instance records of CoreAudioXNQ and CoreAudioListenerXNQ, and the argument conversions that
// every property method shares.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "coreaudio/CoreAudioClasses.h"
#include "frame/frame.h"
#include "os/audio_hardware.h"

// CoreAudioXNQ: the status of the last framework call, served to the host as Lasterror by the
// standard Integer accessor, so it is a host word. -1 means no framework call completed.
struct CoreAudioData {
  RBInteger lastError;
};

// CoreAudioListenerXNQ: the status (LastError, standard accessor) and the watched address.
struct CoreAudioListenerData {
  RBInteger lastError;
  uint32_t objectID;
  uint32_t propertySelector;
  uint32_t propertyScope;
  uint32_t propertyElement;
};

#if defined(__i386__)
static_assert(sizeof(CoreAudioData) == 4, "CoreAudioXNQ instance data is 4 bytes");
static_assert(sizeof(CoreAudioListenerData) == 20,
              "CoreAudioListenerXNQ instance data is 20 bytes");
static_assert(offsetof(CoreAudioListenerData, propertyElement) == 16, "five 32-bit fields");
#endif

inline CoreAudioData *CoreAudioRecord(REALobject instance) {
  return InstanceData<CoreAudioData>(CoreAudioClass, instance);
}

// Stores a framework status (or the -1 marker) in Lasterror, sign-extended to the host word.
inline void SetLastError(REALobject instance, int32_t status) {
  CoreAudioRecord(instance)->lastError = status;
}

// The bytes of a host memory block as a framework call takes them. A nil block, a block without
// data and a negative size all give no pointer or no bytes.
struct BlockBytes {
  void *data = nullptr;
  UInt32 size = 0;
};

inline BlockBytes ReadBlock(REALmemoryBlock block) {
  BlockBytes bytes;
  if (block == nullptr) return bytes;
  void *data = MemoryBlockData(block);
  if (data == nullptr) return bytes;
  int64_t size = MemoryBlockSize(block);
  bytes.data = data;
  bytes.size = size <= 0 ? 0 : size > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<UInt32>(size);
  return bytes;
}

// The stored bytes of a host string as they are, without conversion or terminator. Only a nil
// string gives no pointer: an empty one is data of zero bytes, which the framework tells apart
// from no data at all.
inline BlockBytes ReadStringBytes(REALstring text) {
  static const char kNoBytes[1] = {0};
  BlockBytes bytes;
  if (text == nullptr) return bytes;
  int64_t length = 0;
  const char *data = StringBytes(text, &length);
  bytes.data = const_cast<char *>(data != nullptr ? data : kNoBytes);
  bytes.size = length <= 0                    ? 0
               : length > int64_t{UINT32_MAX} ? UINT32_MAX
                                              : static_cast<UInt32>(length);
  return bytes;
}

// The byte range [offset, offset + length) of a block for a memory write. The framework would
// read whatever the pointer and size name, so a range that leaves the block (or a nil block with
// a non-zero offset) is refused with OutOfBoundsException before any call: offsets run from 0 to
// the block's size, lengths from 0 to what remains after the offset. False when refused (the
// exception is then raised).
bool BlockRange(REALmemoryBlock block, RBInteger offset, RBInteger length, BlockBytes *range);

// The AudioTimeStamp a `when` block holds: null for a nil block (the change takes effect at once).
// A block too small for a whole time stamp would make the framework read past it, so it is
// refused with OutOfBoundsException naming the time stamp's last byte. False when refused.
bool TimeStampFromBlock(REALmemoryBlock when, const AudioTimeStamp **stamp);
