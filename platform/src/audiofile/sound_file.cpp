#include "audiofile/sound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include "audiofile/file_bytes.h"
#include "audiofile/ogg_pages.h"
#include "converter/pcm_format.h"

namespace xnq::audiofile {
namespace {

// How the data format describes a compressed encoding: the platform's format ID and the usual
// size of one packet. Variable sizes are 0. Vorbis and the telephony codecs have no format ID
// of the platform's own; these four-character codes name them here.
struct Codec {
  int subtype;
  UInt32 formatID;
  UInt32 framesPerPacket;
  UInt32 bytesPerPacketPerChannel;
};

constexpr Codec kCodecs[] = {
    {SF_FORMAT_ULAW, kAudioFormatULaw, 1, 1},
    {SF_FORMAT_ALAW, kAudioFormatALaw, 1, 1},
    {SF_FORMAT_IMA_ADPCM, kAudioFormatIMA4, 64, 0},
    {SF_FORMAT_MS_ADPCM, XNQ_FOURCC('m', 's', 0, 2), 0, 0},
    {SF_FORMAT_GSM610, kAudioFormatGSM610, 320, 0},
    {SF_FORMAT_VOX_ADPCM, XNQ_FOURCC('v', 'o', 'x', ' '), 0, 0},
    {SF_FORMAT_NMS_ADPCM_16, XNQ_FOURCC('n', 'm', 's', ' '), 0, 0},
    {SF_FORMAT_NMS_ADPCM_24, XNQ_FOURCC('n', 'm', 's', ' '), 0, 0},
    {SF_FORMAT_NMS_ADPCM_32, XNQ_FOURCC('n', 'm', 's', ' '), 0, 0},
    {SF_FORMAT_G721_32, XNQ_FOURCC('g', '7', '2', '1'), 0, 0},
    {SF_FORMAT_G723_24, XNQ_FOURCC('g', '7', '2', '3'), 0, 0},
    {SF_FORMAT_G723_40, XNQ_FOURCC('g', '7', '2', '3'), 0, 0},
    {SF_FORMAT_DWVW_12, XNQ_FOURCC('d', 'w', 'v', 'w'), 0, 0},
    {SF_FORMAT_DWVW_16, XNQ_FOURCC('d', 'w', 'v', 'w'), 0, 0},
    {SF_FORMAT_DWVW_24, XNQ_FOURCC('d', 'w', 'v', 'w'), 0, 0},
    {SF_FORMAT_DWVW_N, XNQ_FOURCC('d', 'w', 'v', 'w'), 0, 0},
    {SF_FORMAT_DPCM_8, XNQ_FOURCC('d', 'p', 'c', 'm'), 0, 0},
    {SF_FORMAT_DPCM_16, XNQ_FOURCC('d', 'p', 'c', 'm'), 0, 0},
    {SF_FORMAT_VORBIS, XNQ_FOURCC('v', 'o', 'r', 'b'), 0, 0},
    {SF_FORMAT_OPUS, kAudioFormatOpus, 960, 0},
    {SF_FORMAT_ALAC_16, kAudioFormatLossless, 4096, 0},
    {SF_FORMAT_ALAC_20, kAudioFormatLossless, 4096, 0},
    {SF_FORMAT_ALAC_24, kAudioFormatLossless, 4096, 0},
    {SF_FORMAT_ALAC_32, kAudioFormatLossless, 4096, 0},
    {SF_FORMAT_MPEG_LAYER_I, kAudioFormatMPEGLayer1, 384, 0},
    {SF_FORMAT_MPEG_LAYER_II, kAudioFormatMPEGLayer2, 1152, 0},
    {SF_FORMAT_MPEG_LAYER_III, kAudioFormatMPEGLayer3, 1152, 0},
};

// The bit depth of integer source data, for the lossless codecs' format flags (1: 16 bits,
// 2: 20, 3: 24, 4: 32) and for linear PCM.
UInt32 sourceBits(int subtype) {
  switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return 8;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ALAC_16:
      return 16;
    case SF_FORMAT_ALAC_20:
      return 20;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_24:
      return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
    case SF_FORMAT_FLOAT:
      return 32;
    case SF_FORMAT_DOUBLE:
      return 64;
    default:
      return 0;
  }
}

UInt32 losslessFlags(UInt32 bits) {
  switch (bits) {
    case 16:
      return 1;
    case 20:
      return 2;
    case 24:
      return 3;
    case 32:
      return 4;
    default:
      return 0;
  }
}

AudioStreamBasicDescription describe(const SF_INFO &info, bool bigEndian) {
  const int major = info.format & SF_FORMAT_TYPEMASK;
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const auto channels = static_cast<UInt32>(info.channels);
  AudioStreamBasicDescription d{};
  d.mSampleRate = info.samplerate;
  d.mChannelsPerFrame = channels;
  const UInt32 bits = sourceBits(subtype);
  if (major == SF_FORMAT_FLAC) {
    d.mFormatID = kAudioFormatFLAC;
    d.mFormatFlags = losslessFlags(bits);
    d.mFramesPerPacket = 4096;
    return d;
  }
  for (const Codec &c : kCodecs) {
    if (c.subtype != subtype) continue;
    d.mFormatID = c.formatID;
    d.mFramesPerPacket = c.framesPerPacket;
    d.mBytesPerPacket = c.bytesPerPacketPerChannel * channels;
    if (c.formatID == kAudioFormatLossless) d.mFormatFlags = losslessFlags(bits);
    if (c.bytesPerPacketPerChannel == 1) d.mBitsPerChannel = 8;
    return d;
  }
  // Linear PCM; 8-bit data without a sign is offset binary, as WAV stores it.
  d.mFormatID = kAudioFormatLinearPCM;
  const bool isFloat = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
  d.mFormatFlags = kAudioFormatFlagIsPacked | (isFloat ? kAudioFormatFlagIsFloat : 0) |
                   (!isFloat && subtype != SF_FORMAT_PCM_U8 ? kAudioFormatFlagIsSignedInteger : 0) |
                   (bigEndian && bits > 8 ? kAudioFormatFlagIsBigEndian : 0);
  d.mBitsPerChannel = bits;
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = d.mBytesPerPacket = bits / 8 * channels;
  return d;
}

Decoding decodingOf(int subtype) {
  switch (subtype) {
    case SF_FORMAT_DOUBLE:
      return Decoding::kDouble;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
      return Decoding::kFloat;
    default:
      return Decoding::kInteger;
  }
}

OSStatus openStatus(int sndfileError) {
  switch (sndfileError) {
    case SF_ERR_UNRECOGNISED_FORMAT:
      return kAudioFileUnsupportedFileTypeError;
    case SF_ERR_SYSTEM:
      return kAudioFileUnspecifiedError;
    case SF_ERR_UNSUPPORTED_ENCODING:
      return kAudioFileUnsupportedDataFormatError;
    default:  // malformed files and libsndfile's own format-specific complaints
      return kAudioFileInvalidFileError;
  }
}

// libsndfile's access to a FileView.
sf_count_t viewLength(void *view) { return static_cast<FileView *>(view)->length; }

sf_count_t viewSeek(sf_count_t offset, int whence, void *data) {
  auto *view = static_cast<FileView *>(data);
  const sf_count_t base = whence == SEEK_SET   ? 0
                          : whence == SEEK_CUR ? view->position
                                               : view->length;
  sf_count_t to = 0;
  if (__builtin_add_overflow(base, offset, &to) || to < 0) return -1;
  view->position = to;
  return to;
}

sf_count_t viewRead(void *to, sf_count_t count, void *data) {
  auto *view = static_cast<FileView *>(data);
  if (count <= 0 || view->position >= view->length) return 0;
  const auto n = static_cast<size_t>(std::min<sf_count_t>(count, view->length - view->position));
  const size_t got = readAt(view->fd, to, n, view->position);
  view->position += static_cast<off_t>(got);
  return static_cast<sf_count_t>(got);
}

sf_count_t viewWrite(const void *, sf_count_t, void *) { return 0; }

sf_count_t viewTell(void *view) { return static_cast<FileView *>(view)->position; }

SF_VIRTUAL_IO kViewIo = {viewLength, viewSeek, viewRead, viewWrite, viewTell};

}  // namespace

