// The audio converter as its callers drive it: sample formats and their round trips,
// sample-rate conversion quality with any pull pattern on a fill path that never allocates or
// locks, properties, input procedures that stop a fill, and bad arguments.
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>

#include "audio_test_support.h"

namespace {
// What the marked thread allocates or locks, counted by this executable's allocator and mutex
// entries; the sanitizers own the allocator, so their builds count nothing.
thread_local bool tCounting = false;
std::atomic<long> gCalls{0};
}  // namespace
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool kCounting = true;
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n) {
  gCalls += tCounting;
  return __libc_malloc(n);
}
extern "C" void *realloc(void *p, size_t n) {
  gCalls += tCounting;
  return __libc_realloc(p, n);
}
using LockFn = int (*)(pthread_mutex_t *);
const auto gRealLock = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
extern "C" int pthread_mutex_lock(pthread_mutex_t *m) {
  gCalls += tCounting;
  return gRealLock(m);
}
#else
constexpr bool kCounting = false;
#endif

namespace audio_test {
namespace {

AudioConverterRef make(const AudioStreamBasicDescription &from,
                       const AudioStreamBasicDescription &to) {
  AudioConverterRef c = nullptr;
  tCounting = true;
  EXPECT_EQ(AudioConverterNew(&from, &to, &c), noErr);
  tCounting = false;
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

// Mono float32 out, in odd-sized requests, until a fill comes back empty; the fills counted.
std::vector<float> drain(AudioConverterRef c, Feed &feed) {
  std::vector<float> out(200000);
  const UInt32 asks[] = {1000, 7, 333, 4096};
  UInt32 total = 0;
  for (UInt32 k = 0, frames = 1; frames > 0; total += frames, ++k) {
    frames = asks[k % 4];
    AudioBufferList list{1, {{1, frames * 4, out.data() + total}}};
    tCounting = true;
    const OSStatus status =
        AudioConverterFillComplexBuffer(c, feedProc, &feed, &frames, &list, nullptr);
    tCounting = false;
    EXPECT_EQ(status, noErr);
  }
  out.resize(total);
  return out;
}

constexpr UInt32 kHigh = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsAlignedHigh;
const AudioStreamBasicDescription kLayouts[] = {
    pcm(44100, 2, 8, kAudioFormatFlagIsPacked), pcm(44100, 2, 16, kSigned),
    pcm(44100, 2, 16, kSigned | kBig),          pcm(44100, 2, 24, kSigned),
    pcm(44100, 2, 24, kSigned | kBig),          pcm(44100, 2, 24, kHigh, 4),
    pcm(44100, 2, 32, kSigned | kBig),          pcm(44100, 2, 32, kFloat),
    pcm(44100, 2, 32, kFloat | kBig),           pcm(44100, 2, 64, kFloat | kBig)};

bool isFloat(const AudioStreamBasicDescription &f) { return f.mFormatFlags & kFloat & ~kSigned; }
// The bits of an integer the layout holds exactly.
int precision(const AudioStreamBasicDescription &f) {
  return !isFloat(f) ? int(f.mBitsPerChannel) : f.mBitsPerChannel == 32 ? 24 : 53;
}

// Every pair A -> B -> A gives A back exactly where B holds every value of A. Integers clip,
// take NaN as 0, and store 8 bits offset by half their range and 24 bits high in 32.
TEST(AudioConverter, RoundTripsAreExactWhereTheTargetHoldsTheValues) {
  const AudioStreamBasicDescription f64 = pcm(44100, 2, 64, kFloat);
  std::mt19937 random(7);
  const double special[] = {1.5, -7.0, std::nan(""), -0.5, 0.0, 0.25};
  for (const auto &a : kLayouts) {
    const int bits = std::min(precision(a), 32);
    const std::vector<UInt8> bytes = convert(f64, a, special, 3);
    const std::vector<UInt8> back = convert(a, f64, bytes.data(), 3);
    const auto *value = reinterpret_cast<const double *>(back.data());
    const std::vector<double> clipped = {1 - std::ldexp(1.0, 1 - bits), -1.0, 0.0, -0.5};
    EXPECT_TRUE(isFloat(a) || std::vector(value, value + 4) == clipped) << bits;
    EXPECT_TRUE(bits != 8 || bytes[4] == 0x80);
    EXPECT_TRUE(a.mBytesPerFrame != 8 || bits != 24 || isFloat(a) || bytes[15] == 0xC0);
    std::vector<double> values = {-1.0, -0.5, 0.0, 0.5, 1.0 - std::ldexp(1.0, 1 - bits)};
    for (int i = 0; i < 401; ++i)
      values.push_back(std::ldexp(static_cast<SInt32>(random()) >> (32 - bits), 1 - bits));
    const auto frames = static_cast<UInt32>(values.size() / 2);
    const std::vector<UInt8> original = convert(f64, a, values.data(), frames);
    for (const auto &b : kLayouts) {
      // Straight from A to B gives what going through 64-bit floats gives, bit for bit, for
      // values out of range and NaN too.
      for (const auto &[in, n] : {std::pair(&bytes, 3u), std::pair(&original, frames)})
        EXPECT_EQ(convert(a, b, in->data(), n),
                  convert(f64, b, convert(a, f64, in->data(), n).data(), n))
            << &a - kLayouts << &b - kLayouts;
      if (precision(b) < precision(a) || (isFloat(a) && !isFloat(b))) continue;
      const std::vector<UInt8> there = convert(a, b, original.data(), frames);
      EXPECT_EQ(convert(b, a, there.data(), frames), original) << &a - kLayouts << &b - kLayouts;
    }
  }
}

// 1 kHz through 44.1 <-> 48 kHz (and unchanged at 44.1): within -100 dB of the ideal sine at
// the new rate, so aligned in time too; of the right length; the same whatever the pulls and
// requests, and again after a reset; new data after the end goes on; and every fill goes
// without allocating or locking, though making the converter does both.
TEST(AudioConverter, ResamplesCleanlyWithAnyPullsAndNeitherAllocatesNorLocks) {
  for (auto [inRate, outRate] :
       {std::pair{44100.0, 48000.0}, {48000.0, 44100.0}, {44100.0, 44100.0}}) {
    std::vector<float> x(11025);
    for (UInt32 i = 0; i < 11025; ++i) x[i] = float(0.5 * std::sin(2 * M_PI * 1000 * i / inRate));
    std::vector<float> outputs[2];
    const std::vector<UInt32> patterns[2] = {{4096}, {37, 1, 509, 2000, 3}};
    for (int p = 0; p < 2; ++p) {
      gCalls = 0;
      AudioConverterRef c = make(pcm(inRate, 1, 32, kFloat), pcm(outRate, 1, 32, kFloat));
      EXPECT_TRUE(!kCounting || gCalls > 0) << "the counters see the platform's calls";
      gCalls = 0;
      Feed feed{x.data(), 4, 11025, patterns[p]};
      outputs[p] = drain(c, feed);
      EXPECT_EQ(drain(c, feed).size(), 0u);  // the data has ended
      feed.position = 0;
      EXPECT_GT(drain(c, feed).size(), outputs[p].size() / 2);
      EXPECT_EQ(gCalls, 0) << inRate << " " << outRate << " " << p;
      EXPECT_EQ(AudioConverterReset(c), noErr);  // a new stream, as on a new converter
      feed.position = 0;
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

// Properties; null, disposed and made-up references get paramErr; a procedure's status stops
// the fill after the frames it gave; packets without bytes are refused; whole-buffer conversion
// across rates is not supported; a step in rate whose buffers would not be small (200 Hz to
// 44100 Hz in 64 channels) is refused.
TEST(AudioConverter, PropertiesAndBadArguments) {
  const AudioStreamBasicDescription good = pcm(44100, 2, 16, kSigned);
  const AudioStreamBasicDescription slow = pcm(200, 64, 32, kFloat),
                                    fast = pcm(44100, 64, 32, kFloat);
  AudioConverterRef wide = nullptr;
  AudioConverterRef same = make(good, good), other = make(good, pcm(48000, 2, 16, kSigned));
  AudioConverterRef disposed = make(good, good);
  AudioConverterDispose(disposed);
  UInt32 n = 4, size = 40, quality = kAudioConverterQuality_Low, small = 2;
  SInt16 data[8] = {};
  AudioStreamBasicDescription got{};
  AudioConverterPrimeInfo prime{};
  Buffers out(good, 4);
  Feed empty{nullptr, 4, 8, {8}}, failing{data, 4, 8, {2}, 0, 2};
  const auto fill = [&](AudioConverterRef r, Feed *feed) {
    n = 4;
    return AudioConverterFillComplexBuffer(r, feedProc, feed, &n, out.at(good, 0, 4), nullptr);
  };
  const std::pair<OSStatus, OSStatus> results[] = {
      {AudioConverterGetProperty(other, kAudioConverterCurrentOutputStreamDescription, &size, &got),
       noErr},
      {OSStatus(got.mSampleRate), 48000},
      {AudioConverterSetProperty(other, kAudioConverterSampleRateConverterQuality, 4, &quality),
       noErr},
      {AudioConverterGetProperty(other, kAudioConverterPrimeInfo, &size, &prime), noErr},
      {OSStatus(prime.leadingFrames > 0 && prime.trailingFrames > 0), 1},
      {AudioConverterGetProperty(same, kAudioConverterPrimeInfo, &small, &prime),
       kAudioConverterErr_BadPropertySizeError},
      {AudioConverterSetProperty(same, kAudioConverterPrimeInfo, 8, &prime),
       kAudioConverterErr_PropertyNotSupported},
      {AudioConverterDispose(nullptr), paramErr},
      {AudioConverterDispose(disposed), paramErr},
      {AudioConverterReset(AudioConverterRef(0x5151)), paramErr},
      {fill(disposed, &failing), paramErr},
      {fill(same, &failing), XNQ_FOURCC('b', 'o', 'o', 'm')},
      {OSStatus(n), 2},
      {fill(same, &empty), kAudioConverterErr_InvalidInputSize},
      {AudioConverterConvertBuffer(other, 16, data, &n, data),
       kAudioConverterErr_OperationNotSupported},
      {AudioConverterNew(&slow, &fast, &wide), kAudioConverterErr_FormatNotSupported},
  };
  for (size_t i = 0; i < std::size(results); ++i)
    EXPECT_EQ(results[i].first, results[i].second) << i;
  AudioConverterDispose(same);
  AudioConverterDispose(other);
}

}  // namespace
}  // namespace audio_test
