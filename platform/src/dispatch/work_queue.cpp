#include "dispatch/work_queue.h"

#include <chrono>
#include <thread>

namespace xnq::dispatch {

void GlobalQueue::enqueue(void *context, dispatch_function_t work) {
  std::unique_lock<std::mutex> lock(mutex_);
  items_.push_back(WorkItem{context, work});
  // Idle workers that have not yet woken count against the waiting items, so a burst of work
  // starts enough workers to run all of it at once.
  if (items_.size() > static_cast<size_t>(idle_) && workers_ < kMaxWorkers) {
    ++workers_;
    // Workers are detached and live as long as the process: the queue itself is never destroyed.
    std::thread([this] { workerLoop(); }).detach();
  }
  lock.unlock();
  available_.notify_one();
}

void GlobalQueue::workerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    available_.wait(lock, [this] { return !items_.empty(); });
    --idle_;
    WorkItem item = items_.front();
    items_.pop_front();
    lock.unlock();
    item.work(item.context);
    lock.lock();
  }
}

void MainQueue::enqueue(void *context, dispatch_function_t work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(WorkItem{context, work});
  }
  queued_.notify_all();
}

int MainQueue::drain() {
  // Only what was queued before the drain runs now; work queued by these items waits for the
  // next drain, so a block that re-queues itself cannot hold the main thread forever.
  std::deque<WorkItem> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(items_);
  }
  for (const WorkItem &item : batch) item.work(item.context);
  return static_cast<int>(batch.size());
}

bool MainQueue::waitForWork(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                          [this] { return !items_.empty(); });
}

int MainQueue::length() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(items_.size());
}

// Both queues are leaked on purpose: worker threads and late callers may still reach them while
// the process exits.
GlobalQueue &globalQueue() {
  static auto *queue = new GlobalQueue;
  return *queue;
}

MainQueue &mainQueue() {
  static auto *queue = new MainQueue;
  return *queue;
}

}  // namespace xnq::dispatch
