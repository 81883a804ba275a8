// pthread_main_np lives in the platform library, not in the dispatch library, because a
// process without dispatch still has a main thread.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "os/dispatch.h"
#include "platform/threads.h"

namespace {
// The kernel thread ID of the thread a host made the main thread, 0 for the process's first
// thread (whose ID is the process ID). Written by xnq_set_main_thread, read by any thread.
std::atomic<pid_t> gMainThread{0};

pid_t CurrentThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }
}  // namespace

extern "C" int pthread_main_np(void) {
  const pid_t main = gMainThread.load(std::memory_order_relaxed);
  return CurrentThread() == (main != 0 ? main : getpid()) ? 1 : 0;
}

extern "C" void xnq_set_main_thread(int callingThread) {
  gMainThread.store(callingThread != 0 ? CurrentThread() : 0, std::memory_order_relaxed);
}
