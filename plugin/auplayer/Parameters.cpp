// The parameters of the mixer and the two rate units, and the choice of the rate unit. Values
// travel as 32-bit floats and are not checked here: each unit's own range check decides, and its
// status is kept in Lasterror.
#include <math.h>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"

namespace {

// Reads a parameter of element 0; 0 when the unit refuses.
double GetParameter(AUPlayerData *player, AudioUnit unit, AudioUnitParameterID id,
                    AudioUnitScope scope) {
  SetLasterror(player, -1);
  AudioUnitParameterValue value = 0;
  OSStatus status = AudioUnitGetParameter(unit, id, scope, 0, &value);
  SetLasterror(player, status);
  return status == noErr ? value : 0;
}

void SetParameter(AUPlayerData *player, AudioUnit unit, AudioUnitParameterID id,
                  AudioUnitScope scope, double value) {
  SetLasterror(player, -1);
  SetLasterror(player, AudioUnitSetParameter(unit, id, scope, 0, Single(value), 0));
}

// Rate, pitch, overlap and peak locking go to the time-pitch unit and then to the varispeed
// unit, whichever of the two plays; only the time-pitch unit's status is kept.
void SetRateParameter(AUPlayerData *player, AudioUnitParameterID id, float value) {
  SetLasterror(player, -1);
  SetLasterror(player, AudioUnitSetParameter(player->timePitchUnit, id, kAudioUnitScope_Global, 0,
                                             value, 0));
  AudioUnitSetParameter(player->varispeedUnit, id, kAudioUnitScope_Global, 0, value, 0);
}

double GetTimePitchParameter(AUPlayerData *player, AudioUnitParameterID id) {
  return GetParameter(player, player->timePitchUnit, id, kAudioUnitScope_Global);
}

// Bypasses one rate unit, then lets the other play, keeping each status.
void SwitchRateUnit(AUPlayerData *player, AudioUnit bypassed, AudioUnit playing) {
  const UInt32 off = 1, on = 0;
  SetLasterror(player, AudioUnitSetProperty(bypassed, kAudioUnitProperty_BypassEffect,
                                            kAudioUnitScope_Global, 0, &off, sizeof off));
  SetLasterror(player, AudioUnitSetProperty(playing, kAudioUnitProperty_BypassEffect,
                                            kAudioUnitScope_Global, 0, &on, sizeof on));
}

}  // namespace

double getOutputVolume(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  return GetParameter(player, player->mixerUnit, kMultiChannelMixerParam_Volume,
                      kAudioUnitScope_Output);
}

void setOutputVolume(REALobject obj, RBInteger, double value) {
  AUPlayerData *player = AUPlayer(obj);
  SetParameter(player, player->mixerUnit, kMultiChannelMixerParam_Volume, kAudioUnitScope_Output,
               value);
}

double getPan(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  return GetParameter(player, player->mixerUnit, kMultiChannelMixerParam_Pan,
                      kAudioUnitScope_Input);
}

void setPan(REALobject obj, RBInteger, double value) {
  AUPlayerData *player = AUPlayer(obj);
  SetParameter(player, player->mixerUnit, kMultiChannelMixerParam_Pan, kAudioUnitScope_Input,
               value);
}

// The mixer's average power after its volume, in dB, metered since the load switched it on.
double getMeterLevel(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  return GetParameter(player, player->mixerUnit, kMultiChannelMixerParam_PostAveragePower,
                      kAudioUnitScope_Input);
}

double getTimeRate(REALobject obj, RBInteger) {
  return GetTimePitchParameter(AUPlayer(obj), kNewTimePitchParam_Rate);
}

// The rate is rounded down to a multiple of 0.01.
void setTimeRate(REALobject obj, RBInteger, double value) {
  SetRateParameter(AUPlayer(obj), kNewTimePitchParam_Rate, Single(floor(value * 100) / 100));
}

double getPitchRate(REALobject obj, RBInteger) {
  return GetTimePitchParameter(AUPlayer(obj), kNewTimePitchParam_Pitch);
}

void setPitchRate(REALobject obj, RBInteger, double value) {
  SetRateParameter(AUPlayer(obj), kNewTimePitchParam_Pitch, Single(value));
}

double getOverlap(REALobject obj, RBInteger) {
  return GetTimePitchParameter(AUPlayer(obj), kNewTimePitchParam_Overlap);
}

void setOverlap(REALobject obj, RBInteger, double value) {
  SetRateParameter(AUPlayer(obj), kNewTimePitchParam_Overlap, Single(value));
}

RBBoolean getEnablePeakLocking(REALobject obj, RBInteger) {
  return GetTimePitchParameter(AUPlayer(obj), kNewTimePitchParam_EnablePeakLocking) > 0.5;
}

void setEnablePeakLocking(REALobject obj, RBInteger, RBBoolean value) {
  SetRateParameter(AUPlayer(obj), kNewTimePitchParam_EnablePeakLocking, value ? 1.0f : 0.0f);
}

// 1 (or 0, which stands for it) plays through the time-pitch unit, 2 through the varispeed
// unit; other values change nothing. Choosing the unit that already plays makes no call. Before
// a load the handles are 0 and the calls fail, but the choice is kept and the load applies it.
// Under the load lock: a load running on another thread fetches the units and applies the choice
// under it, so the two never interleave.
void setTimePitchUnit(REALobject obj, RBInteger, RBInteger value) {
  AUPlayerData *player = AUPlayer(obj);
  std::lock_guard<std::mutex> lock(gLoadLock);
  SetLasterror(player, -1);
  const RBInteger unit = value == 0 ? 1 : value;
  if (unit == 2) {
    if (player->TimePitchUnit != 2)
      SwitchRateUnit(player, player->timePitchUnit, player->varispeedUnit);
    player->TimePitchUnit = 2;
  } else if (unit == 1) {
    if (player->TimePitchUnit != 1)
      SwitchRateUnit(player, player->varispeedUnit, player->timePitchUnit);
    player->TimePitchUnit = 1;
  }
}
