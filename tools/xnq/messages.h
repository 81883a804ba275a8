// Words for what goes wrong: every status a user can meet, and the problems found before a file
// is opened, turned into one phrase with the code after it. Every command reports through here.
#pragma once

#include <cstdint>
#include <string>

namespace xnq::tool {

// A status written as its four characters, as the platform's codes are.
constexpr int32_t FourCharStatus(const char (&c)[5]) {
  return static_cast<int32_t>(uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 |
                              uint32_t(uint8_t(c[2])) << 8 | uint32_t(uint8_t(c[3])));
}

// "not an audio file xnq can read (status 'typ?')"; an unknown status reads "failed (status N)".
std::string StatusWords(int64_t status);

// Why a path cannot be read as an input file ("" when it can be tried): no such file,
// permission denied, a folder, or something that is not a regular file (a FIFO would block the
// open for good). Block devices pass, as they read like files.
std::string InputProblem(const std::string &path);

// The words of an errno value, in lower case as the rest of the messages.
std::string SystemWords(int error);

// Prints "xnq COMMAND: SUBJECT: WORDS" (or "xnq COMMAND: WORDS" with an empty subject) on a line
// of its own, ending a status line that may be on the screen first.
void Report(const char *command, const std::string &subject, const std::string &words);

// Exit codes, the same in every command.
enum ExitCode { kExitDone = 0, kExitFailed = 1, kExitUsage = 2 };

}  // namespace xnq::tool
