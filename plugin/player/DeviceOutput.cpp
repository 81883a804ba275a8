// Device output of the streaming player: construction, Start, the Stop handshake, the IO
// procedure that resamples the queued floats into the device's buffers, and the queries of the
// default output device.
#include <string.h>

#include <cmath>
#include <new>

#include "os/timing.h"
#include "player/AudioPlayerData.h"

namespace {

bool DefaultOutputDevice(AudioDeviceID *device) {
  AudioDeviceID id = 0;
  UInt32 size = sizeof id;
  if (AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &id) != 0) {
    return false;
  }
  *device = id;
  return true;
}

bool ReadOutputFormat(AudioDeviceID device, AudioStreamBasicDescription *format) {
  memset(format, 0, sizeof *format);
  UInt32 size = sizeof *format;
  return AudioDeviceGetProperty(device, 0, false, kAudioDevicePropertyStreamFormat, &size,
                                format) == 0;
}

// Whether a device has gone away. The audio hardware reports a device as gone (unknown, or no
// longer alive) only once none of its IO procedures runs any more, so a procedure it ran will never
// clear isRunning itself and the record is the host's again.
bool DeviceGone(AudioDeviceID device) {
  UInt32 alive = 0;
  UInt32 size = sizeof alive;
  return AudioDeviceGetProperty(device, 0, false, kAudioDevicePropertyDeviceIsAlive, &size,
                                &alive) != 0 ||
         alive == 0;
}

bool OutputDeviceGone(const AudioPlayerData *player) { return DeviceGone(player->runningDevice); }

const AudioObjectPropertyAddress kDeviceIsAlive = {kAudioDevicePropertyDeviceIsAlive,
                                                   kAudioObjectPropertyScopeGlobal,
                                                   kAudioObjectPropertyElementMaster};

// The audio hardware's notification thread (never an IO or a host thread): no allocation, no lock,
// no host call. A device that goes away stops calling the procedure without a cycle that could
// clear isRunning, so this does what the procedure does when it stops the device: a program that
// polls IsRunning learns that playback has ended.
OSStatus OutputDeviceAliveChanged(AudioObjectID device, UInt32, const AudioObjectPropertyAddress *,
                                  void *clientData) {
  if (DeviceGone(device)) {
    static_cast<AudioPlayerData *>(clientData)->isRunning.store(0, std::memory_order_release);
  }
  return 0;
}

// Host thread: stops listening to the device output last ran on. Removing the listener waits out
// a call of it in progress, so afterwards no notification touches the record.
void StopListening(AudioPlayerData *player) {
  if (player->runningDevice == 0) return;
  AudioObjectRemovePropertyListener(player->runningDevice, &kDeviceIsAlive,
                                    OutputDeviceAliveChanged, player);
  player->runningDevice = 0;
}

// Device IO thread: no allocation, no locks, no host calls.
void ZeroBuffers(AudioBufferList *out) {
  if (out == nullptr) return;
  for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
    if (out->mBuffers[b].mData != nullptr) {
      memset(out->mBuffers[b].mData, 0, out->mBuffers[b].mDataByteSize);
    }
  }
}

// Device IO thread: no allocation, no host calls; stopping and removing itself are the device
// calls an IO procedure may make. The device stops calling the procedure once it is removed;
// isRunning goes false last, as the sign for Stop that this thread no longer touches the record.
void StopFromIOThread(AudioPlayerData *player, AudioObjectID device) {
  AudioDeviceStop(device, player->ioProc);
  AudioDeviceRemoveIOProc(device, player->ioProc);
  player->isRunning.store(0, std::memory_order_release);
}

// Device IO thread: no allocation, no host calls. A cycle without data: silence, and either the
// stop or, with noUnderflow, the underflow flag and a device that keeps running.
OSStatus Underflow(AudioPlayerData *player, AudioObjectID device, AudioBufferList *out) {
  ZeroBuffers(out);
  if (player->noUnderflow.load(std::memory_order_relaxed)) {
    player->hadUnderflow.store(1, std::memory_order_relaxed);
  } else {
    StopFromIOThread(player, device);
  }
  return 0;
}

// Frames of this cycle, from buffer 0. A list without buffers, or whose first buffer has no
// channels, has none (instead of dividing by zero).
UInt32 CycleFrames(const AudioBufferList *out) {
  if (out == nullptr || out->mNumberBuffers == 0 || out->mBuffers[0].mNumberChannels == 0) {
    return 0;
  }
  return (out->mBuffers[0].mDataByteSize / 4) / out->mBuffers[0].mNumberChannels;
}

// The float frame f of buffer, or null when the buffer has no data or ends before that frame
// (buffers may be smaller than buffer 0; nothing is written past any buffer's end).
inline float *FrameAt(const AudioBuffer &buffer, UInt32 f) {
  const size_t channels = buffer.mNumberChannels;
  if (channels == 0 || buffer.mData == nullptr) return nullptr;
  if ((static_cast<size_t>(f) + 1) * channels > buffer.mDataByteSize / sizeof(float)) {
    return nullptr;
  }
  return static_cast<float *>(buffer.mData) + static_cast<size_t>(f) * channels;
}

