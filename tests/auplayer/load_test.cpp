// Loading files into AUPlayerXNQ: what a load describes and decodes, and what bad files, folder
// items, arguments and host code run during LoadFileMT give.
#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "auplayer_test_support.h"
#include "os/audio_file.h"

// Two faults of the system under a load on another thread, armed by a test. This program's
// definitions of the two calls take the place of the platform's for the plugin too.
namespace {
using namespace std::chrono_literals;
// A read that fails once it has decoded (a disk giving out), a moment later: with nothing that
// orders it after the host's calls meanwhile, as a real disk would.
std::atomic<bool> gFailReads{false};
// The worker's bypass of a rate unit, held (gHeld) until the host has yielded three times, or
// 300 ms when the host cannot yield.
std::atomic<bool> gHoldBypass{false}, gHeld{false};
}  // namespace

extern "C" OSStatus ExtAudioFileRead(ExtAudioFileRef file, UInt32 *frames, AudioBufferList *data) {
  static const auto read =
      reinterpret_cast<decltype(&ExtAudioFileRead)>(dlsym(RTLD_NEXT, "ExtAudioFileRead"));
  const OSStatus status = read(file, frames, data);
  if (!gFailReads) return status;
  std::this_thread::sleep_for(50ms);
  return kAudioFileUnspecifiedError;
}

extern "C" OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         const void *data, UInt32 size) {
  static const auto set =
      reinterpret_cast<decltype(&AudioUnitSetProperty)>(dlsym(RTLD_NEXT, "AudioUnitSetProperty"));
  auto &host = xnq::host::Runtime::get();
  if (id == kAudioUnitProperty_BypassEffect && gHoldBypass && !host.isMainThread()) {
    gHeld = true;
    const int64_t yields = host.yieldCount();
    for (int ms = 0; ms < 300 && host.yieldCount() < yields + 3; ++ms)
      std::this_thread::sleep_for(1ms);
    gHeld = false;
  }
  return set(unit, id, scope, element, data, size);
}

