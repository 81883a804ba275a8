// What the file player tests share: the plugin loaded once per process, small audio files
// written with libsndfile, calls by name, and renders pulled through the generic output unit.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "os/audio_unit.h"
#include "os/components.h"
#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace auplayer_test {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Value;

inline Runtime &Host() {
  static const bool loaded = [] {
    xnq::host::Settings settings;
#ifdef AUPLAYER_TEST_OLD_SYSTEM
    settings.graphicsAvailable = false;  // an older system, under a host that reads records
    settings.version = 2008.0;
#endif
    return Runtime::get().load(XNQ_PLUGIN_PATH, settings);
  }();
  EXPECT_TRUE(loaded) << Runtime::get().error();
  return Runtime::get();
}

inline std::string TempPath(const std::string &name) {
  return ::testing::TempDir() + "auplayer_" + std::to_string(getpid()) + "_" + name;
}

// Writes frames of tone Hz in every channel, or (tone 0) of 441 × (c + 1) Hz in channel c.
inline std::string WriteFile(const std::string &name, int format, int channels, int64_t frames,
                             double tone = 0, int rate = 44100) {
  const std::string path = TempPath(name);
  SF_INFO info{0, rate, channels, format, 0, 0};
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<float> samples(static_cast<size_t>(frames * channels));
  for (size_t i = 0; i < samples.size(); ++i) {
    const double hz = tone > 0 ? tone : 441.0 * (1 + i % channels);
    samples[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * hz * (i / channels) / rate));
  }
  EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames) << sf_strerror(file);
  sf_close(file);
  return path;
}

// The file as libsndfile decodes it, interleaved, to its real end whatever its header claims.
inline std::vector<float> Decode(const std::string &path) {
  SF_INFO info{};
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> samples, block(4096 * static_cast<size_t>(info.channels));
  while (sf_count_t n = file != nullptr ? sf_readf_float(file, block.data(), 4096) : 0)
    samples.insert(samples.end(), block.begin(), block.begin() + n * info.channels);
  sf_close(file);
  return samples;
}

inline Value NewPlayer() { return Host().newObject("AUPlayerXNQ").value; }

inline Value Get(const Value &player, const std::string &property) {
  CallResult r = Host().get(player, property);
  EXPECT_FALSE(r.raised()) << property;
  return r.value;
}

inline void Set(const Value &player, const std::string &property, const Value &value) {
  EXPECT_FALSE(Host().set(player, property, value).raised()) << property;
}

// "Class: message" of the exception a call raised, or "".
inline std::string Raised(const CallResult &r) {
  return r.raised() ? r.exception->className + ": " + r.exception->message : "";
}

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
inline std::vector<std::vector<float>> Render(const Value &player, int64_t frames) {
  std::vector<std::vector<float>> out(2, std::vector<float>(static_cast<size_t>(frames)));
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list;
  AudioTimeStamp stamp{};
  for (int64_t done = 0; done < frames; done += 512) {
    const auto n = static_cast<UInt32>(std::min<int64_t>(512, frames - done));
    list = {2, {{1, n * 4, &out[0][done]}, {1, n * 4, &out[1][done]}}};
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(AudioUnitRender(Unit(player, "OutputHandle"), &flags, &stamp, 0, n,
                              reinterpret_cast<AudioBufferList *>(&list)),
              0);
    stamp.mSampleTime += n;
  }
  return out;
}

// Every test starts from a system without devices and gives back every host reference it took.
class AUPlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Host();
    xnq_hal_reset();
    baseline_ = Host().outstanding();
  }
  void TearDown() override {
    EXPECT_EQ(Host().outstanding(), baseline_);
    EXPECT_EQ(Host().accountingErrors(), 0);
  }
  xnq::host::ReferenceCounts baseline_;
};

}  // namespace auplayer_test
