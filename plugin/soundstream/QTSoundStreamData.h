// The records of QTSoundStreamXNQ: the host object's instance record, the component state it
// owns, the refcon block the registered component carries, and the storage of each open
// component instance. Shared by the class entries, the dispatch handlers and the render side.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "frame/frame.h"
#include "os/audio_converter.h"
#include "os/audio_unit.h"
#include "os/sound_manager.h"

struct QTSoundStreamState;
struct QTSoundStreamGlobals;

// Installed as the registered component's refcon.
struct QTSoundStreamRefcon {
  // Written by host threads (cleared when the object withdraws the registration); read by the
  // dispatch handlers on the Sound Manager's threads, inside a StateUse.
  std::atomic<QTSoundStreamState *> state;
  // Written by the Open and Close handlers (Sound Manager threads); read by the render thread.
  std::atomic<QTSoundStreamGlobals *> globals;
  // Handlers reading state, counted so that the host thread can wait for them before the state
  // goes away.
  std::atomic<uint32_t> stateUsers;
  // The registration while the component is registered, and every open instance's storage: the
  // last of them to let go frees the block.
  std::atomic<uint32_t> holders;
  // The registration this block belongs to, until it is unregistered; under registrationLock.
  // Host threads and the Close handler both try to unregister it, and only the one that finds it
  // still here may use the handle: once unregistered, the handle may name a later registration.
  std::mutex registrationLock;
  Component component;
};

// A unit input whose render callback reads a state.
struct AttachedInput {
  AudioUnit unit;
  UInt32 element;
};

struct QTSoundStreamState {
  // Host threads only.
  Component component;
  // Written by the host thread (OpenComponent) before any instance opens; read by the render
  // thread.
  std::atomic<AudioConverterRef> converter;
  AudioStreamBasicDescription outputFormat;
  // Written by host threads (OpenComponent, CloseComponent); read by the render thread.
  std::atomic<QTSoundStreamRefcon *> refcon;
  // Written by the dispatch handlers (Sound Manager threads); read by host threads.
  std::atomic<uint8_t> streamActive;
  // Host threads only.
  uint8_t postsStatusNotifications;
  // Set by the render that pulls the mixer through the converter, so that only one does at a
  // time; a render of the state meanwhile writes silence.
  std::atomic_flag pulling;
  // Incremented by the pulling render as it starts and as it ends, odd in between: what the
  // Sound Manager's and host threads wait on before freeing what a render reads.
  std::atomic<uint32_t> passes;
  // Render callbacks in progress, pulling or not: the state is freed only when none is.
  std::atomic<uint32_t> renders;
  // Every unit input attached to the state, whichever object attached it, so that whoever frees
  // the state can stop them first. Host threads, under unitsLock.
  std::mutex unitsLock;
  std::vector<AttachedInput> units;
};

// Instance storage of one open component instance.
struct QTSoundStreamGlobals {
  // Written by the InitOutputDevice handler (Sound Manager thread); read by the render thread.
  std::atomic<ComponentInstance> mixer;
  // Render thread only: the current buffer and the mixer it came from.
  SoundComponentData *sourceData;
  ComponentInstance sourceMixer;
  SoundComponentData outputDescription;
  ComponentInstance instance;
  QTSoundStreamRefcon *refcon;
};

// The host object's instance data. Handle and Release are the host's standard accessors, so
// state is a host word and release one byte.
struct QTSoundStreamData {
  QTSoundStreamState *state;
  RBBoolean release;
  AudioUnit outputUnit;
  int32_t status;
};

#if defined(__i386__)
static_assert(sizeof(QTSoundStreamData) == 16, "QTSoundStreamXNQ instance data is 16 bytes");
static_assert(offsetof(QTSoundStreamData, outputUnit) == 8, "release is one byte in a word");
static_assert(sizeof(SoundComponentData) == 28, "the mixer's record is 28 bytes");
#endif
static_assert(sizeof(std::atomic<QTSoundStreamGlobals *>) == sizeof(void *) &&
                  std::atomic<QTSoundStreamGlobals *>::is_always_lock_free,
              "shared pointers are single lock-free words");

extern REALclassDefinition QTSoundStreamClass;

inline QTSoundStreamData *SoundStream(REALobject obj) {
  return InstanceData<QTSoundStreamData>(QTSoundStreamClass, obj);
}

// The class's operations (ComponentRegistration.cpp).
void rbInit(REALobject obj);
void rbOpen(REALobject obj);
void rbClose(REALobject obj);
void ReleaseSoundStream(QTSoundStreamData *data);
// The object's state, or null when it has none or Handle names no state that is alive.
QTSoundStreamState *LiveState(const QTSoundStreamData *data);
// Returns once no render that may have read the state's refcon block, its instance storage or
// the storage's mixer before they changed is still pulling.
void WaitForPull(const QTSoundStreamState *state);
// Unregisters the block's component if no instance of it is open any more (an instance in its
// Close handler no longer counts), letting go of the registration's hold.
void UnregisterIfUnused(QTSoundStreamRefcon *refcon);
// Lets go of one hold on a refcon block, freeing it with the last.
void ReleaseRefcon(QTSoundStreamRefcon *refcon);

// The component side (ComponentDispatch.cpp).
ComponentResult QTSoundStreamDispatch(ComponentParameters *params, Handle storage);

// The audio unit side (AudioUnitRendering.cpp). Its methods share names with CoreAudioXNQ's
// unit calls, so they live in a namespace of their own.
namespace soundstream {
RBInteger OpenDefaultAudioUnitOutputComponent(REALobject obj);
RBInteger AttachToAudioUnitComponent2(REALobject obj, RBInteger handle);
RBInteger AttachToAudioUnitComponent3(REALobject obj, RBInteger handle, RBInteger element);
RBInteger rbAudioUnitInitialize(REALobject obj, RBInteger handle);
RBInteger rbAudioOutputUnitStart(REALobject obj, RBInteger handle);
}  // namespace soundstream
// Stops every unit input still rendering from the state and takes its callback off, then waits
// for the renders in progress: after this no unit reaches the state.
void DetachAllUnits(QTSoundStreamState *state);
