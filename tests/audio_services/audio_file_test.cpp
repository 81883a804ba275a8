// The extended audio file and audio file services as a file player uses them: files of every
// format libsndfile writes, read in several client formats and compared with libsndfile's own
// decode; sample-rate conversion, seeking, hostile files, and bad files, formats and arguments.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include "audio_test_support.h"
#include "platform/memory_files.h"

namespace audio_test {
namespace {

const std::string &kDir = ScratchFolder();

OSStatus open(const std::string &name, ExtAudioFileRef *file) {
  FSRef folder;
  EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(kDir.c_str()), &folder, nullptr), noErr);
  CFURLRef base = CFURLCreateFromFSRef(nullptr, &folder);
  CFStringRef leaf = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
  CFURLRef url = CFURLCreateCopyAppendingPathComponent(nullptr, base, leaf, false);
  const OSStatus status = ExtAudioFileOpenURL(url, file);
  for (CFTypeRef cf : {CFTypeRef(base), CFTypeRef(leaf), CFTypeRef(url)}) CFRelease(cf);
  return status;
}

// Writes two tones, one per channel, and gives libsndfile's decode of what it wrote.
std::vector<double> write(const std::string &name, int format, int rate, int channels, int frames,
                          SF_INFO &info) {
  WriteAudio(kDir + "/" + name, format, rate, channels, frames,
             [&](int f, int c) { return 0.6 * std::sin(2 * M_PI * (300 + 200 * c) * f / rate); });
  return ReadAudio<double>(kDir + "/" + name, &info);
}

template <class T>
T property(ExtAudioFileRef file, ExtAudioFilePropertyID id) {
  T value{};
  UInt32 size = sizeof value;
  EXPECT_EQ(ExtAudioFileGetProperty(file, id, &size, &value), noErr);
  return value;
}

OSStatus setClient(ExtAudioFileRef file, const AudioStreamBasicDescription &f) {
  return ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof f, &f);
}

// Reads up to frames frames in calls of chunk frames; the frames read.
UInt32 readAll(ExtAudioFileRef file, const AudioStreamBasicDescription &f, Buffers &b,
               UInt32 frames, UInt32 chunk) {
  UInt32 total = 0;
  for (UInt32 n = 1; n > 0 && total < frames; total += n) {
    n = std::min(chunk, frames - total);
    EXPECT_EQ(ExtAudioFileRead(file, &n, b.at(f, total, n)), noErr);
  }
  return total;
}

