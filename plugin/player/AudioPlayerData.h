// The streaming player's instance record, its play list, and the operations on them that the
// class entries (PlayerClass.cpp), the IO procedure and the benchmarks share.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <cstddef>

#include "frame/REALplugin.h"
#include "os/audio_hardware.h"

// One converted block: sampleCount floats (two per frame for stereo data, left first).
struct PlayItem {
  int32_t sampleCount;
  float *samples;  // heap buffer owned by the item; null when the item is empty
};

constexpr int32_t kPlayListCapacity = 200;

// The instance data of one CoreAudioPlayerXNQ object. The host allocates and zero-fills it; the
// constructor builds it in place, which gives every field its initial value.
struct AudioPlayerData {
  // Written by Start while output is stopped; read by the IO procedure every cycle.
  std::atomic<float> hardwareSampleRate{44100.0f};
  // Written by the host at any time (property); read by the IO procedure once per cycle.
  std::atomic<float> sampleRate{44100.0f};
  // Written by the host at any time (property); read by the IO procedure once per cycle.
  std::atomic<int32_t> numberOfChannels{1};
  // Written true by Start, false by the IO procedure; once the device has gone away (so that no
  // procedure runs any more) also by the device's alive listener and by Start and Stop. Read by
  // host calls and the IO thread.
  std::atomic<uint8_t> isRunning{0};
  // Written by Stop/Close on the host thread; read by the IO procedure at the start of a cycle.
  std::atomic<uint8_t> stopRequested{0};
  // Written by the host (property); read by the IO procedure at an underflow.
  std::atomic<uint8_t> noUnderflow{0};
  // Set true by the IO procedure, cleared only by the host (property); read by the host.
  std::atomic<uint8_t> hadUnderflow{0};
  // Host threads only: read at Start.
  uint32_t outputDeviceID = 0;
  // The device output last ran on, whose alive property the player listens to (0: none). Host
  // threads only: written by Start and Stop, read by them and the Stop handshake.
  AudioDeviceID runningDevice = 0;
  // Written by Start while stopped, then by the IO thread alone while running; never read by the
  // host while running. Eight-byte aligned so the record has the same layout on both builds.
  alignas(8) int64_t itemStart = 0;
  // Written by the IO thread while running (by Start while stopped); read by the host property.
  std::atomic<double> outputPositionRelative{0.0};
  // Written by the IO thread while running (by Start while stopped); read by the host property.
  std::atomic<double> outputPositionAbsolute{0.0};
  // The IO thread alone while running; host threads only while stopped (Start, Stop).
  PlayItem current{0, nullptr};
  // Guarded by playQLock: written by host adds and Stop, read and shifted by the IO thread.
  PlayItem playList[kPlayListCapacity]{};
  // Guarded by playQLock.
  int32_t playListCount = 0;
  // The IO procedure this player registers with its device; constant after construction.
  AudioDeviceIOProc ioProc = nullptr;
};

static_assert(std::atomic<float>::is_always_lock_free && sizeof(std::atomic<float>) == 4);
static_assert(std::atomic<int32_t>::is_always_lock_free && sizeof(std::atomic<int32_t>) == 4);
static_assert(std::atomic<uint8_t>::is_always_lock_free && sizeof(std::atomic<uint8_t>) == 1);
static_assert(std::atomic<double>::is_always_lock_free && sizeof(std::atomic<double>) == 8);
#if defined(__i386__)
static_assert(sizeof(AudioPlayerData) == 1664, "the player record is 1664 bytes on i386");
static_assert(offsetof(AudioPlayerData, outputDeviceID) == 16);
static_assert(offsetof(AudioPlayerData, runningDevice) == 20);
static_assert(offsetof(AudioPlayerData, itemStart) == 24);
static_assert(offsetof(AudioPlayerData, current) == 48);
static_assert(offsetof(AudioPlayerData, playListCount) == 1656);
static_assert(offsetof(AudioPlayerData, ioProc) == 1660);
#endif

// The one lock of the player: guards every player's playList and playListCount.
extern pthread_mutex_t playQLock;

// ---- Queue (PlayQueue.cpp) ----
// Queues item (its buffer is stored or freed; the caller's item is left empty unless it had no
// buffer). clearBuffers first discards everything queued.
bool AddToPlayList(AudioPlayerData *player, PlayItem &item, bool clearBuffers);
// Device IO thread only: the float at an absolute sample index, moving on to queued items.
float GetSample(AudioPlayerData *player, int64_t index);
// Device IO thread only, with playQLock held: makes playList[0] the current item.
bool TakeFirstQueuedItemLocked(AudioPlayerData *player);
// Host thread, output stopped: frees every queued item and the current one.
void EmptyPlayer(AudioPlayerData *player);
// Free play list entries, or -1 when the lock can't be taken.
int32_t FreePlayListEntries(AudioPlayerData *player);

// ---- Sample buffers (PlayedBuffers.cpp) ----
// Host thread: a zero-filled buffer of floatCount floats for a PlayItem, or null when it would be
// empty, over 2^31 - 1 bytes, or can't be allocated.
float *NewPlayBuffer(int64_t floatCount);
// Device IO thread: no allocation, no lock, no host calls. Hands back a buffer made by
// NewPlayBuffer that the IO thread has played; it is freed on the player's reclaimer thread.
void HandBackPlayedBuffer(float *samples);
// Host thread: frees every played buffer handed back and not freed yet.
void FreePlayedBuffers();

// ---- Adding blocks (AddAudio.cpp) ----
bool AddSomeAudio(AudioPlayerData *player, REALmemoryBlock data, int64_t offsetBytes,
                  int64_t countBytes, int64_t bitSize, bool clearBuffers);
bool AddSomeFloatAudio(AudioPlayerData *player, REALmemoryBlock data, int64_t offsetBytes,
                       int64_t countBytes, bool clearBuffers);
bool AddSomeAudioStereo(AudioPlayerData *player, REALmemoryBlock left, REALmemoryBlock right,
                        int64_t offsetBytes, int64_t countBytes, int64_t bitSize,
                        bool clearBuffers);
bool AddSomeFloatAudioStereo(AudioPlayerData *player, REALmemoryBlock left, REALmemoryBlock right,
                             int64_t offsetBytes, int64_t countBytes, bool clearBuffers);

// ---- Device output (DeviceOutput.cpp) ----
void InitPlayer(AudioPlayerData *player);
bool PlaySomeAudio(AudioPlayerData *player);
void StopPlayer(AudioPlayerData *player);
float DefaultDeviceSampleRate();
uint32_t DefaultDeviceChannels();
OSStatus MyPlayIOProc(AudioObjectID inDevice, const AudioTimeStamp *inNow,
                      const AudioBufferList *inInputData, const AudioTimeStamp *inInputTime,
                      AudioBufferList *outOutputData, const AudioTimeStamp *inOutputTime,
                      void *inClientData);
