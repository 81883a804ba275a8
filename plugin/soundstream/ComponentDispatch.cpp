// The registered sound output component: its dispatch routine and handlers. The Component
// Manager calls them on whatever thread the Sound Manager uses; most of the work goes to the
// Sound Manager's mixer, which the init-output-device handler opens.
#include <cstring>
#include <new>

#include "soundstream/QTSoundStreamData.h"

namespace {

constexpr UnsignedFixed kRate44100 = 0xAC440000u;
constexpr short kChannels = 2;
constexpr short kSampleSize = 16;

// The state a refcon block points at, held so that the host thread does not free it meanwhile.
class StateUse {
 public:
  explicit StateUse(QTSoundStreamRefcon *refcon) : refcon_(refcon) {
    if (refcon_ == nullptr) return;
    refcon_->stateUsers.fetch_add(1);
    state_ = refcon_->state.load();
  }
  ~StateUse() {
    if (refcon_ != nullptr) refcon_->stateUsers.fetch_sub(1);
  }
  StateUse(const StateUse &) = delete;
  StateUse &operator=(const StateUse &) = delete;
  QTSoundStreamState *state() const { return state_; }

 private:
  QTSoundStreamRefcon *refcon_;
  QTSoundStreamState *state_ = nullptr;
};

ComponentInstance MixerOf(const QTSoundStreamGlobals *storage) {
  return storage == nullptr ? nullptr : storage->mixer.load();
}

// Any instance's source calls tell the state whether the stream plays.
void SetStreamActive(const QTSoundStreamGlobals *storage, bool active) {
  if (storage == nullptr || storage->refcon == nullptr) return;
  StateUse use(storage->refcon);
  if (QTSoundStreamState *state = use.state()) state->streamActive.store(active ? 1 : 0);
}

// Waits for the render that may be pulling through the storage, if the storage is the one its
// state renders.
void WaitForPullThrough(QTSoundStreamRefcon *refcon) {
  if (refcon == nullptr) return;
  StateUse use(refcon);
  if (QTSoundStreamState *state = use.state()) WaitForPull(state);
}

template <typename T>
void WriteInfo(void *info, T value) {
  std::memcpy(info, &value, sizeof value);
}

// A one-entry list: a count of 1 and a new handle holding the value; the caller disposes of it.
template <typename T>
ComponentResult WriteInfoList(void *info, T value) {
  Handle handle = NewHandle(sizeof value);
  if (handle == nullptr) return memFullErr;
  std::memcpy(*handle, &value, sizeof value);
  SoundInfoList list{1, handle};
  std::memcpy(info, &list, sizeof list);
  return noErr;
}

// The instance holds the refcon block from here until its Close handler: the registration
// (and with it the block) cannot go while an instance is open.
ComponentResult QTSoundStreamOpen(QTSoundStreamGlobals *, ComponentInstance self) {
  auto *refcon = reinterpret_cast<QTSoundStreamRefcon *>(
      GetComponentRefcon(reinterpret_cast<Component>(self)));
  auto *storage = new (std::nothrow) QTSoundStreamGlobals{};
  if (storage == nullptr) return memFullErr;
  storage->instance = self;
  storage->refcon = refcon;
  // Without a block (an open that came before OpenComponent installed it) nothing is published.
  if (refcon != nullptr) {
    refcon->holders.fetch_add(1);
    // The latest instance is the one the output unit plays.
    refcon->globals.store(storage);
  }
  SetComponentInstanceStorage(self, reinterpret_cast<Handle>(storage));
  return noErr;
}

ComponentResult QTSoundStreamClose(QTSoundStreamGlobals *storage, ComponentInstance) {
  if (storage == nullptr) return noErr;
  QTSoundStreamRefcon *refcon = storage->refcon;
  if (refcon != nullptr) {
    StateUse use(refcon);
    // An older instance closing leaves the latest one rendering: the block tracks only that one.
    QTSoundStreamGlobals *expected = storage;
    refcon->globals.compare_exchange_strong(expected, nullptr);
    if (QTSoundStreamState *state = use.state()) {
      state->streamActive.store(0);
      // A render that read this storage before it was replaced or cleared finishes first, so
      // the mixer is closed and the storage freed under no render.
      WaitForPull(state);
    }
  }
  if (ComponentInstance mixer = storage->mixer.load()) CloseMixerSoundComponent(mixer);
  delete storage;
  if (refcon == nullptr) return noErr;
  // This instance no longer counts as open. If the object has withdrawn the registration, the
  // last instance takes it away; the object's own attempt did so if none was left then.
  if (refcon->state.load() == nullptr) UnregisterIfUnused(refcon);
  ReleaseRefcon(refcon);
  return noErr;
}

ComponentResult QTSoundStreamCanDo(QTSoundStreamGlobals *, short selector) {
  switch (selector) {
    case kComponentVersionSelect:
    case kComponentCanDoSelect:
    case kComponentCloseSelect:
    case kComponentOpenSelect:
    case kSoundComponentInitOutputDeviceSelect:
    case kSoundComponentGetInfoSelect:
    case kSoundComponentSetInfoSelect:
    case kSoundComponentStartSourceSelect:
    case kSoundComponentPlaySourceBufferSelect:
      return 1;
    default:
      return 0;
  }
}

ComponentResult QTSoundStreamVersion(QTSoundStreamGlobals *) { return 0x10000; }

// Each call opens a mixer for the instance. One opened before is closed once no render pulls
// from it any more; its sources go with it.
ComponentResult QTSoundStreamInitOutputDevice(QTSoundStreamGlobals *storage, long) {
  if (storage == nullptr) return badComponentInstance;
  storage->outputDescription =
      SoundComponentData{0, kTwosComplement, kChannels, kSampleSize, kRate44100, 1024, nullptr, 0};
  ComponentInstance mixer = nullptr;
  OSErr result = OpenMixerSoundComponent(&storage->outputDescription, 0, &mixer);
  if (ComponentInstance previous = storage->mixer.exchange(mixer)) {
    WaitForPullThrough(storage->refcon);
    CloseMixerSoundComponent(previous);
  }
  return result;
}

ComponentResult QTSoundStreamGetInfo(QTSoundStreamGlobals *storage, SoundSource source,
                                     OSType selector, void *info) {
  switch (selector) {
    case siNumberChannels:
    case siChannelAvailable:
    case siSampleRate:
    case siSampleRateAvailable:
    case siSampleSizeAvailable:
    case siSampleSize:
      if (info == nullptr) return paramErr;
      break;
    default:
      return SoundComponentGetInfo(MixerOf(storage), source, selector, info);
  }
  switch (selector) {
    case siNumberChannels:
      WriteInfo(info, kChannels);
      return noErr;
    case siChannelAvailable:
      return WriteInfoList(info, kChannels);
    case siSampleRate:
      WriteInfo(info, kRate44100);
      return noErr;
    case siSampleRateAvailable:
      return WriteInfoList(info, kRate44100);
    case siSampleSizeAvailable:
      return WriteInfoList(info, kSampleSize);
    default:
      WriteInfo(info, kSampleSize);
      return noErr;
  }
}

ComponentResult QTSoundStreamSetInfo(QTSoundStreamGlobals *storage, SoundSource source,
                                     OSType selector, void *info) {
  const auto low16 = static_cast<short>(reinterpret_cast<uintptr_t>(info));
  switch (selector) {
    case siNumberChannels:
      return low16 == kChannels ? ComponentResult{noErr} : notEnoughHardwareErr;
    case siSampleRate: {
      UnsignedFixed rate = 0;
      if (info != nullptr) std::memcpy(&rate, info, sizeof rate);
      return rate == kRate44100 ? ComponentResult{noErr} : siInvalidSampleRate;
    }
    case siSampleSize:
      return low16 == kSampleSize ? ComponentResult{noErr} : siInvalidSampleSize;
    default:
      return SoundComponentSetInfo(MixerOf(storage), source, selector, info);
  }
}

ComponentResult QTSoundStreamStartSource(QTSoundStreamGlobals *storage, short count,
                                         SoundSource *sources) {
  ComponentResult result = SoundComponentStartSource(MixerOf(storage), count, sources);
  SetStreamActive(storage, true);
  return result;
}

ComponentResult QTSoundStreamStopSource(QTSoundStreamGlobals *storage, short count,
                                        SoundSource *sources) {
  ComponentResult result = SoundComponentStopSource(MixerOf(storage), count, sources);
  SetStreamActive(storage, false);
  return result;
}

ComponentResult QTSoundStreamPauseSource(QTSoundStreamGlobals *storage, short count,
                                         SoundSource *sources) {
  ComponentResult result = SoundComponentPauseSource(MixerOf(storage), count, sources);
  SetStreamActive(storage, false);
  return result;
}

ComponentResult QTSoundStreamPlaySourceBuffer(QTSoundStreamGlobals *storage, SoundSource source,
                                              SoundParamBlockPtr pb, long actions) {
  ComponentResult result = SoundComponentPlaySourceBuffer(MixerOf(storage), source, pb, actions);
  SetStreamActive(storage, (actions & kSourcePaused) == 0);
  return result;
}

}  // namespace

