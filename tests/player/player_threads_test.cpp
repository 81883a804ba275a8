// Start, Stop and underflow with the IO procedure running on its own thread while the host
// thread adds, polls and stops, and devices that go away under a running player. These run under
// the thread sanitizer as well.
#include <string>

#include "player_test_support.h"
#include "race_watchdog.h"

namespace player_test {
namespace {

using namespace std::chrono_literals;
using race_test::WaitFor;

class PlayerThreads : public PlayerTest {};

// On free-running devices: a player stops by itself when its queue runs dry; with NoUnderflow it
// plays on while the host adds and polls, and stops when asked; a running player released by its
// last reference stops first.
TEST_F(PlayerThreads, HostCallsAndTheIOThreadShareTheRecord) {
  AddDevice(44100, 2, 256, XNQ_CLOCK_FREE_RUNNING);
  Value player = NewPlayer();
  ASSERT_TRUE(CallBool(player, "AddFloatAudio", {Floats(std::vector<float>(10000, 0.25f))}));
  ASSERT_TRUE(CallBool(player, "AddAudio", {Host().newMemoryBlock(20000)}));
  ASSERT_TRUE(CallBool(player, "Start"));
  EXPECT_TRUE(WaitFor([&] { return !Get(player, "IsRunning").asBool(); }));
  EXPECT_GE(Get(player, "OutputPosition").asDouble(), 20000.0);
  EXPECT_FALSE(Get(player, "HadUnderflow").asBool());
  Set(player, "NoUnderflow", Bool(true));
  Value block = Floats(std::vector<float>(2048, 0.125f));
  for (int round = 0; round < 3; ++round) {
    Set(player, "NumberOfChannels", Int(round % 2 + 1));
    ASSERT_TRUE(CallBool(player, "Start"));
    for (int k = 0; k < 50; ++k) {
      if (CallBool(player, "HasFreeSpace")) {
        CallBool(player, "AddFloatAudio", {block, Int(0), Int(0), Bool(k % 10 == 9)});
      }
      (void)Get(player, "OutputPosition").asDouble();
      (void)Get(player, "OutputPositionRelative").asDouble();
      std::this_thread::sleep_for(200us);
    }
    EXPECT_TRUE(WaitFor([&] { return Get(player, "HadUnderflow").asBool(); }));
    Set(player, "HadUnderflow", Bool(false));
    Host().call(player, "Stop");
    EXPECT_FALSE(Get(player, "IsRunning").asBool());
    EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  }
  ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(std::vector<float>(100000, 0.5f))}));
  players_.clear();
  player = Value();  // the destructor waits for the IO procedure and frees the queue
  Value next = NewPlayer();
  EXPECT_TRUE(CallBool(next, "PlayFloatAudio", {Floats(std::vector<float>(100, 0.5f))}));
  EXPECT_TRUE(WaitFor([&] { return !Get(next, "IsRunning").asBool(); }));
}

// IO thread of the device under test: takes the device away from inside a cycle.
OSStatus RemoveMyDevice(AudioObjectID device, const AudioTimeStamp *, const AudioBufferList *,
                        const AudioTimeStamp *, AudioBufferList *, const AudioTimeStamp *, void *) {
  xnq_hal_remove_device(device);
  return 0;
}

// However a running player's device goes away (before the call, while it waits, from inside a
// cycle), IsRunning turns false without a call, as a program polling it expects, and Stop, Close
// and the destructor return at once.
TEST_F(PlayerThreads, ADeviceThatGoesAwayEndsPlaybackAndNeverHoldsUpStopCloseOrTheDestructor) {
  enum When { kBeforeTheCall, kWhileItWaits, kInsideACycle };
  for (const When when : {kBeforeTheCall, kWhileItWaits, kInsideACycle}) {
    for (const std::string method : {"IsRunning", "Stop", "Close", "Destructor"}) {
      SCOPED_TRACE(testing::Message() << method << " " << when);
      xnq_hal_reset();
      const AudioDeviceID device = AddDevice(44100, 2);
      Value player = Host().newObject("CoreAudioPlayerXNQ").value;
      Set(player, "NoUnderflow", Bool(true));
      ASSERT_TRUE(CallBool(player, "PlayFloatAudio", {Floats(std::vector<float>(100, 0.5f))}));
      ASSERT_EQ(xnq_hal_step(device, 1), 1u);
      if (when == kBeforeTheCall) {
        ASSERT_EQ(xnq_hal_remove_device(device), 0);
      }
      if (when == kInsideACycle) {
        ASSERT_EQ(AudioDeviceAddIOProc(device, RemoveMyDevice, nullptr), 0);
        ASSERT_EQ(AudioDeviceStart(device, RemoveMyDevice), 0);
        xnq_hal_step(device, 1);
      }
      std::thread remover([&] {
        if (when != kWhileItWaits) return;
        std::this_thread::sleep_for(50ms);
        xnq_hal_remove_device(device);
      });
      race_test::MustReturn(method.c_str(), [&] {
        if (method == "Destructor") {
          player = Value();
        } else if (method == "IsRunning") {
          while (Get(player, method).asBool()) std::this_thread::sleep_for(1ms);
        } else {
          Host().call(player, method);
        }
      });
      remover.join();
      if (!player.isNil()) {
        EXPECT_FALSE(Get(player, "IsRunning").asBool());
        EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
      }
    }
  }
}

// Host threads, each with players of its own, start, stop, add to and close them while the
// free-running device calls them back to back: every call returns, however it meets the IO
// thread.
TEST_F(PlayerThreads, HostCallsRacingAFreeRunningDeviceAlwaysReturn) {
  AddDevice(44100, 2, 32, XNQ_CLOCK_FREE_RUNNING);
  const Value block = Floats(std::vector<float>(64, 0.25f));
  race_test::RaceWithWatchdog(8, 3s, [&](int t) {
    Value player = Host().newObject("CoreAudioPlayerXNQ").value;
    Set(player, "NoUnderflow", Bool(t % 2 == 0));
    for (int i = 0; i < 4; ++i) {
      CallBool(player, "AddFloatAudio", {block});
      CallBool(player, "Start");
      if (i % 2 == 1) Host().call(player, "Stop");
    }
    CallBool(player, "PlayFloatAudio", {block});
    Host().call(player, "Close");
  });
}

}  // namespace
}  // namespace player_test
