#include "messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "coreaudio_values.h"
#include "terminal.h"

namespace xnq::tool {
namespace {

struct Words {
  int32_t status;
  const char *words;
};

// The statuses of the platform's audio files, converters, devices, units and graphs that a user
// can meet through xnq, in plain words.
constexpr Words kWords[] = {
    // Audio files.
    {-43, "file not found"},
    {FourCharStatus("prm?"), "permission denied"},
    {FourCharStatus("typ?"), "not an audio file xnq can read"},
    {FourCharStatus("fmt?"), "an audio format xnq cannot read"},
    {FourCharStatus("dta?"), "damaged or truncated file"},
    {FourCharStatus("wht?"), "the file could not be read"},
    {FourCharStatus("pty?"), "the file does not have that property"},
    {-38, "the file is not open"},
    {-39, "the file ends early (truncated)"},
    {-66561, "the file does not have that property"},
    {-66563, "the file cannot be read in that format"},
    {-66565, "the file was asked for things in the wrong order"},
    {-66566, "unsupported format"},
    {-66568, "the file cannot seek to that place"},
    // Converters.
    {FourCharStatus("op??"), "the converter cannot do that"},
    {FourCharStatus("insz"), "the converter was given a bad input size"},
    {FourCharStatus("otsz"), "the converter was given a bad output size"},
    {FourCharStatus("prop"), "the converter does not have that property"},
    // Devices and the audio hardware.
    {FourCharStatus("!dev"), "device not found"},
    {FourCharStatus("!obj"), "no such audio object"},
    {FourCharStatus("!str"), "no such stream"},
    {FourCharStatus("nope"), "the device refused"},
    {FourCharStatus("stop"), "the device is not running"},
    {FourCharStatus("who?"), "the object does not have that property"},
    {FourCharStatus("!siz"), "the value has the wrong size"},
    {FourCharStatus("unop"), "the device cannot do that"},
    {FourCharStatus("!dat"), "unsupported format"},
    {FourCharStatus("!hog"), "the device is taken by another program"},
    {FourCharStatus("what"), "the audio system failed"},
    // Audio units and graphs.
    {-10879, "the unit does not have that property"},
    {-10878, "value out of range"},
    {-10877, "the unit does not have that element"},
    {-10876, "the unit has no input connected"},
    {-10875, "an audio unit failed to start"},
    {-10874, "too many frames asked of a unit"},
    {-10868, "a format the unit does not take"},
    {-10867, "the unit is not ready"},
    {-10866, "the unit does not have that scope"},
    {-10865, "the property cannot be changed"},
    {-10863, "the unit cannot do that now"},
    {-10851, "value out of range"},
    {-10849, "the unit is already running"},
    {-10860, "no such node in the graph"},
    {-10861, "the graph cannot connect those units"},
    {-10862, "the graph's output failed"},
    {-10864, "not an audio unit"},
    // The Component Manager and the Sound Manager.
    {-3000, "no such sound component"},
    {static_cast<int32_t>(0x80008001), "not an open sound component"},
    {static_cast<int32_t>(0x80008002), "the sound component cannot do that"},
    {-201, "the sound output cannot play that many channels"},
    {-205, "no such sound channel"},
    {-206, "a sound format the sound output cannot play"},
    {-207, "not enough sound buffer space"},
    {-225, "a sample rate the sound output cannot play"},
    {-226, "a sample size the sound output cannot play"},
    // General.
    {-50, "bad parameter"},
    {-108, "out of memory"},
    {-1, "no call completed"},
};

}  // namespace

std::string StatusWords(int64_t status) {
  const std::string quoted = CodeText(static_cast<uint32_t>(status));
  const std::string code = quoted[0] == '\'' ? quoted : std::to_string(status);
  for (const Words &w : kWords) {
    if (w.status == status) return std::string(w.words) + " (status " + code + ")";
  }
  return "failed (status " + code + ")";
}

std::string SystemWords(int error) {
  std::string words = std::strerror(error);
  if (!words.empty())
    words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

std::string InputProblem(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0)
    return errno == ENOENT ? "file not found" : SystemWords(errno);
  if (S_ISDIR(info.st_mode)) return "a folder, not a file";
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return "not a regular file";
  if (access(path.c_str(), R_OK) != 0) return SystemWords(errno);
  return "";
}

void Report(const char *command, const std::string &subject, const std::string &words) {
  EndStatusLine();
  if (subject.empty()) {
    std::fprintf(stderr, "xnq %s: %s\n", command, words.c_str());
  } else {
    std::fprintf(stderr, "xnq %s: %s: %s\n", command, subject.c_str(), words.c_str());
  }
}

}  // namespace xnq::tool
