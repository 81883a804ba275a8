// RunThreadedBlocks: the work runs on another thread while the caller yields to the host. This
// file is built twice: into test_frame, where the dispatch library is absent (the POSIX path),
// and into test_frame_dispatch, which links it (XNQ_WITH_DISPATCH, the dispatch path).
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "frame/FrameInternal.h"
#include "frame_test_support.h"
#include "os/dispatch.h"
#ifdef XNQ_WITH_DISPATCH
#include "platform/dispatch_control.h"
#endif

namespace frametest {
namespace {

// The two builds name their cases apart so that CTest lists both.
#ifdef XNQ_WITH_DISPATCH
#define THREADED_SUITE RunThreadedBlocksOnDispatch
#else
#define THREADED_SUITE RunThreadedBlocks
#endif

// What happened, in order: "yield" and "idle" on the caller's thread, "work" on the worker's.
struct Journal {
  std::mutex mutex;
  std::vector<std::string> events;
  pthread_t caller = pthread_self();
  // Written by the worker, read by the test after RunThreadedBlocks returns.
  std::atomic<bool> workOnCaller{false};
  std::atomic<bool> idleOffCaller{false};
  std::atomic<int> workDelayMs{0};

  void add(const char *event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.emplace_back(event);
  }
  int count(const std::string &event) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto &e : events) n += e == event;
    return n;
  }
};

void Work(void *data) {
  auto *journal = static_cast<Journal *>(data);
  if (journal->workDelayMs > 0) usleep(static_cast<useconds_t>(journal->workDelayMs) * 1000);
  journal->workOnCaller = pthread_equal(pthread_self(), journal->caller) != 0;
  journal->add("work");
}

void Idle(void *data) {
  auto *journal = static_cast<Journal *>(data);
  if (!pthread_equal(pthread_self(), journal->caller)) journal->idleOffCaller = true;
  journal->add("idle");
}

void BindAndJournalYields(Journal &journal) {
  BindToHost(2017.0);
  Runtime::get().setYieldHook([&journal] { journal.add("yield"); });
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

TEST(THREADED_SUITE, WorkThatFinishesAtOnceStillCostsAYieldBeforeAndAYieldAndIdleAfter) {
  Journal journal;
  BindAndJournalYields(journal);
  RunThreadedBlocks(&journal, Work, Idle);
  Runtime::get().setYieldHook(nullptr);

  EXPECT_EQ(journal.count("work"), 1);
  EXPECT_FALSE(journal.workOnCaller);
  EXPECT_FALSE(journal.idleOffCaller);
  std::vector<std::string> events = journal.events;
  ASSERT_GE(events.size(), 4u);
  // The caller's own sequence: yield, then per round yield+idle, then yield+idle at the end.
  std::vector<std::string> callerEvents;
  for (const auto &e : events) {
    if (e != "work") callerEvents.push_back(e);
  }
  EXPECT_EQ(callerEvents.front(), "yield");
  EXPECT_EQ(callerEvents[callerEvents.size() - 2], "yield");
  EXPECT_EQ(callerEvents.back(), "idle");
  EXPECT_EQ(journal.count("yield"), journal.count("idle") + 1);
  EXPECT_EQ(Runtime::get().yieldCount(), journal.count("yield"));
}

TEST(THREADED_SUITE, LongWorkIsPolledEveryMillisecondWithAYieldAndIdleEachRound) {
  Journal journal;
  journal.workDelayMs = 60;
  BindAndJournalYields(journal);
  RunThreadedBlocks(&journal, Work, Idle);
  Runtime::get().setYieldHook(nullptr);

  // The work finished before the call returned, after many rounds of about a millisecond each.
  EXPECT_EQ(journal.count("work"), 1);
  EXPECT_FALSE(journal.workOnCaller);
  EXPECT_FALSE(journal.idleOffCaller);
  int idles = journal.count("idle");
  EXPECT_GE(idles, 10);
  EXPECT_LE(idles, 61);
  EXPECT_EQ(journal.count("yield"), idles + 1);
  // Rounds alternate: each idle call follows a yield of the same round.
  std::vector<std::string> callerEvents;
  for (const auto &e : journal.events) {
    if (e != "work") callerEvents.push_back(e);
  }
  for (size_t i = 1; i < callerEvents.size(); ++i) {
    if (callerEvents[i] == "idle") {
      EXPECT_EQ(callerEvents[i - 1], "yield") << i;
    }
  }
}

TEST(THREADED_SUITE, RunsWithoutAnIdleRoutine) {
  Journal journal;
  BindAndJournalYields(journal);
  RunThreadedBlocks(&journal, Work, nullptr);
  Runtime::get().setYieldHook(nullptr);
  EXPECT_EQ(journal.count("work"), 1);
  EXPECT_GE(journal.count("yield"), 2);
  EXPECT_EQ(journal.count("idle"), 0);
}

int FailToCreateThread(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
  return EAGAIN;
}

TEST(THREADED_SUITE, AWorkerThatCannotStartRunsTheWorkInline) {
  Journal journal;
  BindAndJournalYields(journal);
  ThreadCreator saved = gCreateWorkerThread;
  gCreateWorkerThread = FailToCreateThread;
  RunThreadedBlocks(&journal, Work, Idle);
  gCreateWorkerThread = saved;
  Runtime::get().setYieldHook(nullptr);

  EXPECT_EQ(journal.count("work"), 1);
#ifdef XNQ_WITH_DISPATCH
  // Dispatch does not need a thread of ours: the work still runs elsewhere.
  EXPECT_FALSE(journal.workOnCaller);
  EXPECT_EQ(journal.count("yield"), journal.count("idle") + 1);
#else
  // No worker: the work ran on the caller before the call returned, without any waiting.
  EXPECT_TRUE(journal.workOnCaller);
  EXPECT_EQ(journal.count("yield"), 0);
  EXPECT_EQ(journal.count("idle"), 0);
  // Later calls start workers again.
  Journal next;
  RunThreadedBlocks(&next, Work, nullptr);
  EXPECT_EQ(next.count("work"), 1);
  EXPECT_FALSE(next.workOnCaller);
#endif
}

TEST(THREADED_SUITE, ManyCallsInARowEachWaitForTheirOwnWork) {
  BindToHost(2017.0);
  for (int i = 0; i < 50; ++i) {
    Journal journal;
    journal.workDelayMs = i % 3;
    RunThreadedBlocks(&journal, Work, Idle);
    ASSERT_EQ(journal.count("work"), 1) << i;
    ASSERT_FALSE(journal.workOnCaller) << i;
  }
}

}  // namespace
}  // namespace frametest
