// The output device: the one the output unit plays to, the system's default, and a dictionary of
// every device with an output side.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"
#include "os/audio_hardware.h"

namespace {

// The methods of the host Dictionary that getOuputDevices looked up last, process-wide. Only
// getOuputDevices uses them, on host threads; atomics so that two threads filling dictionaries
// at once never see a torn pointer (every Dictionary answers with the same methods).
std::atomic<REALobject> LastDictionary{nullptr};
std::atomic<void *> LastDictionarySetter{nullptr};
std::atomic<void *> LastDictionaryGetter{nullptr};
std::atomic<void *> LastDictionaryKeyGetter{nullptr};

using DictionarySetter = void (*)(REALobject dictionary, REALobject key, REALobject value);

// Maps a device ID to its name in the dictionary; a device without an output stream or a name is
// left out.
void AddDevice(REALobject dictionary, AudioDeviceID device) {
  UInt32 size = 0;
  if (AudioDeviceGetPropertyInfo(device, 0, false, kAudioDevicePropertyStreamFormat, &size,
                                 nullptr) != noErr)
    return;
  char name[200] = {};
  size = sizeof name;
  const AudioObjectPropertyAddress nameAddress = {kAudioDevicePropertyDeviceName,
                                                  kAudioObjectPropertyScopeGlobal, 0};
  if (AudioObjectGetPropertyData(device, &nameAddress, 0, nullptr, &size, name) != noErr) return;
  REALstring text = REALBuildUnicodeString(name, static_cast<int64_t>(strnlen(name, sizeof name)),
                                           kTextEncodingUTF8);
  REALobject key = REALNewVariantInteger(static_cast<RBInteger>(device));
  REALobject value = REALNewVariantString(text);
  if (LastDictionary.load() != dictionary) {
    LastDictionary.store(dictionary);
    LastDictionarySetter.store(
        REALLoadObjectMethod(dictionary, "Value(key As Variant, Assigns _value As Variant)"));
    LastDictionaryGetter.store(
        REALLoadObjectMethod(dictionary, "Value(key As Variant) As Variant"));
    LastDictionaryKeyGetter.store(
        REALLoadObjectMethod(dictionary, "Key(index As Integer) As Variant"));
  }
  if (auto setter = reinterpret_cast<DictionarySetter>(LastDictionarySetter.load()))
    setter(dictionary, key, value);
  if (key != nullptr) REALUnlockObject(key);
  if (value != nullptr) REALUnlockObject(value);
  if (text != nullptr) REALUnlockString(text);
}

}  // namespace

uint32_t getCurrentDevice(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  AudioDeviceID device = 0;
  UInt32 size = sizeof device;
  OSStatus status = AudioUnitGetProperty(player->outputUnit, kAudioOutputUnitProperty_CurrentDevice,
                                         kAudioUnitScope_Global, 0, &device, &size);
  SetLasterror(player, status);
  return status == noErr ? device : 0;
}

// With the HAL output unit (OutputUnit 0 or 2) this chooses the device the graph plays to.
void setCurrentDevice(REALobject obj, RBInteger, uint32_t device) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  const AudioDeviceID id = device;
  SetLasterror(player,
               AudioUnitSetProperty(player->outputUnit, kAudioOutputUnitProperty_CurrentDevice,
                                    kAudioUnitScope_Global, 0, &id, sizeof id));
}

uint32_t getDefaultDevice(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  AudioDeviceID device = 0;
  UInt32 size = sizeof device;
  OSStatus status =
      AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &device);
  SetLasterror(player, status);
  return status == noErr ? device : 0;
}

// A host Dictionary of device ID → name, output devices only; nil when the devices cannot be
// listed. A system without any device raises the out-of-memory exception, as an empty list
// cannot be held.
REALobject getOuputDevices(REALobject obj, RBInteger) {
  AUPlayerData *player = AUPlayer(obj);
  SetLasterror(player, -1);
  const AudioObjectPropertyAddress devices = {kAudioHardwarePropertyDevices,
                                              kAudioObjectPropertyScopeGlobal, 0};
  UInt32 size = 0;
  OSStatus status =
      AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size);
  SetLasterror(player, status);
  if (status != noErr) return nullptr;
  SetLasterror(player, -1);
  auto *ids =
      size == 0 || size > 0x7FFFFFFF ? nullptr : static_cast<AudioDeviceID *>(calloc(1, size));
  if (ids == nullptr) {
    RaiseException("OutOfMemoryException", "Failed to allocate buffer for device IDs.");
    return nullptr;
  }
  status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, ids);
  SetLasterror(player, status);
  REALobject dictionary = status == noErr ? REALnewInstance("Dictionary") : nullptr;
  if (dictionary != nullptr) {
    for (UInt32 i = 0; i < size / sizeof(AudioDeviceID); ++i) AddDevice(dictionary, ids[i]);
  }
  LastDictionary.store(nullptr);
  free(ids);
  return dictionary;
}
