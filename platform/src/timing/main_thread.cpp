// pthread_main_np lives in the platform library, not in the dispatch library, because a
// process without dispatch still has a main thread.
#include <sys/syscall.h>
#include <unistd.h>

#include "os/dispatch.h"

extern "C" int pthread_main_np(void) {
  // The main thread's kernel thread ID is the process ID.
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid() ? 1 : 0;
}
