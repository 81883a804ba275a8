// AUPlayerXNQ from host threads against graphs that play on a free-running device: transport,
// position and loop calls on one object beside its render thread, the object replaced while it
// plays and destroyed by whichever thread lets go of it last. Every call must return. Built into
// the thread-sanitizer leg as well.
#include <mutex>

#include "auplayer_test_support.h"
#include "race_watchdog.h"

namespace auplayer_test {
namespace {

using namespace std::chrono_literals;

class AUPlayerThreads : public AUPlayerTest {};

TEST_F(AUPlayerThreads, HostCallsAndDestructionRaceAPlayingGraph) {
  XnqDeviceConfig free{"null", "Free", nullptr, nullptr, 44100, 2, 0, 256, XNQ_CLOCK_FREE_RUNNING};
  ASSERT_NE(xnq_hal_add_device(&free), 0u);
  const std::string wav = WriteFile("race.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100);
  auto loaded = [&] {
    Value player = NewPlayer();  // the HAL output, on the default device
    EXPECT_TRUE(Load(player, wav).value.asBool());
    return player;
  };
  using Call = void (*)(const Value &, double at);
  const Call calls[] = {
      [](const Value &p, double) { Host().call(p, "Play"); },
      [](const Value &p, double) { Host().call(p, "Pause"); },
      [](const Value &p, double) { Host().call(p, "Reset"); },
      [](const Value &p, double) { EXPECT_LE(Get(p, "CurrentTime").asDouble(), 1.0); },
      [](const Value &p, double at) { Set(p, "CurrentTime", Value::dbl(at)); },
      [](const Value &p, double at) { Set(p, at < 0.5 ? "LoopIn" : "LoopOut", Value::dbl(at)); },
      [](const Value &p, double) {
        Set(p, "Looping", Value::boolean(Get(p, "Playing").asBool()));
      }};
  std::mutex mutex;
  Value shared = loaded();
  std::atomic<int> rounds{0};
  race_test::RaceWithWatchdog(4, 3s, [&](int t) {
    Value player = t == 0 && ++rounds % 4 == 0 ? loaded() : Value();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!player.isNil()) std::swap(shared, player);  // the old one goes with its last holder
      player = shared;
    }
    for (int k = 0; k < 10; ++k) calls[(k * 5 + t) % 7](player, 0.1 * ((k + t) % 9));
  });
}

}  // namespace
}  // namespace auplayer_test
