// The output unit's channel map: one signed 32-bit entry per channel, -1 for an unmapped one, as
// many as the unit reports.
#include <stdlib.h>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"
#include "auplayer/ArrayElements.h"

namespace {

// The unit's current map in a buffer of the size it reports, or null (with Lasterror set, or the
// out-of-memory exception raised). The caller frees it.
SInt32 *ReadChannelMap(AUPlayerData *player, UInt32 *size) {
  SetLasterror(player, -1);
  *size = 0;
  OSStatus status =
      AudioUnitGetPropertyInfo(player->outputUnit, kAudioOutputUnitProperty_ChannelMap,
                               kAudioUnitScope_Output, 0, size, nullptr);
  SetLasterror(player, status);
  if (status != noErr || *size == 0) return nullptr;
  SetLasterror(player, -1);
  auto *map = *size > 0x7FFFFFFF ? nullptr : static_cast<SInt32 *>(calloc(1, *size));
  if (map == nullptr) {
    RaiseException("OutOfMemoryException", "Failed to allocate buffer for channel map.");
    return nullptr;
  }
  status = AudioUnitGetProperty(player->outputUnit, kAudioOutputUnitProperty_ChannelMap,
                                kAudioUnitScope_Output, 0, map, size);
  SetLasterror(player, status);
  if (status != noErr) {
    free(map);
    return nullptr;
  }
  return map;
}

}  // namespace

REALarray getChannelMap(REALobject obj) {
  UInt32 size = 0;
  SInt32 *map = ReadChannelMap(AUPlayer(obj), &size);
  if (map == nullptr) return nullptr;
  REALarray array = REALCreateArray();
  if (array != nullptr) {
    for (UInt32 i = 0; i < size / sizeof(SInt32); ++i) {
      // Each entry goes after the last one; without an inserter it is left out.
      if (REALIntegerArrayInserter insert = REALInsertArrayValueInteger(array))
        insert(array, REALGetArrayUBound(array) + 1, map[i]);
    }
  }
  free(map);
  return array;
}

// Entry i takes element i; entries past the array's end (all of them for nil or an empty array)
// are unmapped, and elements past the map's end are ignored.
void setChannelMap(REALobject obj, REALarray values) {
  AUPlayerData *player = AUPlayer(obj);
  UInt32 size = 0;
  SInt32 *map = ReadChannelMap(player, &size);
  if (map == nullptr) return;
  const UInt32 entries = size / sizeof(SInt32);
  for (UInt32 i = 0; i < entries; ++i) map[i] = -1;
  const RBInteger upperBound = values != nullptr ? REALGetArrayUBound(values) : -1;
  for (RBInteger i = 0; i <= upperBound && i < static_cast<RBInteger>(entries); ++i) {
    map[i] = static_cast<SInt32>(IntegerElement(values, i));
  }
  SetLasterror(player, AudioUnitSetProperty(player->outputUnit, kAudioOutputUnitProperty_ChannelMap,
                                            kAudioUnitScope_Output, 0, map, size));
  free(map);
}
