// Play, Pause, Reset and Playing; the play position, the track's length and rate, and the loop.
// Positions are frames; the host sees seconds through the rate r = total frames ÷ track length
// that the load stored (the decoded frame count against the file's estimated duration).
#include <math.h>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"

namespace {

double FramesPerSecond(const AUPlayerData *player) {
  return static_cast<double>(player->totalFrames) / player->trackLength;
}

// Seconds of a frame: 0 for frame 0, and for every frame while the rate is not a usable number
// (a track length of 0 leaves every time at 0).
double Seconds(double frame, double rate) {
  if (frame == 0 || !isfinite(rate) || rate == 0) return 0;
  return frame / rate;
}

// A loop point in seconds; 0 while it is unset (-1) or at frame 0.
double LoopSeconds(const AUPlayerData *player, double frame) {
  return frame > 0 ? Seconds(frame, FramesPerSecond(player)) : 0;
}

// The frame for a time at the loop points' rate: the rate in single precision.
double LoopFrame(const AUPlayerData *player, double seconds) {
  const double rate = Single(FramesPerSecond(player));
  return TruncatedLow32(rate * seconds);
}

Boolean GraphIsRunning(AUPlayerData *player) {
  Boolean running = false;
  SetLasterror(player, AUGraphIsRunning(player->graph, &running));
  return running;
}

}  // namespace

void Start(REALobject obj) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  if (player->graph == nullptr) return;
  if (!GraphIsRunning(player)) SetLasterror(player, AUGraphStart(player->graph));
}

// Pause: the position stays where the render left it.
void Stop(REALobject obj) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  if (player->graph == nullptr) return;
  if (GraphIsRunning(player)) SetLasterror(player, AUGraphStop(player->graph));
}

// Clears the processing units' state; the converter, the position and the running state stay.
void Reset(REALobject obj) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  for (AudioUnit unit :
       {player->mixerUnit.load(), player->timePitchUnit.load(), player->varispeedUnit.load(),
        player->equalizerUnit.load(), player->outputUnit.load()}) {
    if (unit != nullptr) SetLasterror(player, AudioUnitReset(unit, kAudioUnitScope_Global, 0));
  }
}

// Asks the platform also without a graph: its status for a missing graph reaches Lasterror, and
// the answer is false.
RBBoolean isPlaying(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  Boolean running = false;
  OSStatus status = AUGraphIsRunning(player->graph, &running);
  SetLasterror(player, status);
  return status == noErr && running;
}

void setPlaying(REALobject obj, RBInteger, RBBoolean value) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  const bool running = GraphIsRunning(player);
  if (running && !value) SetLasterror(player, AUGraphStop(player->graph));
  if (!running && value) SetLasterror(player, AUGraphStart(player->graph));
}

double getCurrentTime(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  const uint32_t position = player->playPosition.load(std::memory_order_relaxed);
  return Seconds(position, FramesPerSecond(player));
}

// No clamping: a position past the end makes the next slice silent, and the render then holds
// the position at the end.
void setCurrentTime(REALobject obj, RBInteger, double seconds) {
  AUPlayerData *player = AUPlayer(obj);
  player->playPosition.store(TruncatedLow32(FramesPerSecond(player) * seconds),
                             std::memory_order_relaxed);
}

double getTrackLength(REALobject obj, RBInteger) { return AUPlayer(obj)->trackLength; }

double getSampleRate(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  return player->sampleRate;
}

double getLoopIn(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  return LoopSeconds(player, player->loopInFrame.load(std::memory_order_relaxed));
}

// Keeps loop-in ≤ loop-out: a loop-in beyond the loop-out (or before any loop-out) moves the
// loop-out with it.
void setLoopIn(REALobject obj, RBInteger, double seconds) {
  AUPlayerData *player = AUPlayer(obj);
  const double frame = LoopFrame(player, seconds);
  player->loopInFrame.store(frame, std::memory_order_relaxed);
  if (frame > player->loopOutFrame.load(std::memory_order_relaxed)) {
    player->loopOutFrame.store(frame, std::memory_order_relaxed);
  }
}

double getLoopOut(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  return LoopSeconds(player, player->loopOutFrame.load(std::memory_order_relaxed));
}

// A loop-out before the loop-in is moved up to the loop-in.
void setLoopOut(REALobject obj, RBInteger, double seconds) {
  AUPlayerData *player = AUPlayer(obj);
  const double frame = LoopFrame(player, seconds);
  const double loopIn = player->loopInFrame.load(std::memory_order_relaxed);
  player->loopOutFrame.store(loopIn > frame ? TruncatedLow32(loopIn) : frame,
                             std::memory_order_relaxed);
}

RBBoolean isLooping(REALobject obj, RBInteger) {
  return AUPlayer(obj)->Looping.load(std::memory_order_relaxed);
}

// Looping stays off until both loop points are set, in order.
void setLooping(REALobject obj, RBInteger, RBBoolean value) {
  AUPlayerData *player = AUPlayer(obj);
  player->Looping.store(value != 0, std::memory_order_relaxed);
  const double loopIn = player->loopInFrame.load(std::memory_order_relaxed);
  const double loopOut = player->loopOutFrame.load(std::memory_order_relaxed);
  if (loopOut == -1.0 || loopIn == -1.0 || loopIn > loopOut) {
    player->Looping.store(0, std::memory_order_relaxed);
  }
}
