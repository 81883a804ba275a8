// The audio converter as its callers drive it: sample formats and their round trips, the
// channel rule, sample-rate conversion quality with any pull pattern, input procedures that stop
// a fill, a fill path that never allocates or locks, and every bad argument.
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "audio_test_support.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CONVERTER_COUNTS_CALLS 1
// This executable's allocator and mutex entries count what the marked thread does.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}
namespace {
thread_local bool tCounting = false;
std::atomic<long> gCalls{0};
using LockFn = int (*)(pthread_mutex_t *);
const LockFn gRealLock = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
}  // namespace
extern "C" void *malloc(size_t n) {
  if (tCounting) ++gCalls;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  if (tCounting) ++gCalls;
  return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
  if (tCounting) ++gCalls;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
  if (tCounting && p != nullptr) ++gCalls;
  __libc_free(p);
}
extern "C" int pthread_mutex_lock(pthread_mutex_t *m) {
  if (tCounting) ++gCalls;
  return gRealLock(m);
}
#endif

namespace audio_test {
namespace {

struct Converter {
  Converter(const AudioStreamBasicDescription &from, const AudioStreamBasicDescription &to) {
    EXPECT_EQ(AudioConverterNew(&from, &to, &ref), noErr);
  }
  ~Converter() { AudioConverterDispose(ref); }
  AudioConverterRef ref = nullptr;
};

std::vector<UInt8> convertBytes(const AudioStreamBasicDescription &from,
                                const AudioStreamBasicDescription &to, const void *in,
                                UInt32 frames) {
  Converter c(from, to);
  std::vector<UInt8> out(size_t{frames} * to.mBytesPerFrame);
  UInt32 size = static_cast<UInt32>(out.size());
  EXPECT_EQ(AudioConverterConvertBuffer(c.ref, frames * from.mBytesPerFrame, in, &size, out.data()),
            noErr);
  EXPECT_EQ(size, out.size());
  return out;
}

// Interleaved float32 (or int16) source data handed out in a cycle of pull sizes.
struct Feed {
  const void *data;
  UInt32 bytesPerFrame;
  UInt32 frames;
  std::vector<UInt32> pulls;
  UInt32 position = 0;
  size_t calls = 0;
  OSStatus failAfter = 0;  // returned once position reaches failFrame
  UInt32 failFrame = 0;
};

OSStatus feedProc(AudioConverterRef, UInt32 *packets, AudioBufferList *list,
                  AudioStreamPacketDescription **, void *user) {
  Feed &f = *static_cast<Feed *>(user);
  if (f.failAfter != 0 && f.position >= f.failFrame) return f.failAfter;
  const UInt32 n = std::min({*packets, f.pulls[f.calls++ % f.pulls.size()], f.frames - f.position});
  list->mBuffers[0].mData = const_cast<UInt8 *>(static_cast<const UInt8 *>(f.data)) +
                            size_t{f.position} * f.bytesPerFrame;
  list->mBuffers[0].mDataByteSize = n * f.bytesPerFrame;
  f.position += n;
  *packets = n;
  return noErr;
}

// Fills in odd-sized requests until a fill comes back empty; the first channel as doubles.
std::vector<double> drain(AudioConverterRef c, Feed &feed, const AudioStreamBasicDescription &to,
                          OSStatus *status = nullptr) {
  std::vector<double> out;
  const UInt32 asks[] = {1000, 7, 333, 4096};
  for (size_t k = 0;; ++k) {
    UInt32 frames = asks[k % 4];
    Buffers b(to, frames);
    const OSStatus s =
        AudioConverterFillComplexBuffer(c, feedProc, &feed, &frames, b.get(), nullptr);
    const auto *first = reinterpret_cast<const float *>(b.bytes.data());
    for (UInt32 i = 0; i < frames; ++i)
      out.push_back(first[size_t{i} * (b.count == 1 ? to.mChannelsPerFrame : 1)]);
    if (status != nullptr) *status = s;
    if (s != noErr || frames == 0) return out;
  }
}

std::vector<float> sine(double rate, UInt32 frames, double hz = 1000) {
  std::vector<float> x(frames);
  for (UInt32 i = 0; i < frames; ++i)
    x[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / rate));
  return x;
}

struct Layout {
  const char *name;
  AudioStreamBasicDescription format;
  int precision;  // bits of an integer it holds exactly
  bool isFloat;
};

const Layout kLayouts[] = {
    {"u8", pcm(44100, 2, 8, kAudioFormatFlagIsPacked), 8, false},
    {"s16", pcm(44100, 2, 16, kSigned), 16, false},
    {"s16be", pcm(44100, 2, 16, kSigned | kBig), 16, false},
    {"s24", pcm(44100, 2, 24, kSigned), 24, false},
    {"s24be", pcm(44100, 2, 24, kSigned | kBig), 24, false},
    {"s24high",
     pcm(44100, 2, 24, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsAlignedHigh, 4), 24,
     false},
    {"s32be", pcm(44100, 2, 32, kSigned | kBig), 32, false},
    {"f32", pcm(44100, 2, 32, kFloat), 24, true},
    {"f64be", pcm(44100, 2, 64, kFloat | kBig), 53, true},
};

// Every pair A -> B -> A gives A back exactly where B holds every value of A.
TEST(AudioConverter, RoundTripsAreExactWhereTheTargetHoldsTheValues) {
  const AudioStreamBasicDescription f64 = pcm(44100, 2, 64, kFloat);
  std::mt19937 random(7);
  for (const Layout &a : kLayouts) {
    std::vector<double> values;
    const int bits = a.isFloat ? 24 : a.precision;
    for (double k : {-1.0, -0.5, 0.0, 0.5, 1.0 - std::ldexp(1.0, 1 - bits)}) values.push_back(k);
    for (int i = 0; i < 401; ++i)
      values.push_back(std::ldexp(static_cast<SInt32>(random()) >> (32 - bits), 1 - bits));
    const UInt32 frames = static_cast<UInt32>(values.size() / 2);
    const std::vector<UInt8> original = convertBytes(f64, a.format, values.data(), frames);
    for (const Layout &b : kLayouts) {
      if (b.isFloat ? (a.isFloat && b.precision < a.precision) || b.precision < bits
                    : a.isFloat || b.precision < a.precision)
        continue;
      const std::vector<UInt8> there = convertBytes(a.format, b.format, original.data(), frames);
      EXPECT_EQ(convertBytes(b.format, a.format, there.data(), frames), original)
          << a.name << " -> " << b.name;
    }
  }
}

// Scaling, byte order, offset binary, clipping and NaN, against known bytes.
TEST(AudioConverter, SamplesScaleClipAndOrderAsThePlatformStoresThem) {
  struct Case {
    AudioStreamBasicDescription format;
    double value;
    std::vector<UInt8> bytes;
    bool decodes;  // the bytes read back as the value
  } cases[] = {
      {pcm(8000, 1, 8, 0), 0.0, {0x80}, true},
      {pcm(8000, 1, 8, 0), -1.0, {0x00}, true},
      {pcm(8000, 1, 8, 0), 3.0, {0xFF}, false},
      {pcm(8000, 1, 8, kSigned), -1.0, {0x80}, true},
      {pcm(8000, 1, 16, kSigned), 32767.0 / 32768, {0xFF, 0x7F}, true},
      {pcm(8000, 1, 16, kSigned | kBig), -1.0, {0x80, 0x00}, true},
      {pcm(8000, 1, 16, kSigned), 1.5, {0xFF, 0x7F}, false},
      {pcm(8000, 1, 16, kSigned), -7.0, {0x00, 0x80}, false},
      {pcm(8000, 1, 16, kSigned), std::nan(""), {0x00, 0x00}, false},
      {pcm(8000, 1, 24, kSigned), 0.5, {0x00, 0x00, 0x40}, true},
      {pcm(8000, 1, 24, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsAlignedHigh, 4),
       -0.5,
       {0x00, 0x00, 0x00, 0xC0},
       true},
      {pcm(8000, 1, 20, kAudioFormatFlagIsSignedInteger, 3), 0.5, {0x00, 0x00, 0x04}, true},
      {pcm(8000, 1, 32, kFloat | kBig), 0.5, {0x3F, 0x00, 0x00, 0x00}, true},
      {pcm(8000, 1, 32, kFloat), 2.0, {0x00, 0x00, 0x00, 0x40}, true},
  };
  const AudioStreamBasicDescription f64 = pcm(8000, 1, 64, kFloat);
  for (const Case &c : cases) {
    EXPECT_EQ(convertBytes(f64, c.format, &c.value, 1), c.bytes) << c.value;
    if (!c.decodes) continue;
    double back = 0;
    std::memcpy(&back, convertBytes(c.format, f64, c.bytes.data(), 1).data(), sizeof back);
    EXPECT_EQ(back, c.value);
  }
}

// A mono source fills every channel; otherwise channel c takes c and the rest are silent.
TEST(AudioConverter, ChannelsFollowTheChannelRuleInEveryLayout) {
  struct Case {
    UInt32 from, to, flags, bits;
    std::vector<double> expected;  // per destination channel
  } cases[] = {
      {1, 3, kSigned | kPlanar, 16, {0.125, 0.125, 0.125}},
      {3, 2, kFloat | kPlanar, 32, {0.125, 0.25}},
      {3, 1, kFloat, 32, {0.125}},
      {2, 4, kSigned | kBig, 24, {0.125, 0.25, 0, 0}},
      {2, 3, 0, 8, {0.125, 0.25, 0}},
  };
  for (const Case &c : cases) {
    std::vector<float> in(3 * 64);
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0.125f * static_cast<float>(i % c.from + 1);
    const AudioStreamBasicDescription to = pcm(32000, c.to, c.bits, c.flags);
    Converter conv(pcm(32000, c.from, 32, kFloat), to);
    Feed feed{in.data(), 4 * c.from, 64, {5, 64}};
    UInt32 frames = 64;
    Buffers out(to, frames);
    ASSERT_EQ(
        AudioConverterFillComplexBuffer(conv.ref, feedProc, &feed, &frames, out.get(), nullptr),
        noErr);
    ASSERT_EQ(frames, 64u);
    const AudioStreamBasicDescription f64 = pcm(32000, 1, 64, kFloat);
    for (UInt32 ch = 0; ch < c.to; ++ch) {
      const UInt32 bytes = c.bits / 8;
      const UInt8 *sample = out.bytes.data() + ((c.flags & kPlanar) ? ch * 64 * bytes + 63 * bytes
                                                                    : (63 * c.to + ch) * bytes);
      double value = 0;
      std::memcpy(&value,
                  convertBytes(pcm(32000, 1, c.bits, c.flags & ~kPlanar), f64, sample, 1).data(),
                  8);
      EXPECT_EQ(value, c.expected[ch]) << c.from << " -> " << c.to << " channel " << ch;
    }
  }
}

// 1 kHz through 44.1 <-> 48 kHz: clean, the right length, and the same whatever the pulls.
TEST(AudioConverter, ResamplesCleanlyWithAnyPullPattern) {
  for (auto [inRate, outRate] : {std::pair{44100.0, 48000.0}, std::pair{48000.0, 44100.0}}) {
    const std::vector<float> x = sine(inRate, 11025);
    const AudioStreamBasicDescription from = pcm(inRate, 1, 32, kFloat),
                                      to = pcm(outRate, 1, 32, kFloat);
    std::vector<double> outputs[2];
    const std::vector<UInt32> patterns[2] = {{4096}, {37, 1, 509, 2000, 3}};
    for (int p = 0; p < 2; ++p) {
      Converter c(from, to);
      Feed feed{x.data(), 4, 11025, patterns[p]};
      outputs[p] = drain(c.ref, feed, to);
      EXPECT_EQ(feed.position, 11025u);
    }
    ASSERT_EQ(outputs[0].size(), static_cast<size_t>(std::llround(11025 * outRate / inRate)));
    ASSERT_EQ(outputs[1].size(), outputs[0].size());
    for (size_t i = 0; i < outputs[0].size(); ++i)
      ASSERT_NEAR(outputs[1][i], outputs[0][i], 1e-6) << i;
    const std::vector<double> middle(outputs[0].begin() + 1000, outputs[0].end() - 1000);
    EXPECT_LT(db(thdPlusNoise(middle, 1000 / outRate)), -100) << inRate << " -> " << outRate;
    // The output is aligned: frame i of the output is time i / outRate of the input.
    EXPECT_NEAR(outputs[0][4000], 0.5 * std::sin(2 * M_PI * 1000 * 4000 / outRate), 1e-5);
  }
}

// A status from the procedure ends the fill and comes back with the frames written; a reset
// starts the stream again exactly as a new converter would; after the end, fills stay empty.
TEST(AudioConverter, ProcedureStatusResetAndEndOfData) {
  const std::vector<float> x = sine(44100, 3000);
  for (Float64 outRate : {44100.0, 48000.0}) {
    const AudioStreamBasicDescription from = pcm(44100, 1, 32, kFloat),
                                      to = pcm(outRate, 1, 32, kFloat);
    Converter c(from, to);
    Feed failing{x.data(), 4, 3000, {100}};
    failing.failAfter = OSStatus{XNQ_FOURCC('b', 'o', 'o', 'm')};
    failing.failFrame = 300;
    UInt32 frames = 1000;
    Buffers out(to, frames);
    EXPECT_EQ(
        AudioConverterFillComplexBuffer(c.ref, feedProc, &failing, &frames, out.get(), nullptr),
        OSStatus{XNQ_FOURCC('b', 'o', 'o', 'm')});
    if (outRate == 44100.0) {
      EXPECT_EQ(frames, 300u);
    }
    EXPECT_EQ(AudioConverterReset(c.ref), noErr);
    Feed again{x.data(), 4, 3000, {700}};
    const std::vector<double> afterReset = drain(c.ref, again, to);
    Converter fresh(from, to);
    Feed first{x.data(), 4, 3000, {700}};
    EXPECT_EQ(afterReset, drain(fresh.ref, first, to));
    frames = 10;
    EXPECT_EQ(AudioConverterFillComplexBuffer(c.ref, feedProc, &again, &frames, out.get(), nullptr),
              noErr);
    EXPECT_EQ(frames, 0u);
  }
}

// The fill path, resampling or not, from 16-bit big-endian stereo to float planes as the sound
// output does: no allocation, no free and no mutex after the converter is made.
TEST(AudioConverter, FillsNeitherAllocateNorLock) {
#if !CONVERTER_COUNTS_CALLS
  GTEST_SKIP() << "the sanitizers own the allocator in this build";
#else
  std::vector<SInt16> in(2 * 20000, 0x1234);
  for (Float64 outRate : {44100.0, 48000.0, 8000.0}) {
    const AudioStreamBasicDescription from = pcm(44100, 2, 16, kSigned | kBig),
                                      to = pcm(outRate, 2, 32, kFloat | kPlanar);
    gCalls = 0;
    tCounting = true;
    AudioConverterRef c = nullptr;
    ASSERT_EQ(AudioConverterNew(&from, &to, &c), noErr);
    tCounting = false;
    EXPECT_GT(gCalls.load(), 0) << "the counters see the platform's calls";
    Buffers out(to, 4096);
    Feed feed{in.data(), 4, 20000, {37, 1024, 1, 509}};
    gCalls = 0;
    tCounting = true;
    for (int k = 0; k < 200; ++k) {
      UInt32 frames = 1 + (k * 397) % 4096;
      for (UInt32 b = 0; b < 2; ++b) out.get()->mBuffers[b].mDataByteSize = 4096 * 4;
      AudioConverterFillComplexBuffer(c, feedProc, &feed, &frames, out.get(), nullptr);
      if (k == 150) feed.position = 0;  // a new stretch after the end
    }
    tCounting = false;
    EXPECT_EQ(gCalls.load(), 0) << outRate;
    AudioConverterDispose(c);
  }
#endif
}

TEST(AudioConverter, BadArgumentsGetStatusCodes) {
  const AudioStreamBasicDescription good = pcm(44100, 2, 16, kSigned);
  AudioStreamBasicDescription bad[10];
  std::fill(bad, bad + 10, good);
  bad[0].mChannelsPerFrame = 0;
  bad[1].mBytesPerFrame = bad[1].mBytesPerPacket = 0;
  bad[2].mFormatID = kAudioFormatLossless;
  bad[3].mBitsPerChannel = 40;
  bad[4].mSampleRate = 0;
  bad[5].mSampleRate = std::nan("");
  bad[6].mFramesPerPacket = 2;
  bad[7].mBytesPerPacket = 8;
  bad[8] = pcm(44100, 2, 16, kFloat);
  bad[9].mSampleRate = 44100 * 300.0;
  AudioConverterRef c = nullptr;
  for (const auto &f : bad) {
    EXPECT_EQ(AudioConverterNew(&good, &f, &c), kAudioConverterErr_FormatNotSupported);
    EXPECT_EQ(AudioConverterNew(&f, &good, &c), kAudioConverterErr_FormatNotSupported);
    EXPECT_EQ(c, nullptr);
  }
  EXPECT_EQ(AudioConverterNew(nullptr, &good, &c), paramErr);
  EXPECT_EQ(AudioConverterNew(&good, &good, nullptr), paramErr);

  Converter same(good, good), resampling(good, pcm(48000, 2, 16, kSigned));
  AudioConverterRef disposed = nullptr;
  ASSERT_EQ(AudioConverterNew(&good, &good, &disposed), noErr);
  ASSERT_EQ(AudioConverterDispose(disposed), noErr);
  UInt32 size = 4, value = 0, frames = 4;
  SInt16 data[8] = {};
  Buffers out(good, 4);
  for (AudioConverterRef r :
       {AudioConverterRef{}, disposed, reinterpret_cast<AudioConverterRef>(0x5151)}) {
    EXPECT_EQ(AudioConverterDispose(r), paramErr);
    EXPECT_EQ(AudioConverterReset(r), paramErr);
    EXPECT_EQ(
        AudioConverterGetProperty(r, kAudioConverterSampleRateConverterQuality, &size, &value),
        paramErr);
    EXPECT_EQ(AudioConverterFillComplexBuffer(r, feedProc, nullptr, &frames, out.get(), nullptr),
              paramErr);
    EXPECT_EQ(AudioConverterConvertBuffer(r, 4, data, &size, data), paramErr);
  }
  // Properties.
  AudioStreamBasicDescription got{};
  size = sizeof got;
  EXPECT_EQ(AudioConverterGetProperty(same.ref, kAudioConverterCurrentOutputStreamDescription,
                                      &size, &got),
            noErr);
  EXPECT_EQ(std::memcmp(&got, &good, sizeof got), 0);
  size = sizeof got - 1;
  EXPECT_EQ(AudioConverterGetProperty(same.ref, kAudioConverterCurrentInputStreamDescription, &size,
                                      &got),
            kAudioConverterErr_BadPropertySizeError);
  EXPECT_EQ(AudioConverterGetProperty(same.ref, XNQ_FOURCC('n', 'o', 'p', 'e'), &size, &got),
            kAudioConverterErr_PropertyNotSupported);
  EXPECT_EQ(AudioConverterSetProperty(same.ref, kAudioConverterPrimeInfo, 8, data),
            kAudioConverterErr_PropertyNotSupported);
  value = 200;
  EXPECT_EQ(AudioConverterSetProperty(resampling.ref, kAudioConverterSampleRateConverterQuality, 4,
                                      &value),
            paramErr);
  EXPECT_EQ(AudioConverterSetProperty(resampling.ref, kAudioConverterSampleRateConverterQuality, 2,
                                      &value),
            kAudioConverterErr_BadPropertySizeError);
  value = kAudioConverterQuality_Low;
  EXPECT_EQ(AudioConverterSetProperty(resampling.ref, kAudioConverterSampleRateConverterQuality, 4,
                                      &value),
            noErr);
  AudioConverterPrimeInfo prime{};
  size = sizeof prime;
  EXPECT_EQ(AudioConverterGetProperty(resampling.ref, kAudioConverterPrimeInfo, &size, &prime),
            noErr);
  EXPECT_GT(prime.leadingFrames, 0u);
  // Whole-buffer conversion: equal rates, whole frames, room for the output.
  size = 16;
  EXPECT_EQ(AudioConverterConvertBuffer(resampling.ref, 16, data, &size, data),
            kAudioConverterErr_OperationNotSupported);
  EXPECT_EQ(AudioConverterConvertBuffer(same.ref, 15, data, &size, data),
            kAudioConverterErr_InvalidInputSize);
  size = 8;
  EXPECT_EQ(AudioConverterConvertBuffer(same.ref, 16, data, &size, data),
            kAudioConverterErr_InvalidOutputSize);
  // A procedure that claims packets without bytes behind them; an output without data.
  Feed empty{nullptr, 4, 8, {8}};
  frames = 4;
  EXPECT_EQ(
      AudioConverterFillComplexBuffer(same.ref, feedProc, &empty, &frames, out.get(), nullptr),
      kAudioConverterErr_InvalidInputSize);
  out.get()->mBuffers[0].mData = nullptr;
  EXPECT_EQ(
      AudioConverterFillComplexBuffer(same.ref, feedProc, &empty, &frames, out.get(), nullptr),
      paramErr);
  EXPECT_EQ(AudioConverterFillComplexBuffer(same.ref, nullptr, &empty, &frames, out.get(), nullptr),
            paramErr);
}

}  // namespace
}  // namespace audio_test
