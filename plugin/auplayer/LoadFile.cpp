// LoadFile and LoadFileMT: the checks a load makes on the host's thread, the file URL of the
// host's folder item, and the hand-over to the worker on this thread or another one.
#include <algorithm>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"

namespace {

// The URL of the folder item named by its folder and its name, for an item that may not exist
// yet: the name is normalized to form D, as the file system stores names. Null on any failure.
CFURLRef URLInFolder(REALfolderItem file) {
  FSRef folder;
  HFSUniStr255 name = {};
  if (!REALFSRefFromFolderItem(file, &folder, &name)) return nullptr;
  CFURLRef folderURL = CFURLCreateFromFSRef(kCFAllocatorDefault, &folder);
  if (folderURL == nullptr) return nullptr;
  CFURLRef url = nullptr;
  const CFIndex length = name.length < 255 ? name.length : 255;
  CFStringRef text = length > 0
                         ? CFStringCreateWithCharacters(kCFAllocatorDefault, name.unicode, length)
                         : nullptr;
  if (text != nullptr) {
    CFMutableStringRef normalized = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, text);
    if (normalized != nullptr) CFStringNormalize(normalized, kCFStringNormalizationFormD);
    url = CFURLCreateCopyAppendingPathComponent(kCFAllocatorDefault, folderURL,
                                                normalized != nullptr ? normalized : text, false);
    if (normalized != nullptr) CFRelease(normalized);
    CFRelease(text);
  }
  CFRelease(folderURL);
  return url;
}

// The file URL of a folder item: the item's own reference when it exists, else its folder and
// name. Null when neither works.
CFURLRef FileURL(REALfolderItem file) {
  FSRef ref;
  if (REALFSRefFromFolderItem(file, &ref, nullptr)) {
    if (CFURLRef url = CFURLCreateFromFSRef(kCFAllocatorDefault, &ref)) return url;
  }
  return URLInFolder(file);
}

// A channel count beyond the request's 32-bit field stands as the nearest count the field holds,
// which the platform then refuses like any count beyond its range; its low 32 bits could name a
// count it accepts (2^32 + 2 channels would load as 2).
int32_t ChannelCount(RBInteger count) {
  return static_cast<int32_t>(std::clamp<int64_t>(count, INT32_MIN, INT32_MAX));
}

// The Data... fields, which describe the client format to the host program.
void DescribeClientFormat(AUPlayerData *player, const AudioStreamBasicDescription &format) {
  const bool pcm = format.mFormatID == kAudioFormatLinearPCM;
  const UInt32 flags = format.mFormatFlags;
  const bool separate = pcm && (flags & kAudioFormatFlagIsNonInterleaved) != 0;
  player->DataIsInterleaved = !separate;
  player->DataIsFloat = pcm && (flags & kAudioFormatFlagIsFloat) != 0;
  player->DataIsNativeEndian = (flags & kAudioFormatFlagIsBigEndian) == 0;
  player->DataIsSignedInteger = pcm && (flags & kAudioFormatFlagIsSignedInteger) != 0;
  player->DataIsPCM = pcm;
  const UInt32 interleavedChannels = separate ? 1 : format.mChannelsPerFrame;
  player->DataNumberInterleavedChannels = interleavedChannels;
  player->DataNumberChannelStreams = separate ? format.mChannelsPerFrame : 1;
  player->DataNumberChannels = format.mChannelsPerFrame;
  player->DataSampleWordSize = format.mBytesPerFrame == 0 || interleavedChannels == 0
                                   ? 0
                                   : format.mBytesPerFrame / interleavedChannels;
}

void StoreText(REALstring *field, REALstring text) {
  if (*field != nullptr) REALUnlockString(*field);
  *field = text;
}

// What the worker found out about the file, stored on the calling thread.
void DescribeLoad(AUPlayerData *player, const LoadFileRequest &request) {
  DescribeClientFormat(player, request.clientFormat);
  StoreText(&player->ClientFormatString, request.clientFormatText);
  StoreText(&player->OutputFormatString, request.outputFormatText);
}

RBBoolean LoadFileIntern(REALobject obj, REALfolderItem file, RBInteger inputChannels,
                         RBInteger outputChannels, bool threaded) {
  if (file == nullptr) {
    RaiseException("NilObjectException", "file is nil");
    return false;
  }
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  // File holds the item of the last call, also of a refused one. The item it held before is
  // given back, so that every item a program passes is released once the object goes.
  REALLockObject(reinterpret_cast<REALobject>(file));
  if (player->File != nullptr) REALUnlockObject(reinterpret_cast<REALobject>(player->File));
  player->File = file;

  if (player->loaded) {
    RaiseException("UnsupportedOperationException", "This class can only load one file.");
    return false;
  }
  player->loaded = 1;  // one attempt per object, whatever its outcome

  CFURLRef url = FileURL(file);
  if (url == nullptr) {
    RaiseException("NilObjectException", "File is invalid path");
    return false;
  }
  LoadFileRequest request{};
  request.InputChannels = ChannelCount(inputChannels);
  request.OutputChannels = ChannelCount(outputChannels);
  request.player = player;
  request.fileURL = url;
  request.status = -1;
  if (threaded) {
    RunThreadedBlocks(&request, LoadFileInternal, nullptr);
  } else {
    LoadFileInternal(&request);
  }
  if (request.described) DescribeLoad(player, request);
  // The worker's last status is the load's last word: host code run during the yields may have
  // written Lasterror since.
  SetLasterror(player, request.status);
  if (request.outOfMemory) {
    RaiseException("OutOfMemoryException", "Failed to allocate buffer for audio data.");
  }
  CFRelease(url);
  return request.success;
}

}  // namespace

RBBoolean LoadFile(REALobject obj, REALfolderItem file, RBInteger inputChannels,
                   RBInteger outputChannels) {
  return LoadFileIntern(obj, file, inputChannels, outputChannels, false);
}

RBBoolean LoadFileMT(REALobject obj, REALfolderItem file, RBInteger inputChannels,
                     RBInteger outputChannels) {
  return LoadFileIntern(obj, file, inputChannels, outputChannels, true);
}
