// An audio file open for reading through libsndfile: the object behind an AudioFileID. It knows
// the file's own data format as the platform describes it, and how libsndfile decodes it without
// loss.
#pragma once

#include <sndfile.h>

#include <memory>

#include "converter/handle_table.h"
#include "os/audio_file.h"

namespace xnq::audiofile {

// What libsndfile hands out for a file with no loss: 32-bit left-justified integers for integer
// codecs, floats for float data and the lossy codecs, doubles for double data.
enum class Decoding { kInteger, kFloat, kDouble };

class SoundFile {
 public:
  // Opens the file a file URL names. Status: paramErr for a null or non-file URL, file not found
  // (-43), permissions ('prm?') when the file may not be read, unsupported file type ('typ?')
  // for directories, other non-regular files and data of no known format, invalid file ('dta?')
  // for a known format whose structure is broken, unsupported data format ('fmt?') for an
  // encoding libsndfile cannot decode.
  static OSStatus open(CFURLRef url, std::unique_ptr<SoundFile> &out);
  ~SoundFile();
  SoundFile(const SoundFile &) = delete;
  SoundFile &operator=(const SoundFile &) = delete;

  SNDFILE *handle() const { return sf_; }
  SInt64 frames() const { return info_.frames; }
  Float64 rate() const { return info_.samplerate; }
  UInt32 channels() const { return static_cast<UInt32>(info_.channels); }
  // The data as the file stores it: linear PCM with its bits, byte order and signedness, or the
  // codec's format ID with its usual packet size for compressed data.
  const AudioStreamBasicDescription &dataFormat() const { return dataFormat_; }
  UInt64 packets() const;
  Decoding decoding() const { return decoding_; }
  // Whether read() delivers the data as the file stores it: linear PCM of a layout the
  // converter reads.
  bool readsRaw() const { return raw_; }
  // What read() delivers: linear PCM data as the file stores it, and for compressed data
  // interleaved linear PCM in the machine's byte order, as decoding() says.
  AudioStreamBasicDescription decodedFormat() const;
  // Reads up to frames frames in the decoded format into to; the frames read (0 at the end or
  // on a read error).
  UInt32 read(void *to, UInt32 frames);

  // Set when an extended audio file opened this file: it closes the file, its callers do not.
  bool ownedByExtendedFile = false;

 private:
  SoundFile(int fd, SNDFILE *sf, const SF_INFO &info);
  static OSStatus adopt(int fd, SNDFILE *sf, const SF_INFO &info, std::unique_ptr<SoundFile> &out);

  int fd_;
  SNDFILE *sf_;
  SF_INFO info_;
  AudioStreamBasicDescription dataFormat_{};
  Decoding decoding_ = Decoding::kFloat;
  bool raw_ = false;
};

// The open audio files, by AudioFileID.
conv::HandleTable<SoundFile> &audioFiles();

}  // namespace xnq::audiofile
