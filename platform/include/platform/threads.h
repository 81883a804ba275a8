// Controls of the process's threads for hosts and tests. Not part of the operating-system
// interface.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Makes pthread_main_np report the calling thread as the main thread (callingThread nonzero), or
// the process's first thread again (0), for a host whose main loop runs on another thread.
void xnq_set_main_thread(int callingThread);

#ifdef __cplusplus
}
#endif
