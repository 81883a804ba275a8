// CoreFoundation strings and URLs, and the file references that name paths.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef const void *CFTypeRef;
typedef const struct __CFString *CFStringRef;
typedef struct __CFString *CFMutableStringRef;
typedef const struct __CFURL *CFURLRef;
typedef const struct __CFAllocator *CFAllocatorRef;
typedef long CFIndex;
typedef UInt32 CFStringEncoding;

#define kCFAllocatorDefault ((CFAllocatorRef)0)

enum {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingUTF16 = 0x0100,
  kCFStringEncodingISOLatin1 = 0x0201,
  kCFStringEncodingWindowsLatin1 = 0x0500,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUTF8 = 0x08000100,
  kCFStringEncodingUTF32 = 0x0C000100,
  kCFStringEncodingInvalidId = 0xFFFFFFFFu,
};

typedef enum {
  kCFStringNormalizationFormD = 0,
  kCFStringNormalizationFormKD = 1,
  kCFStringNormalizationFormC = 2,
  kCFStringNormalizationFormKC = 3,
} CFStringNormalizationForm;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar *chars,
                                         CFIndex numChars);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr,
                                      CFStringEncoding encoding);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef s);
CFIndex CFStringGetLength(CFStringRef s);
// Writes the text, NUL-terminated, in the encoding; false when it does not fit or cannot be
// encoded.
Boolean CFStringGetCString(CFStringRef s, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
void CFStringGetCharacters(CFStringRef s, CFIndex location, CFIndex length, UniChar *buffer);
void CFStringNormalize(CFMutableStringRef s, CFStringNormalizationForm form);

// An opaque record naming a file system object by path.
typedef struct FSRef {
  UInt8 hidden[80];
} FSRef;

typedef struct HFSUniStr255 {
  UInt16 length;
  UniChar unicode[255];
} HFSUniStr255;

enum { fnfErr = -43 };

// Fills ref for an existing path; fnfErr when nothing is there.
OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory);
// The path that ref names, NUL-terminated.
OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 maxPathSize);
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef alloc, const FSRef *ref);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef alloc, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory);
CFStringRef CFURLCopyFileSystemPath(CFURLRef url, int pathStyle);
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8 *buffer,
                                         CFIndex maxBufLen);
enum { kCFURLPOSIXPathStyle = 0 };

#ifdef __cplusplus
}
#endif
