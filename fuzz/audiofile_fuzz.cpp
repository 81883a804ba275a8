// Fuzzes the extended audio file service with arbitrary file contents: the bytes after the
// first are registered as a memory file, which is opened with ExtAudioFileOpenURL, given a
// client format (chosen by the first byte: the file's own, floats straight, another layout and
// channel count, another rate) and read to its end in uneven pieces. Every input must give a
// status or frames, never more frames than asked, and leave nothing open.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "fuzz_check.h"
#include "os/audio_file.h"
#include "platform/memory_files.h"

namespace {

using fuzz::Check;

// The memory file's name, in a folder that exists (URLs are made from references to existing
// items); nothing is written there.
constexpr char kPath[] = "/tmp/xnq-audiofile-fuzz-input";

CFURLRef InputURL() {
  FSRef folder;
  Check(FSPathMakeRef(reinterpret_cast<const UInt8 *>("/tmp"), &folder, nullptr) == noErr);
  CFURLRef folderURL = CFURLCreateFromFSRef(kCFAllocatorDefault, &folder);
  CFStringRef name =
      CFStringCreateWithCString(kCFAllocatorDefault, kPath + 5, kCFStringEncodingUTF8);
  CFURLRef url = CFURLCreateCopyAppendingPathComponent(kCFAllocatorDefault, folderURL, name, false);
  CFRelease(name);
  CFRelease(folderURL);
  Check(url != nullptr);
  return url;
}

AudioStreamBasicDescription ClientFormat(int choice, Float64 fileRate, UInt32 fileChannels) {
  const UInt32 channels = choice == 2 ? 3 : fileChannels;
  const UInt32 floatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  switch (choice) {
    case 1:  // floats as the file has them: libsndfile decodes straight into the buffer
      return {fileRate, kAudioFormatLinearPCM, floatFlags, 4 * channels,
              1,        4 * channels,          channels,   32,
              0};
    case 2:  // 16-bit big-endian, three channels
      return {
          fileRate,
          kAudioFormatLinearPCM,
          kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked | kAudioFormatFlagIsBigEndian,
          6,
          1,
          6,
          3,
          16,
          0};
    default:  // one buffer per channel at another rate
      return {fileRate * 0.75 + 1000,
              kAudioFormatLinearPCM,
              floatFlags | kAudioFormatFlagIsNonInterleaved,
              4,
              1,
              4,
              channels,
              32,
              0};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  Check(xnq_memory_file_register(kPath, data + 1, size - 1) == noErr);

  static const CFURLRef url = InputURL();
  ExtAudioFileRef file = nullptr;
  const OSStatus opened = ExtAudioFileOpenURL(url, &file);
  Check((opened == noErr) == (file != nullptr));
  if (file != nullptr) {
    AudioStreamBasicDescription own{};
    UInt32 formatSize = sizeof own;
    Check(ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileDataFormat, &formatSize, &own) ==
          noErr);
    const int kind = (choice >> 4) % 4;
    if (kind != 0) {
      const AudioStreamBasicDescription client =
          ClientFormat(kind, own.mSampleRate, own.mChannelsPerFrame);
      ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    }
    AudioStreamBasicDescription client{};
    formatSize = sizeof client;
    Check(ExtAudioFileGetProperty(file, kExtAudioFileProperty_ClientDataFormat, &formatSize,
                                  &client) == noErr);
    const bool planar = (client.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const UInt32 buffers = planar ? client.mChannelsPerFrame : 1;
    const UInt32 pieces[] = {1, 4096, 77, 1000};
    std::vector<uint8_t> listBytes(sizeof(AudioBufferList) + buffers * sizeof(AudioBuffer));
    auto *list = reinterpret_cast<AudioBufferList *>(listBytes.data());
    std::vector<uint8_t> space(size_t{4096} * client.mBytesPerFrame * buffers);
    // A bounded number of reads, and of frames: a damaged header may claim far more frames than
    // are there, and a few bytes of a compressed file may decode to millions of frames, which
    // would run the same code over and over at a hundredth of the rate.
    uint64_t delivered = 0;
    for (int k = 0; k < 2000 && delivered < (1u << 17); ++k) {
      const UInt32 asked = pieces[k % 4];
      list->mNumberBuffers = buffers;
      for (UInt32 b = 0; b < buffers; ++b)
        list->mBuffers[b] = {planar ? 1 : client.mChannelsPerFrame, asked * client.mBytesPerFrame,
                             space.data() + size_t{b} * asked * client.mBytesPerFrame};
      UInt32 frames = asked;
      const OSStatus status = ExtAudioFileRead(file, &frames, list);
      Check(frames <= asked);
      delivered += frames;
      if (status != noErr || (frames == 0 && asked > 0)) break;
    }
    Check(ExtAudioFileDispose(file) == noErr);
  }
  xnq_memory_file_unregister(kPath);
  return 0;
}
