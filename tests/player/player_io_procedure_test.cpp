// The player's IO procedure under the rules of an audio thread: it allocates and frees nothing,
// the buffers it has played go back to the allocator without a host call, and it keeps its place
// in streams longer than 2^31 frames.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "player/AudioPlayerData.h"
#include "player_test_support.h"
#include "race_watchdog.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define PLAYER_COUNTS_ALLOCATIONS 1
// This executable's allocator entries count what the device IO thread allocates and frees;
// the thread marks itself from the output tap, which runs on it after every cycle.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}
namespace {
thread_local bool tOnIOThread = false;
std::atomic<long> gIOAllocations{0};
std::atomic<long> gIOFrees{0};
}  // namespace
extern "C" void *malloc(size_t n) {
  if (tOnIOThread) gIOAllocations.fetch_add(1);
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  if (tOnIOThread) gIOAllocations.fetch_add(1);
  return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
  if (tOnIOThread) gIOAllocations.fetch_add(1);
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
  if (tOnIOThread && p != nullptr) gIOFrees.fetch_add(1);
  __libc_free(p);
}
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace player_test {
namespace {

// Bytes the process's allocator has handed out and not had back.
size_t LiveHeapBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

class PlayerIOProcedure : public PlayerTest {};

// Blocks the IO thread has played out go back to the allocator within 100 ms, though the host
// program makes no further call that could free them.
TEST_F(PlayerIOProcedure, PlayedBlocksAreGivenBackWithoutAHostCall) {
  const AudioDeviceID device = AddDevice(44100, 1, 8192);
  Value player = NewPlayer();
  Value block = Floats(std::vector<float>(1 << 16, 0.25f));
  constexpr size_t kBlockBytes = (1 << 16) * sizeof(float);
  const size_t before = LiveHeapBytes();
  for (int k = 0; k < 16; ++k) ASSERT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_GE(LiveHeapBytes(), before + 15 * kBlockBytes);
  ASSERT_TRUE(CallBool(player, "Start"));
  // 128 cycles play the 16 blocks; the next one finds the queue dry and stops the device.
  EXPECT_EQ(xnq_hal_step(device, 200), 129u);
  EXPECT_TRUE(race_test::WaitFor([&] { return LiveHeapBytes() <= before + kBlockBytes; },
                                 std::chrono::milliseconds(100)));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

#if PLAYER_COUNTS_ALLOCATIONS
void MarkIOThread(const Float32 *, UInt32, UInt32, void *) { tOnIOThread = true; }
#endif

TEST_F(PlayerIOProcedure, SteadyStateCyclesAllocateAndFreeNothing) {
#if !PLAYER_COUNTS_ALLOCATIONS
  GTEST_SKIP() << "the sanitizers own the allocator in this build";
#else
  const AudioDeviceID device = AddDevice(44100, 2, 256);
  xnq_hal_set_output_tap(device, &MarkIOThread, nullptr);
  Value player = NewPlayer();
  Value block = Floats(std::vector<float>(300, 0.25f));
  Value half = Floats(std::vector<float>(150, -0.25f));
  for (int k = 0; k < 80; ++k) ASSERT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  ASSERT_TRUE(CallBool(player, "Start"));
  ASSERT_EQ(xnq_hal_step(device, 2), 2u);  // the first cycles mark the IO thread
  gIOAllocations.store(0);
  gIOFrees.store(0);
  // Mono, stereo and a resampling step; items end inside cycles, so the IO thread moves from
  // item to item and hands the finished buffers back.
  ASSERT_EQ(xnq_hal_step(device, 10), 10u);
  Set(player, "NumberOfChannels", Int(2));
  ASSERT_EQ(xnq_hal_step(device, 10), 10u);
  Set(player, "SampleRate", Value::single(48000.0f));
  ASSERT_TRUE(CallBool(player, "AddFloatAudioStereo", {half, half}));
  ASSERT_EQ(xnq_hal_step(device, 10), 10u);
  EXPECT_EQ(gIOAllocations.load(), 0);
  EXPECT_EQ(gIOFrees.load(), 0);
  EXPECT_LT(CallInteger(player, "FreeSpace"), 200);  // still playing queued data
#endif
}

// A stream that has played for more than 2^31 frames: the record is placed where such a stream
// stands and the procedure is called as its device would call it.
TEST_F(PlayerIOProcedure, StreamsLongerThanTwoToTheThirtyOneFramesStillReadTheRightSamples) {
  Value player = NewPlayer();
  std::vector<float> samples(1024);
  for (size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<float>(k) / 1024.0f;
  auto *record = static_cast<AudioPlayerData *>(Host().instanceData(player));
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->ioProc, nullptr);

  for (const int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    Set(player, "NumberOfChannels", Int(channels));
    ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(samples)}));
    const int64_t frames = int64_t{3} << 30;  // past both 2^31 (mono) and 2^30 (stereo)
    record->itemStart = frames * channels;
    record->outputPositionAbsolute.store(static_cast<double>(frames));

    std::vector<float> out(2 * 256, -1.0f);
    AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{2, static_cast<UInt32>(out.size() * sizeof(float)), out.data()};
    EXPECT_EQ(record->ioProc(0, nullptr, nullptr, nullptr, &list, nullptr, record), 0);
    for (size_t f = 0; f < 256; ++f) {
      if (channels == 1) {
        ASSERT_EQ(out[2 * f], samples[f]) << f;
        ASSERT_EQ(out[2 * f + 1], samples[f]) << f;
      } else {
        ASSERT_EQ(out[2 * f], samples[2 * f]) << f;
        ASSERT_EQ(out[2 * f + 1], samples[2 * f + 1]) << f;
      }
    }
    EXPECT_EQ(Get(player, "OutputPosition").asDouble(), static_cast<double>(frames + 256));
    Host().call(player, "Stop");  // not running: empties the player at once
  }
}

}  // namespace
}  // namespace player_test
