// The render thread pulls slices from a free-running device while a host thread moves the loop
// and another the position, and the object goes while its graph plays. Run under the thread
// sanitizer as well.
#include <thread>

#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

class AUPlayerThreads : public AUPlayerTest {};

TEST_F(AUPlayerThreads, HostThreadsSeekAndLoopWhileTheDevicePlays) {
  XnqDeviceConfig config{"null", nullptr, nullptr, nullptr, 44100, 2, 0, 256, 1};
  ASSERT_NE(xnq_hal_add_device(&config), 0u);  // clock 1: cycles back to back
  Value player = NewPlayer();
  ASSERT_TRUE(
      Load(player, WriteFile("t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100)).value.asBool());
  Host().call(player, "Play");
  std::thread looper([&] {
    for (int k = 0; k < 300; ++k) {
      Host().set(player, "LoopIn", Value::dbl(0.1 * (k % 5)));
      Host().set(player, "LoopOut", Value::dbl(0.1 * (k % 5) + 0.05));
      Host().set(player, "Looping", Value::boolean(k % 3 != 0));
    }
  });
  for (int k = 0; k < 300; ++k) {
    Set(player, "CurrentTime", Value::dbl(0.9));
    EXPECT_LE(Get(player, "CurrentTime").asDouble(), 1.0);
  }
  looper.join();
  EXPECT_TRUE(Get(player, "Playing").asBool());
}

}  // namespace
}  // namespace auplayer_test
