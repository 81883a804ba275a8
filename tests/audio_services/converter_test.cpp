// The audio converter as its callers drive it: sample formats and their round trips,
// sample-rate conversion quality with any pull pattern, input procedures that stop a fill, a
// fill path that never allocates or locks, and bad arguments.
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>

#include "audio_test_support.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CONVERTER_COUNTS_CALLS 1
// This executable's allocator and mutex entries count what the marked thread does.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}
namespace {
thread_local bool tCounting = false;
std::atomic<long> gCalls{0};
using LockFn = int (*)(pthread_mutex_t *);
const auto gRealLock = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
}  // namespace
extern "C" void *malloc(size_t n) {
  gCalls += tCounting;
  return __libc_malloc(n);
}
extern "C" void *realloc(void *p, size_t n) {
  gCalls += tCounting;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
  gCalls += tCounting && p != nullptr;
  __libc_free(p);
}
extern "C" int pthread_mutex_lock(pthread_mutex_t *m) {
  gCalls += tCounting;
  return gRealLock(m);
}
#endif

namespace audio_test {
namespace {

AudioConverterRef make(const AudioStreamBasicDescription &from,
                       const AudioStreamBasicDescription &to) {
  AudioConverterRef c = nullptr;
  EXPECT_EQ(AudioConverterNew(&from, &to, &c), noErr);
  return c;
}

std::vector<UInt8> convert(const AudioStreamBasicDescription &from,
                           const AudioStreamBasicDescription &to, const void *in, UInt32 frames) {
  AudioConverterRef c = make(from, to);
  std::vector<UInt8> out(size_t{frames} * to.mBytesPerFrame);
  UInt32 size = static_cast<UInt32>(out.size());
  EXPECT_EQ(AudioConverterConvertBuffer(c, frames * from.mBytesPerFrame, in, &size, out.data()),
            noErr);
  AudioConverterDispose(c);
  return out;
}

// Source data handed out in a cycle of pull sizes; fails from frame failFrame on.
struct Feed {
  const void *data;
  UInt32 bytesPerFrame, frames;
  std::vector<UInt32> pulls;
  UInt32 position = 0, failFrame = 0xFFFFFFFF;
  size_t calls = 0;
};

OSStatus feedProc(AudioConverterRef, UInt32 *packets, AudioBufferList *list,
                  AudioStreamPacketDescription **, void *user) {
  Feed &f = *static_cast<Feed *>(user);
  if (f.position >= f.failFrame) return XNQ_FOURCC('b', 'o', 'o', 'm');
  *packets = std::min({*packets, f.pulls[f.calls++ % f.pulls.size()], f.frames - f.position});
  list->mBuffers[0].mData =
      static_cast<UInt8 *>(const_cast<void *>(f.data)) + size_t{f.position} * f.bytesPerFrame;
  list->mBuffers[0].mDataByteSize = *packets * f.bytesPerFrame;
  f.position += *packets;
  return noErr;
}

// Mono float32 out, in odd-sized requests, until a fill comes back empty.
std::vector<float> drain(AudioConverterRef c, Feed &feed) {
  std::vector<float> out(200000);
  const UInt32 asks[] = {1000, 7, 333, 4096};
  UInt32 total = 0;
  for (UInt32 k = 0, frames = 1; frames > 0; total += frames, ++k) {
    frames = asks[k % 4];
    AudioBufferList list{1, {{1, frames * 4, out.data() + total}}};
    EXPECT_EQ(AudioConverterFillComplexBuffer(c, feedProc, &feed, &frames, &list, nullptr), noErr);
  }
  out.resize(total);
  return out;
}

constexpr UInt32 kHigh = kAudioFormatFlagIsAlignedHigh;

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
    {"s24high", pcm(44100, 2, 24, kSigned ^ kAudioFormatFlagIsPacked ^ kHigh, 4), 24, false},
    {"s32be", pcm(44100, 2, 32, kSigned | kBig), 32, false},
    {"f32", pcm(44100, 2, 32, kFloat), 24, true},
    {"f64be", pcm(44100, 2, 64, kFloat | kBig), 53, true},
};

// Every pair A -> B -> A gives A back exactly where B holds every value of A. Integers clip,
// take NaN as 0, and store 8 bits offset by half their range and 24 bits high in 32.
TEST(AudioConverter, RoundTripsAreExactWhereTheTargetHoldsTheValues) {
  const AudioStreamBasicDescription f64 = pcm(44100, 2, 64, kFloat);
  std::mt19937 random(7);
  const double special[] = {1.5, -7.0, std::nan(""), -0.5, 0.0, 0.25};
  for (const Layout &a : kLayouts) {
    const std::vector<UInt8> bytes = convert(f64, a.format, special, 3);
    const std::vector<UInt8> back = convert(a.format, f64, bytes.data(), 3);
    const auto *value = reinterpret_cast<const double *>(back.data());
    const std::vector<double> clipped = {1 - std::ldexp(1.0, 1 - a.precision), -1.0, 0.0, -0.5};
    EXPECT_TRUE(a.isFloat || std::vector(value, value + 4) == clipped) << a.name;
    EXPECT_TRUE(a.format.mBitsPerChannel != 8 || bytes[4] == 0x80);
    EXPECT_TRUE(a.format.mBytesPerFrame != 8 || a.precision != 24 || a.isFloat ||
                bytes[15] == 0xC0);
    const int bits = a.isFloat ? 24 : a.precision;
    std::vector<double> values = {-1.0, -0.5, 0.0, 0.5, 1.0 - std::ldexp(1.0, 1 - bits)};
    for (int i = 0; i < 401; ++i)
      values.push_back(std::ldexp(static_cast<SInt32>(random()) >> (32 - bits), 1 - bits));
    const auto frames = static_cast<UInt32>(values.size() / 2);
    const std::vector<UInt8> original = convert(f64, a.format, values.data(), frames);
    for (const Layout &b : kLayouts) {
      if (b.isFloat ? b.precision < std::max(bits, a.precision * a.isFloat)
                    : a.isFloat || b.precision < a.precision)
        continue;
      const std::vector<UInt8> there = convert(a.format, b.format, original.data(), frames);

      EXPECT_EQ(convert(b.format, a.format, there.data(), frames), original)
          << a.name << " -> " << b.name;
    }
  }
}

// 1 kHz through 44.1 <-> 48 kHz: within -100 dB of the ideal sine at the new rate (so aligned
// in time too), of the right length, the same whatever the pulls and requests, and again the
// same after a reset.
TEST(AudioConverter, ResamplesCleanlyWithAnyPullPattern) {
  for (auto [inRate, outRate] : {std::pair{44100.0, 48000.0}, std::pair{48000.0, 44100.0}}) {
    std::vector<float> x(11025);
    for (UInt32 i = 0; i < 11025; ++i) x[i] = float(0.5 * std::sin(2 * M_PI * 1000 * i / inRate));
    std::vector<float> outputs[2];
    const std::vector<UInt32> patterns[2] = {{4096}, {37, 1, 509, 2000, 3}};
    for (int p = 0; p < 2; ++p) {
      AudioConverterRef c = make(pcm(inRate, 1, 32, kFloat), pcm(outRate, 1, 32, kFloat));
      Feed feed{x.data(), 4, 11025, patterns[p]};
      outputs[p] = drain(c, feed);
      EXPECT_EQ(drain(c, feed).size(), 0u);  // the data has ended
      feed.position = 0;
      EXPECT_EQ(AudioConverterReset(c), noErr);  // a new stream, as on a new converter
      EXPECT_EQ(drain(c, feed), outputs[p]);
      AudioConverterDispose(c);
    }
    ASSERT_EQ(outputs[0].size(), size_t(std::llround(11025 * outRate / inRate)));
    ASSERT_EQ(outputs[1].size(), outputs[0].size());
    double error = 0, signal = 0;
    for (size_t i = 0; i < outputs[0].size(); ++i) {
      ASSERT_NEAR(outputs[1][i], outputs[0][i], 1e-6) << i;
      const double ideal = 0.5 * std::sin(2 * M_PI * 1000 * i / outRate);
      if (i < 1000 || i + 1000 > outputs[0].size()) continue;  // the edges of the stream
      error += (outputs[0][i] - ideal) * (outputs[0][i] - ideal);
      signal += ideal * ideal;
    }
    EXPECT_LT(10 * std::log10(error / signal), -100) << inRate << " -> " << outRate;
  }
}

// The fill path, resampling or not, from 16-bit big-endian stereo to float planes as the sound
// output does: no allocation, no free and no mutex after the converter is made, through odd
// pulls, the end of the data and a new stretch after it.
TEST(AudioConverter, FillsNeitherAllocateNorLock) {
#if !CONVERTER_COUNTS_CALLS
  GTEST_SKIP() << "the sanitizers own the allocator in this build";
#else
  std::vector<SInt16> in(2 * 20000, 0x1234);
  for (Float64 outRate : {44100.0, 48000.0, 8000.0}) {
    const AudioStreamBasicDescription to = pcm(outRate, 2, 32, kFloat | kPlanar);
    gCalls = 0;
    tCounting = true;
    AudioConverterRef c = make(pcm(44100, 2, 16, kSigned | kBig), to);
    tCounting = false;
    EXPECT_GT(gCalls.load(), 0) << "the counters see the platform's calls";
    Buffers out(to, 4096);
    Feed feed{in.data(), 4, 20000, {37, 1024, 1, 509}};
    gCalls = 0;
    tCounting = true;
    for (UInt32 k = 0; k < 200; ++k) {
      UInt32 frames = 1 + (k * 397) % 4096;
      AudioConverterFillComplexBuffer(c, feedProc, &feed, &frames, out.at(to, 0, 4096), nullptr);
      if (k == 150) feed.position = 0;
    }
    tCounting = false;
    EXPECT_EQ(gCalls.load(), 0) << outRate;
    AudioConverterDispose(c);
  }
#endif
}

// Null, disposed and made-up references get paramErr; a procedure's status stops the fill
// after the frames it gave; packets without bytes are refused; formats the converter cannot
// take, and whole-buffer conversion across rates, are not supported.
TEST(AudioConverter, BadArgumentsGetStatusCodes) {
  const AudioStreamBasicDescription good = pcm(44100, 2, 16, kSigned),
                                    half = pcm(44100, 2, 16, kFloat);
  AudioConverterRef same = make(good, good), other = make(good, pcm(48000, 2, 16, kSigned));
  AudioConverterRef disposed = make(good, good), c = nullptr;
  AudioConverterDispose(disposed);
  UInt32 n = 4;
  SInt16 data[8] = {};
  Buffers out(good, 4);
  Feed empty{nullptr, 4, 8, {8}}, failing{data, 4, 8, {2}, 0, 2};
  const auto fill = [&](AudioConverterRef r, Feed *feed) {
    n = 4;
    return AudioConverterFillComplexBuffer(r, feedProc, feed, &n, out.at(good, 0, 4), nullptr);
  };
  const std::pair<OSStatus, OSStatus> results[] = {
      {AudioConverterDispose(nullptr), paramErr},
      {AudioConverterDispose(disposed), paramErr},
      {AudioConverterReset(AudioConverterRef(0x5151)), paramErr},
      {fill(disposed, &failing), paramErr},
      {fill(same, &failing), XNQ_FOURCC('b', 'o', 'o', 'm')},
      {OSStatus(n), 2},
      {fill(same, &empty), kAudioConverterErr_InvalidInputSize},
      {AudioConverterNew(&good, &half, &c), kAudioConverterErr_FormatNotSupported},
      {AudioConverterConvertBuffer(other, 16, data, &n, data),
       kAudioConverterErr_OperationNotSupported},
  };
  for (size_t i = 0; i < std::size(results); ++i)
    EXPECT_EQ(results[i].first, results[i].second) << i;
  AudioConverterDispose(same);
  AudioConverterDispose(other);
}

}  // namespace
}  // namespace audio_test
