// Reading a file's bytes at an offset, as the file parsers of the audio file service need them.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace xnq::audiofile {

// Reads up to size bytes at offset, retrying interrupted and partial reads; the bytes read
// (fewer at the end of the file or on an error).
size_t readAt(int fd, void *to, size_t size, off_t offset);

}  // namespace xnq::audiofile
