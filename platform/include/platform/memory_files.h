// Audio files held in memory: bytes registered under a path are what the audio file services
// (ExtAudioFileOpenURL, AudioFileOpenURL) read when they open that path, without touching the
// file system (each open reads them from an anonymous in-memory file). For fuzzers, stress
// programs and tests that make many small files. Not part of the operating-system interface.
#pragma once

#include <stddef.h>

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Registers a copy of size bytes under path (an absolute path, as a file URL names it),
// replacing what was registered there. Files already open keep the bytes they opened. Errors:
// paramErr for a null or relative path or null bytes with a size, memFullErr.
OSStatus xnq_memory_file_register(const char *path, const void *bytes, size_t size);
// Forgets path; files open on it keep their bytes until they close. Unknown paths are ignored.
void xnq_memory_file_unregister(const char *path);

#ifdef __cplusplus
}
#endif
