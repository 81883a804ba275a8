#include <signal.h>

#include "subcommand.h"
#include "terminal.h"

namespace xnq::tool {
namespace {

// Written by the signal handler, read by the command's loop: the signal that asked to stop.
volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int signal) {
  gStopSignal = signal;
  RestoreTerminal();
}

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // A closed pipe (on standard error or on the output stream) and a file past its size limit
  // make the write fail with EPIPE or EFBIG instead of ending the program, so every file being
  // written is finished and the failure reported.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool stopRequested() { return gStopSignal != 0; }

int stopExitCode() { return gStopSignal != 0 ? 128 + gStopSignal : 0; }

}  // namespace xnq::tool
