// The global queue runs work on worker threads; the main queue runs only when its thread
// drains it, in the order the work was queued; which thread is the main one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/dispatch.h"
#include "platform/dispatch_control.h"
#include "platform/threads.h"

namespace {

struct MainQueueLog {
  std::vector<int> order;
  int requeueFrom = -1;
};

struct LoggedItem {
  MainQueueLog *log;
  int value;
};

void logValue(void *context) {
  auto *item = static_cast<LoggedItem *>(context);
  item->log->order.push_back(item->value);
  EXPECT_EQ(pthread_main_np(), 1);
  if (item->value == item->log->requeueFrom) {
    static LoggedItem later{nullptr, 99};
    later.log = item->log;
    dispatch_async_f(dispatch_get_main_queue(), &later, logValue);
  }
}

TEST(DispatchMainQueue, RunsInOrderOnlyWhenDrainedAndDefersWhatItQueues) {
  ASSERT_NE(dispatch_async_f, nullptr);
  MainQueueLog log;
  log.requeueFrom = 2;
  LoggedItem items[] = {{&log, 1}, {&log, 2}, {&log, 3}};
  for (auto &item : items) dispatch_async_f(dispatch_get_main_queue(), &item, logValue);
  EXPECT_EQ(xnq_dispatch_main_queue_length(), 3);
  EXPECT_TRUE(log.order.empty());

  EXPECT_EQ(xnq_dispatch_drain_main_queue(), 3);
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
  // The item queued while draining waits for the next drain.
  EXPECT_EQ(xnq_dispatch_main_queue_length(), 1);
  EXPECT_EQ(xnq_dispatch_drain_main_queue(), 1);
  EXPECT_EQ(log.order.back(), 99);
  EXPECT_EQ(xnq_dispatch_drain_main_queue(), 0);
}

// Work queued on the main queue by a worker of the global queue is seen by a wait on this thread
// and runs here.
TEST(DispatchGlobalQueue, WorkersRunOffTheMainThreadAndReachItThroughTheMainQueue) {
  EXPECT_EQ(xnq_dispatch_wait_main_queue(1), 0);
  static MainQueueLog log;
  static LoggedItem item{&log, 7};
  static std::atomic<bool> workerWasMain{true};
  dispatch_async_f(dispatch_get_global_queue(0, 0), &item, [](void *context) {
    workerWasMain = pthread_main_np() != 0;
    dispatch_async_f(dispatch_get_main_queue(), context, logValue);
  });
  EXPECT_TRUE(xnq_dispatch_wait_main_queue(10000));
  EXPECT_EQ(xnq_dispatch_drain_main_queue(), 1);
  EXPECT_EQ(log.order, std::vector<int>{7});
  EXPECT_FALSE(workerWasMain);
  // A host may name another thread the main one, and give the name back to the process's first.
  int named = -1;
  std::thread([&] {
    xnq_set_main_thread(1);
    named = pthread_main_np();
  }).join();
  EXPECT_EQ(named, 1);
  EXPECT_EQ(pthread_main_np(), 0);
  xnq_set_main_thread(0);
  EXPECT_EQ(pthread_main_np(), 1);
}

}  // namespace