namespace auplayer_test {
namespace {

class AUPlayerLoad : public AUPlayerTest {};

// Each load sets another maximum slice size, which the units keep when they take it; LoadFileMT
// yields to the host while it loads. A header's claim never decides what loads.
TEST_F(AUPlayerLoad, FilesOfEveryFormatDecodeAsLibsndfileDecodesThem) {
  const int64_t beyond32Bits = sizeof(void *) > 4 ? (int64_t{1} << 32) + 2000 : 1;
  const struct {
    const char *name;
    int format, channels;
    int64_t maximumSlice;
    uint64_t claim;  // frames the header claims; 0: the frames written
  } cases[] = {{"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1, 0},
               {"s24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1, 1157, 0},
               {"s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 3, 2147483647, 0},
               {"f32.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, 2, 0, 0},
               {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 1156, 0},
               {"wav.mp3", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, -5, 0},  // misnamed
               {"lies.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1 << 20, 1 << 28},
               {"wraps.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, beyond32Bits,
                (uint64_t{1} << 32) + 1000}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile(c.name, c.format, c.channels, 22050);
    if (c.claim > 0) audio_test::ClaimFlacFrames(path, c.claim);
    const bool threaded = &c - cases < 2;
    const int64_t yields = Host().yieldCount();
    Value player = NewPlayer();
    Set(player, "OutputUnit", Value::integer(1));
    Set(player, "MaximumFramesPerSlice", Value::integer(c.maximumSlice));
    ASSERT_TRUE(
        Load(player, path, c.channels, 2, threaded ? "LoadFileMT" : "LoadFile").value.asBool())
        << Lasterror(player);
    EXPECT_EQ(Host().yieldCount() - yields >= 2, threaded);
    EXPECT_EQ(Lasterror(player), 0);
    const std::vector<float> decoded = ReadAudio(path);
    Value data = Host().call(player, "Data").value;
    ASSERT_EQ(data.size(), static_cast<int64_t>(decoded.size() * 4));
    EXPECT_EQ(std::memcmp(data.data(), decoded.data(), decoded.size() * 4), 0);
    std::string fields;
    for (const char *f : {"DataIsInterleaved", "DataIsFloat", "DataIsNativeEndian",
                          "DataIsSignedInteger", "DataIsPCM", "DataNumberInterleavedChannels",
                          "DataNumberChannelStreams", "DataNumberChannels", "DataSampleWordSize"})
      fields += std::to_string(Get(player, f).asInteger());
    EXPECT_EQ(fields,
              "11101" + std::to_string(c.channels) + "1" + std::to_string(c.channels) + "4");
    const std::string pcm = " ch,  44100 Hz, 'lpcm' (0x000000";
    EXPECT_EQ(Get(player, "ClientFormatString").utf8(),
              " " + std::to_string(c.channels) + pcm + "09) 32-bit little-endian float");
    EXPECT_EQ(Get(player, "OutputFormatString").utf8(),
              " 2" + pcm + "29) 32-bit little-endian float, deinterleaved");
    if (c.claim == 0) {
      EXPECT_EQ(Get(player, "SampleRate").asDouble() * Get(player, "TrackLength").asDouble(),
                22050);
    }
    const bool taken = c.maximumSlice >= 1157 && c.maximumSlice <= 1 << 20;
    for (const char *unit : {"TimePitchHandle", "EqualizerHandle", "MixerHandle", "ConverterHandle",
                             "VariSpeedHandle"}) {
      UInt32 slice = 0, size = sizeof slice;
      AudioUnitGetProperty(Unit(player, unit), kAudioUnitProperty_MaximumFramesPerSlice,
                           kAudioUnitScope_Global, 0, &slice, &size);
      EXPECT_EQ(slice, taken ? c.maximumSlice : 1156) << unit;
    }
    EXPECT_FALSE(Get(player, "Playing").asBool());
    Host().call(player, "Play");
    EXPECT_EQ(Render(player, 1024)[0][700], decoded[700 * c.channels]);
  }
}

// The exception (or none, the status in Lasterror); no data unless decoding came first.
TEST_F(AUPlayerLoad, BadFilesFolderItemsAndChannelCountsGiveTheirResult) {
  const std::string wav = WriteFile("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000);
  const std::string text = ScratchPath("text.wav"), noise = ScratchPath("noise.aiff"),
                    cut = ScratchPath("cut.wav"), empty = ScratchPath("empty.wav");
  std::ofstream(text) << "not audio at all\n";
  std::ofstream(noise) << std::string("\x13\x99\xfe\x01RIFF\x00junk\xff", 14);
  std::ofstream(empty).close();
  audio_test::WriteBytes(cut, audio_test::FileBytes(wav).substr(0, 30));  // in the format chunk
  // A missing file is named by its folder and name; the platform takes up to 64 channels.
  const std::string nowhere = "/nonexistent-folder/x.wav";
  std::vector<std::tuple<std::string, int64_t, int64_t>> cases;
  for (const std::string &path :
       {ScratchPath("missing.wav"), nowhere, ::testing::TempDir(), text, noise, cut, empty})
    cases.emplace_back(path, 2, 2);
  for (auto [in, out] : {std::pair{0, 2}, {-1, 2}, {2, 0}, {2, -1}, {64, 2}})
    cases.emplace_back(wav, in, out);
  if (sizeof(void *) > 4) {  // counts past 32 bits, which a 64-bit host Integer holds
    cases.emplace_back(wav, (int64_t{1} << 32) + 2, 2);
    cases.emplace_back(wav, 2, -(int64_t{1} << 32) + 2);
  }
  // The same through LoadFileMT, while a timer of the program reads Playing and Data at every
  // yield: the load's own status is still the last word in Lasterror.
  for (const auto &[path, in, out] : cases) {
    int64_t lasterror = 0;
    for (const char *method : {"LoadFile", "LoadFileMT"}) {
      SCOPED_TRACE(path + " " + std::to_string(in) + " " + std::to_string(out) + " " + method);
      const bool loads = in == 64;
      Value player = NewPlayer();
      Set(player, "OutputUnit", Value::integer(1));
      Host().setYieldHook([&] {
        Get(player, "Playing");
        Host().call(player, "Data");
      });
      CallResult r = Load(player, path, in, out, method);
      Host().setYieldHook(nullptr);
      EXPECT_EQ(r.value.asBool(), loads);
      EXPECT_EQ(Raised(r), path == nowhere ? "NilObjectException: File is invalid path" : "");
      EXPECT_EQ(Lasterror(player) == 0, loads);
      if (std::string(method) == "LoadFile") lasterror = Lasterror(player);
      EXPECT_EQ(Lasterror(player), lasterror);
      EXPECT_EQ(Host().call(player, "Data").value.isNil(), out == 2 && !loads);
    }
  }
}

// A program's timer meets the record whole while LoadFileMT runs: Data while a failing read frees
// the samples (a use after free), a switch of the rate unit between the worker fetching the
// units and bypassing one (which left both bypassed), and the format fields and texts, which the
// worker replaced under the timer's reads (the texts freed as the timer took them). The fields
// describe the file once the load returns, also when its read failed.
TEST_F(AUPlayerLoad, HostCodeDuringLoadFileMTFindsTheRecordWhole) {
  const std::string wav = WriteFile("mt.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100);
  for (std::atomic<bool> *fault : {&gFailReads, &gHoldBypass}) {
    Value player = NewPlayer();
    Set(player, "OutputUnit", Value::integer(1));
    Host().setYieldHook([&] {
      Get(player, "ClientFormatString");
      Get(player, "DataNumberChannels");
      if (fault == &gFailReads) Host().call(player, "Data");
      if (gHeld) Set(player, "TimePitchUnit", Value::integer(2));
    });
    *fault = true;
    CallResult r = Load(player, wav, 2, 2, "LoadFileMT");
    *fault = false;
    Host().setYieldHook(nullptr);
    EXPECT_EQ(Raised(r), "");
    EXPECT_EQ(r.value.asBool(), fault == &gHoldBypass);
    EXPECT_EQ(Get(player, "DataNumberChannels").asInteger(), 2);
    EXPECT_EQ(Get(player, "ClientFormatString").utf8(),
              " 2 ch,  44100 Hz, 'lpcm' (0x00000009) 32-bit little-endian float");
    if (fault == &gFailReads) {
      EXPECT_TRUE(Host().call(player, "Data").value.isNil());
      continue;
    }
    EXPECT_EQ(Get(player, "TimePitchUnit").asInteger(), 2);
    EXPECT_EQ(State(player, "TimePitchHandle").second, 1u);
    EXPECT_EQ(State(player, "VariSpeedHandle").second, 0u);
  }
}

// Nil, a second load, a zero-length file, a name in form C for a file stored in form D, and
// files too large to hold (sparse, so that they cost no disk): 20 million frames of a mono WAV
// loaded as 64 channels (5.1 GB of floats), and 2^32 + 1000 frames of a mono CAF.
TEST_F(AUPlayerLoad, NilASecondLoadAndFilesAtTheEdges) {
  const std::string wav = WriteFile("twice.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 0);
  Value player = NewPlayer();
  Set(player, "OutputUnit", Value::integer(1));
  EXPECT_EQ(Raised(Host().call(player, "LoadFile", {Value::nil()})),
            "NilObjectException: file is nil");
  EXPECT_TRUE(Load(player, wav).value.asBool());
  for (const std::string &second : {ScratchPath("other.wav"), wav}) {
    EXPECT_EQ(Raised(Load(player, second)),
              "UnsupportedOperationException: This class can only load one file.");
    EXPECT_EQ(Get(player, "File").path(), second);
  }
  EXPECT_TRUE(Host().call(player, "Data").value.isNil());  // zero frames: silence
  Host().call(player, "Play");
  EXPECT_EQ(Render(player, 600)[1][599], 0.0f);
  EXPECT_EQ(Get(player, "CurrentTime").asDouble(), 0);

  WriteFile("caf\x65\xcc\x81.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 500);
  EXPECT_EQ(Host().call(Loaded(ScratchPath("caf\xc3\xa9.wav"), 1), "Data").value.size(), 2000);

  const std::string huge = ScratchPath("huge.wav"), caf = ScratchPath("huge.caf");
  const uint32_t bytes = 40000000u,
                 header[] = {0x46464952, 36 + bytes, 0x45564157, 0x20746d66, 16,   0x00010001,
                             44100,      44100 * 2,  0x00100002, 0x61746164, bytes};
  std::ofstream(huge, std::ios::binary).write(reinterpret_cast<const char *>(header), 44);
  std::filesystem::resize_file(huge, 44 + bytes);
  // 'caff' version 1; 'desc': 44100 Hz 'lpcm', 1 byte per packet and frame, 1 channel, 8 bits;
  // 'data': the edit count and the frames.
  const uint64_t frames = (uint64_t{1} << 32) + 1000;
  std::string cafHeader;
  auto put = [&](uint64_t value, int bytes) {
    while (bytes-- > 0) cafHeader += static_cast<char>(value >> (8 * bytes));
  };
  cafHeader += "caff", put(0x00010000, 4), cafHeader += "desc", put(32, 8);
  put(0x40E5888000000000, 8), cafHeader += "lpcm";
  for (uint64_t field : {0, 1, 1, 1, 8}) put(field, 4);
  cafHeader += "data", put(frames + 4, 8), put(0, 4);
  std::ofstream(caf, std::ios::binary) << cafHeader;
  std::filesystem::resize_file(caf, cafHeader.size() + frames);
  for (const auto &[path, channels] : {std::pair{huge, 64}, {caf, 1}}) {
    EXPECT_EQ(Raised(Load(NewPlayer(), path, channels)),
              "OutOfMemoryException: Failed to allocate buffer for audio data.");
    unlink(path.c_str());
  }
}

}  // namespace
}  // namespace auplayer_test
