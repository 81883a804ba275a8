// Bounds of the memory blocks that property writes hand to the framework.
#include "coreaudio/CoreAudioData.h"

bool BlockRange(REALmemoryBlock block, RBInteger offset, RBInteger length, BlockBytes *range) {
  const BlockBytes whole = ReadBlock(block);
  const int64_t size = whole.size;
  // Offsets 0 ... size are valid (size itself only with length 0).
  if (offset < 0 || offset > size) {
    RaiseOutOfBoundsException(offset, size + 1);
    return false;
  }
  const int64_t remaining = size - offset;
  if (length < 0 || length > remaining) {
    RaiseOutOfBoundsException(length, remaining + 1);
    return false;
  }
  range->size = static_cast<UInt32>(length);
  range->data = whole.data == nullptr ? nullptr : static_cast<char *>(whole.data) + offset;
  return true;
}

bool TimeStampFromBlock(REALmemoryBlock when, const AudioTimeStamp **stamp) {
  *stamp = nullptr;
  if (when == nullptr) return true;
  const BlockBytes bytes = ReadBlock(when);
  if (bytes.size < sizeof(AudioTimeStamp)) {
    RaiseOutOfBoundsException(static_cast<int64_t>(sizeof(AudioTimeStamp)) - 1, bytes.size);
    return false;
  }
  *stamp = static_cast<const AudioTimeStamp *>(bytes.data);
  return true;
}

bool IsCFStringPropertyCode(OSType code) {
  switch (code) {
    case XNQ_FOURCC('l', 'n', 'a', 'm'):  // object and device name
    case XNQ_FOURCC('l', 'm', 'a', 'k'):  // manufacturer
    case XNQ_FOURCC('u', 'i', 'd', ' '):  // device UID
    case XNQ_FOURCC('m', 'u', 'i', 'd'):  // model UID
      return true;
    default:
      return false;
  }
}

bool IsCFStringUnitProperty(UInt32 propertyID) {
  enum : UInt32 { kContextName = 25, kElementName = 30 };
  return propertyID == kContextName || propertyID == kElementName;
}