// The integer read position. It truncates toward zero, to 64 bits rather than 32, so a stream
// longer than 2^31 frames keeps addressing the right samples; positions beyond +-2^60 (decades
// of audio) are clamped so that 2 i + 3 can never overflow.
inline int64_t FrameIndex(double pos) {
  constexpr double kLimit = 0x1p60;
  if (pos >= kLimit) return static_cast<int64_t>(kLimit);
  if (!(pos > -kLimit)) return -static_cast<int64_t>(kLimit);
  return static_cast<int64_t>(pos);
}

// Device IO thread: no allocation, no lock but playQLock (inside GetSample), no host calls.
// The samples and the relative position of one cycle. A sample inside the current item is read
// directly; only a move to another item goes through GetSample, which may restart the relative
// position, so the position is kept here and exchanged with the record around that call.
class CycleReader {
 public:
  explicit CycleReader(AudioPlayerData *player)
      : player_(player),
        relative_(player->outputPositionRelative.load(std::memory_order_relaxed)) {}
  ~CycleReader() { player_->outputPositionRelative.store(relative_, std::memory_order_relaxed); }

  float sample(int64_t index) {
    const PlayItem &current = player_->current;
    const int64_t rel = index - player_->itemStart;
    if (current.samples != nullptr && rel >= 0 && rel < current.sampleCount) {
      return current.samples[rel];
    }
    player_->outputPositionRelative.store(relative_, std::memory_order_relaxed);
    const float value = GetSample(player_, index);
    relative_ = player_->outputPositionRelative.load(std::memory_order_relaxed);
    return value;
  }
  void advance(double step) { relative_ += step; }

 private:
  AudioPlayerData *player_;
  double relative_;
};

// Device IO thread: no allocation, no lock but playQLock (inside GetSample), no host calls.
// Interleaved left/right data: channel 0 left, channel 1 right, further channels untouched.
double RenderStereo(AudioPlayerData *player, AudioBufferList *out, UInt32 frames, double step,
                    double pos) {
  CycleReader reader(player);
  float l0 = 0.0f, r0 = 0.0f, l1 = 0.0f, r1 = 0.0f;
  int64_t cachedIndex = -10;
  for (UInt32 f = 0; f < frames; ++f) {
    const int64_t i = FrameIndex(pos);
    const int64_t k = 2 * i;
    if (k != cachedIndex) {
      l0 = reader.sample(k);
      r0 = reader.sample(k + 1);
      l1 = reader.sample(k + 2);
      r1 = reader.sample(k + 3);
      cachedIndex = k;
    }
    reader.advance(step);
    const float t = static_cast<float>(pos - static_cast<double>(i));
    const float left = t * l1 + (1.0f - t) * l0;
    const float right = t * r1 + (1.0f - t) * r0;
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
      float *frame = FrameAt(out->mBuffers[b], f);
      if (frame == nullptr) continue;
      if (out->mBuffers[b].mNumberChannels >= 2) {
        frame[0] = left;
        frame[1] = right;
      } else {
        // A one-channel buffer gets the mix of both sides: writing left and right as a pair
        // would overlap the next frame and pass the buffer's end at the last one.
        frame[0] = 0.5f * (left + right);
      }
    }
    pos += step;
  }
  return pos;
}

// Device IO thread: no allocation, no lock but playQLock (inside GetSample), no host calls.
// One sample per frame, written to every channel of every buffer.
double RenderMono(AudioPlayerData *player, AudioBufferList *out, UInt32 frames, double step,
                  double pos) {
  CycleReader reader(player);
  float s0 = 0.0f, s1 = 0.0f;
  int64_t cachedIndex = -11111111;
  for (UInt32 f = 0; f < frames; ++f) {
    const int64_t i = FrameIndex(pos);
    if (i != cachedIndex) {
      s0 = reader.sample(i);
      s1 = reader.sample(i + 1);
      cachedIndex = i;
    }
    reader.advance(step);
    const double t = pos - static_cast<double>(i);
    const float v = static_cast<float>(t * s1 + (1.0 - t) * s0);
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
      float *frame = FrameAt(out->mBuffers[b], f);
      if (frame == nullptr) continue;
      for (UInt32 c = 0; c < out->mBuffers[b].mNumberChannels; ++c) frame[c] = v;
    }
    pos += step;
  }
  return pos;
}

}  // namespace

void InitPlayer(AudioPlayerData *player) {
  // Builds the record in the host's zero-filled memory; the member initialisers are the
  // initial values (positions 0, both rates 44100, one channel, nothing queued).
  new (player) AudioPlayerData();
  player->ioProc = MyPlayIOProc;
}

