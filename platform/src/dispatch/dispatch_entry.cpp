// The dispatch interface and the host's controls of the main queue.
#include "dispatch/work_queue.h"
#include "platform/dispatch_control.h"

using xnq::dispatch::globalQueue;
using xnq::dispatch::mainQueue;

extern "C" {

// Every priority shares one pool of workers.
dispatch_queue_t dispatch_get_global_queue(long, unsigned long) { return &globalQueue(); }

dispatch_queue_t dispatch_get_main_queue(void) { return &mainQueue(); }

void dispatch_async_f(dispatch_queue_t queue, void *context, dispatch_function_t work) {
  if (queue == nullptr || work == nullptr) return;
  queue->enqueue(context, work);
}

int xnq_dispatch_drain_main_queue(void) { return mainQueue().drain(); }

int xnq_dispatch_wait_main_queue(int timeoutMs) {
  return mainQueue().waitForWork(timeoutMs) ? 1 : 0;
}

int xnq_dispatch_main_queue_length(void) { return mainQueue().length(); }

}  // extern "C"
