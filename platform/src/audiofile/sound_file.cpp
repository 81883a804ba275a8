#include "audiofile/sound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <new>

#include "audiofile/memory_file.h"
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

// Closes a file that open() opened: fd -1 is a memory file.
void closeFile(int fd, SNDFILE *sf) {
  if (fd < 0) return closeMemoryFile(sf);
  sf_close(sf);
  close(fd);
}

}  // namespace

SoundFile::SoundFile(int fd, SNDFILE *sf, const SF_INFO &info) : fd_(fd), sf_(sf), info_(info) {
  if (info_.frames < 0) info_.frames = 0;
  const bool swapped = sf_command(sf_, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE;
  const bool bigEndian = swapped != (std::endian::native == std::endian::big);
  dataFormat_ = describe(info_, bigEndian);
  decoding_ = decodingOf(info_.format & SF_FORMAT_SUBMASK);
  conv::PcmFormat layout;
  raw_ = dataFormat_.mFormatID == kAudioFormatLinearPCM && conv::describePcm(dataFormat_, layout);
}

SoundFile::~SoundFile() { closeFile(fd_, sf_); }

OSStatus SoundFile::open(CFURLRef url, std::unique_ptr<SoundFile> &out) {
  UInt8 path[PATH_MAX];
  if (url == nullptr || !CFURLGetFileSystemRepresentation(url, true, path, sizeof path))
    return paramErr;
  SF_INFO info{};
  SNDFILE *sf = nullptr;
  if (openMemoryFile(reinterpret_cast<const char *>(path), &info, &sf))
    return sf == nullptr ? openStatus(sf_error(nullptr)) : adopt(-1, sf, info, out);
  const int fd = ::open(reinterpret_cast<const char *>(path), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
      return kAudioFileFileNotFoundError;
    return errno == EACCES || errno == EPERM ? OSStatus{kAudioFilePermissionsError}
                                             : OSStatus{kAudioFileUnspecifiedError};
  }
  // Only regular files: a directory holds no audio, and reading a pipe or a device could block.
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return kAudioFileUnsupportedFileTypeError;
  }
  sf = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (sf == nullptr) {
    const OSStatus result = openStatus(sf_error(nullptr));
    close(fd);
    return result;
  }
  return adopt(fd, sf, info, out);
}

// Takes an open file (fd -1: a memory file) if its numbers are usable, else closes it.
OSStatus SoundFile::adopt(int fd, SNDFILE *sf, const SF_INFO &info,
                          std::unique_ptr<SoundFile> &out) {
  if (info.channels < 1 || static_cast<UInt32>(info.channels) > conv::kMaxChannels ||
      info.samplerate < 1) {
    closeFile(fd, sf);
    return info.channels < 1 || info.samplerate < 1
               ? OSStatus{kAudioFileInvalidFileError}
               : OSStatus{kAudioFileUnsupportedDataFormatError};
  }
  out.reset(new (std::nothrow) SoundFile(fd, sf, info));
  if (out == nullptr) {
    closeFile(fd, sf);
    return memFullErr;
  }
  return noErr;
}

UInt64 SoundFile::packets() const {
  const UInt32 perPacket = dataFormat_.mFramesPerPacket;
  const auto frames = static_cast<UInt64>(info_.frames);
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
  const UInt32 perFrame = bytes * channels();
  return {rate(), kAudioFormatLinearPCM, flags, perFrame, 1, perFrame, channels(), bytes * 8, 0};
}

UInt32 SoundFile::read(void *to, UInt32 frames) {
  if (raw_) {
    // A truncated file may end inside a frame; that part of a frame is not delivered.
    const UInt32 perFrame = dataFormat_.mBytesPerFrame;
    const sf_count_t bytes = sf_read_raw(sf_, to, sf_count_t{frames} * perFrame);
    return bytes > 0 ? static_cast<UInt32>(bytes / perFrame) : 0;
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
  return n > 0 ? static_cast<UInt32>(n) : 0;
}

conv::HandleTable<SoundFile> &audioFiles() {
  static conv::HandleTable<SoundFile> table;
  return table;
}

}  // namespace xnq::audiofile
