// Loading files into AUPlayerXNQ: what a load describes and decodes, and what bad files, folder
// items and arguments give.
#include <filesystem>
#include <fstream>

#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

class AUPlayerLoad : public AUPlayerTest {};

// Each load sets another maximum slice size; LoadFileMT yields to the host while it loads.
TEST_F(AUPlayerLoad, FilesOfEveryFormatDecodeAsLibsndfileDecodesThem) {
  const struct {
    const char *name;
    int format, channels;
    int64_t maximumSlice;
  } cases[] = {{"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1},
               {"s24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1, 1157},
               {"s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 3, 2147483647},
               {"f32.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, 2, 0},
               {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 1156},
               {"wav.mp3", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, -5}};  // misnamed
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile(c.name, c.format, c.channels, 22050);
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
    const std::vector<float> decoded = Decode(path);
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
    EXPECT_EQ(Get(player, "SampleRate").asDouble() * Get(player, "TrackLength").asDouble(), 22050);
    EXPECT_FALSE(Get(player, "Playing").asBool());
    Host().call(player, "Play");
    EXPECT_EQ(Render(player, 1024)[0][700], decoded[700 * c.channels]);
  }
}

// The exception (or none, the status in Lasterror); no data unless decoding came first.
TEST_F(AUPlayerLoad, BadFilesFolderItemsAndChannelCountsGiveTheirResult) {
  const std::string wav = WriteFile("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000);
  const std::string text = TempPath("text.wav"), noise = TempPath("noise.aiff"),
                    cut = TempPath("cut.wav"), empty = TempPath("empty.wav");
  std::ofstream(text) << "not audio at all\n";
  std::ofstream(noise) << std::string("\x13\x99\xfe\x01RIFF\x00junk\xff", 14);
  std::ofstream(empty).close();
  std::ofstream(cut) << std::ifstream(wav).rdbuf();
  truncate(cut.c_str(), 30);  // inside the format chunk
  // A missing file is named by its folder and name; the platform takes up to 64 channels.
  const std::string nowhere = "/nonexistent-folder/x.wav";
  std::vector<std::tuple<std::string, int64_t, int64_t>> cases;
  for (const std::string &path :
       {TempPath("missing.wav"), nowhere, ::testing::TempDir(), text, noise, cut, empty})
    cases.emplace_back(path, 2, 2);
  for (auto [in, out] : {std::pair{0, 2}, {-1, 2}, {2, 0}, {2, -1}, {64, 2}})
    cases.emplace_back(wav, in, out);
  for (const auto &[path, in, out] : cases) {
    SCOPED_TRACE(path + " " + std::to_string(in) + " " + std::to_string(out));
    const bool loads = in == 64;
    Value player = NewPlayer();
    Set(player, "OutputUnit", Value::integer(1));
    CallResult r = Load(player, path, in, out);
    EXPECT_EQ(r.value.asBool(), loads);
    EXPECT_EQ(Raised(r), path == nowhere ? "NilObjectException: File is invalid path" : "");
    EXPECT_EQ(Lasterror(player) == 0, loads);
    EXPECT_EQ(Host().call(player, "Data").value.isNil(), out == 2 && !loads);
  }
}

// Nil, a second load, a zero-length file, a name in form C for a file stored in form D, and 20
// million frames (a sparse mono WAV) loaded as 64 channels: 5.1 GB of floats.
TEST_F(AUPlayerLoad, NilASecondLoadAndFilesAtTheEdges) {
  const std::string wav = WriteFile("twice.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 0);
  Value player = NewPlayer();
  Set(player, "OutputUnit", Value::integer(1));
  EXPECT_EQ(Raised(Host().call(player, "LoadFile", {Value::nil()})),
            "NilObjectException: file is nil");
  EXPECT_TRUE(Load(player, wav).value.asBool());
  for (const std::string &second : {TempPath("other.wav"), wav}) {
    EXPECT_EQ(Raised(Load(player, second)),
              "UnsupportedOperationException: This class can only load one file.");
    EXPECT_EQ(Get(player, "File").path(), second);
  }
  EXPECT_TRUE(Host().call(player, "Data").value.isNil());  // zero frames: silence
  Host().call(player, "Play");
  EXPECT_EQ(Render(player, 600)[1][599], 0.0f);
  EXPECT_EQ(Get(player, "CurrentTime").asDouble(), 0);

  WriteFile("caf\x65\xcc\x81.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 500);
  EXPECT_EQ(Host().call(Loaded(TempPath("caf\xc3\xa9.wav"), 1), "Data").value.size(), 2000);

  const std::string huge = TempPath("huge.wav");
  const uint32_t bytes = 40000000u,
                 header[] = {0x46464952, 36 + bytes, 0x45564157, 0x20746d66, 16,   0x00010001,
                             44100,      44100 * 2,  0x00100002, 0x61746164, bytes};
  std::ofstream(huge, std::ios::binary).write(reinterpret_cast<const char *>(header), 44);
  std::filesystem::resize_file(huge, 44 + bytes);
  EXPECT_EQ(Raised(Load(NewPlayer(), huge, 64)),
            "OutOfMemoryException: Failed to allocate buffer for audio data.");
  unlink(huge.c_str());
}

}  // namespace
}  // namespace auplayer_test
