// Basic types of the operating system's C interfaces.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef int32_t OSStatus;
typedef int16_t OSErr;
typedef uint32_t OSType;
typedef uint32_t FourCharCode;
typedef uint16_t UniChar;
typedef uint8_t Byte;
typedef char *Ptr;
typedef Ptr *Handle;
typedef long Size;
typedef uint32_t UnsignedFixed;
typedef uint32_t TextEncoding;

enum { noErr = 0, paramErr = -50, memFullErr = -108 };

// Builds a four-character code from its characters, most significant first.
#define XNQ_FOURCC(a, b, c, d)                                                     \
  ((UInt32)(UInt8)(a) << 24 | (UInt32)(UInt8)(b) << 16 | (UInt32)(UInt8)(c) << 8 | \
   (UInt32)(UInt8)(d))

#ifdef __cplusplus
}
#endif
