// The output unit side: opening and attaching a unit, and the render callback that pulls the
// mixer's 16-bit big-endian stereo through the converter into the unit's float buffers.
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "soundstream/QTSoundStreamData.h"

namespace {

constexpr UInt32 kBytesPerMixerFrame = 4;
// Zeros handed to the converter when the mixer has nothing: enough for any request a unit makes
// in one slice of up to 4096 frames, and the converter asks again for the rest.
constexpr UInt32 kSilenceFrames = 4096;
const Byte kSilence[kSilenceFrames * kBytesPerMixerFrame] = {};

AudioUnit UnitOf(RBInteger handle) { return reinterpret_cast<AudioUnit>(handle); }

OSStatus MyRenderer(void *inRefCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                    UInt32 inNumberFrames, AudioBufferList *ioData);

// Whether the unit's input element still renders from the state.
bool RendersFrom(const AttachedInput &input, const QTSoundStreamState *state) {
  AURenderCallbackStruct installed{};
  UInt32 size = sizeof installed;
  return AudioUnitGetProperty(input.unit, kAudioUnitProperty_SetRenderCallback,
                              kAudioUnitScope_Input, input.element, &installed, &size) == noErr &&
         installed.inputProc == MyRenderer && installed.inputProcRefCon == state;
}

// The converter's input procedure, called on the unit's render thread from inside MyRenderer:
// no allocation, no lock, no host calls. It hands the mixer's buffer over in place.
OSStatus QTSoundStreamConverterInputProc(AudioConverterRef, UInt32 *ioNumberDataPackets,
                                         AudioBufferList *ioData, AudioStreamPacketDescription **,
                                         void *inUserData) {
  auto *storage = static_cast<QTSoundStreamGlobals *>(inUserData);
  const UInt32 asked = *ioNumberDataPackets;
  // A buffer of a mixer that InitOutputDevice has replaced is not read again: that mixer is
  // closed once this render ends.
  ComponentInstance mixer = storage->mixer.load();
  if (mixer != storage->sourceMixer) {
    storage->sourceMixer = mixer;
    storage->sourceData = nullptr;
  }
  if (storage->sourceData == nullptr || storage->sourceData->sampleCount <= 0)
    SoundComponentGetSourceData(mixer, &storage->sourceData);
  SoundComponentData *source = storage->sourceData;
  AudioBuffer &buffer = ioData->mBuffers[0];
  buffer.mNumberChannels = 2;
  if (source != nullptr && asked != 0 && source->sampleCount > 0) {
    UInt32 n = asked < static_cast<UInt32>(source->sampleCount)
                   ? asked
                   : static_cast<UInt32>(source->sampleCount);
    buffer.mData = source->buffer;
    buffer.mDataByteSize = n * kBytesPerMixerFrame;
    source->buffer += n * kBytesPerMixerFrame;
    source->sampleCount -= static_cast<long>(n);
    *ioNumberDataPackets = n;
    return noErr;
  }
  // Nothing from the mixer: silence, with real zeros behind every packet reported.
  UInt32 n = asked < kSilenceFrames ? asked : kSilenceFrames;
  buffer.mData = const_cast<Byte *>(kSilence);
  buffer.mDataByteSize = n * kBytesPerMixerFrame;
  *ioNumberDataPackets = n;
  return noErr;
}

void WriteSilence(AudioBufferList *ioData) {
  for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b)
    if (ioData->mBuffers[b].mData != nullptr)
      std::memset(ioData->mBuffers[b].mData, 0, ioData->mBuffers[b].mDataByteSize);
}

// The unit's render thread: no allocation, no lock, no host calls. One render at a time pulls
// the mixer through the converter, since neither may run on two threads at once; a unit that
// renders the same state meanwhile (two units attached, or two objects sharing the state)
// plays silence for that slice.
OSStatus MyRenderer(void *inRefCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                    UInt32 inNumberFrames, AudioBufferList *ioData) {
  auto *state = static_cast<QTSoundStreamState *>(inRefCon);
  state->renders.fetch_add(1);
  if (state->pulling.test_and_set(std::memory_order_acquire)) {
    WriteSilence(ioData);
    state->renders.fetch_sub(1);
    return noErr;
  }
  state->passes.fetch_add(1);
  QTSoundStreamRefcon *refcon = state->refcon.load();
  QTSoundStreamGlobals *globals = refcon == nullptr ? nullptr : refcon->globals.load();
  if (globals != nullptr) {
    // Without a converter (it could not be made) the fill fails at once: the mixer is not pulled
    // and the unit's buffers keep what they held.
    UInt32 packets = inNumberFrames;
    AudioConverterFillComplexBuffer(state->converter.load(), QTSoundStreamConverterInputProc,
                                    globals, &packets, ioData, nullptr);
  } else {
    WriteSilence(ioData);
  }
  state->passes.fetch_add(1);
  state->pulling.clear(std::memory_order_release);
  state->renders.fetch_sub(1);
  return noErr;
}

