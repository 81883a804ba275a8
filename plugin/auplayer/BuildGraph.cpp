// The graph part of a load: renderInput → converter → mixer → equalizer → time-pitch →
// varispeed → output, built, configured and initialized, but not started.
#include <algorithm>

#include "auplayer/AUPlayerData.h"
#include "os/graphics.h"

namespace {

ComponentDescription Description(OSType type, OSType subType) {
  return {type, subType, kAudioUnitManufacturer_Platform, 0, 0};
}

OSType OutputSubType(RBInteger outputUnit) {
  switch (outputUnit) {
    case 1:
      return kAudioUnitSubType_GenericOutput;
    case 3:
      return kAudioUnitSubType_DefaultOutput;
    case 4:
      return kAudioUnitSubType_SystemOutput;
    default:  // 0, 2 and every other value
      return kAudioUnitSubType_HALOutput;
  }
}

// A system that has this graphics function also has the newer time-pitch unit. The function is
// linked weakly and only its address is looked at; it is never called.
OSType TimePitchSubType() {
  return CGPathCreateCopyByTransformingPath != nullptr ? kAudioUnitSubType_NewTimePitch
                                                       : kAudioUnitSubType_TimePitch;
}

// Makes the calls of one step in order, keeping each status in Lasterror; stops at the first
// that fails and answers whether all of them succeeded.
class Steps {
 public:
  explicit Steps(LoadFileRequest *request) : request_(request) {}
  bool operator()(OSStatus status) {
    Report(request_, status);
    return status == noErr;
  }

 private:
  LoadFileRequest *request_;
};

OSStatus SetUInt32(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, UInt32 value) {
  return AudioUnitSetProperty(unit, id, scope, 0, &value, sizeof value);
}

OSStatus SetFormat(AudioUnit unit, AudioUnitScope scope, const AudioStreamBasicDescription &f) {
  return AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, 0, &f, sizeof f);
}

// The fields from the host word: a value beyond 32 bits stands as the nearest 32-bit one (a
// maximum of 2^32 + 2000 frames is no maximum of 2000).
int32_t Field32(RBInteger value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Fetches the units and bypasses the rate unit not chosen, under the load lock: setTimePitchUnit
// takes it too, so a choice made meanwhile comes wholly before (and is applied here) or wholly
// after (and finds the units).
bool OpenUnits(AUPlayerData *player, AUGraph graph, Steps &step) {
  std::lock_guard<std::mutex> lock(gLoadLock);
  auto fetch = [&](AUNode node, std::atomic<AudioUnit> &handle) {
    AudioUnit unit = nullptr;
    if (!step(AUGraphNodeInfo(graph, node, nullptr, &unit))) return false;
    handle.store(unit);
    return true;
  };
  if (!fetch(player->outputNode, player->outputUnit) ||
      !fetch(player->converterNode, player->converterUnit) ||
      !fetch(player->mixerNode, player->mixerUnit) ||
      !fetch(player->timePitchNode, player->timePitchUnit) ||
      !fetch(player->varispeedNode, player->varispeedUnit) ||
      !fetch(player->equalizerNode, player->equalizerUnit))
    return false;

  // One mixer input, metered.
  if (!step(SetUInt32(player->mixerUnit, kAudioUnitProperty_ElementCount, kAudioUnitScope_Input,
                      1)) ||
      !step(
          SetUInt32(player->mixerUnit, kAudioUnitProperty_MeteringMode, kAudioUnitScope_Input, 1)))
    return false;
  // The rate unit not chosen by TimePitchUnit is bypassed.
  AudioUnit bypassed = player->TimePitchUnit == 2 ? player->timePitchUnit : player->varispeedUnit;
  return step(SetUInt32(bypassed, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 1));
}

}  // namespace

