#include "audiofile/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/memory_files.h"

namespace xnq::audiofile {
namespace {

using Bytes = std::shared_ptr<const std::string>;

struct Registry {
  std::mutex lock;
  std::map<std::string, Bytes> files;
};

Registry &registry() {
  static Registry r;
  return r;
}

}  // namespace

bool openMemoryFile(const char *path, int *fd) {
  Bytes bytes;
  {
    Registry &reg = registry();
    std::lock_guard<std::mutex> hold(reg.lock);
    auto it = reg.files.find(path);
    if (it == reg.files.end()) return false;
    bytes = it->second;
  }
  // Each open gets a file of its own, holding the bytes as they were registered then: a file
  // that is open reads on unchanged when the path is registered again or forgotten.
  *fd = memfd_create("xnq-memory-file", MFD_CLOEXEC);
  if (*fd < 0) return true;
  size_t written = 0;
  while (written < bytes->size()) {
    const ssize_t n = write(*fd, bytes->data() + written, bytes->size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      close(*fd);
      *fd = -1;
      errno = error;
      return true;
    }
    written += static_cast<size_t>(n);
  }
  lseek(*fd, 0, SEEK_SET);
  return true;
}

}  // namespace xnq::audiofile

extern "C" OSStatus xnq_memory_file_register(const char *path, const void *bytes, size_t size) {
  if (path == nullptr || path[0] != '/' || (bytes == nullptr && size > 0)) return paramErr;
  try {
    auto copy = std::make_shared<const std::string>(static_cast<const char *>(bytes), size);
    auto &reg = xnq::audiofile::registry();
    std::lock_guard<std::mutex> hold(reg.lock);
    reg.files[path] = std::move(copy);
  } catch (const std::bad_alloc &) {
    return memFullErr;
  }
  return noErr;
}

extern "C" void xnq_memory_file_unregister(const char *path) {
  if (path == nullptr) return;
  auto &reg = xnq::audiofile::registry();
  xnq::audiofile::Bytes gone;  // freed after the lock is let go
  std::lock_guard<std::mutex> hold(reg.lock);
  auto it = reg.files.find(path);
  if (it == reg.files.end()) return;
  gone = std::move(it->second);
  reg.files.erase(it);
}
