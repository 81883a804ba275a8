// Reading host array elements: from the array's own storage on hosts that lay it out for direct
// reads (before 2017.0), else through the host's reader for the element type.
#include "auplayer/ArrayElements.h"

#include <string.h>

#include "frame/frame.h"

namespace {

// The array's element storage where the host keeps it in the record; null when it does not.
const void *DirectStorage(REALarray array) {
  if (rbversion_rbversion >= 2017.0) return nullptr;
  return rbversion_rbversion < 2008.0 ? array->elementsBefore2008 : array->elements;
}

template <typename T, typename Reader>
T Element(REALarray array, RBInteger index, Reader (*reader)(REALarray)) {
  const RBInteger upperBound = REALGetArrayUBound(array);
  if (index > upperBound) {
    RaiseOutOfBoundsException(index, static_cast<int64_t>(upperBound) + 1);
    return 0;
  }
  if (const void *storage = DirectStorage(array)) {
    T value;
    memcpy(&value, static_cast<const char *>(storage) + index * sizeof(T), sizeof value);
    return value;
  }
  Reader read = reader(array);
  return read != nullptr ? read(array, index) : 0;
}

}  // namespace

double DoubleElement(REALarray array, RBInteger index) {
  return Element<double>(array, index, REALGetArrayValueDouble);
}

float SingleElement(REALarray array, RBInteger index) {
  return Element<float>(array, index, REALGetArrayValueSingle);
}

RBInteger IntegerElement(REALarray array, RBInteger index) {
  return Element<RBInteger>(array, index, REALGetArrayValueInteger);
}
