// libsndfile reading a memory file (platform/memory_files.h) through its virtual IO.
#pragma once

#include <sndfile.h>

namespace xnq::audiofile {

// Opens the bytes registered under path. Returns false when path is not registered; else true
// with *sf the open file or null when libsndfile refused it (sf_error(nullptr) says why).
bool openMemoryFile(const char *path, SF_INFO *info, SNDFILE **sf);
// Closes a file that openMemoryFile opened, with the reader behind it.
void closeMemoryFile(SNDFILE *sf);

}  // namespace xnq::audiofile
