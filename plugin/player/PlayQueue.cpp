// The play list shared by host threads (adds, Stop, queue space) and the device IO thread
// (taking the next item), and the IO thread's sample reader.
#include <stdlib.h>
#include <string.h>

#include "player/AudioPlayerData.h"

// Initialised once when the plugin is loaded, before any player exists (see below).
pthread_mutex_t playQLock;

namespace {

// The lock inherits the priority of the IO thread that waits for it: a host thread holding it is
// then not preempted by threads of middle priority while the IO thread waits. A system without
// priority inheritance gets a plain mutex.
struct PlayQLockInitialiser {
  PlayQLockInitialiser() {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) == 0) {
      const bool initialised =
          pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0 &&
          pthread_mutex_init(&playQLock, &attributes) == 0;
      pthread_mutexattr_destroy(&attributes);
      if (initialised) return;
    }
    pthread_mutex_init(&playQLock, nullptr);
  }
} gPlayQLockInitialiser;

// Buffers taken out of the shared state under playQLock and freed after it is released, so the
// IO thread never waits on the lock while a host thread frees memory. Freeing also gives back
// the buffers the IO threads have played, in case no reclaimer thread runs.
struct BuffersToFree {
  float *buffers[kPlayListCapacity + 1];  // the play list and the current item
  int count = 0;

  void add(float *buffer) {
    if (buffer != nullptr) buffers[count++] = buffer;
  }
  void freeAll() {
    for (int i = 0; i < count; ++i) free(buffers[i]);
    count = 0;
    FreePlayedBuffers();
  }
};

void EmptyItem(PlayItem &item) { item = PlayItem{0, nullptr}; }

}  // namespace

bool AddToPlayList(AudioPlayerData *player, PlayItem &item, bool clearBuffers) {
  if (item.samples == nullptr) return false;
  if (pthread_mutex_lock(&playQLock) != 0) {
    free(item.samples);
    EmptyItem(item);
    return false;
  }
  BuffersToFree toFree;
  bool queued = false;
  if (clearBuffers) {
    for (int32_t i = kPlayListCapacity - 1; i >= 0; --i) {
      toFree.add(player->playList[i].samples);
      EmptyItem(player->playList[i]);
    }
    // The item being played is left alone: it plays to its end and the new item follows.
    player->playList[0] = item;
    player->playListCount = 1;
    queued = true;
  } else if (player->playListCount < kPlayListCapacity) {
    player->playList[player->playListCount] = item;
    ++player->playListCount;
    queued = true;
  } else {
    toFree.add(item.samples);  // the queue is full: the block is dropped
  }
  pthread_mutex_unlock(&playQLock);
  EmptyItem(item);
  toFree.freeAll();
  return queued;
}

// Device IO thread, playQLock held: no allocation, no host calls.
bool TakeFirstQueuedItemLocked(AudioPlayerData *player) {
  if (player->playListCount <= 0 || player->playList[0].samples == nullptr) return false;
  player->current = player->playList[0];
  memmove(&player->playList[0], &player->playList[1], sizeof(PlayItem) * (kPlayListCapacity - 1));
  EmptyItem(player->playList[kPlayListCapacity - 1]);
  --player->playListCount;
  player->outputPositionRelative.store(0.0, std::memory_order_relaxed);
  return true;
}

// Device IO thread: no allocation, no lock but playQLock (only when moving to the next item), no
// host calls.
float GetSample(AudioPlayerData *player, int64_t index) {
  PlayItem &current = player->current;
  if (current.samples == nullptr) return 0.0f;
  int64_t rel = index - player->itemStart;
  if (rel < 0) return 0.0f;
  // An index past the current item moves on through as many queued items as it takes, so that
  // the absolute index keeps counting floats across every item and never reads outside one.
  while (rel >= current.sampleCount) {
    player->itemStart += current.sampleCount;
    rel -= current.sampleCount;
    HandBackPlayedBuffer(current.samples);
    EmptyItem(current);
    if (pthread_mutex_lock(&playQLock) != 0) return 0.0f;
    const bool took = TakeFirstQueuedItemLocked(player);
    pthread_mutex_unlock(&playQLock);
    if (!took) return 0.0f;
  }
  return current.samples[rel];
}

void EmptyPlayer(AudioPlayerData *player) {
  BuffersToFree toFree;
  if (pthread_mutex_lock(&playQLock) == 0) {
    for (int32_t i = 0; i < kPlayListCapacity; ++i) {
      toFree.add(player->playList[i].samples);
      EmptyItem(player->playList[i]);
    }
    player->playListCount = 0;
    pthread_mutex_unlock(&playQLock);
  }
  toFree.add(player->current.samples);
  EmptyItem(player->current);
  toFree.freeAll();
}

int32_t FreePlayListEntries(AudioPlayerData *player) {
  if (pthread_mutex_lock(&playQLock) != 0) return -1;
  const int32_t freeEntries = kPlayListCapacity - player->playListCount;
  pthread_mutex_unlock(&playQLock);
  return freeEntries;
}
