// What xnq writes and plays: files in order into a capture device, every output format, headers
// that follow what decodes, a full disk, and a render or stream stopped by a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "soundstream/soundstream_test_support.h"
#include "xnq_runner.h"

namespace xnq_test {
namespace {

long long FileSize(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// A WAV written by xnq holds a 58-byte header and exactly the frames it says.
void ExpectWavHeaderMatchesData(const std::string &path, int channels, int bytes) {
  SF_INFO info;
  ReadAudio(path, &info);
  EXPECT_GT(info.frames, 0) << path;
  EXPECT_EQ(58 + info.frames * channels * bytes, FileSize(path)) << path;
}

TEST(XnqOutput, FilesPlayInOrderIntoACaptureDeviceAndOneThatFailsIsSkipped) {
  const std::string a = ScratchPath("a.wav"), b = ScratchPath("b.wav"), keys = ScratchPath("keys"),
                    capture = ScratchPath("capture.wav");
  WriteWav(a, 44100, 2, 4410, [](int, int) { return 0.5; });
  WriteWav(b, 44100, 2, 4410, [](int, int) { return -0.25; });
  std::ofstream(keys) << "qqq\n";  // not a terminal: nothing reads these
  std::string said;
  EXPECT_EQ(RunXnq({{"play", a, ScratchPath("gone.wav"), b},
                    "capture:path=" + capture + ",clock=free",
                    false,
                    keys},
                   &said),
            1);
  EXPECT_NE(said.find("gone.wav: file not found"), std::string::npos) << said;
  const std::vector<float> played = ReadAudio(capture);
  const auto first = [&](float v) { return std::find(played.begin(), played.end(), v); };
  EXPECT_EQ(std::count(played.begin(), played.end(), 0.5f), 2 * 4410);
  EXPECT_EQ(std::count(played.begin(), played.end(), -0.25f), 2 * 4410);
  EXPECT_LT(first(0.5f) + 2 * 4410, first(-0.25f) + 1);  // all of a, then b
}

TEST(XnqOutput, EachOutputHasTheFormatItsNameAsksAndTheLengthThatDecodes) {
  const std::string in = ScratchPath("ramp.wav"), flac = ScratchPath("lying.flac");
  WriteWav(in, 48000, 1, 4800, [](int f, int) { return (f * 13 - 31000) / 32768.0; });
  // A FLAC file whose header claims 2^24 frames but holds 4800 (a claim the file player can
  // still allocate in a 32-bit process).
  audio_test::WriteAudio(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, 4800,
                         [](int f, int) { return std::sin(f * 0.1) / 2; });
  audio_test::ClaimFlacFrames(flac, 1 << 24);
  const std::vector<float> input = ReadAudio(in);
  const int kFloatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT, kOgg = SF_FORMAT_OGG;
  const struct {
    std::vector<std::string> args;
    std::string out;
    int format, channels;
    long long frames;
    float gain;  // each output sample is the input's times this; 0: not checked
  } cases[] = {
      {{"render", in}, "out.wav", kFloatWav, 1, 4800, 1},
      {{"render", in, "--volume", "0.5"}, "half.wav", kFloatWav, 1, 4800, 0.5f},
      {{"render", in, "--varispeed", "2"}, "fast.wav", kFloatWav, 1, 2400, 0},
      {{"render", in, "--bits", "16"}, "out16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 4800, 1},
      {{"render", in}, "out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, 4800, 1},
      {{"render", in, "--bits", "24"}, "out.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1, 4800, 1},
      {{"render", in}, "out.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, 1, 4800, 1},
      {{"render", in}, "out.ogg", kOgg | SF_FORMAT_VORBIS, 1, 4800, 0},
      {{"render", in}, "out.opus", kOgg | SF_FORMAT_OPUS, 1, 4800, 0},
      {{"play", in, "--render"}, "play.wav", kFloatWav, 2, 4800, 1},
      {{"play", in, "--bits", "16", "--render"},
       "play.flac",
       SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
       2,
       4800,
       1},
      {{"render", flac}, "lying.wav", kFloatWav, 1, 4800, 0},
      {{"play", flac, "--render"}, "lying2.wav", kFloatWav, 2, 4800, 0},
      {{"play", flac, "--rate", "2", "--render"}, "lying3.wav", kFloatWav, 2, 2400, 0},
  };
  for (const auto &c : cases) {
    Launch launch{c.args};
    launch.args.push_back(ScratchPath(c.out));
    std::string said;
    ASSERT_EQ(RunXnq(launch, &said), 0) << c.out << "\n" << said;
    SF_INFO info;
    const std::vector<float> output = ReadAudio(ScratchPath(c.out), &info);
    EXPECT_EQ(info.format, c.format) << c.out;
    EXPECT_EQ(info.channels, c.channels) << c.out;
    EXPECT_EQ(info.frames, c.frames) << c.out;
    for (size_t f = 0; c.gain != 0 && f < std::min<size_t>(info.frames, input.size()); ++f)
      ASSERT_EQ(output[f * c.channels], input[f] * c.gain) << c.out << " at frame " << f;
  }
  // "-" streams a WAV to standard output; other tools read a float WAV without a warning.
  const std::string streamed = ScratchPath("streamed.wav");
  ASSERT_EQ(RunXnq({{"render", in, "-"}, "none", false, "", streamed}), 0);
  ExpectWavHeaderMatchesData(streamed, 1, 4);
  if (FILE *sox = popen(("sox --i " + streamed + " 2>&1").c_str(), "r")) {
    char text[4096] = {};
    const size_t n = fread(text, 1, sizeof text - 1, sox);
    if (pclose(sox) == 0) {
      EXPECT_EQ(std::string(text, n).find("WARN"), std::string::npos) << text;
    }
  }
}

TEST(XnqOutput, AFullDiskFailsAndLeavesAValidFileOrNone) {
  const std::string in = ScratchPath("noise.wav");
  WriteWav(in, 48000, 2, 96000, [](int, int) { return std::rand() / (RAND_MAX + 1.0) - 0.5; });
  const struct {
    std::string out;
    bool kept;  // a WAV says how much it holds; a compressed file is removed
  } cases[] = {{"full.wav", true}, {"full.flac", false}};
  for (const auto &c : cases) {
    Launch launch{{"render", in, ScratchPath(c.out)}};
    launch.fileSizeLimit = 100000;
    std::string said;
    EXPECT_EQ(RunXnq(launch, &said), 1) << said;
    EXPECT_NE(said.find("file too large"), std::string::npos) << said;
    if (c.kept) {
      ExpectWavHeaderMatchesData(ScratchPath(c.out), 2, 4);
    } else {
      EXPECT_EQ(FileSize(ScratchPath(c.out)), -1);
    }
  }
}

TEST(XnqOutput, ASignalStopsARenderWithItsHeaderFinished) {
  const std::string in = ScratchPath("long.wav"), out = ScratchPath("stopped.wav");
  WriteWav(in, 44100, 2, 20 * 44100, [](int f, int) { return 0.4 * std::sin(f * 0.03); });
  for (const auto &[signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    unlink(out.c_str());
    XnqProcess xnq({{"render", in, out, "--rate", "0.25", "--pitch", "300"}});
    while (FileSize(out) < 200000 && xnq.text().find("wrote") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    xnq.signal(signal);
    EXPECT_EQ(xnq.wait(20), status) << xnq.text();
    EXPECT_NE(xnq.text().find("stopped; it holds"), std::string::npos) << xnq.text();
    ExpectWavHeaderMatchesData(out, 2, 4);
  }
}

TEST(XnqOutput, StreamPlaysRawPcmSampleForSampleAndCtrlCStopsATone) {
  const std::string raw = ScratchPath("in.raw"), capture = ScratchPath("stream.wav");
  std::vector<int16_t> pcm;
  for (int k = 0; k < 30000; ++k) {
    pcm.push_back(static_cast<int16_t>(9000 * std::sin(k * 0.0627)));
    pcm.push_back(static_cast<int16_t>(-7000 * std::sin(k * 0.0311)));
  }
  audio_test::WriteBytes(raw,
                         std::string(reinterpret_cast<const char *>(pcm.data()), pcm.size() * 2));
  const std::string devices = "capture:path=" + capture + ",out=2";
  ASSERT_EQ(RunXnq({{"stream", "--bits", "15", "--channels", "2"}, devices, false, raw}), 0);
  SF_INFO info;
  std::vector<float> played = ReadAudio(capture, &info);
  ASSERT_GE(played.size(), pcm.size());
  for (size_t k = 0; k < pcm.size(); ++k) ASSERT_EQ(played[k], pcm[k] / 32768.0f) << k;

  unlink(capture.c_str());
  XnqProcess tone({{"stream", "--tone", "440"}, devices});
  while (FileSize(capture) < 44 + 8 * 6615)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tone.signal(SIGINT);
  EXPECT_EQ(tone.wait(20), 130) << tone.text();
  played = ReadAudio(capture, &info);
  EXPECT_GT(info.frames, 4410);
  EXPECT_NEAR(*std::max_element(played.begin(), played.end()), 0.25f, 0.01f);
}

TEST(XnqOutput, SoundstreamPlaysAFileThroughTheSoundOutputComponent) {
  // 0.4 s of a 1 kHz tone at half scale at 48000 Hz, resampled on the way to the device.
  const std::string in = ScratchPath("tone48k.wav"), capture = ScratchPath("soundstream.wav");
  WriteWav(in, 48000, 2, 19200,
           [](int f, int) { return 0.5 * std::sin(2 * M_PI * 1000 * f / 48000.0); });
  ASSERT_EQ(RunXnq({{"soundstream", in}, "capture:path=" + capture + ",out=2"}), 0);
  const std::vector<float> samples = ReadAudio(capture);
  size_t start = 0;
  while (start < samples.size() / 2 && samples[2 * start] == 0) ++start;
  soundstream_test::ExpectTone(samples, start + 100, 8820);
}

}  // namespace
}  // namespace xnq_test