// The unit's input must take the format the converter writes, or the unit plays the mixer's
// output at another rate or layout (an initialised unit refuses a new format and keeps its
// own). So the format is set and read back, and without it nothing is attached.
OSStatus GiveInputTheConverterFormat(AudioUnit unit, UInt32 element,
                                     const AudioStreamBasicDescription &format) {
  OSStatus status = AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat,
                                         kAudioUnitScope_Input, element, &format, sizeof format);
  AudioStreamBasicDescription actual{};
  UInt32 size = sizeof actual;
  if (AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, element,
                           &actual, &size) == noErr &&
      size == sizeof actual && std::memcmp(&actual, &format, sizeof actual) == 0)
    return noErr;
  return status != noErr ? status : kAudioUnitErr_FormatNotSupported;
}

RBInteger Attach(REALobject obj, RBInteger handle, UInt32 element) {
  QTSoundStreamData *data = SoundStream(obj);
  data->status = -1;
  QTSoundStreamState *state = LiveState(data);
  if (state == nullptr) return -1;
  AudioUnit unit = UnitOf(handle);
  OSStatus status = GiveInputTheConverterFormat(unit, element, state->outputFormat);
  if (status == noErr) {
    std::lock_guard<std::mutex> lock(state->unitsLock);
    // The list keeps each input once, and only while it renders this state: units closed since,
    // or attached elsewhere, leave it here.
    std::erase_if(state->units, [&](const AttachedInput &in) {
      return (in.unit == unit && in.element == element) || !RendersFrom(in, state);
    });
    AURenderCallbackStruct callback{MyRenderer, state};
    status = AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                  element, &callback, sizeof callback);
    if (status == noErr) {
      try {
        state->units.push_back(AttachedInput{unit, element});
      } catch (const std::bad_alloc &) {
        // A unit the state cannot find again must not render it.
        AURenderCallbackStruct none{};
        AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                             element, &none, sizeof none);
        status = memFullErr;
      }
    }
  }
  data->status = status;
  // The unit is remembered, so that CloseComponent stops it; one attached before keeps
  // rendering until the state goes, and is stopped then.
  if (status == noErr) data->outputUnit = unit;
  return status;
}

}  // namespace

void DetachAllUnits(QTSoundStreamState *state) {
  {
    std::lock_guard<std::mutex> lock(state->unitsLock);
    for (const AttachedInput &input : state->units) {
      if (!RendersFrom(input, state)) continue;
      AudioOutputUnitStop(input.unit);
      AURenderCallbackStruct none{};
      AudioUnitSetProperty(input.unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                           input.element, &none, sizeof none);
    }
    state->units.clear();
  }
  while (state->renders.load() != 0) std::this_thread::yield();
}

namespace soundstream {

RBInteger OpenDefaultAudioUnitOutputComponent(REALobject obj) {
  QTSoundStreamData *data = SoundStream(obj);
  data->status = -1;
  ComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput,
                                   kAudioUnitManufacturer_Platform, 0, 0};
  Component component = FindNextComponent(nullptr, &description);
  if (component == nullptr) return 0;
  AudioUnit unit = nullptr;
  data->status = OpenAComponent(component, &unit);
  return data->status == noErr ? reinterpret_cast<RBInteger>(unit) : 0;
}

RBInteger AttachToAudioUnitComponent2(REALobject obj, RBInteger handle) {
  return Attach(obj, handle, 0);
}

RBInteger AttachToAudioUnitComponent3(REALobject obj, RBInteger handle, RBInteger element) {
  return Attach(obj, handle, static_cast<UInt32>(element));
}

RBInteger rbAudioUnitInitialize(REALobject obj, RBInteger handle) {
  QTSoundStreamData *data = SoundStream(obj);
  data->status = -1;
  data->status = AudioUnitInitialize(UnitOf(handle));
  return data->status;
}

RBInteger rbAudioOutputUnitStart(REALobject obj, RBInteger handle) {
  QTSoundStreamData *data = SoundStream(obj);
  data->status = -1;
  data->status = AudioOutputUnitStart(UnitOf(handle));
  return data->status;
}

}  // namespace soundstream