SoundFile::SoundFile(int fd) : fd_(fd) {}

SoundFile::~SoundFile() {
  if (sf_ != nullptr) sf_close(sf_);
  close(fd_);
}

OSStatus SoundFile::open(CFURLRef url, std::unique_ptr<SoundFile> &out) {
  UInt8 path[PATH_MAX];
  if (url == nullptr || !CFURLGetFileSystemRepresentation(url, true, path, sizeof path))
    return paramErr;
  // Without blocking: opening a FIFO for reading would wait for a writer, for good, before the
  // check below could refuse it.
  const int fd = ::open(reinterpret_cast<const char *>(path), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
      return kAudioFileFileNotFoundError;
    return errno == EACCES || errno == EPERM ? OSStatus{kAudioFilePermissionsError}
                                             : OSStatus{kAudioFileUnspecifiedError};
  }
  // Only regular files and block devices hold data that reads from a start to an end: a
  // directory holds no audio, and reading a FIFO, a socket or a character device may block or
  // never end. They get 'typ?', a type of file the service does not read, as a directory does;
  // not 'prm?', which would send the user to change permissions that are not the problem.
  struct stat status;
  if (fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) {
    close(fd);
    return kAudioFileUnsupportedFileTypeError;
  }
  const int flags = fcntl(fd, F_GETFL);
  const off_t size = S_ISREG(status.st_mode) ? status.st_size : lseek(fd, 0, SEEK_END);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || size < 0) {
    close(fd);
    return kAudioFileUnspecifiedError;
  }
  std::unique_ptr<SoundFile> file(new (std::nothrow) SoundFile(fd));
  if (file == nullptr) {
    close(fd);
    return memFullErr;
  }
  const OSStatus result = file->openData(size);
  if (result == noErr) out = std::move(file);
  return result;
}

