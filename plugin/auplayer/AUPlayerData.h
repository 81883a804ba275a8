// The file player's instance record, the decoded file it owns, the record that carries one load
// to its worker, and the operations that the player's files share.
#pragma once

#include <float.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "frame/frame.h"
#include "os/au_graph.h"

// The decoded file: interleaved 32-bit floats in the client format. The load worker fills it
// before the graph exists and leaves it alone afterwards, so the render thread reads it without a
// lock; while the load runs, the worker changes samples, frames and byteSize, and host threads read
// them, only under gLoadLock.
struct AudioFileBuffer {
  uint32_t frames;                     // frames decoded so far
  AudioStreamBasicDescription format;  // a copy of the client format
  float *samples;                      // owned; null when nothing is loaded
  uint32_t byteSize;                   // channels × frames × 4: the bytes decoded
};

// The instance data of one AUPlayerXNQ object. The host allocates it zero-filled; the
// constructor builds it in place. Fields that the host reads or writes by itself (the standard
// accessor) are host words or single bytes at the positions the property table takes from
// offsetof; "Integer" fields are host words, so they are 32 bits wide on i386 and 64 on x86-64.
struct AUPlayerData {
  // Written by the load's worker, read by host threads (during LoadFileMT too). Hz and seconds;
  // 0 until a load has read the file's duration.
  std::atomic<double> sampleRate;
  std::atomic<double> trackLength;
  // Frames, -1.0 when unset. Written by host threads (LoopIn, LoopOut, a load); read by the
  // render thread once per slice.
  std::atomic<double> loopInFrame;
  std::atomic<double> loopOutFrame;
  RBInteger TimePitchUnit;  // 0 until the first setTimePitchUnit, then 1 or 2
  RBInteger OutputUnit;     // the output unit the next load puts into the graph
  REALobject Tag;           // a host Variant, free for the host program
  RBBoolean DataIsInterleaved;
  REALfolderItem File;  // the folder item of the last load call, locked by the plugin
  RBBoolean DataIsFloat;
  RBInteger Lasterror;
  RBBoolean DataIsNativeEndian;
  REALstring ClientFormatString;
  RBBoolean DataIsSignedInteger;
  REALstring OutputFormatString;
  RBBoolean DataIsPCM;
  RBInteger DataNumberInterleavedChannels;
  RBInteger DataNumberChannelStreams;
  RBInteger DataNumberChannels;
  RBInteger DataSampleWordSize;
  RBInteger MaximumFramesPerSlice;  // 0 leaves the units' own maximum
  // The graph and its units. The host program may overwrite each handle; what it writes is used
  // as a handle from then on. Written by the load's worker (on another thread during LoadFileMT)
  // and the host's accessor; read by host calls.
  std::atomic<AUGraph> graph;
  std::atomic<AudioUnit> converterUnit;
  std::atomic<AudioUnit> outputUnit;
  std::atomic<AudioUnit> timePitchUnit;
  std::atomic<AudioUnit> varispeedUnit;
  std::atomic<AudioUnit> mixerUnit;
  std::atomic<AudioUnit> equalizerUnit;
  AudioStreamBasicDescription *clientFormat;  // owned: the decoded samples and converter input
  AudioStreamBasicDescription *outputFormat;  // owned: between the processing units
  AUNode outputNode;
  AUNode timePitchNode;
  AUNode varispeedNode;
  AUNode equalizerNode;
  AUNode mixerNode;
  AUNode converterNode;
  // The next frame renderInput reads. Written by host threads (CurrentTime, a load) and by the
  // render thread after every slice; read by both.
  std::atomic<uint32_t> playPosition;
  // Written by the load's worker before the graph exists; read by host threads (during
  // LoadFileMT too) and by the render thread.
  std::atomic<uint32_t> totalFrames;
  AudioFileBuffer *decodedAudio;  // owned
  // Written by host threads (Looping, a load); read by the render thread once per slice.
  std::atomic<uint8_t> Looping;
  uint8_t loaded;  // a load has been attempted; no further load is accepted
  // The graph this object built, whatever the host program later writes into GraphHandle: the
  // destructor disposes this one, so that no render can outlive the samples it reads.
  AUGraph builtGraph;
};

