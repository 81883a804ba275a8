// xnq render run as a user runs it, on a small file the test writes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string tempPath(const char *name) {
  return "/tmp/xnq_render_test_" + std::to_string(getpid()) + "_" + name;
}

int runRender(const std::string &args) {
  int status = std::system((XNQ_TOOL_PATH " render " + args + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<float> readAll(const std::string &path, SF_INFO &info) {
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> samples(file == nullptr ? 0 : info.frames * info.channels);
  if (file != nullptr) sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  return samples;
}

TEST(XnqRender, WritesTheInputsSamplesOrWhatItsOptionsMakeOfThem) {
  const std::string in = tempPath("in.wav"), out = tempPath("out.wav");
  SF_INFO format{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16};
  std::vector<short> ramp(4800);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<short>(i * 13 - 31000);
  SNDFILE *file = sf_open(in.c_str(), SFM_WRITE, &format);
  ASSERT_NE(file, nullptr);
  sf_writef_short(file, ramp.data(), static_cast<sf_count_t>(ramp.size()));
  sf_close(file);
  SF_INFO inInfo{};
  const std::vector<float> input = readAll(in, inInfo);

  // With no options the output holds the input's samples; a volume scales each of them; a
  // varispeed rate of 2 plays the file in half the time.
  struct Case {
    std::string options;
    float gain;
    size_t frames;
  } cases[] = {{"", 1, 4800}, {"--volume 0.5", 0.5f, 4800}, {"--varispeed 2", 0, 2400}};
  for (const Case &c : cases) {
    ASSERT_EQ(runRender(in + " " + out + " " + c.options), 0) << c.options;
    SF_INFO info{};
    std::vector<float> output = readAll(out, info);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_EQ(output.size(), c.frames) << c.options;
    for (size_t i = 0; c.gain != 0 && i < output.size(); ++i)
      ASSERT_EQ(output[i], input[i] * c.gain) << c.options << " at " << i;
  }

  // Bad arguments get exit status 2, files that cannot be read or written 1.
  for (const auto &[args, status] :
       std::vector<std::pair<std::string, int>>{{in, 2},
                                                {in + " " + out + " --eq 1,2", 2},
                                                {in + " " + out + " --rate 0", 2},
                                                {in + " " + out + " --pitch", 2},
                                                {tempPath("missing.wav") + " " + out, 1},
                                                {in + " /nonexistent/out.wav", 1}})
    EXPECT_EQ(runRender(args), status) << args;
  unlink(in.c_str());
  unlink(out.c_str());
}

}  // namespace
