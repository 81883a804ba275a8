// xnq play as a user runs it: an offline render at the defaults is the decoded file.
#include <sys/wait.h>

#include <cstdlib>

#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

TEST(XnqPlay, ARenderAtTheDefaultsIsTheDecodedFile) {
  const std::string in =
      WriteFile("in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, 30000, 0, 48000);
  const std::string out = TempPath("out.wav");
  ASSERT_EQ(std::system((XNQ_TOOL_PATH " play " + in + " --render " + out + " 2>&1").c_str()), 0);
  SF_INFO info{};
  sf_close(sf_open(out.c_str(), SFM_READ, &info));
  EXPECT_EQ(info.samplerate * 10 + info.channels, 480002);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const std::vector<float> want = Decode(in), got = Decode(out);
  ASSERT_EQ(got.size(), want.size());
  float worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  EXPECT_LE(worst, 1e-6f);
}

}  // namespace
}  // namespace auplayer_test
