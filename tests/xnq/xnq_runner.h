// xnq run as a user runs it: a child process with its own device list, its output read back,
// and, where keys matter, a pseudo-terminal to type into.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "audio_services/audio_test_support.h"

namespace xnq_test {

struct Launch {
  std::vector<std::string> args;  // after "xnq"
  std::string devices = "none";   // XNQ_AUDIO_DEVICES
  bool terminal = false;          // in a pseudo-terminal (stdin, stdout and stderr)
  std::string input;              // standard input from this file ("": /dev/null)
  std::string output;             // standard output to this file ("": /dev/null)
  rlim_t fileSizeLimit = RLIM_INFINITY;
};

class XnqProcess {
 public:
  explicit XnqProcess(const Launch &launch);
  ~XnqProcess();
  // Waits until the output holds text (true) or seconds pass (false).
  bool waitFor(const std::string &text, double seconds);
  void type(const std::string &keys);
  void signal(int signal);
  // The exit status (128 + N when a signal N ended it), waiting at most seconds; -1 and killed
  // when it does not end in time.
  int wait(double seconds);
  const std::string &text();  // what it printed so far (stderr; on a terminal everything)
  // On a terminal: whether echo and line editing are on, as a shell leaves them.
  bool terminalRestored() const;

 private:
  void drain(int timeoutMs);
  pid_t pid_ = -1;
  int fd_ = -1;  // the terminal's master side, or the read end of the stderr pipe
  std::string text_;
  int status_ = -1;
  bool ended_ = false;
};

// Runs to the end (at most 60 s) and returns the exit status, with what it printed in *text.
int RunXnq(const Launch &launch, std::string *text = nullptr);

using audio_test::ScratchPath;
// Writes a 16-bit WAV file of frames frames per channel made by sample(frame, channel).
inline void WriteWav(const std::string &path, int rate, int channels, int frames,
                     const std::function<double(int frame, int channel)> &sample) {
  audio_test::WriteAudio(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, channels, frames, sample);
}
using audio_test::ReadAudio;

}  // namespace xnq_test
