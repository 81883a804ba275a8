// The mixer sound component, registered on first use, and the sound component calls, which
// reach any sound component through its dispatch.
#include <cstring>
#include <mutex>

#include "components/call_frame.h"
#include "components/component_table.h"
#include "soundmanager/mixer.h"

using xnq::components::CallFrame;
using xnq::components::paramAt;
using xnq::components::paramCount;

namespace xnq::sound {
namespace {

static_assert(sizeof(long) != 4 || sizeof(SoundComponentData) == 28,
              "SoundComponentData is 28 bytes where long and pointers are 32 bits");
static_assert(sizeof(SoundInfoList) == 2 + sizeof(Handle), "SoundInfoList is packed to 2 bytes");
static_assert(offsetof(SoundInfoList, infoHandle) == 2, "the list's handle is at byte 2");

constexpr ComponentResult kMixerVersion = 0x00010000;

template <typename T>
T param(const ComponentParameters *cp, size_t i) {
  return reinterpret_cast<T>(paramAt(cp, i));
}

// Any thread; GetSourceData on the output device's audio thread, where it takes no lock and
// allocates nothing.
ComponentResult mixerEntry(ComponentParameters *cp, Handle storage) {
  auto *mixer = reinterpret_cast<Mixer *>(storage);
  const size_t count = paramCount(cp);
  switch (cp->what) {
    case kComponentOpenSelect: {
      Mixer *made = Mixer::create();
      if (made == nullptr) return memFullErr;
      SetComponentInstanceStorage(components::instanceOf(cp), reinterpret_cast<Handle>(made));
      return noErr;
    }
    case kComponentCloseSelect:
      delete mixer;
      return noErr;
    case kComponentVersionSelect:
      return kMixerVersion;
    case kComponentCanDoSelect: {
      if (count < 1) return paramErr;
      auto selector = static_cast<SInt16>(paramAt(cp, 0));
      return (selector >= kComponentVersionSelect && selector <= kComponentOpenSelect) ||
                     selector == kSoundComponentGetSourceDataSelect ||
                     selector == kSoundComponentSetOutputSelect ||
                     (selector >= kSoundComponentAddSourceSelect &&
                      selector <= kSoundComponentPlaySourceBufferSelect)
                 ? 1
                 : 0;
    }
    default:
      break;
  }
  if (mixer == nullptr) return badComponentInstance;
  // The parameters each call carries, in call order.
  static constexpr struct {
    SInt16 selector;
    size_t params;
  } kParamCounts[] = {
      {kSoundComponentGetSourceDataSelect, 1}, {kSoundComponentSetOutputSelect, 2},
      {kSoundComponentAddSourceSelect, 1},     {kSoundComponentRemoveSourceSelect, 1},
      {kSoundComponentGetInfoSelect, 3},       {kSoundComponentSetInfoSelect, 3},
      {kSoundComponentStartSourceSelect, 2},   {kSoundComponentStopSourceSelect, 2},
      {kSoundComponentPauseSourceSelect, 2},   {kSoundComponentPlaySourceBufferSelect, 3},
  };
  for (const auto &entry : kParamCounts)
    if (entry.selector == cp->what && count < entry.params) return paramErr;
  switch (cp->what) {
    case kSoundComponentGetSourceDataSelect: {
      auto *out = param<SoundComponentDataPtr *>(cp, 0);
      if (out == nullptr) return paramErr;
      *out = mixer->render();
      return noErr;
    }
    case kSoundComponentSetOutputSelect: {
      OSErr status = mixer->setOutput(param<SoundComponentDataPtr>(cp, 0));
      auto *actual = param<SoundComponentDataPtr *>(cp, 1);
      if (actual != nullptr) *actual = const_cast<SoundComponentData *>(&mixer->output());
      return status;
    }
    case kSoundComponentAddSourceSelect:
      return mixer->addSource(param<SoundSource *>(cp, 0));
    case kSoundComponentRemoveSourceSelect:
      return mixer->removeSource(param<SoundSource>(cp, 0));
    case kSoundComponentGetInfoSelect:
      return mixer->getInfo(param<SoundSource>(cp, 0), static_cast<OSType>(paramAt(cp, 1)),
                            param<void *>(cp, 2));
    case kSoundComponentSetInfoSelect:
      // The output format is fixed when the mixer opens.
      return siUnknownInfoType;
    case kSoundComponentStartSourceSelect:
    case kSoundComponentStopSourceSelect:
    case kSoundComponentPauseSourceSelect: {
      SourceState state = cp->what == kSoundComponentStartSourceSelect  ? kSourcePlaying
                          : cp->what == kSoundComponentStopSourceSelect ? kSourceStopped
                                                                        : kSourcePaused;
      return mixer->setState(static_cast<short>(paramAt(cp, 0)), param<SoundSource *>(cp, 1),
                             state);
    }
    case kSoundComponentPlaySourceBufferSelect:
      return mixer->playBuffer(param<SoundSource>(cp, 0), param<SoundParamBlockPtr>(cp, 1),
                               paramAt(cp, 2));
    default:
      return badComponentSelector;
  }
}

Component mixerComponent() {
  static Component registered = [] {
    ComponentDescription description{kMixerType, kMixerType, XNQ_FOURCC('a', 'p', 'p', 'l'),
                                     k16BitIn | kStereoIn | k16BitOut | kStereoOut, 0};
    Str255 name;
    CopyCStringToPascal("Mixer", name);
    Handle nameHandle = NewString(name);
    Component c = RegisterComponent(&description, mixerEntry, 0, nameHandle, nullptr, nullptr);
    DisposeHandle(nameHandle);
    return c;
  }();
  return registered;
}

ComponentResult call(ComponentInstance ti, SInt16 selector, std::initializer_list<long> args) {
  CallFrame frame(selector, ti, args);
  return CallComponentDispatch(frame.get());
}

template <typename T>
long word(T *pointer) {
  return reinterpret_cast<long>(pointer);
}
long word(OSType code) { return static_cast<long>(code); }

}  // namespace

Mixer *mixerOf(ComponentInstance instance) {
  components::ComponentSlot *slot = components::table().componentOfInstance(instance);
  if (slot == nullptr || slot->entry.load(std::memory_order_acquire) != mixerEntry) return nullptr;
  return reinterpret_cast<Mixer *>(GetComponentInstanceStorage(instance));
}

}  // namespace xnq::sound

