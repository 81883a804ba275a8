// The graphics library's path interface. Only the function that marks a system with the newer
// time-pitch unit is declared; it is linked weakly, so a program compares its address with null
// before it relies on it, because an older system lacks it.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__LP64__)
typedef double CGFloat;
#else
typedef float CGFloat;
#endif

typedef const struct CGPath *CGPathRef;

typedef struct CGAffineTransform {
  CGFloat a, b, c, d;
  CGFloat tx, ty;
} CGAffineTransform;

#ifndef XNQ_WEAK_IMPORT
#define XNQ_WEAK_IMPORT __attribute__((weak))
#endif

// A new path holding path transformed; null when there is no path to copy.
XNQ_WEAK_IMPORT CGPathRef CGPathCreateCopyByTransformingPath(CGPathRef path,
                                                             const CGAffineTransform *transform);

#ifdef __cplusplus
}
#endif
