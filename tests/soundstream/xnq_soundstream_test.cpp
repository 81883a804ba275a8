// xnq soundstream as a user runs it: a file played through the sound output component comes out
// of a capture device as the same tone; files it cannot play are refused with a message.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

std::string TempPath(const std::string &name) {
  return "/tmp/xnq_soundstream_test_" + std::to_string(getpid()) + "_" + name;
}

int RunXnq(const std::string &arguments, const std::string &capture) {
  std::string command = "XNQ_AUDIO_DEVICES='capture:path=" + capture +
                        ",out=2' " XNQ_TOOL_PATH " soundstream " + arguments + " 2>/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(XnqSoundStream, PlaysAFileToTheCaptureDevice) {
  // A 1 kHz tone at half scale, 0.4 s of 16-bit stereo at 48000 Hz (resampled on the way).
  const std::string input = TempPath("in.wav"), capture = TempPath("out.wav");
  SF_INFO format{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE *file = sf_open(input.c_str(), SFM_WRITE, &format);
  ASSERT_NE(file, nullptr);
  std::vector<float> tone;
  for (int f = 0; f < 19200; ++f)
    tone.insert(tone.end(), 2, static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * f / 48000.0)));
  sf_writef_float(file, tone.data(), 19200);
  sf_close(file);

  ASSERT_EQ(RunXnq(input, capture), 0);
  SF_INFO info{};
  file = sf_open(capture.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  std::vector<float> out(static_cast<size_t>(info.frames) * 2);
  sf_readf_float(file, out.data(), info.frames);
  sf_close(file);
  unlink(input.c_str());
  unlink(capture.c_str());

  size_t start = 0;
  while (start < out.size() / 2 && out[2 * start] == 0) ++start;
  ASSERT_GE(out.size() / 2, start + 8820 + 100) << "less than 0.2 s of tone";
  double energy = 0;
  int crossings = 0;
  for (size_t f = start + 100; f < start + 100 + 8820; ++f) {
    energy += out[2 * f] * out[2 * f];
    crossings += (out[2 * f - 2] < 0) != (out[2 * f] < 0);
  }
  EXPECT_NEAR(std::sqrt(energy / 8820), 0.5 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(crossings / 0.4, 1000, 10);
}

TEST(XnqSoundStream, RefusesWhatItCannotPlay) {
  const std::string capture = TempPath("none.wav");
  EXPECT_EQ(RunXnq("", capture), 2);
  EXPECT_EQ(RunXnq("/nonexistent/file.wav", capture), 1);
  unlink(capture.c_str());
}

}  // namespace
