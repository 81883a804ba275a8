// The graphics library of the platform. Its programs use it only to learn which system they run
// on: a system that has CGPathCreateCopyByTransformingPath also has the newer time-pitch unit.
// It offers no way to make a path, so no path of its own can reach this function; it answers
// null for every argument, as it does for a null path.
#include "os/graphics.h"

extern "C" __attribute__((visibility("default"))) CGPathRef CGPathCreateCopyByTransformingPath(
    CGPathRef, const CGAffineTransform *) {
  return nullptr;
}
