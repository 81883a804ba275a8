// InitComponent, OpenComponent, CloseComponent and the release steps: the component state, the
// registration of the sound output component and the converter that feeds the output unit.
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>
#include <utility>

#include "soundstream/QTSoundStreamData.h"

namespace {

constexpr OSType kSubTypeAndMaker = XNQ_FOURCC('Q', 'T', 's', 'o');

// Every state InitComponent made that has not been freed. Handle is the host program's to
// write, so a state is used only while it is one of these: a number that never named a state,
// or names one that another object has freed since, reads as no state. Host threads only.
std::mutex liveStatesLock;
std::unordered_set<const QTSoundStreamState *> liveStates;

// The mixer's output as the converter reads it: 16-bit big-endian signed stereo at 44100 Hz.
AudioStreamBasicDescription MixerFormat() {
  return AudioStreamBasicDescription{
      44100.0,
      kAudioFormatLinearPCM,
      kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
      4,
      1,
      4,
      2,
      16,
      0};
}

// Takes the registration away from the state whose refcon block this was. Instances that are
// still open keep the block and the registration; the last of them to close unregisters it
// (the Close handler), so it stays findable no longer than an instance uses it.
void Withdraw(QTSoundStreamRefcon *refcon) {
  // Held while this thread still reads the block: the last instance may close meanwhile.
  refcon->holders.fetch_add(1);
  refcon->state.store(nullptr);
  while (refcon->stateUsers.load() != 0) std::this_thread::yield();
  UnregisterIfUnused(refcon);
  ReleaseRefcon(refcon);
}

// Both steps of CloseComponent.
void CloseSteps(QTSoundStreamData *data) {
  // The unit is stopped and forgotten; its render callback stays, so a later start renders this
  // state again (silence while nothing is registered). Whoever frees the state takes it off.
  if (data->outputUnit != nullptr) AudioOutputUnitStop(std::exchange(data->outputUnit, nullptr));
  QTSoundStreamState *state = LiveState(data);
  if (state == nullptr || state->component == nullptr) return;
  QTSoundStreamRefcon *refcon = state->refcon.exchange(nullptr);
  // From here on renders play silence; none still reads the block once the one pulling ends.
  WaitForPull(state);
  // What still plays through an open instance no longer reaches this state's units, and no
  // handler reaches this state to clear the flag when that instance closes.
  state->streamActive.store(0);
  state->component = nullptr;
  if (refcon != nullptr) Withdraw(refcon);
}

void DisposeState(QTSoundStreamState *state) {
  {
    std::lock_guard<std::mutex> lock(liveStatesLock);
    liveStates.erase(state);
  }
  DetachAllUnits(state);
  // The converter lives as long as the state.
  if (AudioConverterRef converter = state->converter.load()) AudioConverterDispose(converter);
  delete state;
}

}  // namespace

void WaitForPull(const QTSoundStreamState *state) {
  const uint32_t pass = state->passes.load();
  if ((pass & 1) == 0) return;
  while (state->passes.load() == pass) std::this_thread::yield();
}

void UnregisterIfUnused(QTSoundStreamRefcon *refcon) {
  {
    std::lock_guard<std::mutex> lock(refcon->registrationLock);
    if (refcon->component == nullptr || UnregisterComponent(refcon->component) != noErr) return;
    refcon->component = nullptr;
  }
  ReleaseRefcon(refcon);  // the registration's hold
}

void ReleaseRefcon(QTSoundStreamRefcon *refcon) {
  if (refcon->holders.fetch_sub(1) == 1) delete refcon;
}

QTSoundStreamState *LiveState(const QTSoundStreamData *data) {
  std::lock_guard<std::mutex> lock(liveStatesLock);
  return liveStates.count(data->state) != 0 ? data->state : nullptr;
}

void ReleaseSoundStream(QTSoundStreamData *data) {
  if (data->state == nullptr) return;
  CloseSteps(data);
  if (QTSoundStreamState *state = LiveState(data); state != nullptr && data->release)
    DisposeState(state);
  data->release = false;
  data->state = nullptr;
}

void rbInit(REALobject obj) {
  QTSoundStreamData *data = SoundStream(obj);
  ReleaseSoundStream(data);
  auto *state = new (std::nothrow) QTSoundStreamState{};
  if (state == nullptr) return;
  try {
    std::lock_guard<std::mutex> lock(liveStatesLock);
    liveStates.insert(state);
  } catch (const std::bad_alloc &) {
    delete state;
    return;
  }
  // What the output unit receives: 44100 Hz stereo, 32-bit floats, one buffer per channel.
  state->outputFormat = AudioStreamBasicDescription{
      44100.0,
      kAudioFormatLinearPCM,
      kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
      4,
      1,
      4,
      2,
      32,
      0};
  data->state = state;
  data->release = true;
}

void rbOpen(REALobject obj) {
  QTSoundStreamState *state = LiveState(SoundStream(obj));
  if (state == nullptr || state->component != nullptr) return;
  // The converter comes before the registration, so that it exists before any instance can open
  // and a render pull through it. It lives as long as the state, whether or not this registers.
  if (state->converter.load() == nullptr) {
    AudioStreamBasicDescription source = MixerFormat();
    AudioConverterRef converter = nullptr;
    if (AudioConverterNew(&source, &state->outputFormat, &converter) != noErr) converter = nullptr;
    state->converter.store(converter);
  }
  // The block is made next: a registration must never be left without it. Without memory for
  // it, or for the name, nothing is registered.
  auto *refcon = new (std::nothrow) QTSoundStreamRefcon{};
  if (refcon == nullptr) return;
  refcon->state.store(state);
  refcon->holders.store(1);  // the registration's
  ComponentDescription description{kSoundOutputDeviceType, kSubTypeAndMaker, kSubTypeAndMaker,
                                   k16BitIn | kStereoIn | k16BitOut | kStereoOut, 0};
  Str255 name;
  CopyCStringToPascal("QTSoundStream", name);
  Handle nameHandle = NewString(name);
  if (nameHandle == nullptr) {
    delete refcon;
    return;
  }
  // A global flag of 0 registers the component for this process only.
  state->component = RegisterComponent(&description, sDispatchUPP, 0, nameHandle, nullptr, nullptr);
  DisposeHandle(nameHandle);
  if (state->component != nullptr) {
    refcon->component = state->component;  // before any instance can find the block
    state->refcon.store(refcon);
    SetComponentRefcon(state->component, reinterpret_cast<long>(refcon));
  } else {
    delete refcon;
  }
}

void rbClose(REALobject obj) { CloseSteps(SoundStream(obj)); }
