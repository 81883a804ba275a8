// xnq soundstream as a user runs it: a file played through the sound output component comes out
// of a capture device as the same tone; what it cannot play is refused.
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "soundstream/soundstream_test_support.h"

namespace {

const std::string kInput = "/tmp/xnq_soundstream_test_" + std::to_string(getpid()) + ".wav";
const std::string kCapture = kInput + ".captured.wav";

int RunXnq(const std::string &file) {
  std::string command = "XNQ_AUDIO_DEVICES='capture:path=" + kCapture +
                        ",out=2' " XNQ_TOOL_PATH " soundstream " + file + " 2>/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(XnqSoundStream, PlaysAFileToTheCaptureDevice) {
  // Five frames at 1 Hz are refused, not resampled.
  SF_INFO format{0, 1, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE *file = sf_open(kInput.c_str(), SFM_WRITE, &format);
  std::vector<float> samples(10, 0.5f);
  sf_writef_float(file, samples.data(), 5);
  sf_close(file);
  EXPECT_EQ(RunXnq(kInput), 1);
  // 0.4 s of a 1 kHz tone at half scale, 16-bit stereo at 48000 Hz (resampled on the way).
  format = SF_INFO{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  file = sf_open(kInput.c_str(), SFM_WRITE, &format);
  ASSERT_NE(file, nullptr);
  samples.clear();
  for (int f = 0; f < 19200; ++f)
    samples.insert(samples.end(), 2, float(0.5 * std::sin(2 * M_PI * 1000 * f / 48000.0)));
  sf_writef_float(file, samples.data(), 19200);
  sf_close(file);
  EXPECT_EQ(RunXnq(""), 2);
  EXPECT_EQ(RunXnq("/nonexistent/file.wav"), 1);
  ASSERT_EQ(RunXnq(kInput), 0);

  SF_INFO info{};
  file = sf_open(kCapture.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  samples.resize(static_cast<size_t>(info.frames) * 2);
  sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  unlink(kInput.c_str());
  unlink(kCapture.c_str());
  size_t start = 0;
  while (start < samples.size() / 2 && samples[2 * start] == 0) ++start;
  soundstream_test::ExpectTone(samples, start + 100, 8820);
}

}  // namespace
