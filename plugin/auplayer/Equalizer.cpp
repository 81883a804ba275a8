// The equalizer's band gains and the mixer's inputs.
#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"
#include "auplayer/ArrayElements.h"

namespace {

// Band i takes element i, in dB. Elements past the last band are passed on as they are, and the
// equalizer answers for them; its statuses are not kept.
template <typename ReadElement>
void UpdateBands(REALobject obj, REALarray bands, ReadElement element) {
  if (bands == nullptr) {
    RaiseException("NilObjectException", "eqBands is nil!");
    return;
  }
  AudioUnit equalizer = AUPlayer(obj)->equalizerUnit;
  if (equalizer == nullptr) return;
  const RBInteger upperBound = REALGetArrayUBound(bands);
  for (RBInteger i = 0; i <= upperBound; ++i) {
    const float gain = Single(element(bands, i));
    AudioUnitSetParameter(equalizer, static_cast<AudioUnitParameterID>(i), kAudioUnitScope_Global,
                          0, gain, 0);
  }
}

// Reads a parameter of one mixer input; false with 0 when the mixer refuses.
bool GetInputParameter(AUPlayerData *player, AudioUnitParameterID id, uint32_t input,
                       AudioUnitParameterValue *value) {
  SetLasterror(player, -1);
  *value = 0;
  OSStatus status =
      AudioUnitGetParameter(player->mixerUnit, id, kAudioUnitScope_Input, input, value);
  SetLasterror(player, status);
  if (status != noErr) *value = 0;
  return status == noErr;
}

void SetInputParameter(AUPlayerData *player, AudioUnitParameterID id, uint32_t input, float value) {
  SetLasterror(player, -1);
  SetLasterror(
      player, AudioUnitSetParameter(player->mixerUnit, id, kAudioUnitScope_Input, input, value, 0));
}

}  // namespace

void updateEQd(REALobject obj, REALarray eqBands) { UpdateBands(obj, eqBands, DoubleElement); }

void updateEQf(REALobject obj, REALarray eqBands) { UpdateBands(obj, eqBands, SingleElement); }

double getInputVolume(REALobject obj, uint32_t inputNum) {
  AudioUnitParameterValue volume;
  GetInputParameter(AUPlayer(obj), kMultiChannelMixerParam_Volume, inputNum, &volume);
  return volume;
}

void setInputVolume(REALobject obj, uint32_t inputNum, double value) {
  SetInputParameter(AUPlayer(obj), kMultiChannelMixerParam_Volume, inputNum, Single(value));
}

// True when the mixer's value, truncated to an integer, has a nonzero low byte: 1.0 is on, 0.5
// and 0.0 are off.
RBBoolean getInputEnabled(REALobject obj, uint32_t inputNum) {
  AudioUnitParameterValue enabled;
  if (!GetInputParameter(AUPlayer(obj), kMultiChannelMixerParam_Enable, inputNum, &enabled))
    return false;
  return (TruncatedLow32(enabled) & 0xFF) != 0;
}

void setInputEnabled(REALobject obj, uint32_t inputNum, RBBoolean value) {
  SetInputParameter(AUPlayer(obj), kMultiChannelMixerParam_Enable, inputNum, value ? 1.0f : 0.0f);
}