bool BuildGraph(LoadFileRequest *request) {
  AUPlayerData *player = request->player;
  Steps step(request);
  AUGraph graph = nullptr;
  if (!step(NewAUGraph(&graph))) return false;
  player->graph = graph;
  player->builtGraph = graph;

  const ComponentDescription
      output = Description(kAudioUnitType_Output, OutputSubType(player->OutputUnit)),
      varispeed = Description(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed),
      timePitch = Description(kAudioUnitType_FormatConverter, TimePitchSubType()),
      equalizer = Description(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ),
      mixer = Description(kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer),
      converter = Description(kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter);
  AUNode outputNode = 0, varispeedNode = 0, timePitchNode = 0, equalizerNode = 0, mixerNode = 0,
         converterNode = 0;
  if (!step(AUGraphAddNode(graph, &output, &outputNode)) ||
      !step(AUGraphAddNode(graph, &varispeed, &varispeedNode)) ||
      !step(AUGraphAddNode(graph, &timePitch, &timePitchNode)) ||
      !step(AUGraphAddNode(graph, &equalizer, &equalizerNode)) ||
      !step(AUGraphAddNode(graph, &mixer, &mixerNode)) ||
      !step(AUGraphAddNode(graph, &converter, &converterNode)))
    return false;
  if (!step(AUGraphConnectNodeInput(graph, converterNode, 0, mixerNode, 0)) ||
      !step(AUGraphConnectNodeInput(graph, mixerNode, 0, equalizerNode, 0)) ||
      !step(AUGraphConnectNodeInput(graph, equalizerNode, 0, timePitchNode, 0)) ||
      !step(AUGraphConnectNodeInput(graph, timePitchNode, 0, varispeedNode, 0)) ||
      !step(AUGraphConnectNodeInput(graph, varispeedNode, 0, outputNode, 0)))
    return false;
  player->outputNode = outputNode;
  player->timePitchNode = timePitchNode;
  player->varispeedNode = varispeedNode;
  player->equalizerNode = equalizerNode;
  player->mixerNode = mixerNode;
  player->converterNode = converterNode;

  if (!step(AUGraphOpen(graph)) || !OpenUnits(player, graph, step)) return false;

  const AURenderCallbackStruct callback = {renderInput, player};
  if (!step(AUGraphSetNodeInputCallback(graph, converterNode, 0, &callback))) return false;

  const AudioStreamBasicDescription &client = *player->clientFormat;
  const AudioStreamBasicDescription &units = *player->outputFormat;
  if (!step(SetFormat(player->converterUnit, kAudioUnitScope_Input, client)) ||
      !step(SetFormat(player->converterUnit, kAudioUnitScope_Output, units)) ||
      !step(SetFormat(player->mixerUnit, kAudioUnitScope_Output, units)) ||
      !step(SetFormat(player->equalizerUnit, kAudioUnitScope_Output, units)) ||
      !step(SetFormat(player->timePitchUnit, kAudioUnitScope_Output, units)) ||
      !step(SetFormat(player->varispeedUnit, kAudioUnitScope_Output, units)))
    return false;

  // Only a maximum above the units' own default is given to them; a unit that refuses it keeps
  // its own, and Lasterror does not hear of it. The field is 32-bit, compared signed.
  const int32_t maximum = Field32(player->MaximumFramesPerSlice);
  if (maximum >= 1157) {
    const UInt32 frames = static_cast<UInt32>(maximum);
    for (AudioUnit unit :
         {player->timePitchUnit.load(), player->equalizerUnit.load(), player->mixerUnit.load(),
          player->converterUnit.load(), player->varispeedUnit.load()}) {
      SetUInt32(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, frames);
    }
  }

  // 1 selects the equalizer's 31-band layout.
  if (!step(AudioUnitSetParameter(player->equalizerUnit, kGraphicEQParam_NumberOfBands,
                                  kAudioUnitScope_Global, 0, 1.0f, 0)) ||
      !step(AUGraphInitialize(graph)) ||
      !step(SetUInt32(player->timePitchUnit, kAudioUnitProperty_RenderQuality,
                      kAudioUnitScope_Global, 127)) ||
      !step(SetUInt32(player->varispeedUnit, kAudioUnitProperty_RenderQuality,
                      kAudioUnitScope_Global, 127)))
    return false;
  return true;
}
