// The queues behind the dispatch interface: a concurrent global queue served by a pool of
// worker threads, and the main queue, which only the host's main thread drains.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "os/dispatch.h"

struct dispatch_queue_s {
  virtual ~dispatch_queue_s() = default;
  virtual void enqueue(void *context, dispatch_function_t work) = 0;
};

namespace xnq::dispatch {

struct WorkItem {
  void *context;
  dispatch_function_t work;
};

// Concurrent: every item runs on some worker thread, several at once. A new worker is started
// whenever work arrives and none is idle, up to a limit, so a blocking item cannot starve the rest.
class GlobalQueue final : public dispatch_queue_s {
 public:
  void enqueue(void *context, dispatch_function_t work) override;

 private:
  void workerLoop();

  static constexpr int kMaxWorkers = 64;
  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<WorkItem> items_;
  int workers_ = 0;
  int idle_ = 0;
};

// Serial, in order, on the thread that drains it.
class MainQueue final : public dispatch_queue_s {
 public:
  void enqueue(void *context, dispatch_function_t work) override;
  int drain();
  bool waitForWork(int timeoutMs);
  int length();

 private:
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<WorkItem> items_;
};

GlobalQueue &globalQueue();
MainQueue &mainQueue();

}  // namespace xnq::dispatch