constexpr UInt32 kLpcm = kAudioFormatLinearPCM;
const struct {
  const char *name;
  int format;
  UInt32 formatID, flags, bits;
  int rate = 44100, channels = 2;
} kFormats[] = {
    {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, kLpcm, kAudioFormatFlagIsPacked, 8},
    {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, kLpcm, kSigned, 16, 22050, 1},
    {"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, kLpcm, kSigned, 24},
    {"s32.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, kLpcm, kSigned, 32, 48000, 3},
    {"f32.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, kLpcm, kFloat, 32},
    {"rifx.wav", SF_FORMAT_WAV | SF_ENDIAN_BIG | SF_FORMAT_PCM_24, kLpcm, kSigned | kBig, 24},
    {"s16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, kLpcm, kSigned | kBig, 16},
    {"f64.aifc", SF_FORMAT_AIFF | SF_FORMAT_DOUBLE, kLpcm, kFloat | kBig, 64, 8000, 1},
    {"s24.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24, kLpcm, kSigned | kBig, 24},
    {"ulaw.caf", SF_FORMAT_CAF | SF_FORMAT_ULAW, kAudioFormatULaw, 0, 8},
    {"s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, kAudioFormatFLAC, 1, 0},
    {"s24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, kAudioFormatFLAC, 3, 0, 96000, 1},
    {"v.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, XNQ_FOURCC('v', 'o', 'r', 'b'), 0, 0},
    {"o.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, kAudioFormatOpus, 0, 0, 48000},
    {"l3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, kAudioFormatMPEGLayer3, 0, 0},
};

// Every format: its own description and length; three client formats (floats as the
// file has them, decoded straight; one float64 channel; three 16-bit big-endian channels)
// against libsndfile's decode of the same file; a fourth at another rate, whose length follows
// the rate; seeks in client frames.
TEST(ExtAudioFile, ReadsEveryFormatAsLibsndfileDecodesIt) {
  for (const auto &f : kFormats) {
    SCOPED_TRACE(f.name);
    SF_INFO info;
    const std::vector<double> ref = write(f.name, f.format, f.rate, f.channels, 5000, info);
    const auto frames = static_cast<UInt32>(ref.size() / f.channels);
    ExtAudioFileRef file = nullptr;
    ASSERT_EQ(open(f.name, &file), noErr);
    const auto d =
        property<AudioStreamBasicDescription>(file, kExtAudioFileProperty_FileDataFormat);
    EXPECT_EQ(std::tuple(d.mFormatID, d.mFormatFlags, d.mBitsPerChannel, d.mChannelsPerFrame,
                         d.mSampleRate),
              std::tuple(f.formatID, f.flags, f.bits, UInt32(f.channels), double(f.rate)));
    EXPECT_EQ(property<SInt64>(file, kExtAudioFileProperty_FileLengthFrames), info.frames);
    const AudioStreamBasicDescription clients[] = {
        pcm(f.rate, f.channels, 32, kFloat), pcm(f.rate, 1, 64, kFloat | kPlanar),
        pcm(f.rate, 3, 16, kSigned | kBig), pcm(f.rate * 0.75, 2, 32, kFloat | kPlanar)};
    for (int c = 0; c < 4; ++c) {
      const UInt32 channels = clients[c].mChannelsPerFrame;
      const auto expected = UInt32(std::llround(frames * clients[c].mSampleRate / f.rate));
      ASSERT_EQ(setClient(file, clients[c]), noErr);
      ASSERT_EQ(ExtAudioFileSeek(file, 0), noErr);
      Buffers out(clients[c], expected + 100);
      EXPECT_EQ(readAll(file, clients[c], out, expected + 100, c == 1 ? 999 : 9000), expected);
      for (UInt32 i = 0; c < 3 && i < frames * channels; ++i) {
        // A mono file fills every channel; channels the file lacks are silent.
        const UInt32 ch = f.channels == 1 ? 0 : i % channels;
        const double want = ch < UInt32(f.channels) ? ref[i / channels * f.channels + ch] : 0;
        const UInt8 *at = out.bytes.data();
        const double got = c == 0   ? reinterpret_cast<const float *>(at)[i]
                           : c == 1 ? reinterpret_cast<const double *>(at)[i]
                                    : SInt16(at[2 * i] << 8 | at[2 * i + 1]) / 32768.0;
        ASSERT_NEAR(got, c == 0 ? float(want) : want, c == 2 ? 0.5 / 32768 : 0) << c << " " << i;
      }
    }
    ASSERT_EQ(setClient(file, clients[1]), noErr);
    ASSERT_EQ(ExtAudioFileSeek(file, 1000), noErr);
    Buffers one(clients[1], 1);
    EXPECT_EQ(readAll(file, clients[1], one, 1, 1), 1u);
    EXPECT_EQ(reinterpret_cast<const double *>(one.bytes.data())[0], ref[1000 * f.channels]);
    EXPECT_EQ(ExtAudioFileSeek(file, frames + 1), kExtAudioFileError_InvalidSeek);
    EXPECT_EQ(ExtAudioFileDispose(file), noErr);
  }
}

std::string Slurp(const std::string &name) { return FileBytes(kDir + "/" + name); }
void Put(const std::string &name, const std::string &bytes) {
  WriteBytes(kDir + "/" + name, bytes);
}

// Files that do not open get the status for why (a FIFO or a device that never ends without
// blocking); a truncated file and a wrong extension read what is there. Memory files holding
// the same bytes give the same answers.
TEST(ExtAudioFile, BadFilesGetStatusCodes) {
  SF_INFO info;
  write("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2, 4000, info);
  const std::string good = Slurp("good.wav");
  std::string noise(3000, 0);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 7919 % 251);
  mkdir((kDir + "/folder.wav").c_str(), 0755);
  mkfifo((kDir + "/fifo.wav").c_str(), 0644);
  symlink("/dev/zero", (kDir + "/zero.wav").c_str());
  alarm(60);  // an open that blocks for good fails the suite instead of hanging it
  const struct {
    const char *name, *bytes;
    size_t size;
    OSStatus status;
  } cases[] = {
      {"missing.wav", nullptr, 0, kAudioFileFileNotFoundError},
      {"folder.wav", nullptr, 0, kAudioFileUnsupportedFileTypeError},
      {"fifo.wav", nullptr, 0, kAudioFileUnsupportedFileTypeError},
      {"zero.wav", nullptr, 0, kAudioFileUnsupportedFileTypeError},
      {"empty.wav", "", 0, kAudioFileUnsupportedFileTypeError},
      {"noise.wav", noise.data(), noise.size(), kAudioFileUnsupportedFileTypeError},
      {"text.mp3", "not audio", 9, kAudioFileUnsupportedFileTypeError},
      {"header.wav", good.data(), 20, kAudioFileInvalidFileError},
      {"cut.wav", good.data(), 44 + 4 * 1000 + 3, noErr},
      {"wav.flac", good.data(), good.size(), noErr},
      {"locked.wav", good.data(), good.size(), geteuid() == 0 ? 0 : kAudioFilePermissionsError}};
  for (const auto &c : cases)
    if (c.bytes != nullptr) Put(c.name, std::string(c.bytes, c.size));
  chmod((kDir + "/locked.wav").c_str(), 0);
  // The same bytes registered as memory files (never on disk) open and read alike; a memory
  // file forgotten while open keeps its bytes.
  ExtAudioFileRef kept = nullptr;
  for (const auto &[name, bytes, size, status] : cases) {
    const std::string memory = "memory-" + std::string(name);
    if (bytes != nullptr && std::string(name) != "locked.wav") {
      ASSERT_EQ(xnq_memory_file_register((kDir + "/" + memory).c_str(), bytes, size), noErr);
    }
    for (const std::string &leaf : {std::string(name), memory}) {
      ExtAudioFileRef file = nullptr;
      const bool missing = leaf == memory && (bytes == nullptr || leaf == "memory-locked.wav");
      EXPECT_EQ(open(leaf, &file), missing ? kAudioFileFileNotFoundError : status) << leaf;
      if (file == nullptr) continue;
      if (leaf == "memory-cut.wav") xnq_memory_file_unregister((kDir + "/" + leaf).c_str());
      UInt32 frames = 8000;
      Buffers out(pcm(8000, 2, 16, kSigned), frames);
      EXPECT_EQ(ExtAudioFileRead(file, &frames, out.get()), noErr);
      EXPECT_EQ(frames, std::string(name) == "cut.wav" ? 1000u : 4000u) << leaf;
      ExtAudioFileDispose(file);
    }
  }
  alarm(0);
  EXPECT_EQ(open("memory-cut.wav", &kept), kAudioFileFileNotFoundError);
  EXPECT_EQ(xnq_memory_file_register("relative.wav", "", 0), paramErr);
  EXPECT_EQ(xnq_memory_file_register("/x.wav", nullptr, 1), paramErr);
  if (geteuid() == 0) {  // root reads any file: an unprivileged child shows the permission check
    ExtAudioFileRef file = nullptr;
    const pid_t child = fork();
    if (child == 0)
      _exit(setuid(65534) == 0 && open("locked.wav", &file) == kAudioFilePermissionsError ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
}

// The bytes of value, least significant first.
std::string LittleEndian(uint64_t value, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += char(value >> 8 * i);
  return s;
}

// An Ogg file whose last page claims another granule position, with the page's checksum (CRC-32,
// polynomial 0x04c11db7, over the page with its checksum field zero) made to fit the lie.
std::string WithLastGranule(std::string ogg, uint64_t granule) {
  const size_t page = ogg.rfind("OggS");
  ogg.replace(page + 6, 8, LittleEndian(granule, 8));
  ogg.replace(page + 22, 4, std::string(4, '\0'));
  uint32_t crc = 0;
  for (size_t i = page; i < ogg.size(); ++i) {
    crc ^= uint32_t(uint8_t(ogg[i])) << 24;
    for (int k = 0; k < 8; ++k) crc = crc & 0x80000000u ? crc << 1 ^ 0x04c11db7u : crc << 1;
  }
  return ogg.replace(page + 22, 4, LittleEndian(crc, 4));
}

// A WAVE file of 64-bit integer samples, plain or WAVE_FORMAT_EXTENSIBLE, with the samples of x.
std::string WaveInt64(bool extensible, const std::vector<double> &x, int channels, int rate) {
  std::string data;
  for (double v : x) data += LittleEndian(uint64_t(int64_t(std::ldexp(v, 63))), 8);
  std::string fmt = LittleEndian(extensible ? 0xFFFE : 1, 2) + LittleEndian(channels, 2) +
                    LittleEndian(rate, 4) + LittleEndian(rate * 8 * channels, 4) +
                    LittleEndian(8 * channels, 2) + LittleEndian(64, 2);
  if (extensible)
    fmt += LittleEndian(22, 2) + LittleEndian(64, 2) + LittleEndian(3, 4) + LittleEndian(1, 2) +
           std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
  const std::string body =
      "WAVEfmt " + LittleEndian(fmt.size(), 4) + fmt + "data" + LittleEndian(data.size(), 4) + data;
  return "RIFF" + LittleEndian(body.size(), 4) + body;
}

// Files whose header claims more than they hold, that were cut short, whose codec cannot seek
// and that libsndfile does not read: each delivers what decodes and nothing more, and then
// reports a length and a duration that match what it delivered (files cut short and files
// without a length already when they open).
TEST(ExtAudioFile, HostileFilesDeliverWhatDecodes) {
  SF_INFO info;
  std::map<std::string, std::vector<double>> refs;
  write("flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 44100, info);
  std::string flac = Slurp("flac");
  flac[21] = char(flac[21] & 0xF0);  // STREAMINFO's 36-bit total: 2^28, then 0 (unknown)
  Put("lying.flac", flac.replace(22, 4, "\x10\0\0\0", 4));
  Put("unknown.flac", flac.replace(22, 4, "\0\0\0\0", 4));
  write("ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, 176400, info);
  write("opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, 192000, info);
  for (const char *ogg : {"ogg", "opus"}) {
    const std::string bytes = Slurp(ogg);
    Put(std::string("lying.") + ogg, WithLastGranule(bytes, 1e8));
    Put(std::string("half.") + ogg, bytes.substr(0, bytes.size() / 2));
    Put(std::string("cut.") + ogg, bytes.substr(0, bytes.size() - 1));
  }
  const struct {
    const char *name;
    int format, rate = 8000;
  } codecs[] = {{"gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610},
                {"gsm.aiff", SF_FORMAT_AIFF | SF_FORMAT_GSM610},
                {"g721.au", SF_FORMAT_AU | SF_FORMAT_G721_32},
                {"g723_24.au", SF_FORMAT_AU | SF_FORMAT_G723_24},
                {"g723_40.au", SF_FORMAT_AU | SF_FORMAT_G723_40},
                {"nms.wav", SF_FORMAT_WAV | SF_FORMAT_NMS_ADPCM_16},
                {"dpcm8.xi", SF_FORMAT_XI | SF_FORMAT_DPCM_8, 44100},
                {"dpcm16.xi", SF_FORMAT_XI | SF_FORMAT_DPCM_16, 44100}};
  for (const auto &c : codecs) refs[c.name] = write(c.name, c.format, c.rate, 1, 8000, info);
  refs["i64.wav"] = refs["i64x.wav"] =
      write("f64", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 8000, 2, 999, info);
  Put("i64.wav", WaveInt64(false, refs["i64.wav"], 2, 8000));
  Put("i64x.wav", WaveInt64(true, refs["i64.wav"], 2, 8000));
  const struct {
    const char *name;
    double least, most;  // frames delivered
    bool lengthUpFront;
  } cases[] = {
      {"lying.flac", 44100, 44100, false},
      {"unknown.flac", 44100, 44100, true},
      // A lying last granule no longer trims the last packet's padding.
      {"lying.ogg", 176400, 176400 + 2048, false},
      {"lying.opus", 192000, 192000 + 2048, false},
      // A partial page holds no packets libogg can check: what decodes ends with the last
      // whole page (libsndfile's pages hold up to a second).
      {"half.ogg", 0.2 * 176400, 0.5 * 176400, true},
      {"cut.ogg", 0.75 * 176400, 176400 - 1, true},
      {"half.opus", 0.2 * 192000, 0.5 * 192000, true},
      {"cut.opus", 0.75 * 192000, 192000 - 1, true},
  };
  auto check = [&](const char *name, double least, double most, bool upFront) {
    SCOPED_TRACE(name);
    ExtAudioFileRef file = nullptr;
    ASSERT_EQ(open(name, &file), noErr);
    const auto d =
        property<AudioStreamBasicDescription>(file, kExtAudioFileProperty_FileDataFormat);
    const SInt64 claimed = property<SInt64>(file, kExtAudioFileProperty_FileLengthFrames);
    const AudioStreamBasicDescription client = pcm(d.mSampleRate, d.mChannelsPerFrame, 64, kFloat);
    ASSERT_EQ(setClient(file, client), noErr);
    std::vector<double> got;
    for (UInt32 n = 1; n > 0;) {
      Buffers out(client, n = 4096);
      EXPECT_EQ(ExtAudioFileRead(file, &n, out.get()), noErr);
      const auto *at = reinterpret_cast<const double *>(out.bytes.data());
      got.insert(got.end(), at, at + n * d.mChannelsPerFrame);
    }
    const SInt64 frames = got.size() / d.mChannelsPerFrame;
    EXPECT_GE(frames, least);
    EXPECT_LE(frames, most);
    if (upFront) {
      EXPECT_EQ(claimed, frames);
    }
    EXPECT_EQ(property<SInt64>(file, kExtAudioFileProperty_FileLengthFrames), frames);
    Float64 seconds = 0;
    UInt32 size = sizeof seconds;
    EXPECT_EQ(AudioFileGetProperty(property<AudioFileID>(file, kExtAudioFileProperty_AudioFile),
                                   kAudioFilePropertyEstimatedDuration, &size, &seconds),
              noErr);
    EXPECT_DOUBLE_EQ(seconds, frames / d.mSampleRate);
    if (refs.count(name)) {  // the same decode as libsndfile's, to within 16-bit rounding
      ASSERT_EQ(got.size(), refs[name].size());
      for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], refs[name][i], 0x1p-16) << i;
    }
    EXPECT_EQ(ExtAudioFileDispose(file), noErr);
  };
  for (const auto &c : cases) check(c.name, c.least, c.most, c.lengthUpFront);
  for (const auto &[name, ref] : refs) check(name.c_str(), 0, 1e9, true);
}

// Client formats, property sizes, reads and references that are wrong, each with its status.
TEST(ExtAudioFile, BadFormatsAndArgumentsGetStatusCodes) {
  SF_INFO info;
  write("args.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 2, 100, info);
  ExtAudioFileRef file = nullptr;
  ASSERT_EQ(open("args.flac", &file), noErr);
  const AudioStreamBasicDescription good = pcm(8000, 2, 16, kSigned);
  AudioStreamBasicDescription noChannels = pcm(8000, 0, 16, kSigned), noBytes = good, flac = good;
  noBytes.mBytesPerFrame = noBytes.mBytesPerPacket = 0;
  flac.mFormatID = kAudioFormatFLAC;
  UInt32 frames = 10, zero = 0, fifty = 50, small = 7, eight = 8, refSize = sizeof(void *);
  Float64 seconds = 0;
  SInt64 length = 0;
  AudioStreamBasicDescription dfmt{};
  UInt32 size = sizeof dfmt;
  Buffers out(good, 10);
  const AudioFileID afil = property<AudioFileID>(file, kExtAudioFileProperty_AudioFile);
  AudioConverterRef acnv = nullptr;
  const std::pair<OSStatus, OSStatus> results[] = {
      {ExtAudioFileRead(file, &frames, out.get()), kExtAudioFileError_InvalidOperationOrder},
      {setClient(file, noChannels), kAudioConverterErr_FormatNotSupported},
      {setClient(file, noBytes), kAudioConverterErr_FormatNotSupported},
      {setClient(file, flac), kExtAudioFileError_NonPCMClientFormat},
      {ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, 39, &good),
       kExtAudioFileError_InvalidPropertySize},
      {ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileLengthFrames, &small, &length),
       kExtAudioFileError_InvalidPropertySize},
      {setClient(file, good), noErr},
      {ExtAudioFileGetProperty(file, kExtAudioFileProperty_AudioConverter, &refSize, &acnv), noErr},
      {AudioConverterReset(acnv), noErr},
      {ExtAudioFileRead(file, &zero, out.get()), noErr},
      {OSStatus(zero), 0},
      {ExtAudioFileRead(file, &frames, nullptr), paramErr},
      {ExtAudioFileRead(file, &fifty, out.at(good, 0, 10)), noErr},  // room for 10 of 50
      {OSStatus(fifty), 10},
      {ExtAudioFileRead(nullptr, &frames, out.get()), paramErr},
      {AudioFileGetProperty(afil, kAudioFilePropertyEstimatedDuration, &small, &length),
       kAudioFileBadPropertySizeError},
      {AudioFileGetProperty(afil, kAudioFilePropertyEstimatedDuration, &eight, &seconds), noErr},
      {OSStatus(seconds * 8000), 100},
      {AudioFileGetProperty(afil, kAudioFilePropertyDataFormat, &size, &dfmt), noErr},
      {OSStatus(dfmt.mFormatID), kAudioFormatFLAC},
      {AudioFileClose(afil), paramErr},         // it belongs to the extended file
      {AudioConverterDispose(acnv), paramErr},  // so does it
      {ExtAudioFileDispose(file), noErr},
      {AudioFileGetProperty(afil, kAudioFilePropertyEstimatedDuration, &small, &length), paramErr},
      {AudioConverterReset(acnv), paramErr},
  };
  for (size_t i = 0; i < std::size(results); ++i)
    EXPECT_EQ(results[i].first, results[i].second) << i;
}

}  // namespace
}  // namespace audio_test
