// The subcommands of xnq register themselves here; main() dispatches by name.
#pragma once

#include <string>
#include <vector>

#include "os/audio_file.h"

namespace xnq::tool {

struct Subcommand {
  const char *name;
  const char *summary;                               // one line for `xnq --help`
  const char *usage;                                 // shown by `xnq NAME --help`
  int (*run)(const std::vector<std::string> &args);  // args after the subcommand's name
};

// Called from a static object's constructor in each subcommand's file.
void registerSubcommand(const Subcommand &command);

// Loads the plugin into the host with default settings; prints an error and returns false when
// it can't. The plugin file comes from XNQ_PLUGIN or the build's own plugin.
bool loadPlugin();

// Opens the audio file at path for reading through the extended audio file service.
OSStatus openAudioFile(const std::string &path, ExtAudioFileRef &file);

// From now on Ctrl-C, termination and a hang-up set the flag stopRequested() reads, and interrupt
// a blocked read or sleep (no SA_RESTART) so that the command's loop sees it at once. A closed
// pipe and a file-size limit turn into failed writes. main() calls it for every command.
void catchStopSignals();
bool stopRequested();
// 128 + the signal that asked to stop (130 for Ctrl-C, 143 for SIGTERM); 0 when none did.
int stopExitCode();

struct Registrar {
  explicit Registrar(const Subcommand &command) { registerSubcommand(command); }
};

}  // namespace xnq::tool
