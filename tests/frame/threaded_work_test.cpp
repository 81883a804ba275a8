// RunThreadedBlocks: the work runs on another thread while the caller yields to the host. This
// file is built twice: into test_frame, where the dispatch library is absent (the POSIX path),
// and into test_frame_dispatch, which links it (XNQ_WITH_DISPATCH, the dispatch path).
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "frame/FrameInternal.h"
#include "frame_test_support.h"
#include "os/dispatch.h"
#ifdef XNQ_WITH_DISPATCH
#include "platform/dispatch_control.h"
#define THREADED_SUITE RunThreadedBlocksOnDispatch
#else
#define THREADED_SUITE RunThreadedBlocks
#endif

namespace frametest {
namespace {

// What happened, in order: 'y' (yield) and 'i' (idle) on the caller's thread, 'W' (work) on
// another thread, 'w' (work) on the caller's, '!' an idle call off the caller's thread.
struct Journal {
  std::mutex mutex;
  std::string events;
  pthread_t caller = pthread_self();
  int workDelayMs = 0;
  void add(char event) {
    std::lock_guard<std::mutex> lock(mutex);
    events += event;
  }
};

void Work(void *data) {
  auto *journal = static_cast<Journal *>(data);
  usleep(static_cast<useconds_t>(journal->workDelayMs) * 1000);
  journal->add(pthread_equal(pthread_self(), journal->caller) ? 'w' : 'W');
}

void Idle(void *data) {
  auto *journal = static_cast<Journal *>(data);
  journal->add(pthread_equal(pthread_self(), journal->caller) ? 'i' : '!');
}

// The caller's own events with the work taken out.
std::string RunAndJournal(Journal &journal, bool withIdle, int64_t *elapsedMs = nullptr) {
  BindToHost(2017.0);
  Runtime::get().setYieldHook([&journal] { journal.add('y'); });
  const auto started = std::chrono::steady_clock::now();
  RunThreadedBlocks(&journal, Work, withIdle ? Idle : nullptr);
  if (elapsedMs != nullptr) {
    *elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count();
  }
  Runtime::get().setYieldHook(nullptr);
  std::string caller;
  for (char e : journal.events) {
    if (e != 'W') caller += e;
  }
  return caller;
}

TEST(THREADED_SUITE, PathMatchesTheDispatchLibrarysPresence) {
#ifdef XNQ_WITH_DISPATCH
  // A strong reference keeps the library linked; the weak ones alone would not.
  EXPECT_GE(xnq_dispatch_main_queue_length(), 0);
  const bool expected = true;
#else
  const bool expected = false;
#endif
  // Compared here, not inside an assertion macro: bound to a reference, a function's address
  // is taken for non-null even when the symbol is weak.
  const bool present = dispatch_async_f != nullptr && dispatch_get_global_queue != nullptr;
  EXPECT_EQ(present, expected);
}

// Work that finishes at once still costs a yield before the first check and a yield and an idle
// call after it; long work is polled about every millisecond, each round a yield and an idle
// call; without an idle routine only the yields remain.
TEST(THREADED_SUITE, TheCallerYieldsBeforeEveryCheckAndAfterTheWork) {
  for (const int delayMs : {0, 60}) {
    for (const bool withIdle : {true, false}) {
      SCOPED_TRACE(testing::Message() << delayMs << " ms, idle " << withIdle);
      Journal journal;
      journal.workDelayMs = delayMs;
      int64_t elapsedMs = 0;
      const std::string events = RunAndJournal(journal, withIdle, &elapsedMs);
      EXPECT_EQ(std::count(journal.events.begin(), journal.events.end(), 'W'), 1) << events;
      const auto yields = std::count(events.begin(), events.end(), 'y');
      std::string expected = "y";
      for (int k = 1; k < yields; ++k) expected += withIdle ? "yi" : "y";
      EXPECT_EQ(events, expected);  // nothing on the wrong thread, each idle after its yield
      EXPECT_GE(yields, delayMs > 0 ? 4 : 2);
      EXPECT_LE(yields, elapsedMs + 2);
    }
  }
}

int FailToCreateThread(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
  return EAGAIN;
}

TEST(THREADED_SUITE, AWorkerThatCannotStartRunsTheWorkInline) {
  Journal journal, next;
  const ThreadCreator saved = gCreateWorkerThread;
  gCreateWorkerThread = FailToCreateThread;
  const std::string events = RunAndJournal(journal, true);
  gCreateWorkerThread = saved;
#ifdef XNQ_WITH_DISPATCH
  // Dispatch does not need a thread of ours: the work still runs elsewhere.
  EXPECT_NE(journal.events.find('W'), std::string::npos);
  EXPECT_EQ(events.substr(0, 1), "y");
#else
  // No worker: the work ran on the caller before the call returned, without any waiting; later
  // calls start workers again.
  EXPECT_EQ(events, "w");
  EXPECT_EQ(RunAndJournal(next, false).find('w'), std::string::npos);
  EXPECT_NE(next.events.find('W'), std::string::npos);
#endif
}

}  // namespace
}  // namespace frametest
