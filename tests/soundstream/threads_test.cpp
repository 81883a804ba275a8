// Host, Sound Manager and render threads at once, run under the thread sanitizer too.
#include <thread>
#include <vector>

#include "race_watchdog.h"
#include "soundstream/soundstream_test_support.h"

namespace soundstream_test {
namespace {

using namespace std::chrono_literals;

// Host threads make, register, attach, start, close and destroy objects, each on a free-running
// device of its own (no other unit's calls wake a stop waiting there), while a Sound Manager
// thread plays through whatever component is registered. Every call returns.
TEST_F(SoundStreamTest, HostAndSoundManagerCallsRaceAFreeRunningDevice) {
  std::atomic<Component> registered{nullptr};
  std::vector<AudioDeviceID> devices;
  for (int t = 0; t < 3; ++t)
    devices.push_back(player_test::AddDevice(44100, 2, 32, XNQ_CLOCK_FREE_RUNNING));
  int next[4] = {0, 1, 2, 0};  // each thread's round number, which picks what it varies
  race_test::RaceWithWatchdog(4, 3s, [&](int t) {
    const int r = next[t];
    next[t] += t < 3 ? 3 : 1;
    if (t == 3) {  // the Sound Manager
      std::vector<Byte> sound(4 * 1500, 0x11);
      XnqSoundFormat format{r % 2 ? 22050.0 : 44100.0, 2, 16, 1};
      XnqSoundChannel *channel = nullptr;
      if (xnq_sound_channel_open(registered.load(), &format, 2, 1500, &channel) != noErr) return;
      xnq_sound_channel_write(channel, sound.data(), 1500, nullptr);
      if (r % 4 == 0) SoundComponentInitOutputDevice(xnq_sound_channel_instance(channel), 0);
      std::this_thread::sleep_for(std::chrono::microseconds(r % 5 * 200));
      xnq_sound_channel_close(channel);
      return;
    }
    Value obj = OpenStream();
    registered.store(ComponentOf(obj));
    AudioUnit output = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_HALOutput);
    EXPECT_EQ(AudioUnitSetProperty(output, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &devices[t], sizeof devices[t]),
              noErr);
    auto unit = Value::integer(reinterpret_cast<intptr_t>(output));
    Call(obj, "AttachToAudioUnitComponent", {unit});
    Call(obj, "AudioUnitInitialize", {unit});
    for (int k = 0; k < 8; ++k) {  // each CloseComponent stops the unit attached before it
      Call(obj, "AudioOutputUnitStart", {unit});
      Call(obj, "CloseComponent");
      Call(obj, "AttachToAudioUnitComponent", {unit});
    }
    Call(obj, "AudioOutputUnitStart", {unit});
    Call(obj, "OpenComponent");
    registered.store(ComponentOf(obj));
    if (r % 2 == 0) CloseComponent(output);  // while it plays
    if (r % 3 != 2) Call(obj, r % 3 == 0 ? "CloseComponent" : "InitComponent");
    obj = Value();
    if (r % 2 == 1) CloseComponent(output);
  });
}

// Two units attached to one object render it on two threads at once: one at a time pulls the
// stream, the other plays silence, and no sample is torn.
TEST_F(SoundStreamTest, TwoUnitsRenderOneStateAtOnce) {
  Value obj = OpenStream();
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj));
  std::vector<Byte> sound(4 * 32768, 0x11);
  ASSERT_EQ(xnq_sound_channel_write(channel, sound.data(), 32768, nullptr), noErr);
  std::vector<std::thread> renderers;
  for (AudioUnit unit : {AttachGenericUnit(obj), AttachGenericUnit(obj)}) {
    renderers.emplace_back([unit] {
      for (int i = 0; i < 64; ++i)
        for (float v : Render(unit, 256)) ASSERT_TRUE(v == 0 || v == 0x1111 / 32768.0f) << v;
      CloseComponent(unit);
    });
  }
  for (std::thread &t : renderers) t.join();
  xnq_sound_channel_close(channel);
}

}  // namespace
}  // namespace soundstream_test
