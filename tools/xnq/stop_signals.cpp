#include <signal.h>

#include "subcommand.h"

namespace xnq::tool {
namespace {

// Written by the signal handler, read by the command's loop.
volatile sig_atomic_t gStopRequested = 0;
void OnStopSignal(int) { gStopRequested = 1; }

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() { return gStopRequested != 0; }

}  // namespace xnq::tool
