// xnq play on a terminal: keys typed while it plays do what they say, the status line is redrawn
// in place within the terminal's width, and the terminal is left as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "xnq_runner.h"

namespace xnq_test {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(XnqKeys, KeyScriptsOnASevenSecondFile) {
  const std::string in = ScratchPath("seven.wav");
  WriteWav(in, 44100, 2, 7 * 44100, [](int f, int) { return 0.3 * std::sin(f * 0.06); });
  const std::string right = "\033[C";
  const struct {
    const char *what;
    std::vector<std::pair<double, std::string>> script;  // seconds to wait, then keys
    double least, most;  // seconds from the first status line to the end
    int files = 1;       // the file given this many times
  } cases[] = {
      {"-> shortens the play by 5 s", {{0.2, right}}, 1.5, 4.5},
      {"space, 1.5 s, space delays the end by the pause",
       {{0.2, right}, {0.2, " "}, {1.5, " "}},
       3.4,
       6.5},
      {"q stops within a second", {{0.5, "q"}}, 0.5, 1.5},
      {"Esc stops too", {{0.5, "\033"}}, 0.5, 1.5},
      {"n goes on to the next file, and past the last one", {{0.5, "n"}, {0.8, "n"}}, 1.3, 3, 2},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args{"play"};
    args.insert(args.end(), c.files, in);
    XnqProcess xnq({args, "null", true});
    ASSERT_TRUE(xnq.waitFor("/ 7.00 s", 20)) << xnq.text();  // the first status line
    const auto start = std::chrono::steady_clock::now();
    for (const auto &[wait, keys] : c.script) {
      std::this_thread::sleep_for(std::chrono::duration<double>(wait));
      xnq.type(keys);
    }
    EXPECT_EQ(xnq.wait(20), 0) << c.what << "\n" << xnq.text();
    const double took = Since(start);
    EXPECT_GE(took, c.least) << c.what;
    EXPECT_LE(took, c.most) << c.what;
    EXPECT_TRUE(xnq.terminalRestored()) << c.what;
    // Three lines a file (the first line, the status line and the summary): every redraw of
    // the status line stays on its line and within the 100 columns.
    const std::string &text = xnq.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 * c.files) << c.what << "\n" << text;
    size_t widest = 0;
    for (size_t from = 0, to; from < text.size(); from = to + 1) {
      to = std::min(text.find('\r', from), text.size());
      const std::string redraw = text.substr(from, to - from);
      widest = std::max(widest, redraw.find("\033[K") == std::string::npos ? 0 : redraw.size() - 3);
    }
    EXPECT_GT(widest, 40u) << text;
    EXPECT_LT(widest, 100u) << text;
  }
}

TEST(XnqKeys, TheMeterFollowsTheVolume) {
  const std::string in = ScratchPath("tone.wav");
  WriteWav(in, 44100, 2, 44100, [](int f, int) { return 0.5 * std::sin(f * 0.06); });
  double loudest[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    std::string said;
    ASSERT_EQ(RunXnq({{"play", in, "--volume", i == 0 ? "1" : "0.1"}, "null"}, &said), 0) << said;
    const size_t at = said.find("loudest ");
    ASSERT_NE(at, std::string::npos) << said;
    loudest[i] = std::stod(said.substr(at + 8));
  }
  EXPECT_NEAR(loudest[0] - loudest[1], 20, 1);
  EXPECT_NEAR(loudest[0], -9, 1);  // a sine at half scale: -6 dB peak, -9 dB average power
}

}  // namespace
}  // namespace xnq_test
