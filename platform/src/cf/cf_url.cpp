// CFURL as a file system path, and FSRef as an opaque record that names one. An FSRef is copied
// by value and never released, so the paths it names are kept in a process-wide table for the
// life of the process; the record holds a tag and the table index.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "cf/cf_object.h"
#include "cf/cf_string.h"
#include "cf/text_codec.h"

namespace {

using xnq::cf::Object;
using xnq::cf::TypeTag;

class URL : public Object {
 public:
  static constexpr TypeTag kTag = TypeTag::kURL;
  URL(std::string path, bool isDirectory)
      : Object(kTag), path(std::move(path)), isDirectory(isDirectory) {}
  const std::string path;  // absolute POSIX path, without a trailing slash except for "/"
  const bool isDirectory;
};

constexpr UInt32 kFSRefTag = 0x46535246;  // 'FSRF'

struct FSRefContents {
  UInt32 tag;
  UInt32 index;
  UInt8 isDirectory;
};
static_assert(sizeof(FSRefContents) <= sizeof(FSRef));

class PathTable {
 public:
  UInt32 intern(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = indices_.find(path);
    if (found != indices_.end()) return found->second;
    paths_.push_back(path);
    auto index = static_cast<UInt32>(paths_.size());  // 0 never names a path
    indices_.emplace(path, index);
    return index;
  }
  bool lookup(UInt32 index, std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index == 0 || index > paths_.size()) return false;
    path = paths_[index - 1];
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
  std::unordered_map<std::string, UInt32> indices_;
};

// Leaked on purpose: FSRefs may be resolved from static destructors of other libraries.
PathTable &pathTable() {
  static auto *table = new PathTable;
  return *table;
}

bool pathOf(const FSRef *ref, std::string &path, bool *isDirectory) {
  if (ref == nullptr) return false;
  FSRefContents contents;
  std::memcpy(&contents, ref->hidden, sizeof contents);
  if (contents.tag != kFSRefTag || !pathTable().lookup(contents.index, path)) return false;
  if (isDirectory != nullptr) *isDirectory = contents.isDirectory != 0;
  return true;
}

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

CFURLRef makeURL(std::string path, bool isDirectory) {
  auto *url = new (std::nothrow) URL(withoutTrailingSlash(std::move(path)), isDirectory);
  return reinterpret_cast<CFURLRef>(static_cast<Object *>(url));
}

}  // namespace

extern "C" {

OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
  if (path == nullptr || ref == nullptr || path[0] == 0) return paramErr;
  char resolved[PATH_MAX];
  struct stat info;
  if (realpath(reinterpret_cast<const char *>(path), resolved) == nullptr ||
      stat(resolved, &info) != 0)
    return fnfErr;
  FSRefContents contents{kFSRefTag, pathTable().intern(resolved),
                         S_ISDIR(info.st_mode) ? UInt8{1} : UInt8{0}};
  std::memset(ref->hidden, 0, sizeof ref->hidden);
  std::memcpy(ref->hidden, &contents, sizeof contents);
  if (isDirectory != nullptr) *isDirectory = contents.isDirectory;
  return noErr;
}

OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 maxPathSize) {
  std::string resolved;
  if (path == nullptr || !pathOf(ref, resolved, nullptr)) return paramErr;
  if (resolved.size() + 1 > maxPathSize) return paramErr;
  std::memcpy(path, resolved.c_str(), resolved.size() + 1);
  return noErr;
}

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef, const FSRef *ref) {
  std::string path;
  bool isDirectory = false;
  if (!pathOf(ref, path, &isDirectory)) return nullptr;
  return makeURL(std::move(path), isDirectory);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory) {
  const URL *base = xnq::cf::as<URL>(url);
  const auto *component = xnq::cf::as<xnq::cf::String>(pathComponent);
  if (base == nullptr || component == nullptr) return nullptr;
  std::string name = xnq::cf::utf16ToUtf8(component->text);
  std::string path = base->path;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += name;
  return makeURL(std::move(path), isDirectory != 0);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef url, int pathStyle) {
  const URL *file = xnq::cf::as<URL>(url);
  if (file == nullptr || pathStyle != kCFURLPOSIXPathStyle) return nullptr;
  auto text = xnq::cf::utf8ToUtf16(file->path.data(), file->path.size());
  return text ? xnq::cf::makeString(std::move(*text)) : nullptr;
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8 *buffer, CFIndex maxBufLen) {
  const URL *file = xnq::cf::as<URL>(url);
  if (file == nullptr || buffer == nullptr || maxBufLen <= 0) return false;
  if (file->path.size() + 1 > static_cast<size_t>(maxBufLen)) return false;
  std::memcpy(buffer, file->path.c_str(), file->path.size() + 1);
  return true;
}

}  // extern "C"
