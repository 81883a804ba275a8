// The one writer of every audio file xnq makes: the format comes from the output name's
// extension (WAV, AIFF, CAF, FLAC, Ogg Vorbis, Opus and the others libsndfile writes), the sample
// size from --bits; "-" streams a WAV to standard output. Every write is checked; the header is
// finished on every way out (the commands stop on signals and return through finish()); an
// output that is one of the inputs is refused before anything is written.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xnq::tool {

enum class SampleBits { Default, Int16, Int24, Int32, Float };

// "16", "24", "32" or "float"; false for anything else.
bool ParseBits(const std::string &text, SampleBits *bits);

class AudioWriter {
 public:
  AudioWriter() = default;
  ~AudioWriter();
  AudioWriter(const AudioWriter &) = delete;
  AudioWriter &operator=(const AudioWriter &) = delete;

  // Whether the output's name asks for a format this writer makes, with a sample size that
  // format has: "" when it does, else the problem (a usage mistake, found before anything runs).
  static std::string CheckFormat(const std::string &path, SampleBits bits);
  // "" unless the output (a path, or "-" for standard output) is one of the inputs: the same
  // device and inode, however it is named.
  static std::string CheckNotInput(const std::string &path, const std::vector<std::string> &inputs);

  // Opens the output for interleaved float frames of the given rate and channel count. Refuses
  // an output that is one of the inputs (same device and inode). False with problem() set.
  bool open(const std::string &path, double rate, int channels, SampleBits bits,
            const std::vector<std::string> &inputs);
  // Writes frames; false (with problem() set) when not all of them were written, as on a full
  // disk. After a failure the writer takes no more frames.
  bool write(const float *interleaved, int64_t frames);
  // Finishes the file: the header says how much it holds. A file whose writes failed is kept
  // only where its header can say what it holds (WAV); others are removed. False when the
  // file is not complete (problem() says why).
  bool finish();

  const std::string &problem() const { return problem_; }
  int64_t framesWritten() const { return frames_; }
  bool isOpen() const { return fd_ >= 0 || sndfile_ != nullptr; }
  // Whether the output goes to standard output.
  bool toStandardOutput() const { return path_ == "-"; }

 private:
  bool openWav(double rate);
  bool writeWav(const float *interleaved, int64_t frames);
  bool finishWav();
  bool fail(const std::string &problem);

  std::string path_, problem_;
  int channels_ = 0;
  SampleBits bits_ = SampleBits::Float;
  int64_t frames_ = 0;
  bool failed_ = false;
  // WAV, written here so that float files carry the header other tools read without warnings.
  int fd_ = -1;
  bool seekable_ = false;
  uint64_t dataBytes_ = 0;
  std::vector<uint8_t> bytes_;
  // Every other format, through libsndfile.
  SNDFILE *sndfile_ = nullptr;
};

}  // namespace xnq::tool