bool PlaySomeAudio(AudioPlayerData *player) {
  if (player->isRunning.load(std::memory_order_acquire)) {
    if (!OutputDeviceGone(player)) return true;
    // Output stopped with a device that went away: start afresh.
    player->isRunning.store(0, std::memory_order_release);
  }
  StopListening(player);
  player->outputPositionRelative.store(0.0, std::memory_order_relaxed);
  player->outputPositionAbsolute.store(0.0, std::memory_order_relaxed);
  player->itemStart = 0;
  AudioDeviceID device = player->outputDeviceID;
  if (device == 0 && !DefaultOutputDevice(&device)) return false;
  AudioStreamBasicDescription format;
  if (!ReadOutputFormat(device, &format)) return false;
  player->hardwareSampleRate.store(static_cast<float>(format.mSampleRate),
                                   std::memory_order_relaxed);
  if (AudioDeviceAddIOProc(device, player->ioProc, player) != 0) return false;
  // Listening starts before the device does, so a device that goes away at any moment after the
  // start is heard of; one that went away before it fails the listener or the start.
  if (AudioObjectAddPropertyListener(device, &kDeviceIsAlive, OutputDeviceAliveChanged, player) !=
      0) {
    AudioDeviceRemoveIOProc(device, player->ioProc);
    return false;
  }
  player->runningDevice = device;
  // Running is announced before the device starts, so the first cycle already sees it.
  player->isRunning.store(1, std::memory_order_release);
  if (AudioDeviceStart(device, player->ioProc) == 0) return true;
  // The device did not start, so the procedure will never run to clear isRunning: undo the
  // registration and the flag here, so that Stop, Close and a later Start don't wait for it.
  AudioDeviceRemoveIOProc(device, player->ioProc);
  player->isRunning.store(0, std::memory_order_release);
  StopListening(player);
  return false;
}

void StopPlayer(AudioPlayerData *player) {
  player->stopRequested.store(1, std::memory_order_release);
  while (player->isRunning.load(std::memory_order_acquire)) {
    // A device that went away, before or during the wait, never runs the procedure again.
    if (OutputDeviceGone(player)) {
      player->isRunning.store(0, std::memory_order_release);
      break;
    }
    UInt32 finalTicks = 0;
    Delay(1, &finalTicks);
  }
  player->stopRequested.store(0, std::memory_order_release);
  StopListening(player);
  EmptyPlayer(player);
}

float DefaultDeviceSampleRate() {
  AudioDeviceID device = 0;
  AudioStreamBasicDescription format;
  if (!DefaultOutputDevice(&device) || !ReadOutputFormat(device, &format)) return 0.0f;
  return static_cast<float>(format.mSampleRate);
}

uint32_t DefaultDeviceChannels() {
  AudioDeviceID device = 0;
  AudioStreamBasicDescription format;
  if (!DefaultOutputDevice(&device) || !ReadOutputFormat(device, &format)) return 0;
  return format.mChannelsPerFrame;
}

// Device IO thread, once per cycle: no allocation, no lock but playQLock, no host calls.
OSStatus MyPlayIOProc(AudioObjectID inDevice, const AudioTimeStamp *, const AudioBufferList *,
                      const AudioTimeStamp *, AudioBufferList *outOutputData,
                      const AudioTimeStamp *, void *inClientData) {
  auto *player = static_cast<AudioPlayerData *>(inClientData);
  if (player == nullptr) return 0;
  const UInt32 frames = CycleFrames(outOutputData);

  if (player->stopRequested.load(std::memory_order_acquire)) {
    ZeroBuffers(outOutputData);
    StopFromIOThread(player, inDevice);
    return 0;
  }

  if (player->current.samples == nullptr) {
    bool took = false;
    if (pthread_mutex_lock(&playQLock) == 0) {
      // The new item starts where the absolute index stands: itemStart is left as it is.
      took = TakeFirstQueuedItemLocked(player);
      pthread_mutex_unlock(&playQLock);
    }
    if (!took) return Underflow(player, inDevice, outOutputData);
  }

  const float rateRatio = player->sampleRate.load(std::memory_order_relaxed) /
                          player->hardwareSampleRate.load(std::memory_order_relaxed);
  const double step = rateRatio;
  // A step of NaN or infinity (a host rate of NaN or infinity, a device without a rate) names no
  // position to read: the cycle has no data, as when the queue runs dry. The queue is kept, so a
  // usable rate set later plays on from where the player stood.
  if (!std::isfinite(step)) return Underflow(player, inDevice, outOutputData);
  double pos = player->outputPositionAbsolute.load(std::memory_order_relaxed);
  if (outOutputData == nullptr) return 0;
  if (player->numberOfChannels.load(std::memory_order_relaxed) == 2) {
    pos = RenderStereo(player, outOutputData, frames, step, pos);
  } else {
    pos = RenderMono(player, outOutputData, frames, step, pos);
  }
  player->outputPositionAbsolute.store(pos, std::memory_order_relaxed);
  return 0;
}
