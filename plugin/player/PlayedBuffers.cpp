// The sample buffers of the play items: made zero-filled on host threads, and given back to the
// allocator soon after the IO thread has played them, without waiting for a host call.
//
// The IO thread must not call free() (the allocator may take locks of its own), so a played
// buffer goes onto a lock-free list that a reclaimer thread of the player's own empties. The
// buffer itself carries the list's link, so handing it back allocates nothing and the list has
// no capacity to run out of. The IO thread wakes the reclaimer with a semaphore post, which takes
// no lock; host threads that add or stop also empty the list, so buffers are given back even
// where no reclaimer thread could be started.
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>

#include <atomic>

#include "player/AudioPlayerData.h"

namespace {

constexpr int64_t kMaxBufferBytes = 0x7FFFFFFF;  // 2^31 - 1

// The link a played buffer carries in its first bytes.
struct PlayedBuffer {
  PlayedBuffer *next;
};
constexpr int64_t kMinFloats = (sizeof(PlayedBuffer) + sizeof(float) - 1) / sizeof(float);

// Played buffers not yet freed, newest first. Pushed by IO threads, taken whole by the reclaimer
// and by host threads.
std::atomic<PlayedBuffer *> gPlayed{nullptr};
static_assert(std::atomic<PlayedBuffer *>::is_always_lock_free);

// Posted by IO threads when the list stops being empty; waited on by the reclaimer.
sem_t gReclaimWake;
// Set once by the host thread that started the reclaimer, read by IO threads before they post.
std::atomic<bool> gReclaimerRunning{false};
pthread_once_t gReclaimerOnce = PTHREAD_ONCE_INIT;

void FreeList(PlayedBuffer *buffer) {
  while (buffer != nullptr) {
    PlayedBuffer *next = buffer->next;
    free(buffer);
    buffer = next;
  }
}

// The reclaimer thread: frees whatever the IO threads handed back, each time one of them says so.
void *Reclaim(void *) {
  for (;;) {
    while (sem_wait(&gReclaimWake) != 0) {
    }
    FreeList(gPlayed.exchange(nullptr, std::memory_order_acquire));
  }
  return nullptr;
}

void StartReclaimer() {
  if (sem_init(&gReclaimWake, 0, 0) != 0) return;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  // It lives as long as the process, as the lock of the play lists does.
  if (pthread_create(&thread, &attributes, Reclaim, nullptr) == 0) {
    gReclaimerRunning.store(true, std::memory_order_release);
  }
  pthread_attr_destroy(&attributes);
}

}  // namespace

float *NewPlayBuffer(int64_t floatCount) {
  if (floatCount < 1 || floatCount > kMaxBufferBytes / 4) return nullptr;
  pthread_once(&gReclaimerOnce, StartReclaimer);
  const int64_t allocated = floatCount < kMinFloats ? kMinFloats : floatCount;
  return static_cast<float *>(calloc(static_cast<size_t>(allocated), sizeof(float)));
}

// Device IO thread: no allocation, no lock, no host calls.
void HandBackPlayedBuffer(float *samples) {
  if (samples == nullptr) return;
  auto *buffer = reinterpret_cast<PlayedBuffer *>(samples);
  PlayedBuffer *head = gPlayed.load(std::memory_order_relaxed);
  do {
    buffer->next = head;
  } while (!gPlayed.compare_exchange_weak(head, buffer, std::memory_order_release,
                                          std::memory_order_relaxed));
  // One post when the list stops being empty: the reclaimer takes the whole list each time.
  if (head == nullptr && gReclaimerRunning.load(std::memory_order_acquire)) {
    sem_post(&gReclaimWake);
  }
}

void FreePlayedBuffers() { FreeList(gPlayed.exchange(nullptr, std::memory_order_acquire)); }
