#include "audiofile/memory_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/memory_files.h"

namespace xnq::audiofile {
namespace {

using Bytes = std::shared_ptr<const std::string>;

// One open file's view of the bytes: its own position, the bytes shared with the registry so
// that unregistering or replacing them leaves an open file reading what it opened.
struct Reader {
  Bytes bytes;
  sf_count_t position = 0;
};

struct Registry {
  std::mutex lock;
  std::map<std::string, Bytes> files;
  // The reader of each open memory file; libsndfile's virtual IO has no close callback.
  std::map<SNDFILE *, std::unique_ptr<Reader>> readers;
};

Registry &registry() {
  static Registry r;
  return r;
}

sf_count_t length(void *data) {
  return static_cast<sf_count_t>(static_cast<Reader *>(data)->bytes->size());
}

sf_count_t seek(sf_count_t offset, int whence, void *data) {
  auto *r = static_cast<Reader *>(data);
  const sf_count_t size = static_cast<sf_count_t>(r->bytes->size());
  const sf_count_t base = whence == SEEK_CUR ? r->position : whence == SEEK_END ? size : 0;
  // Positions before the start are refused; past the end they are kept, as a file's are, and
  // reads there give nothing. Offsets near the type's limits cannot overflow the sum.
  if (offset < -base || (offset > 0 && base > INT64_MAX - offset)) return -1;
  r->position = base + offset;
  return r->position;
}

sf_count_t read(void *to, sf_count_t count, void *data) {
  auto *r = static_cast<Reader *>(data);
  const sf_count_t size = static_cast<sf_count_t>(r->bytes->size());
  if (count <= 0 || r->position >= size) return 0;
  const sf_count_t n = std::min(count, size - r->position);
  std::memcpy(to, r->bytes->data() + r->position, static_cast<size_t>(n));
  r->position += n;
  return n;
}

sf_count_t write(const void *, sf_count_t, void *) { return 0; }

sf_count_t tell(void *data) { return static_cast<Reader *>(data)->position; }

}  // namespace

bool openMemoryFile(const char *path, SF_INFO *info, SNDFILE **sf) {
  Registry &reg = registry();
  auto reader = std::make_unique<Reader>();
  {
    std::lock_guard<std::mutex> hold(reg.lock);
    auto it = reg.files.find(path);
    if (it == reg.files.end()) return false;
    reader->bytes = it->second;
  }
  static SF_VIRTUAL_IO io = {length, seek, read, write, tell};
  *sf = sf_open_virtual(&io, SFM_READ, info, reader.get());
  if (*sf != nullptr) {
    std::lock_guard<std::mutex> hold(reg.lock);
    reg.readers.emplace(*sf, std::move(reader));
  }
  return true;
}

void closeMemoryFile(SNDFILE *sf) {
  Registry &reg = registry();
  std::unique_ptr<Reader> reader;
  {
    std::lock_guard<std::mutex> hold(reg.lock);
    auto it = reg.readers.find(sf);
    if (it != reg.readers.end()) {
      reader = std::move(it->second);
      reg.readers.erase(it);
    }
  }
  // The reader goes after the file: libsndfile may still use it while it closes.
  sf_close(sf);
}

}  // namespace xnq::audiofile

extern "C" OSStatus xnq_memory_file_register(const char *path, const void *bytes, size_t size) {
  if (path == nullptr || path[0] != '/' || (bytes == nullptr && size > 0)) return paramErr;
  using xnq::audiofile::Registry;
  try {
    auto copy = std::make_shared<const std::string>(static_cast<const char *>(bytes), size);
    Registry &reg = xnq::audiofile::registry();
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
  xnq::audiofile::Bytes gone;
  std::lock_guard<std::mutex> hold(reg.lock);
  auto it = reg.files.find(path);
  if (it == reg.files.end()) return;
  gone = std::move(it->second);
  reg.files.erase(it);
}
