// What the file player tests share: the plugin loaded once per process, small audio files
// written with libsndfile, calls by name, and renders pulled through the generic output unit.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio_services/audio_test_support.h"
#include "os/audio_unit.h"
#include "os/components.h"
#include "plugin_test_support.h"

namespace auplayer_test {

using namespace plugin_test;

inline Runtime &Host() {
  xnq::host::Settings settings;
#ifdef AUPLAYER_TEST_OLD_SYSTEM
  settings.graphicsAvailable = false;  // an older system, under a host that reads records
  settings.version = 2008.0;
#endif
  EXPECT_TRUE(LoadPlugin(settings));
  return Runtime::get();
}

using audio_test::ScratchPath;

// Writes frames of tone Hz in every channel, or (tone 0) of 441 × (c + 1) Hz in channel c.
inline std::string WriteFile(const std::string &name, int format, int channels, int frames,
                             double tone = 0, int rate = 44100) {
  const std::string path = ScratchPath(name);
  audio_test::WriteAudio(path, format, rate, channels, frames, [&](int f, int c) {
    return 0.25 * std::sin(2 * M_PI * (tone > 0 ? tone : 441.0 * (1 + c)) * f / rate);
  });
  return path;
}
using audio_test::ReadAudio;

inline Value NewPlayer() { return Host().newObject("AUPlayerXNQ").value; }

inline int64_t Lasterror(const Value &player) { return Get(player, "Lasterror").asInteger(); }

inline AudioUnit Unit(const Value &player, const std::string &handle) {
  return reinterpret_cast<AudioUnit>(static_cast<intptr_t>(Get(player, handle).asInteger()));
}

// The unit's subtype and whether it is bypassed.
inline std::pair<OSType, UInt32> State(const Value &player, const char *handle) {
  ComponentDescription description{};
  AudioUnit unit = Unit(player, handle);
  GetComponentInfo(GetComponentFromInstance(unit), &description, nullptr, nullptr, nullptr);
  UInt32 bypass = 99, size = sizeof bypass;
  AudioUnitGetProperty(unit, kAudioUnitProperty_BypassEffect, 0, 0, &bypass, &size);
  return {description.componentSubType, bypass};
}

inline CallResult Load(const Value &player, const std::string &path, int64_t in = 2,
                       int64_t out = 2, const char *method = "LoadFile") {
  return Host().call(player, method,
                     {Host().newFolderItem(path), Value::integer(in), Value::integer(out)});
}

// A player that loaded path for the generic output unit, which the test renders itself.
inline Value Loaded(const std::string &path, int64_t channels = 2) {
  Value player = NewPlayer();
  Set(player, "OutputUnit", Value::integer(1));
  EXPECT_TRUE(Load(player, path, channels).value.asBool()) << path << ": " << Lasterror(player);
  return player;
}

// Pulls frames of channel 0 and 1 from the player's output unit in slices of 512.
inline std::vector<std::vector<float>> Render(const Value &player, UInt32 frames) {
  return RenderStereo(Unit(player, "OutputHandle"), frames);
}

// Every test starts from a system without devices and gives back every host reference it took.
class AUPlayerTest : public BalancedTest {
 protected:
  void SetUp() override {
    Host();
    BalancedTest::SetUp();
  }
};

}  // namespace auplayer_test