static_assert(std::atomic<double>::is_always_lock_free && sizeof(std::atomic<double>) == 8);
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4);
static_assert(std::atomic<uint8_t>::is_always_lock_free && sizeof(std::atomic<uint8_t>) == 1);
static_assert(std::atomic<AudioUnit>::is_always_lock_free &&
              sizeof(std::atomic<AudioUnit>) == sizeof(AudioUnit));
#if defined(__i386__)
static_assert(sizeof(AUPlayerData) == 184, "the file player record is 184 bytes on i386");
static_assert(offsetof(AUPlayerData, loopInFrame) == 16 && offsetof(AUPlayerData, Tag) == 40);
static_assert(offsetof(AUPlayerData, File) == 48 && offsetof(AUPlayerData, Lasterror) == 56);
static_assert(offsetof(AUPlayerData, ClientFormatString) == 64 &&
              offsetof(AUPlayerData, OutputFormatString) == 72);
static_assert(offsetof(AUPlayerData, DataNumberInterleavedChannels) == 80 &&
              offsetof(AUPlayerData, MaximumFramesPerSlice) == 96);
static_assert(offsetof(AUPlayerData, graph) == 100 && offsetof(AUPlayerData, equalizerUnit) == 124);
static_assert(offsetof(AUPlayerData, outputNode) == 136 &&
              offsetof(AUPlayerData, playPosition) == 160);
static_assert(offsetof(AUPlayerData, decodedAudio) == 168 && offsetof(AUPlayerData, loaded) == 173);
#endif

// One load, from LoadFileIntern to its worker. Lives on the caller's stack for the call; the
// worker writes the flags, the status and the description, the caller reads them after the
// worker has returned.
struct LoadFileRequest {
  int32_t InputChannels;
  int32_t OutputChannels;
  AUPlayerData *player;
  uint8_t outOfMemory;
  uint8_t success;
  CFURLRef fileURL;  // created and released by LoadFileIntern
  // The status the worker last stored in Lasterror: stored there once more when the load returns,
  // so that host code run meanwhile (during LoadFileMT's yields) does not have the last word.
  OSStatus status;
  // Set once the worker has a buffer for the client format: the calling thread then describes
  // that format in the Data... fields and stores the two texts (owned until then), since host
  // code may read those fields during the yields and the worker must not change them under it.
  uint8_t described;
  AudioStreamBasicDescription clientFormat;
  REALstring clientFormatText;
  REALstring outputFormatText;
};

// Held by a load's worker while it publishes what host threads may use during LoadFileMT (the
// decoded buffer as it grows, the rate units until the unit not chosen is bypassed), and by the
// host-thread entries that use it (Data, setTimePitchUnit). One for every player: it is held only
// for moments, and never by the render thread. Never held across a call into the host, except by
// Data while it copies into the block it makes.
extern std::mutex gLoadLock;

extern REALclassDefinition AUPlayerClass;

inline AUPlayerData *AUPlayer(REALobject obj) {
  return InstanceData<AUPlayerData>(AUPlayerClass, obj);
}

// Lasterror holds a framework status sign-extended to the host word; -1 before the first call of
// an operation. A single store: during LoadFileMT the worker and host calls both write it.
inline void SetLasterror(AUPlayerData *player, OSStatus status) {
  std::atomic_ref<RBInteger>(player->Lasterror).store(status, std::memory_order_relaxed);
}

// The load worker (LoadWorker.cpp) and its graph part (BuildGraph.cpp). The worker keeps each
// status in Lasterror and in the request.
void LoadFileInternal(void *request);
void Report(LoadFileRequest *request, OSStatus status);
bool BuildGraph(LoadFileRequest *request);

// The converter's input callback (RenderInput.cpp).
OSStatus renderInput(void *inRefCon, AudioUnitRenderActionFlags *ioActionFlags,
                     const AudioTimeStamp *inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                     AudioBufferList *ioData);

// The low 32 bits of a value truncated toward zero to a signed 64-bit integer, as frame numbers
// are made from times; a value that is not finite or does not fit gives 0.
uint32_t TruncatedLow32(double value);

// A Double in single precision, as values travel to the units. One beyond the float range is
// infinite (casting it is undefined), so that the unit's own range check refuses it.
inline float Single(double value) {
  if (value > FLT_MAX) return INFINITY;
  if (value < -FLT_MAX) return -INFINITY;
  return static_cast<float>(value);
}
