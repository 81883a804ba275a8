// Memory files (platform/memory_files.h) as the audio file service opens them.
#pragma once

namespace xnq::audiofile {

// Opens the bytes registered under path as an anonymous in-memory file, which the service's
// readers take like any file. Returns false when path is not registered; else true with *fd
// the file, or -1 with errno set when it could not be made.
bool openMemoryFile(const char *path, int *fd);

}  // namespace xnq::audiofile
