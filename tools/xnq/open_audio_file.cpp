// Opening a file by its path through the extended audio file service, as programs on the
// system do: path to file reference to URL.
#include "subcommand.h"

namespace xnq::tool {

OSStatus openAudioFile(const std::string &path, ExtAudioFileRef &file) {
  FSRef ref;
  if (OSStatus status = FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr))
    return status;
  CFURLRef url = CFURLCreateFromFSRef(nullptr, &ref);
  if (url == nullptr) return kAudioFileFileNotFoundError;
  OSStatus status = ExtAudioFileOpenURL(url, &file);
  CFRelease(url);
  return status;
}

}  // namespace xnq::tool
