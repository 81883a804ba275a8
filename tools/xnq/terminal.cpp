#include "terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace xnq::tool {
namespace {

// The settings a KeyReader found, written before it changes them and read by RestoreTerminal,
// which may run in a signal handler: a flag of sig_atomic_t guards them.
struct termios gSaved;
volatile sig_atomic_t gChanged = 0;
// The raw settings a KeyReader applies, put back when the program continues after Ctrl-Z.
struct termios gRaw;
volatile sig_atomic_t gRawActive = 0;

// Ctrl-Z: the shell gets its terminal as it was, and the keys work again after `fg`.
void OnSuspend(int) {
  RestoreTerminal();
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
}
void OnContinue(int) {
  signal(SIGTSTP, OnSuspend);
  if (gRawActive != 0 && tcsetattr(STDIN_FILENO, TCSANOW, &gRaw) == 0) gChanged = 1;
}

// Whether the status line holds text not yet ended by a newline; main thread only.
bool gLineOpen = false;

}  // namespace

bool StatusOnTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalWidth() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void DrawStatusLine(const std::string &text) {
  if (!StatusOnTerminal()) return;
  // One column is left free: a line filling the last column makes some terminals wrap.
  const size_t width = static_cast<size_t>(std::max(TerminalWidth() - 1, 1));
  const std::string shown = text.size() > width ? text.substr(0, width) : text;
  std::fprintf(stderr, "\r%s\033[K", shown.c_str());
  std::fflush(stderr);
  gLineOpen = true;
}

void DrawProgress(double done, double total, double elapsed) {
  if (!StatusOnTerminal()) return;
  const double part = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0;
  char tail[96];
  if (part > 0 && part < 1) {
    std::snprintf(tail, sizeof tail, " %3d%%  %.1f / %.1f s  %.0f s left", int(part * 100), done,
                  total, elapsed * (1 - part) / part);
  } else {
    std::snprintf(tail, sizeof tail, " %3d%%  %.1f / %.1f s", int(part * 100), done, total);
  }
  const int width =
      std::clamp(TerminalWidth() - 1 - static_cast<int>(std::strlen(tail)) - 2, 0, 40);
  const int filled = static_cast<int>(width * part);
  DrawStatusLine("[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + tail);
}

void EndStatusLine() {
  if (!gLineOpen) return;
  std::fputc('\n', stderr);
  gLineOpen = false;
}

void RestoreTerminal() {
  if (gChanged == 0) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &gSaved);
  gChanged = 0;
}

KeyReader::KeyReader(bool wanted) {
  if (!wanted || isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &gSaved) != 0) return;
  struct termios raw = gSaved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  static bool atExitSet = false;
  if (!atExitSet) atExitSet = std::atexit(RestoreTerminal) == 0;
  gChanged = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    gChanged = 0;
    return;
  }
  gRaw = raw;
  gRawActive = 1;
  signal(SIGTSTP, OnSuspend);
  signal(SIGCONT, OnContinue);
  active_ = true;
}

KeyReader::~KeyReader() {
  if (!active_) return;
  gRawActive = 0;
  signal(SIGTSTP, SIG_DFL);
  RestoreTerminal();
}

Key KeyReader::next(int timeoutMs) {
  if (!active_) {
    if (timeoutMs > 0) poll(nullptr, 0, timeoutMs);
    return Key::None;
  }
  struct pollfd in {
    STDIN_FILENO, POLLIN, 0
  };
  if (poll(&in, 1, timeoutMs) <= 0) return Key::None;
  unsigned char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1) return Key::None;
  if (c == 27) {
    // An arrow comes as ESC [ A…D (or ESC O A…D); ESC alone is a key of its own.
    unsigned char seq[2] = {0, 0};
    struct pollfd more {
      STDIN_FILENO, POLLIN, 0
    };
    if (poll(&more, 1, 30) <= 0 || read(STDIN_FILENO, &seq[0], 1) != 1) return Key::Quit;
    if ((seq[0] != '[' && seq[0] != 'O') || poll(&more, 1, 30) <= 0 ||
        read(STDIN_FILENO, &seq[1], 1) != 1)
      return Key::Other;
    switch (seq[1]) {
      case 'A':
        return Key::Up;
      case 'B':
        return Key::Down;
      case 'C':
        return Key::Right;
      case 'D':
        return Key::Left;
      default:
        return Key::Other;
    }
  }
  switch (c) {
    case ' ':
      return Key::Space;
    case '9':
    case '-':
    case '/':
      return Key::VolumeDown;
    case '0':
    case '+':
    case '=':
    case '*':
      return Key::VolumeUp;
    case 'l':
    case 'L':
      return Key::Loop;
    case 'n':
    case 'N':
    case '\n':
      return Key::Next;
    case 'q':
    case 'Q':
      return Key::Quit;
    default:
      return Key::Other;
  }
}

}  // namespace xnq::tool
