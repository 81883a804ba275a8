// The terminal, for the commands that talk to a person: one status line redrawn in place (only
// on a terminal, cut to its width so a redraw never scrolls), and keys read without echo while a
// command plays, with the terminal's settings put back on every way out of the program.
#pragma once

#include <string>

namespace xnq::tool {

// True when standard error is a terminal: status lines and progress bars are drawn only then.
bool StatusOnTerminal();

// Redraws the status line in place with text, cut to the terminal's width. Nothing off a
// terminal.
void DrawStatusLine(const std::string &text);
// Ends a drawn status line, so the next message starts on a line of its own.
void EndStatusLine();
// Draws a progress bar of done seconds out of about total seconds (0: unknown), with the time
// left at the pace of the elapsed wall time so far. Nothing off a terminal.
void DrawProgress(double done, double total, double elapsed);
// The terminal's width in columns (80 when it does not say).
int TerminalWidth();

// Keys a player understands.
enum class Key {
  None,
  Space,
  Left,
  Right,
  Up,
  Down,
  VolumeDown,
  VolumeUp,
  Loop,
  Next,
  Quit,
  Other
};

// Keys from standard input while an object of this class lives, when standard input is a
// terminal (and the caller wants them): raw, unechoed, not waiting for a line. Off a terminal
// nothing reads standard input. The settings are put back by the destructor, at exit and when a
// stop signal ends the program.
class KeyReader {
 public:
  explicit KeyReader(bool wanted);
  ~KeyReader();
  KeyReader(const KeyReader &) = delete;
  KeyReader &operator=(const KeyReader &) = delete;

  bool active() const { return active_; }
  // The next key, waiting at most timeoutMs for one; Key::None when none came.
  Key next(int timeoutMs);

 private:
  bool active_ = false;
};

// Puts the terminal's settings back if a KeyReader changed them; safe in a signal handler.
void RestoreTerminal();

}  // namespace xnq::tool
