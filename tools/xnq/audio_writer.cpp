#include "audio_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>

#include "messages.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

struct Container {
  const char *extension;
  int format;  // libsndfile's major format; 0 for the WAV written here
  const char *name;
  bool pcm;         // takes --bits (else a codec of its own)
  bool takesFloat;  // float samples
  SampleBits defaultBits;
};

constexpr Container kContainers[] = {
    {"wav", 0, "WAV", true, true, SampleBits::Float},
    {"wave", 0, "WAV", true, true, SampleBits::Float},
    {"aiff", SF_FORMAT_AIFF, "AIFF", true, true, SampleBits::Float},
    {"aif", SF_FORMAT_AIFF, "AIFF", true, true, SampleBits::Float},
    {"aifc", SF_FORMAT_AIFF, "AIFF", true, true, SampleBits::Float},
    {"caf", SF_FORMAT_CAF, "CAF", true, true, SampleBits::Float},
    {"w64", SF_FORMAT_W64, "Wave64", true, true, SampleBits::Float},
    {"rf64", SF_FORMAT_RF64, "RF64", true, true, SampleBits::Float},
    {"au", SF_FORMAT_AU, "AU", true, true, SampleBits::Float},
    {"snd", SF_FORMAT_AU, "AU", true, true, SampleBits::Float},
    {"flac", SF_FORMAT_FLAC, "FLAC", true, false, SampleBits::Int24},
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", false, false, SampleBits::Default},
    {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", false, false, SampleBits::Default},
    {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, "Opus", false, false, SampleBits::Default},
};

const Container *ContainerFor(const std::string &path) {
  if (path == "-") return &kContainers[0];
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return nullptr;
  std::string extension = path.substr(dot + 1);
  for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Container &c : kContainers) {
    if (extension == c.extension) return &c;
  }
  return nullptr;
}

int SubtypeFor(SampleBits bits) {
  switch (bits) {
    case SampleBits::Int16:
      return SF_FORMAT_PCM_16;
    case SampleBits::Int24:
      return SF_FORMAT_PCM_24;
    case SampleBits::Int32:
      return SF_FORMAT_PCM_32;
    default:
      return SF_FORMAT_FLOAT;
  }
}

int BytesFor(SampleBits bits) {
  return bits == SampleBits::Int16 ? 2 : bits == SampleBits::Int24 ? 3 : 4;
}

void Put16(uint8_t *to, uint32_t v) {
  to[0] = uint8_t(v);
  to[1] = uint8_t(v >> 8);
}
void Put32(uint8_t *to, uint32_t v) {
  for (int i = 0; i < 4; ++i) to[i] = uint8_t(v >> (8 * i));
}

// Writes all of bytes, going on after a signal interrupts; false with errno set on a failure.
bool WriteAll(int fd, const uint8_t *bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    // A stop signal ends a write blocked on a pipe that nobody reads; other signals retry.
    if (n < 0 && errno == EINTR && !stopRequested()) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

constexpr size_t kWavHeaderBytes = 12 + 8 + 18 + 12 + 8;  // RIFF, fmt (18), fact, data

}  // namespace

bool ParseBits(const std::string &text, SampleBits *bits) {
  if (text == "16")
    *bits = SampleBits::Int16;
  else if (text == "24")
    *bits = SampleBits::Int24;
  else if (text == "32")
    *bits = SampleBits::Int32;
  else if (text == "float")
    *bits = SampleBits::Float;
  else
    return false;
  return true;
}

std::string AudioWriter::CheckFormat(const std::string &path, SampleBits bits) {
  const Container *c = ContainerFor(path);
  if (c == nullptr)
    return "'" + path +
           "': name the output with the extension of a format: .wav, .aiff, .caf, .flac, .ogg, "
           ".opus, .au, .w64 or .rf64 (or - for a WAV on standard output)";
  if (bits == SampleBits::Default) return "";
  if (!c->pcm) return std::string(c->name) + " has no --bits (it is a codec of its own)";
  if (bits == SampleBits::Float && !c->takesFloat)
    return std::string(c->name) + " takes --bits 16 or 24";
  if (bits == SampleBits::Int32 && c->format == SF_FORMAT_FLAC)
    return std::string(c->name) + " takes --bits 16 or 24";
  return "";
}

