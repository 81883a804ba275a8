// What the sound output component's tests share: the plugin loaded into the host, objects of
// QTSoundStreamXNQ called by name, and the component reached as the Sound Manager reaches it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>

#include "os/audio_unit.h"
#include "platform/sound_channel.h"
#include "player/player_test_support.h"

namespace soundstream_test {

using player_test::Capture;
using player_test::Host;
using xnq::host::Runtime;
using xnq::host::Value;

inline int64_t Call(const Value &obj, const std::string &method, std::vector<Value> args = {}) {
  xnq::host::CallResult r = Host().call(obj, method, args);
  EXPECT_FALSE(r.raised()) << method;
  return r.value.asInteger();
}

inline int64_t Get(const Value &obj, const std::string &property) {
  xnq::host::CallResult r = Host().get(obj, property);
  EXPECT_FALSE(r.raised()) << property;
  return r.value.asInteger();
}

// A host Integer that holds an address.
template <typename T>
T Pointer(int64_t word) {
  return reinterpret_cast<T>(static_cast<intptr_t>(word));
}

inline Component ComponentOf(const Value &obj) {
  return Pointer<Component>(Get(obj, "SoundOutputComponentHandle"));
}

// Every test starts from an empty audio system and must give back every host reference.
class SoundStreamTest : public player_test::PlayerTest {
 protected:
  // A new object, initialised and registered.
  static Value OpenStream() {
    Value obj = Host().newObject("QTSoundStreamXNQ").value;
    Call(obj, "InitComponent");
    Call(obj, "OpenComponent");
    EXPECT_NE(ComponentOf(obj), nullptr);
    return obj;
  }

  // A generic output unit attached to obj and initialised, rendered by the test itself.
  static AudioUnit AttachGenericUnit(const Value &obj) {
    AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
    EXPECT_EQ(Call(obj, "AttachToAudioUnitComponent", {Value::integer((intptr_t)unit)}), 0);
    EXPECT_EQ(Call(obj, "AudioUnitInitialize", {Value::integer((intptr_t)unit)}), 0);
    return unit;
  }

  static bool Running(AudioUnit unit) {
    UInt32 value = 0, size = sizeof value;
    AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0,
                         &value, &size);
    return value != 0;
  }

  // Renders frames of float stereo from a generic unit in one render, interleaved; the render is
  // expected to answer status.
  static std::vector<float> Render(AudioUnit unit, UInt32 frames, OSStatus status = noErr) {
    const auto channels = plugin_test::RenderStereo(unit, frames, frames, status);
    std::vector<float> out;
    for (UInt32 f = 0; f < frames; ++f) out.insert(out.end(), {channels[0][f], channels[1][f]});
    return out;
  }
};

// 16-bit big-endian stereo at 44100 Hz: what passes the mixer unchanged.
inline XnqSoundChannel *OpenChannel(Component device, XnqSoundFormat format = {44100, 2, 16, 1}) {
  XnqSoundChannel *channel = nullptr;
  EXPECT_EQ(xnq_sound_channel_open(device, &format, 0, 0, &channel), noErr);
  return channel;
}

// Interleaved float stereo, from frame start on for frames: a 1 kHz sine at half scale and
// 44100 Hz, alike on both channels, at its level (no gaps) and with no step larger than the
// sine's own (no clicks).
inline void ExpectTone(const std::vector<float> &s, size_t start, size_t frames) {
  ASSERT_GE(s.size() / 2, start + frames) << "the tone is too short";
  double energy = 0, worstStep = 0;
  int crossings = 0;
  for (size_t f = start; f < start + frames; ++f) {
    ASSERT_EQ(s[2 * f], s[2 * f + 1]) << f;
    energy += s[2 * f] * s[2 * f];
    worstStep = std::max(worstStep, std::fabs(double(s[2 * f]) - s[2 * f - 2]));
    crossings += (s[2 * f - 2] < 0) != (s[2 * f] < 0);
  }
  EXPECT_NEAR(std::sqrt(energy / frames), 0.5 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(crossings / (2 * frames / 44100.0), 1000, 10);
  EXPECT_LT(worstStep, 2 * M_PI * 1000 / 44100 * 0.5 * 1.15);
}

}  // namespace soundstream_test
