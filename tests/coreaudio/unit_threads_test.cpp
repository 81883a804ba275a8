// CoreAudioXNQ's unit calls from several host threads while output units run on a free-running
// device.
#include "coreaudio_test_support.h"
#include "os/audio_unit.h"
#include "race_watchdog.h"

namespace coreaudio_test {
namespace {

using namespace std::chrono_literals;

// Host threads, each with an object, a device and output units of its own, initialise, start,
// stop and close the units while the devices' IO threads, more of them than cores, call their
// procedures back to back: every call returns, however a stop meets an IO thread, and gives back
// every reference it took.
TEST_F(CoreAudioTest, UnitStartsAndStopsRacingAFreeRunningDeviceAlwaysReturn) {
  xnq_hal_reset();
  std::vector<AudioDeviceID> ids;
  for (int t = 0; t < 4; ++t) {
    XnqDeviceConfig output{
        "null", nullptr, nullptr, nullptr, 48000, 2, 0, 32, XNQ_CLOCK_FREE_RUNNING};
    ids.push_back(xnq_hal_add_device(&output));
  }
  race_test::RaceWithWatchdog(4, 3s, [&](int t) {
    Value ca = rt().newObject("CoreAudioXNQ").value;
    const Value unit = rt().call(ca, "OpenDefaultComponent", {Str("auou"), Str("ahal")}).value;
    rt().call(ca, "AudioUnitSetPropertyMemory",
              {unit, Int(kAudioOutputUnitProperty_CurrentDevice), Int(0), Int(0), Bytes(&ids[t], 4),
               Int(0), Int(4)});
    rt().call(ca, "AudioUnitInitialize", {unit});
    for (int i = 0; i < 4; ++i) {
      rt().call(ca, "AudioOutputUnitStart", {unit});
      rt().call(ca, "AudioOutputUnitStop", {unit});
    }
    rt().call(ca, "AudioOutputUnitStart", {unit});
    EXPECT_FALSE(rt().call(ca, "CloseComponent", {unit}).raised());
    EXPECT_EQ(rt().get(ca, "Lasterror").value.asInteger(), 0);
  });
}

}  // namespace
}  // namespace coreaudio_test