using xnq::sound::call;
using xnq::sound::word;

extern "C" {

OSErr OpenMixerSoundComponent(SoundComponentDataPtr outputDescription, long,
                              ComponentInstance *mixerComponent) {
  if (mixerComponent == nullptr) return paramErr;
  *mixerComponent = nullptr;
  Component mixer = xnq::sound::mixerComponent();
  if (mixer == nullptr) return notEnoughHardwareErr;
  ComponentInstance instance = nullptr;
  if (OSErr status = OpenAComponent(mixer, &instance)) return status;
  if (outputDescription != nullptr) {
    SoundComponentDataPtr actual = nullptr;
    if (auto status =
            static_cast<OSErr>(SoundComponentSetOutput(instance, outputDescription, &actual))) {
      CloseComponent(instance);
      return status;
    }
  }
  *mixerComponent = instance;
  return noErr;
}

OSErr CloseMixerSoundComponent(ComponentInstance mixerComponent) {
  if (xnq::sound::mixerOf(mixerComponent) == nullptr)
    return static_cast<OSErr>(badComponentInstance);
  return CloseComponent(mixerComponent);
}

ComponentResult SoundComponentInitOutputDevice(ComponentInstance ti, long actions) {
  return call(ti, kSoundComponentInitOutputDeviceSelect, {actions});
}

ComponentResult SoundComponentSetSource(ComponentInstance ti, SoundSource sourceID,
                                        ComponentInstance source) {
  return call(ti, kSoundComponentSetSourceSelect, {word(sourceID), word(source)});
}

ComponentResult SoundComponentGetSource(ComponentInstance ti, SoundSource sourceID,
                                        ComponentInstance *source) {
  return call(ti, kSoundComponentGetSourceSelect, {word(sourceID), word(source)});
}

ComponentResult SoundComponentGetSourceData(ComponentInstance ti,
                                            SoundComponentDataPtr *sourceData) {
  return call(ti, kSoundComponentGetSourceDataSelect, {word(sourceData)});
}

ComponentResult SoundComponentSetOutput(ComponentInstance ti, SoundComponentDataPtr requested,
                                        SoundComponentDataPtr *actual) {
  return call(ti, kSoundComponentSetOutputSelect, {word(requested), word(actual)});
}

ComponentResult SoundComponentAddSource(ComponentInstance ti, SoundSource *sourceID) {
  return call(ti, kSoundComponentAddSourceSelect, {word(sourceID)});
}

ComponentResult SoundComponentRemoveSource(ComponentInstance ti, SoundSource sourceID) {
  return call(ti, kSoundComponentRemoveSourceSelect, {word(sourceID)});
}

ComponentResult SoundComponentGetInfo(ComponentInstance ti, SoundSource sourceID, OSType selector,
                                      void *infoPtr) {
  return call(ti, kSoundComponentGetInfoSelect, {word(sourceID), word(selector), word(infoPtr)});
}

ComponentResult SoundComponentSetInfo(ComponentInstance ti, SoundSource sourceID, OSType selector,
                                      void *infoPtr) {
  return call(ti, kSoundComponentSetInfoSelect, {word(sourceID), word(selector), word(infoPtr)});
}

ComponentResult SoundComponentStartSource(ComponentInstance ti, short count, SoundSource *sources) {
  return call(ti, kSoundComponentStartSourceSelect, {count, word(sources)});
}

ComponentResult SoundComponentStopSource(ComponentInstance ti, short count, SoundSource *sources) {
  return call(ti, kSoundComponentStopSourceSelect, {count, word(sources)});
}

ComponentResult SoundComponentPauseSource(ComponentInstance ti, short count, SoundSource *sources) {
  return call(ti, kSoundComponentPauseSourceSelect, {count, word(sources)});
}

ComponentResult SoundComponentPlaySourceBuffer(ComponentInstance ti, SoundSource sourceID,
                                               SoundParamBlockPtr pb, long actions) {
  return call(ti, kSoundComponentPlaySourceBufferSelect, {word(sourceID), word(pb), actions});
}

}  // extern "C"
