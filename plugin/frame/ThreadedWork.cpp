// RunThreadedBlocks: long work on another thread while the host's own thread keeps turning over.
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <new>

#include "frame/FrameInternal.h"
#include "os/dispatch.h"
#include "os/timing.h"

ThreadCreator gCreateWorkerThread = pthread_create;

namespace {

// Shared by the waiting thread and the worker. On the dispatch path there is no join, so the
// context is reference counted: the worker may still be leaving the mutex when the waiter sees
// the done flag, and whichever side lets go last frees the context.
struct ThreadContext {
  pthread_t thread{};
  // Separately allocated; null when that allocation failed (the flag is atomic either way).
  pthread_mutex_t *mutex = nullptr;
  // Written by the worker once the work is finished, read by the waiting thread.
  std::atomic<uint8_t> done{0};
  // Written by each side as it lets go of the context.
  std::atomic<int32_t> references{1};
  void *data = nullptr;
  void (*work)(void *) = nullptr;
  void (*idle)(void *) = nullptr;
};

void DestroyMutex(ThreadContext *context) {
  if (context->mutex == nullptr) return;
  pthread_mutex_destroy(context->mutex);
  free(context->mutex);
  context->mutex = nullptr;
}

void Release(ThreadContext *context) {
  if (context->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  DestroyMutex(context);
  delete context;
}

void SetDone(ThreadContext *context) {
  if (context->mutex != nullptr) pthread_mutex_lock(context->mutex);
  context->done.store(1, std::memory_order_release);
  if (context->mutex != nullptr) pthread_mutex_unlock(context->mutex);
}

bool IsDone(ThreadContext *context) {
  if (context->mutex != nullptr) pthread_mutex_lock(context->mutex);
  bool done = context->done.load(std::memory_order_acquire) == 1;
  if (context->mutex != nullptr) pthread_mutex_unlock(context->mutex);
  return done;
}

// Worker thread (a global dispatch queue thread): runs the work, then marks it done.
void DispatchedWork(void *argument) {
  auto *context = static_cast<ThreadContext *>(argument);
  if (context->work != nullptr) context->work(context->data);
  SetDone(context);
  Release(context);
}

// Worker thread (POSIX): runs the work, then marks it done. The waiter joins it.
void *threadfunction(void *argument) {
  auto *context = static_cast<ThreadContext *>(argument);
  if (context->work != nullptr) context->work(context->data);
  SetDone(context);
  return nullptr;
}

void SleepOneMillisecond() {
  AbsoluteTime until = AddDurationToAbsolute(durationMillisecond, UpTime());
  MPDelayUntil(&until);
}

// The calling thread: one yield before the first check, a yield, a 1 ms sleep and the idle
// routine per round, then one more yield and idle call once the work is done.
void WaitForWorker(ThreadContext *context) {
  REALYieldToRB();
  while (!IsDone(context)) {
    REALYieldToRB();
    SleepOneMillisecond();
    if (context->idle != nullptr) context->idle(context->data);
  }
  REALYieldToRB();
  if (context->idle != nullptr) context->idle(context->data);
}

}  // namespace

void RunThreadedBlocks(void *data, void (*work)(void *), void (*idle)(void *)) {
  auto *context = new (std::nothrow) ThreadContext;
  if (context == nullptr) {
    // Not even the context can be made: the work still has to run.
    if (work != nullptr) work(data);
    return;
  }
  context->data = data;
  context->work = work;
  context->idle = idle;
  context->mutex = static_cast<pthread_mutex_t *>(calloc(1, sizeof(pthread_mutex_t)));
  if (context->mutex != nullptr && pthread_mutex_init(context->mutex, nullptr) != 0) {
    free(context->mutex);
    context->mutex = nullptr;
  }

  // Dispatch is linked weakly; a system without it leaves these null.
  if (dispatch_async_f != nullptr && dispatch_get_global_queue != nullptr) {
    context->references.fetch_add(1, std::memory_order_relaxed);  // the worker's
    dispatch_async_f(dispatch_get_global_queue(0, 0), context, DispatchedWork);
    WaitForWorker(context);
    Release(context);
    return;
  }

  pthread_attr_t attributes;
  bool started = false;
  if (pthread_attr_init(&attributes) == 0) {
    pthread_attr_setstacksize(&attributes, 0x200000);
    started = gCreateWorkerThread(&context->thread, &attributes, threadfunction, context) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) {
    DestroyMutex(context);
    if (work != nullptr) work(data);
    Release(context);
    return;
  }
  WaitForWorker(context);
  pthread_join(context->thread, nullptr);
  Release(context);
}
