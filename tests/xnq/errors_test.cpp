// Every mistake a user can make gets words that say what is wrong and the exit status for it,
// before anything plays or is written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "xnq_runner.h"

namespace xnq_test {
namespace {

TEST(XnqErrors, EachMistakeGetsItsWordsAndExitStatus) {
  const std::string in = ScratchPath("in.wav"), fifo = ScratchPath("fifo.wav"),
                    text = ScratchPath("song.m4a"), out = ScratchPath("out.wav"),
                    slow = ScratchPath("1hz.wav");
  WriteWav(in, 44100, 2, 22050, [](int f, int) { return 0.5 * std::sin(f * 0.05); });
  WriteWav(slow, 1, 2, 5, [](int, int) { return 0.5; });
  std::ofstream(text) << "not audio";
  mkfifo(fifo.c_str(), 0600);
  const struct {
    std::vector<std::string> args;
    std::string devices;
    int status;
    std::string words;
  } cases[] = {
      // Files that cannot be read.
      {{"play", ScratchPath("missing.wav")}, "null", 1, "missing.wav: file not found"},
      {{"play", fifo}, "null", 1, "fifo.wav: not a regular file"},
      {{"render", "/tmp", out}, "none", 1, "/tmp: a folder, not a file"},
      {{"play", text}, "null", 1, "song.m4a: not an audio file xnq can read (status 'typ?')"},
      {{"soundstream", ScratchPath("missing.wav")}, "null", 1, "file not found"},
      {{"soundstream"}, "null", 2, "give one audio file"},
      {{"soundstream", slow},
       "null",
       1,
       "a sample rate the sound output cannot play (status -225)"},
      // Values out of range, with the range, the same in play and render.
      {{"play", in, "--varispeed", "10"}, "null", 2, "--varispeed takes a number from 0.25 to 4"},
      {{"render", in, out, "--varispeed", "10"}, "none", 2, "from 0.25 to 4, not '10'"},
      {{"play", in, "--eq", "0,13"}, "null", 2, "--eq takes up to 31 gains in dB from -20 to 12"},
      {{"render", in, out, "--eq", "0,13"}, "none", 2, "from -20 to 12"},
      {{"render", in, out, "--volume", "2"}, "none", 2, "--volume takes a number from 0 to 1"},
      {{"play", in, "--quality", "128"}, "null", 2, "--quality takes a whole number from 0 to 127"},
      {{"play", in, "--loop", "0.2,9"}, "null", 1, "past the end of the file (0.50 s long)"},
      {{"stream", "--bits", "23"}, "null", 2, "--bits takes 7, 8, 15, 16, 24, 31, 32 or float"},
      // Options that contradict each other or cannot work.
      {{"play", in, "--output-unit", "1"}, "null", 2, "cannot play live"},
      {{"play", in, "--render", out, "--loop", "0,0.2"}, "none", 2, "would never end"},
      {{"play", in, "--varispeed", "2", "--pitch", "100"}, "null", 2, "one or the other"},
      {{"render", in, in}, "none", 2, "the output would overwrite the input"},
      {{"play", in, "--render", in}, "none", 2, "the output would overwrite the input"},
      {{"render", in, ScratchPath("out.mp4")}, "none", 2, "name the output with the extension"},
      {{"render", in, ScratchPath("out.ogg"), "--bits", "16"},
       "none",
       2,
       "Ogg Vorbis has no --bits"},
      {{"render", in, "/nonexistent/out.wav"}, "none", 1, "no such file or directory"},
      // Devices that do not exist, and device lists that do not parse.
      {{"play", in, "--device", "4294967298"}, "null", 1, "device not found"},
      {{"stream", "--tone", "440", "--device", "Speakers"}, "null", 1, "device not found"},
      {{"play", in},
       "null:clock=bogus",
       1,
       "XNQ_AUDIO_DEVICES: entry 1 'null:clock=bogus': clock takes realtime, free or stepped"},
      {{"devices"}, "null;capture:out=2", 1, "entry 2 'capture:out=2': a capture device needs"},
      // A device unplugged while it plays ends every playing command, with words for it.
      {{"stream", "--tone", "440", "--seconds", "5"}, "null:unplug=0.1", 1, "device went away"},
      {{"play", in}, "null:unplug=0.1", 1, "the output device went away"},
      {{"soundstream", in}, "null:unplug=0.1", 1, "the output device went away"},
  };
  for (const auto &c : cases) {
    std::string said;
    EXPECT_EQ(RunXnq({c.args, c.devices}, &said), c.status) << c.args[0] << " " << c.words << "\n"
                                                            << said;
    EXPECT_NE(said.find(c.words), std::string::npos) << c.words << "\n" << said;
  }
  struct stat none {};
  EXPECT_NE(stat(out.c_str(), &none), 0);  // no refused command wrote anything
}

}  // namespace
}  // namespace xnq_test