ComponentResult QTSoundStreamDispatch(ComponentParameters *params, Handle storage) {
  if (params == nullptr) return paramErr;
  struct Row {
    SInt16 selector;
    ProcPtr handler;
    UInt32 procInfo;
  };
  static const Row kRows[] = {
      {kComponentOpenSelect, reinterpret_cast<ProcPtr>(QTSoundStreamOpen), 0x3F0},
      {kComponentCloseSelect, reinterpret_cast<ProcPtr>(QTSoundStreamClose), 0x3F0},
      {kComponentCanDoSelect, reinterpret_cast<ProcPtr>(QTSoundStreamCanDo), 0x2F0},
      {kComponentVersionSelect, reinterpret_cast<ProcPtr>(QTSoundStreamVersion), 0xF0},
      {kSoundComponentInitOutputDeviceSelect,
       reinterpret_cast<ProcPtr>(QTSoundStreamInitOutputDevice), 0x3F0},
      {kSoundComponentGetInfoSelect, reinterpret_cast<ProcPtr>(QTSoundStreamGetInfo), 0x3FF0},
      {kSoundComponentSetInfoSelect, reinterpret_cast<ProcPtr>(QTSoundStreamSetInfo), 0x3FF0},
      {kSoundComponentStartSourceSelect, reinterpret_cast<ProcPtr>(QTSoundStreamStartSource),
       0xEF0},
      {kSoundComponentStopSourceSelect, reinterpret_cast<ProcPtr>(QTSoundStreamStopSource), 0xEF0},
      {kSoundComponentPauseSourceSelect, reinterpret_cast<ProcPtr>(QTSoundStreamPauseSource),
       0xEF0},
      {kSoundComponentPlaySourceBufferSelect,
       reinterpret_cast<ProcPtr>(QTSoundStreamPlaySourceBuffer), 0x3FF0},
  };
  for (const Row &row : kRows) {
    if (row.selector == params->what)
      return CallComponentFunctionWithStorageProcInfo(storage, params, row.handler, row.procInfo);
  }
  if (params->what >= 256) {
    auto *globals = reinterpret_cast<QTSoundStreamGlobals *>(storage);
    return DelegateComponentCall(params, MixerOf(globals));
  }
  return badComponentSelector;
}
