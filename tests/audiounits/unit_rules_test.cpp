// What every processing unit owes its host, the render path without allocation or lock included.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "unit_harness.h"

// Counts the process's allocations while counting is set (not under the sanitizers' allocators).
namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool kCountsAllocations = true;
static void note() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void *malloc(size_t size) { return note(), __libc_malloc(size); }
void *calloc(size_t n, size_t size) { return note(), __libc_calloc(n, size); }
void *realloc(void *p, size_t size) { return note(), __libc_realloc(p, size); }
void *aligned_alloc(size_t alignment, size_t size) {
  return note(), __libc_memalign(alignment, size);
}
int posix_memalign(void **p, size_t alignment, size_t size) {
  *p = aligned_alloc(alignment, size);
  return *p == nullptr ? ENOMEM : 0;
}
}
#else
constexpr bool kCountsAllocations = false;
#endif

namespace xnq::test {
namespace {

struct Kind {
  OSType type, subType;
  AudioUnitParameterID parameter;  // a parameter to misuse, in scope
  AudioUnitScope scope;
  Float32 away;          // a value of it that is not identity
  bool offline = false;  // rendered for a caller that waits, not for a device
};
constexpr OSType kFx = kAudioUnitType_Effect, kFc = kAudioUnitType_FormatConverter;
constexpr AudioUnitScope kGlobal = kAudioUnitScope_Global;
const Kind kKinds[] = {
    {kFx, kAudioUnitSubType_GraphicEQ, 3, kGlobal, 9},
    {kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, 0, kAudioUnitScope_Input, 0.5f},
    {kFc, kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Rate, kGlobal, 1.25f},
    {kFc, kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Pitch, kGlobal, -500, true},
    {kFc, kAudioUnitSubType_TimePitch, kTimePitchParam_Pitch, kGlobal, 300},
    {kFc, kAudioUnitSubType_Varispeed, kVarispeedParam_PlaybackRate, kGlobal, 1.5f},
};

TEST(UnitRules, BadValuesAreRefusedParametersDescribedAndBypassIsExact) {
  for (const Kind &k : kKinds) {
    SCOPED_TRACE(k.subType);
    ComponentDescription registered{k.type, k.subType, kAudioUnitManufacturer_Platform, 0, 0};
    EXPECT_NE(FindNextComponent(nullptr, &registered), nullptr);
    UnitHarness unit(k.type, k.subType, 2);
    Float32 before = unit.get(k.parameter, k.scope);
    for (Float32 bad : {NAN, INFINITY, -INFINITY, 1e6f, -1e6f})
      EXPECT_EQ(unit.set(k.parameter, bad, k.scope), kAudioUnitErr_InvalidParameter) << bad;
    EXPECT_EQ(unit.get(k.parameter, k.scope), before);
    EXPECT_EQ(unit.set(k.parameter, k.away, k.scope, 9), kAudioUnitErr_InvalidElement);
    EXPECT_EQ(unit.set(k.parameter, k.away, 5), kAudioUnitErr_InvalidScope);
    EXPECT_EQ(unit.set(7777, 0, k.scope), kAudioUnitErr_InvalidParameter);

    for (AudioUnitScope scope : {0, 1, 2}) {
      UInt32 size = 0;
      ASSERT_EQ(AudioUnitGetPropertyInfo(unit.unit(), kAudioUnitProperty_ParameterList, scope, 0,
                                         &size, nullptr),
                noErr);
      std::vector<AudioUnitParameterID> ids(size / 4 + 1);
      ids.pop_back();
      ASSERT_EQ(AudioUnitGetProperty(unit.unit(), kAudioUnitProperty_ParameterList, scope, 0,
                                     ids.data(), &size),
                noErr);
      for (AudioUnitParameterID id : ids) {
        AudioUnitParameterInfo info{};
        size = sizeof info;
        ASSERT_EQ(AudioUnitGetProperty(unit.unit(), kAudioUnitProperty_ParameterInfo, scope, id,
                                       &info, &size),
                  noErr);
        EXPECT_NE(info.name[0], '\0') << id;
        EXPECT_TRUE(info.minValue <= info.defaultValue && info.defaultValue <= info.maxValue);
        EXPECT_EQ(unit.get(id, scope), info.defaultValue) << id;
      }
    }
    EXPECT_EQ(unit.setProperty(kAudioUnitProperty_RenderQuality, 127), noErr);
    ASSERT_EQ(unit.set(k.parameter, k.away, k.scope), noErr);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_BypassEffect, 1), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal in = tone(2, 1000, 0.1);
    EXPECT_EQ(unit.render(in, in[0].size()), in);  // bypassed: the input, exactly
    std::vector<float> buffer(1157);
    AudioBufferList list{1, {{1, 1157 * 4, buffer.data()}}};
    AudioTimeStamp stamp{};
    EXPECT_EQ(AudioUnitRender(unit.unit(), nullptr, &stamp, 0, 1157, &list),
              kAudioUnitErr_TooManyFramesToProcess);
    // One buffer where the output's two channels need one each.
    EXPECT_EQ(AudioUnitRender(unit.unit(), nullptr, &stamp, 0, 16, &list), paramErr);
  }
}

// Half a second with the parameter moving into and out of identity between slices.
TEST(UnitRules, RenderingNeitherAllocatesNorTakesTheUnitsLock) {
  static AudioUnitParameterID parameter;
  static AudioUnitScope scope;
  static Float32 away;
  std::vector<Kind> kinds(std::begin(kKinds), std::end(kKinds));
  kinds.push_back({kFc, kAudioUnitSubType_AUConverter, 0, 0, 0});
  for (const Kind &k : kinds) {
    SCOPED_TRACE(k.subType);
    UnitHarness unit(k.type, k.subType, 2);
    parameter = k.parameter, scope = k.scope, away = k.away;
    if (k.subType == kAudioUnitSubType_AUConverter) {  // one that resamples
      Float64 rate = 48000;
      ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_SampleRate,
                                     kAudioUnitScope_Output, 0, &rate, sizeof rate),
                noErr);
    }
    if (k.type == kAudioUnitType_Mixer) {
      ASSERT_EQ(unit.setProperty(kAudioUnitProperty_MeteringMode, 1, kAudioUnitScope_Input), noErr);
    }
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_OfflineRender, k.offline), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal in = tone(2, 500, 0.5);
    allocations = 0;
    // The first move away from identity makes a rate unit's engine in the setter: not counted.
    unit.render(in, in[0].size(), 512, [](UnitHarness &u, size_t done) {
      counting = false;
      u.set(parameter, (done / 512) % 8 < 4 ? away : 1, scope);
      counting = true;
    });
    counting = false;
    EXPECT_TRUE(!kCountsAllocations || allocations == 0) << allocations << " allocations";

    // While the unit pulls its input, another thread can still reach the unit's properties.
    unit.onPull = [](UnitHarness &u) {
      static std::atomic<bool> done;
      done = false;
      std::thread reader([unit = u.unit(), frames = UInt32{}, size = UInt32{4}]() mutable {
        done = AudioUnitGetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, 0, 0, &frames,
                                    &size) == noErr;
      });
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (!done && std::chrono::steady_clock::now() < until) std::this_thread::yield();
      EXPECT_TRUE(done) << "the unit holds its lock while it renders";
      done ? reader.join() : reader.detach();  // a held lock leaves the reader blocked
      u.onPull = nullptr;
    };
    unit.render(in, 512);
  }
}

}  // namespace
}  // namespace xnq::test
