// The output unit side: opening and attaching a unit, and the render callback that pulls the
// mixer's 16-bit big-endian stereo through the converter into the unit's float buffers.
#include <cstring>

#include "soundstream/QTSoundStreamData.h"

namespace {

constexpr UInt32 kBytesPerMixerFrame = 4;
// Zeros handed to the converter when the mixer has nothing: enough for any request a unit makes
// in one slice of up to 4096 frames, and the converter asks again for the rest.
constexpr UInt32 kSilenceFrames = 4096;
const Byte kSilence[kSilenceFrames * kBytesPerMixerFrame] = {};

AudioUnit UnitOf(RBInteger handle) { return reinterpret_cast<AudioUnit>(handle); }

void ClearRenderCallback(AudioUnit unit, UInt32 element, const QTSoundStreamState *state) {
  AURenderCallbackStruct installed{};
  UInt32 size = sizeof installed;
  if (AudioUnitGetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                           element, &installed, &size) != noErr ||
      installed.inputProcRefCon != state)
    return;
  AURenderCallbackStruct none{};
  AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, element,
                       &none, sizeof none);
}

// The converter's input procedure, called on the unit's render thread from inside MyRenderer:
// no allocation, no lock, no host calls. It hands the mixer's buffer over in place.
OSStatus QTSoundStreamConverterInputProc(AudioConverterRef, UInt32 *ioNumberDataPackets,
                                         AudioBufferList *ioData, AudioStreamPacketDescription **,
                                         void *inUserData) {
  auto *storage = static_cast<QTSoundStreamGlobals *>(inUserData);
  const UInt32 asked = *ioNumberDataPackets;
  if (storage->sourceData == nullptr || storage->sourceData->sampleCount <= 0)
    SoundComponentGetSourceData(storage->mixer.load(std::memory_order_acquire),
                                &storage->sourceData);
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

// The unit's render thread: no allocation, no lock, no host calls.
OSStatus MyRenderer(void *inRefCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                    UInt32 inNumberFrames, AudioBufferList *ioData) {
  auto *state = static_cast<QTSoundStreamState *>(inRefCon);
  state->renders.fetch_add(1);
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
  state->renders.fetch_sub(1);
  return noErr;
}

RBInteger Attach(REALobject obj, RBInteger handle, UInt32 element) {
  QTSoundStreamData *data = SoundStream(obj);
  data->status = -1;
  QTSoundStreamState *state = data->state;
  if (state == nullptr) return -1;
  AudioUnit unit = UnitOf(handle);
  // The unit's input takes the format the converter writes, so playback does not rest on the
  // unit's default input format. An initialised unit refuses and keeps its own; the attach
  // itself still succeeds, as it would without this step.
  AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, element,
                       &state->outputFormat, sizeof state->outputFormat);
  AURenderCallbackStruct callback{MyRenderer, state};
  data->status = AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback,
                                      kAudioUnitScope_Input, element, &callback, sizeof callback);
  if (data->status == noErr) {
    // A different unit attached before is stopped and let go: only one unit renders the state.
    if (data->outputUnit != nullptr && data->outputUnit != unit) DetachOutputUnit(data);
    if (data->outputUnit == unit && data->outputElement != element)
      ClearRenderCallback(unit, data->outputElement, state);
    data->outputUnit = unit;
    data->outputElement = element;
  }
  return data->status;
}

}  // namespace

void DetachOutputUnit(QTSoundStreamData *data) {
  if (data->outputUnit == nullptr) return;
  AudioOutputUnitStop(data->outputUnit);
  // Restarting the unit later must not reach a state that may be gone by then.
  if (data->state != nullptr)
    ClearRenderCallback(data->outputUnit, data->outputElement, data->state);
  data->outputUnit = nullptr;
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