std::string AudioWriter::CheckNotInput(const std::string &path,
                                       const std::vector<std::string> &inputs) {
  // The output may exist already: as one of the inputs it would be destroyed while being read.
  struct stat out {};
  if ((path == "-" ? fstat(STDOUT_FILENO, &out) : stat(path.c_str(), &out)) != 0) return "";
  for (const std::string &input : inputs) {
    struct stat in {};
    if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino &&
        S_ISREG(in.st_mode))
      return "the output would overwrite the input " + input + "; give another output";
  }
  return "";
}

AudioWriter::~AudioWriter() {
  if (isOpen()) finish();
}

bool AudioWriter::fail(const std::string &problem) {
  if (problem_.empty()) problem_ = problem;
  failed_ = true;
  return false;
}

bool AudioWriter::open(const std::string &path, double rate, int channels, SampleBits bits,
                       const std::vector<std::string> &inputs) {
  path_ = path;
  channels_ = channels;
  const Container *c = ContainerFor(path);
  if (std::string format = CheckFormat(path, bits); !format.empty()) return fail(format);
  bits_ = bits == SampleBits::Default ? c->defaultBits : bits;
  if (std::string same = CheckNotInput(path, inputs); !same.empty()) return fail(same);
  if (c->format == 0) return openWav(rate);
  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(rate));
  info.channels = channels;
  info.format = c->format | (c->pcm ? SubtypeFor(bits_) : 0);
  if (!sf_format_check(&info)) return fail(std::string(c->name) + " cannot hold this sound");
  static constexpr int kOpusRates[] = {8000, 12000, 16000, 24000, 48000};
  if ((c->format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS &&
      std::find(std::begin(kOpusRates), std::end(kOpusRates), info.samplerate) ==
          std::end(kOpusRates))
    return fail("Opus holds only 8000, 12000, 16000, 24000 or 48000 Hz, not " +
                std::to_string(info.samplerate) + " Hz");
  sndfile_ = sf_open(path.c_str(), SFM_WRITE, &info);
  if (sndfile_ == nullptr) return fail(std::string("cannot write: ") + sf_strerror(nullptr));
  // No PEAK chunk: keeping it would scan every sample written for the file's maxima.
  sf_command(sndfile_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  // Samples past full scale are held at it, not wrapped around, and floats scale to integers
  // by the same power of two they are read back with.
  sf_command(sndfile_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return true;
}

bool AudioWriter::openWav(double rate) {
  if (path_ == "-") {
    fd_ = STDOUT_FILENO;
  } else {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return fail(SystemWords(errno));
  }
  seekable_ = lseek(fd_, 0, SEEK_CUR) >= 0;
  const bool isFloat = bits_ == SampleBits::Float;
  const uint32_t bytes = static_cast<uint32_t>(BytesFor(bits_));
  const auto sampleRate = static_cast<uint32_t>(std::lround(rate));
  uint8_t header[kWavHeaderBytes] = {};
  // Sizes not yet known: the largest values, which is also what a stream that never learns
  // them keeps (readers then read to the end of the data).
  std::memcpy(header, "RIFF\xff\xff\xff\xffWAVEfmt ", 16);
  Put32(header + 16, 18);
  Put16(header + 20, isFloat ? 3 : 1);
  Put16(header + 22, static_cast<uint32_t>(channels_));
  Put32(header + 24, sampleRate);
  Put32(header + 28, sampleRate * bytes * static_cast<uint32_t>(channels_));
  Put16(header + 32, bytes * static_cast<uint32_t>(channels_));
  Put16(header + 34, bytes * 8);
  Put16(header + 36, 0);  // no extension; a float fmt chunk of 18 bytes is what readers expect
  std::memcpy(header + 38, "fact", 4);
  Put32(header + 42, 4);
  Put32(header + 46, 0xffffffff);
  std::memcpy(header + 50, "data\xff\xff\xff\xff", 8);
  if (!WriteAll(fd_, header, sizeof header)) return fail(SystemWords(errno));
  return true;
}

bool AudioWriter::write(const float *interleaved, int64_t frames) {
  if (failed_) return false;
  if (frames <= 0) return true;
  if (fd_ >= 0) return writeWav(interleaved, frames);
  const sf_count_t written = sf_writef_float(sndfile_, interleaved, frames);
  if (written > 0) frames_ += written;
  if (written != frames) {
    const int error = errno;
    return fail(error != 0 ? SystemWords(error) : sf_strerror(sndfile_));
  }
  return true;
}

bool AudioWriter::writeWav(const float *interleaved, int64_t frames) {
  const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
  const int bytes = BytesFor(bits_);
  bytes_.resize(samples * static_cast<size_t>(bytes));
  uint8_t *to = bytes_.data();
  for (size_t i = 0; i < samples; ++i, to += bytes) {
    const float s = interleaved[i];
    if (bits_ == SampleBits::Float) {
      std::memcpy(to, &s, 4);  // the machines this runs on are little-endian, as WAV is
      continue;
    }
    // Rounded to the nearest step and held inside full scale.
    const double scale = bits_ == SampleBits::Int16   ? 32768.0
                         : bits_ == SampleBits::Int24 ? 8388608.0
                                                      : 2147483648.0;
    const double v = std::clamp(std::nearbyint(static_cast<double>(s) * scale), -scale, scale - 1);
    const auto n = static_cast<uint32_t>(static_cast<int32_t>(std::isnan(v) ? 0 : v));
    for (int b = 0; b < bytes; ++b) to[b] = uint8_t(n >> (8 * b));
  }
  if (!WriteAll(fd_, bytes_.data(), bytes_.size())) {
    const int error = errno;
    return fail(SystemWords(error));
  }
  dataBytes_ += bytes_.size();
  frames_ += frames;
  return true;
}

bool AudioWriter::finishWav() {
  bool ok = !failed_;
  if (seekable_) {
    // After a failed write the file may end in part of a block: cut it back to the whole
    // frames the header will count, so the header matches the data.
    if (failed_ && ftruncate(fd_, static_cast<off_t>(kWavHeaderBytes + dataBytes_)) != 0)
      ok = fail(SystemWords(errno));
    const uint64_t riff = 4 + 26 + 12 + 8 + dataBytes_;
    uint8_t size[4];
    auto patch = [&](off_t at, uint64_t value) {
      Put32(size, static_cast<uint32_t>(std::min<uint64_t>(value, 0xffffffff)));
      if (pwrite(fd_, size, 4, at) != 4) ok = fail(SystemWords(errno));
    };
    patch(4, riff);
    patch(46, static_cast<uint64_t>(frames_));
    patch(54, dataBytes_);
  }
  if (fd_ != STDOUT_FILENO && ::close(fd_) != 0) ok = fail(SystemWords(errno));
  fd_ = -1;
  return ok;
}

bool AudioWriter::finish() {
  if (fd_ >= 0) return finishWav();
  if (sndfile_ == nullptr) return !failed_;
  const bool closed = sf_close(sndfile_) == 0;
  sndfile_ = nullptr;
  if (!closed) fail("cannot finish the file");
  if (failed_) {
    // A compressed or libsndfile-made file cut short by a failed write cannot be trusted to
    // say what it holds: none is better than a broken one.
    unlink(path_.c_str());
    problem_ += " (the unfinished file was removed)";
  }
  return !failed_;
}

}  // namespace xnq::tool
