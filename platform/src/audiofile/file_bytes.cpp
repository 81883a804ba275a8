#include "audiofile/file_bytes.h"

#include <unistd.h>

#include <cerrno>

namespace xnq::audiofile {

size_t readAt(int fd, void *to, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pread(fd, static_cast<char *>(to) + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace xnq::audiofile
