// CoreAudioXNQ: the audio object methods (size, read, write), addressed by object ID and a
// selector, scope and element.
#include <stdio.h>
#include <stdlib.h>

#include "coreaudio/CoreAudioMethods.h"
#include "coreaudio/PropertyFamilies.h"

namespace {
// A block argument held locked for the length of one method.
class LockedBlock {
 public:
  explicit LockedBlock(REALmemoryBlock block) : block_(block) {
    if (block_ != nullptr) {
      REALLockObject(reinterpret_cast<REALobject>(block_));
      bytes_ = ReadBlock(block_);
    }
  }
  ~LockedBlock() {
    if (block_ != nullptr) REALUnlockObject(reinterpret_cast<REALobject>(block_));
  }
  LockedBlock(const LockedBlock &) = delete;
  LockedBlock &operator=(const LockedBlock &) = delete;

  const BlockBytes &bytes() const { return bytes_; }

 private:
  REALmemoryBlock block_;
  BlockBytes bytes_;
};

AudioObjectPropertyAddress MakeAddress(uint32_t selector, uint32_t scope, uint32_t element) {
  return {selector, scope, element};
}

// The object read's refusal of a size it cannot hold: the message is formatted into 100 bytes.
void RaiseDataAllocationFailure(UInt32 size) {
  char message[100];
  snprintf(message, sizeof message, "Failed to allocate %lld bytes memory for data.",
           static_cast<long long>(size));
  RaiseException("OutOfMemoryException", message);
}
}  // namespace

uint32_t rbAudioObjectGetPropertyDataSize(REALobject self, RBInteger object, uint32_t selector,
                                          uint32_t scope, uint32_t element,
                                          REALmemoryBlock qualifierData) {
  SetLastError(self, -1);
  LockedBlock qualifier(qualifierData);
  const AudioObjectPropertyAddress address = MakeAddress(selector, scope, element);
  UInt32 size = 0;
  OSStatus status = AudioObjectGetPropertyDataSize(
      static_cast<UInt32>(object), &address, qualifier.bytes().size, qualifier.bytes().data, &size);
  SetLastError(self, status);
  return size;
}

REALmemoryBlock rbAudioObjectGetPropertyData(REALobject self, RBInteger object, uint32_t selector,
                                             uint32_t scope, uint32_t element,
                                             REALmemoryBlock qualifierData,
                                             REALmemoryBlock inputData) {
  SetLastError(self, -1);
  LockedBlock qualifier(qualifierData);
  const AudioObjectPropertyAddress address = MakeAddress(selector, scope, element);
  const UInt32 objectID = static_cast<UInt32>(object);

  if (inputData != nullptr) {
    // The block is both input and output: translation properties read their value from it.
    LockedBlock io(inputData);
    SetLastError(self, -1);
    UInt32 size = io.bytes().size;
    OSStatus status = AudioObjectGetPropertyData(objectID, &address, qualifier.bytes().size,
                                                 qualifier.bytes().data, &size, io.bytes().data);
    SetLastError(self, status);
    if (status != 0) return nullptr;
    // The caller receives the very block it passed, with a reference of its own.
    REALLockObject(reinterpret_cast<REALobject>(inputData));
    return inputData;
  }

  UInt32 size = 0;
  OSStatus status = AudioObjectGetPropertyDataSize(objectID, &address, qualifier.bytes().size,
                                                   qualifier.bytes().data, &size);
  SetLastError(self, status);
  if (status != 0 || size == 0) return nullptr;

  SetLastError(self, -1);
  if (size > 0x7FFFFFFFu) {
    RaiseDataAllocationFailure(size);
    return nullptr;
  }
  void *buffer = calloc(size, 1);
  if (buffer == nullptr) {
    RaiseDataAllocationFailure(size);
    return nullptr;
  }
  const UInt32 capacity = size;
  status = AudioObjectGetPropertyData(objectID, &address, qualifier.bytes().size,
                                      qualifier.bytes().data, &size, buffer);
  SetLastError(self, status);
  REALmemoryBlock result = nullptr;
  // Never copy more than the buffer holds, whatever the framework reports.
  if (status == 0) result = REALBuildMemoryblock(buffer, size > capacity ? capacity : size);
  free(buffer);
  return result;
}

void rbAudioObjectSetPropertyData(REALobject self, RBInteger object, uint32_t selector,
                                  uint32_t scope, uint32_t element, REALmemoryBlock data,
                                  REALmemoryBlock qualifierData) {
  SetLastError(self, -1);
  LockedBlock value(data);
  LockedBlock qualifier(qualifierData);
  const AudioObjectPropertyAddress address = MakeAddress(selector, scope, element);
  OSStatus status =
      AudioObjectSetPropertyData(static_cast<UInt32>(object), &address, qualifier.bytes().size,
                                 qualifier.bytes().data, value.bytes().size, value.bytes().data);
  SetLastError(self, status);
}
