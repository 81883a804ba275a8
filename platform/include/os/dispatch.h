// Dispatch queues. The functions are linked weakly: a program must compare dispatch_async_f with
// null before it relies on dispatch, because a system may lack it.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dispatch_queue_s *dispatch_queue_t;
typedef void (*dispatch_function_t)(void *context);
typedef long dispatch_queue_priority_t;

#define XNQ_WEAK_IMPORT __attribute__((weak))

XNQ_WEAK_IMPORT dispatch_queue_t dispatch_get_global_queue(long priority, unsigned long flags);
XNQ_WEAK_IMPORT dispatch_queue_t dispatch_get_main_queue(void);
XNQ_WEAK_IMPORT void dispatch_async_f(dispatch_queue_t queue, void *context,
                                      dispatch_function_t work);

// True on the process's main thread.
int pthread_main_np(void);

#ifdef __cplusplus
}
#endif
