// An audio file open for reading through libsndfile: the object behind an AudioFileID. It knows
// the file's own data format as the platform describes it, and how libsndfile decodes it without
// loss.
#pragma once

#include <sndfile.h>
#include <sys/types.h>

#include <memory>

#include "audiofile/wave_int64.h"
#include "converter/handle_table.h"
#include "os/audio_file.h"

namespace xnq::audiofile {

// What libsndfile hands out for a file with no loss: 32-bit left-justified integers for integer
// codecs, floats for float data and the lossy codecs, doubles for double data (and for the
// 64-bit integer WAVE files read here).
enum class Decoding { kInteger, kFloat, kDouble };

// What libsndfile reads through: the file's first `length` bytes, so that an Ogg file cut inside
// a page shows libsndfile only its whole pages.
struct FileView {
  int fd = -1;
  off_t length = 0;
  off_t position = 0;
};

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

  // The file's length in frames. A header's count (FLAC's STREAMINFO, an Ogg stream's last
  // granule position, a 'data' chunk's size) is only a claim: it stands until a read meets the
  // real end of what decodes, and from then on the length is the frames that really decoded
  // (never more than the claim, which also caps what libsndfile delivers). So the extended file's
  // '#frm' and the audio file's 'edur' and packet count, read after reading everything (as the
  // file player does), match what the reader got. A file whose header gives no length (a FLAC
  // stream written without one) is decoded once when it opens to count its frames.
  SInt64 frames() const { return frames_; }
  Float64 rate() const { return rate_; }
  UInt32 channels() const { return channels_; }
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
  // Reads up to frames frames in the decoded format into to; the frames read, fewer only at the
  // end of what decodes (or on a read error, which ends it as well).
  UInt32 read(void *to, UInt32 frames);
  // The same as interleaved native 32-bit floats.
  UInt32 readFloat(float *to, UInt32 frames);
  // Moves reading to frame; false when the file cannot go there. Reading on from where it
  // stands needs no seek, so files whose codec cannot seek are read from their start.
  bool seek(SInt64 frame);

  // Set when an extended audio file opened this file: it closes the file, its callers do not.
  bool ownedByExtendedFile = false;

 private:
  explicit SoundFile(int fd);
  OSStatus openData(off_t size);
  OSStatus countFrames();
  UInt32 ended(UInt32 asked, UInt32 got);

  int fd_;
  FileView view_;
  SNDFILE *sf_ = nullptr;
  // Set instead of sf_ for a WAVE file of 64-bit integer samples.
  std::unique_ptr<WaveInt64> wave_;
  SInt64 frames_ = 0;
  // The frame the next read starts at.
  SInt64 position_ = 0;
  Float64 rate_ = 0;
  UInt32 channels_ = 0;
  AudioStreamBasicDescription dataFormat_{};
  Decoding decoding_ = Decoding::kFloat;
  bool raw_ = false;
};

// The open audio files, by AudioFileID.
conv::HandleTable<SoundFile> &audioFiles();

}  // namespace xnq::audiofile
