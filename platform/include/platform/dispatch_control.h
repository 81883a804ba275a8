// Controls of the dispatch library for the host that drives the process's main thread. Not part
// of the operating-system interface. The host finds these with dlsym in libxnqdispatch, which it
// loads only when dispatch is to be present.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Runs, on the calling thread, every block queued on the main queue before the call (blocks they
// queue run at the next drain). Returns how many ran.
int xnq_dispatch_drain_main_queue(void);
// Waits up to timeoutMs milliseconds for work on the main queue; nonzero if some is queued.
int xnq_dispatch_wait_main_queue(int timeoutMs);
// Blocks queued on the main queue and not yet run.
int xnq_dispatch_main_queue_length(void);

#ifdef __cplusplus
}
#endif