OSStatus SoundFile::openData(off_t size) {
  view_ = {fd_, isOgg(fd_) ? oggWholePagesLength(fd_, size) : size, 0};
  SF_INFO info{};
  sf_ = sf_open_virtual(&kViewIo, SFM_READ, &info, &view_);
  if (sf_ == nullptr) {
    const OSStatus status = openStatus(sf_error(nullptr));
    WaveInt64 wave;
    if (!WaveInt64::find(fd_, size, wave)) return status;
    wave_.reset(new (std::nothrow) WaveInt64(wave));
    if (wave_ == nullptr) return memFullErr;
    rate_ = wave.rate;
    channels_ = wave.channels;
    frames_ = wave.frames;
    dataFormat_ = {rate_,
                   kAudioFormatLinearPCM,
                   UInt32{kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked} |
                       (wave.bigEndian ? UInt32{kAudioFormatFlagIsBigEndian} : 0u),
                   8 * channels_,
                   1,
                   8 * channels_,
                   channels_,
                   64,
                   0};
    decoding_ = Decoding::kDouble;
    return noErr;
  }
  if (info.channels < 1 || info.samplerate < 1) return kAudioFileInvalidFileError;
  if (static_cast<UInt32>(info.channels) > conv::kMaxChannels)
    return kAudioFileUnsupportedDataFormatError;
  rate_ = info.samplerate;
  channels_ = static_cast<UInt32>(info.channels);
  const bool swapped = sf_command(sf_, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE;
  const bool bigEndian = swapped != (std::endian::native == std::endian::big);
  dataFormat_ = describe(info, bigEndian);
  decoding_ = decodingOf(info.format & SF_FORMAT_SUBMASK);
  conv::PcmFormat layout;
  raw_ = dataFormat_.mFormatID == kAudioFormatLinearPCM && conv::describePcm(dataFormat_, layout);
  if (info.frames >= 0 && info.frames != SF_COUNT_MAX) {
    frames_ = info.frames;
    return noErr;
  }
  return countFrames();
}

// A file with no length in its header is decoded once to count its frames, and libsndfile is
// started afresh on it, as not every codec seeks back to the start.
OSStatus SoundFile::countFrames() {
  const UInt32 perRead = std::max<UInt32>(1, 16384 / channels_);
  std::vector<float> block;
  try {
    block.resize(size_t{perRead} * channels_);
  } catch (const std::bad_alloc &) {
    return memFullErr;
  }
  SInt64 counted = 0;
  for (sf_count_t n; (n = sf_readf_float(sf_, block.data(), perRead)) > 0;) counted += n;
  sf_close(sf_);
  view_.position = 0;
  SF_INFO info{};
  sf_ = sf_open_virtual(&kViewIo, SFM_READ, &info, &view_);
  if (sf_ == nullptr) return kAudioFileInvalidFileError;
  frames_ = counted;
  return noErr;
}

UInt64 SoundFile::packets() const {
  const UInt32 perPacket = dataFormat_.mFramesPerPacket;
  const auto frames = static_cast<UInt64>(frames_);
  return perPacket <= 1 ? frames : (frames + perPacket - 1) / perPacket;
}

// Linear PCM goes to its reader as stored: the converter turns every layout into any other
// with the values libsndfile's own conversions give, in one pass instead of libsndfile's
// conversion to 32-bit integers followed by the converter's.
AudioStreamBasicDescription SoundFile::decodedFormat() const {
  if (raw_) return dataFormat_;
  const UInt32 bytes = decoding_ == Decoding::kDouble ? 8 : 4;
  const UInt32 flags =
      kAudioFormatFlagIsPacked |
      (decoding_ == Decoding::kInteger ? kAudioFormatFlagIsSignedInteger : kAudioFormatFlagIsFloat);
  const UInt32 perFrame = bytes * channels_;
  return {rate_, kAudioFormatLinearPCM, flags, perFrame, 1, perFrame, channels(), bytes * 8, 0};
}

UInt32 SoundFile::read(void *to, UInt32 frames) {
  if (wave_ != nullptr)
    return ended(frames, wave_->read(fd_, position_, static_cast<double *>(to), frames));
  if (raw_) {
    // A truncated file may end inside a frame; that part of a frame is not delivered.
    const UInt32 perFrame = dataFormat_.mBytesPerFrame;
    const sf_count_t bytes = sf_read_raw(sf_, to, sf_count_t{frames} * perFrame);
    return ended(frames, bytes > 0 ? static_cast<UInt32>(bytes / perFrame) : 0);
  }
  sf_count_t n = 0;
  switch (decoding_) {
    case Decoding::kInteger:
      n = sf_readf_int(sf_, static_cast<int *>(to), frames);
      break;
    case Decoding::kFloat:
      n = sf_readf_float(sf_, static_cast<float *>(to), frames);
      break;
    case Decoding::kDouble:
      n = sf_readf_double(sf_, static_cast<double *>(to), frames);
      break;
  }
  return ended(frames, n > 0 ? static_cast<UInt32>(n) : 0);
}

UInt32 SoundFile::readFloat(float *to, UInt32 frames) {
  if (wave_ != nullptr) return ended(frames, wave_->read(fd_, position_, to, frames));
  const sf_count_t n = sf_readf_float(sf_, to, frames);
  return ended(frames, n > 0 ? static_cast<UInt32>(n) : 0);
}

UInt32 SoundFile::ended(UInt32 asked, UInt32 got) {
  position_ += got;
  // A short read is the real end of what decodes: the length follows it from now on.
  if (got < asked && position_ < frames_) frames_ = position_;
  return got;
}

bool SoundFile::seek(SInt64 frame) {
  if (frame == position_) return true;
  if (frame < 0 || frame > frames_) return false;
  if (wave_ == nullptr && sf_seek(sf_, frame, SEEK_SET) != frame) return false;
  position_ = frame;
  return true;
}

conv::HandleTable<SoundFile> &audioFiles() {
  static conv::HandleTable<SoundFile> table;
  return table;
}

}  // namespace xnq::audiofile
