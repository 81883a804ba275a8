#include "render_chain.h"

#include <cmath>

namespace xnq::tool {
namespace {

AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels, bool interleaved) {
  UInt32 frameBytes = interleaved ? 4 * channels : 4;
  UInt32 flags =
      kAudioFormatFlagsNativeFloatPacked | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
  return {rate, kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes, channels, 32, 0};
}

struct Stage {
  const char *name;
  ComponentDescription description;
  AUNode node = 0;
  AudioUnit unit = nullptr;
};

enum { kConverter, kMixer, kEq, kTimePitch, kVarispeed, kOutput, kStages };

}  // namespace

RenderChain::~RenderChain() {
  if (graph_ != nullptr) DisposeAUGraph(graph_);
}

OSStatus RenderChain::step(const std::string &what, OSStatus status) {
  if (status != noErr && failedStep_.empty()) failedStep_ = what;
  return status;
}

OSStatus RenderChain::build(Float64 rate, UInt32 channels, const ChainSettings &settings,
                            const AURenderCallbackStruct &source) {
  channels_ = channels;
  if (OSStatus status = step("making the graph", NewAUGraph(&graph_))) return status;
  const OSType appl = kAudioUnitManufacturer_Platform;
  Stage stages[kStages] = {
      {"converter", {kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, appl, 0, 0}},
      {"mixer", {kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, appl, 0, 0}},
      {"graphic EQ", {kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ, appl, 0, 0}},
      {"time-pitch", {kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch, appl, 0, 0}},
      {"varispeed", {kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed, appl, 0, 0}},
      {"generic output", {kAudioUnitType_Output, kAudioUnitSubType_GenericOutput, appl, 0, 0}},
  };
  for (Stage &stage : stages) {
    if (OSStatus status = step(std::string("adding the ") + stage.name,
                               AUGraphAddNode(graph_, &stage.description, &stage.node)))
      return status;
  }
  for (int i = 0; i + 1 < kStages; ++i) {
    if (OSStatus status =
            step(std::string("connecting the ") + stages[i].name,
                 AUGraphConnectNodeInput(graph_, stages[i].node, 0, stages[i + 1].node, 0)))
      return status;
  }
  if (OSStatus status = step("opening the graph", AUGraphOpen(graph_))) return status;
  for (Stage &stage : stages) {
    if (OSStatus status = step(std::string("finding the ") + stage.name,
                               AUGraphNodeInfo(graph_, stage.node, nullptr, &stage.unit)))
      return status;
  }
  output_ = stages[kOutput].unit;
  if (OSStatus status =
          step("setting the input callback",
               AUGraphSetNodeInputCallback(graph_, stages[kConverter].node, 0, &source)))
    return status;

  // The caller's interleaved floats go in and come out; the units between work on one buffer
  // per channel. Connected inputs take their formats from the graph.
  const AudioStreamBasicDescription interleaved = floatFormat(rate, channels, true);
  const AudioStreamBasicDescription planar = floatFormat(rate, channels, false);
  auto set = [&](const std::string &what, AudioUnit unit, AudioUnitPropertyID id,
                 AudioUnitScope scope, const void *value, UInt32 size) {
    return step(what, AudioUnitSetProperty(unit, id, scope, 0, value, size));
  };
  if (OSStatus status = set("setting the converter's input format", stages[kConverter].unit,
                            kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, &interleaved,
                            sizeof interleaved))
    return status;
  for (int i = 0; i < kStages; ++i) {
    const AudioStreamBasicDescription &format = i == kOutput ? interleaved : planar;
    if (OSStatus status =
            set(std::string("setting the ") + stages[i].name + "'s output format", stages[i].unit,
                kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, &format, sizeof format))
      return status;
  }
  const UInt32 oneInput = 1;
  if (OSStatus status =
          set("setting the mixer's inputs", stages[kMixer].unit, kAudioUnitProperty_ElementCount,
              kAudioUnitScope_Input, &oneInput, sizeof oneInput))
    return status;

  struct Parameter {
    std::string what;
    int stage;
    AudioUnitParameterID id;
    AudioUnitScope scope;
    Float32 value;
  };
  std::vector<Parameter> parameters = {
      {"choosing 31 EQ bands", kEq, kGraphicEQParam_NumberOfBands, kAudioUnitScope_Global, 1},
      {"setting the time-pitch rate", kTimePitch, kNewTimePitchParam_Rate, kAudioUnitScope_Global,
       settings.rate},
      {"setting the pitch", kTimePitch, kNewTimePitchParam_Pitch, kAudioUnitScope_Global,
       settings.pitch},
      {"setting the varispeed rate", kVarispeed, kVarispeedParam_PlaybackRate,
       kAudioUnitScope_Global, settings.varispeed},
      {"setting the volume", kMixer, kMultiChannelMixerParam_Volume, kAudioUnitScope_Output,
       settings.volume},
      {"setting the pan", kMixer, kMultiChannelMixerParam_Pan, kAudioUnitScope_Input, settings.pan},
  };
  for (size_t band = 0; band < settings.eqGains.size(); ++band)
    parameters.push_back({"setting EQ band " + std::to_string(band + 1), kEq,
                          static_cast<AudioUnitParameterID>(band), kAudioUnitScope_Global,
                          settings.eqGains[band]});
  for (const Parameter &p : parameters) {
    if (OSStatus status =
            step(p.what, AudioUnitSetParameter(stages[p.stage].unit, p.id, p.scope, 0, p.value, 0)))
      return status;
  }
  const std::pair<int, bool> bypasses[] = {{kEq, settings.bypassEq},
                                           {kTimePitch, settings.bypassTimePitch},
                                           {kVarispeed, settings.bypassVarispeed}};
  for (const auto &[stage, bypass] : bypasses) {
    const UInt32 on = bypass ? 1 : 0;
    if (OSStatus status =
            set(std::string("bypassing the ") + stages[stage].name, stages[stage].unit,
                kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, &on, sizeof on))
      return status;
  }
  for (int stage : {kTimePitch, kVarispeed}) {
    if (OSStatus status = set(std::string("setting the ") + stages[stage].name + "'s quality",
                              stages[stage].unit, kAudioUnitProperty_RenderQuality,
                              kAudioUnitScope_Global, &settings.quality, sizeof settings.quality))
      return status;
  }
  if (OSStatus status = step("initializing the graph", AUGraphInitialize(graph_))) return status;

  Float64 latency = 0;
  for (const Stage &stage : stages) {
    Float64 seconds = 0;
    UInt32 size = sizeof seconds;
    if (AudioUnitGetProperty(stage.unit, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                             &seconds, &size) == noErr)
      latency += seconds;
  }
  latencyFrames_ = static_cast<UInt32>(std::lround(latency * rate));
  return noErr;
}

OSStatus RenderChain::render(UInt32 frames, Float32 *out) {
  AudioBufferList list{1, {{channels_, frames * channels_ * 4, out}}};
  AudioTimeStamp stamp{};
  stamp.mSampleTime = sampleTime_;
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  AudioUnitRenderActionFlags flags = 0;
  sampleTime_ += frames;
  return AudioUnitRender(output_, &flags, &stamp, 0, frames, &list);
}

}  // namespace xnq::tool
