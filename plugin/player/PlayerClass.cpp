// The host-facing entries of CoreAudioPlayerXNQ and its class tables. Each entry finds the
// object's AudioPlayerData and calls the queue and device operations.
#include "player/PlayerClass.h"

#include <iterator>

#include "frame/frame.h"
#include "player/AudioPlayerData.h"

namespace {

AudioPlayerData *Player(REALobject obj) {
  return InstanceData<AudioPlayerData>(CoreAudioPlayerClass, obj);
}

// A count of 0 stands for the whole (first) block; a nil block or a missing size accessor
// leaves it 0, which the add operations refuse.
RBInteger CountOrBlockSize(REALmemoryBlock block, RBInteger countBytes) {
  if (block != nullptr && countBytes == 0) return static_cast<RBInteger>(MemoryBlockSize(block));
  return countBytes;
}

// ---- Construction, destruction, Start and Stop ----

void CoreAudioPlayAudioConstructor(REALobject obj) { InitPlayer(Player(obj)); }

// Also the Close method: stops output, waits for the device, and frees the queued data.
void CoreAudioPlayAudioDestructor(REALobject obj) { StopPlayer(Player(obj)); }

void Stop(REALobject obj) { StopPlayer(Player(obj)); }

RBBoolean Start(REALobject obj) { return PlaySomeAudio(Player(obj)); }

// ---- Adding and playing ----

RBBoolean rbAddSomeAudio(REALobject obj, REALmemoryBlock data, RBInteger offsetBytes,
                         RBInteger countBytes, RBInteger bitSize, RBBoolean clearBuffers) {
  return AddSomeAudio(Player(obj), data, offsetBytes, CountOrBlockSize(data, countBytes), bitSize,
                      clearBuffers != 0);
}

RBBoolean rbAddSomeFPAudio(REALobject obj, REALmemoryBlock data, RBInteger offsetBytes,
                           RBInteger countBytes, RBBoolean clearBuffers) {
  return AddSomeFloatAudio(Player(obj), data, offsetBytes, CountOrBlockSize(data, countBytes),
                           clearBuffers != 0);
}

RBBoolean rbAddSomeAudiostereo(REALobject obj, REALmemoryBlock data1, REALmemoryBlock data2,
                               RBInteger offsetBytes, RBInteger countBytes, RBInteger bitSize,
                               RBBoolean clearBuffers) {
  return AddSomeAudioStereo(Player(obj), data1, data2, offsetBytes,
                            CountOrBlockSize(data1, countBytes), bitSize, clearBuffers != 0);
}

RBBoolean rbAddSomeFPAudiostereo(REALobject obj, REALmemoryBlock data1, REALmemoryBlock data2,
                                 RBInteger offsetBytes, RBInteger countBytes,
                                 RBBoolean clearBuffers) {
  return AddSomeFloatAudioStereo(Player(obj), data1, data2, offsetBytes,
                                 CountOrBlockSize(data1, countBytes), clearBuffers != 0);
}

RBBoolean rbPlaySomeAudio(REALobject obj, REALmemoryBlock data, RBInteger offsetBytes,
                          RBInteger countBytes, RBInteger bitSize, RBBoolean clearBuffers) {
  if (!rbAddSomeAudio(obj, data, offsetBytes, countBytes, bitSize, clearBuffers)) return false;
  return Start(obj);
}

RBBoolean rbPlaySomeFPAudio(REALobject obj, REALmemoryBlock data, RBInteger offsetBytes,
                            RBInteger countBytes, RBBoolean clearBuffers) {
  if (!rbAddSomeFPAudio(obj, data, offsetBytes, countBytes, clearBuffers)) return false;
  return Start(obj);
}

RBBoolean rbPlaySomeAudiostereo(REALobject obj, REALmemoryBlock data1, REALmemoryBlock data2,
                                RBInteger offsetBytes, RBInteger countBytes, RBInteger bitSize,
                                RBBoolean clearBuffers) {
  if (!rbAddSomeAudiostereo(obj, data1, data2, offsetBytes, countBytes, bitSize, clearBuffers)) {
    return false;
  }
  return Start(obj);
}

RBBoolean rbPlaySomeFPAudiostereo(REALobject obj, REALmemoryBlock data1, REALmemoryBlock data2,
                                  RBInteger offsetBytes, RBInteger countBytes,
                                  RBBoolean clearBuffers) {
  if (!rbAddSomeFPAudiostereo(obj, data1, data2, offsetBytes, countBytes, clearBuffers)) {
    return false;
  }
  return Start(obj);
}

// ---- Queue space and hardware ----

RBInteger rbGetFreeSpace(REALobject obj) {
  const int32_t entries = FreePlayListEntries(Player(obj));
  return entries < 0 ? 0 : entries;
}

RBBoolean rbHasFreeSpace(REALobject obj) { return FreePlayListEntries(Player(obj)) > 0; }

float GetHardwareSampleRate(REALobject) { return DefaultDeviceSampleRate(); }

RBInteger GetHardwareNumberOfChannels(REALobject) {
  return static_cast<RBInteger>(DefaultDeviceChannels());
}

// ---- Property accessors: each reads or writes its field as it is, without a lock ----

double getoutputPositionRelative(REALobject obj, RBInteger) {
  return Player(obj)->outputPositionRelative.load(std::memory_order_relaxed);
}
double getoutputPositionAbsolute(REALobject obj, RBInteger) {
  return Player(obj)->outputPositionAbsolute.load(std::memory_order_relaxed);
}
float GetSampleRate(REALobject obj, RBInteger) {
  return Player(obj)->sampleRate.load(std::memory_order_relaxed);
}
void SetSampleRate(REALobject obj, RBInteger, float value) {
  Player(obj)->sampleRate.store(value, std::memory_order_relaxed);
}
// The field is 32 bits wide; on a 64-bit host a larger Integer keeps its low 32 bits.
RBInteger GetNumberOfChannels(REALobject obj, RBInteger) {
  return Player(obj)->numberOfChannels.load(std::memory_order_relaxed);
}
void SetNumberOfChannels(REALobject obj, RBInteger, RBInteger value) {
  Player(obj)->numberOfChannels.store(static_cast<int32_t>(value), std::memory_order_relaxed);
}
RBInteger GetOutputDevice(REALobject obj, RBInteger) {
  return static_cast<RBInteger>(Player(obj)->outputDeviceID);
}
void SetOutputDevice(REALobject obj, RBInteger, RBInteger value) {
  Player(obj)->outputDeviceID = static_cast<uint32_t>(value);
}
RBBoolean GetRunning(REALobject obj, RBInteger) {
  return Player(obj)->isRunning.load(std::memory_order_acquire);
}
RBBoolean GetNoUnderflow(REALobject obj, RBInteger) {
  return Player(obj)->noUnderflow.load(std::memory_order_relaxed);
}
void SetNoUnderflow(REALobject obj, RBInteger, RBBoolean value) {
  Player(obj)->noUnderflow.store(value, std::memory_order_relaxed);
}
RBBoolean GetHadUnderflow(REALobject obj, RBInteger) {
  return Player(obj)->hadUnderflow.load(std::memory_order_relaxed);
}
void SetHadUnderflow(REALobject obj, RBInteger, RBBoolean value) {
  Player(obj)->hadUnderflow.store(value, std::memory_order_relaxed);
}

// ---- Tables, in the order the host lists them ----

REALproperty CoreAudioPlayAudioProperties[] = {
    {nullptr, "OutputPositionRelative", "Double", 6, Routine(getoutputPositionRelative), nullptr,
     0},
    {nullptr, "SampleRate", "Single", 6, Routine(GetSampleRate), Routine(SetSampleRate), 0},
    {nullptr, "NumberOfChannels", "Integer", 6, Routine(GetNumberOfChannels),
     Routine(SetNumberOfChannels), 0},
    {nullptr, "OutputDeviceID", "Integer", 6, Routine(GetOutputDevice), Routine(SetOutputDevice),
     0},
    {nullptr, "IsRunning", "Boolean", 6, Routine(GetRunning), nullptr, 0},
    {nullptr, "OutputPosition", "Double", 6, Routine(getoutputPositionAbsolute), nullptr, 0},
    {nullptr, "NoUnderflow", "Boolean", 6, Routine(GetNoUnderflow), Routine(SetNoUnderflow), 0},
    {nullptr, "HadUnderflow", "Boolean", 6, Routine(GetHadUnderflow), Routine(SetHadUnderflow), 0},
};

REALmethodDefinition CoreAudioPlayAudioMethods[] = {
    {Routine(rbAddSomeAudio), nullptr,
     "AddAudio(Data as memoryblock, offsetBytes as integer=0, countBytes as integer=0, BitSize as "
     "integer=16, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbAddSomeFPAudio), nullptr,
     "AddFloatAudio(FloatData as memoryblock, offsetBytes as integer=0, countBytes as integer=0, "
     "ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbAddSomeAudiostereo), nullptr,
     "AddAudioStereo(Data1 as memoryblock, Data2 as memoryblock, offsetBytes as integer=0, "
     "countBytes as integer=0, BitSize as integer=16, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbAddSomeFPAudiostereo), nullptr,
     "AddFloatAudioStereo(FloatData1 as memoryblock, FloatData2 as memoryblock, offsetBytes as "
     "integer=0, countBytes as integer=0, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbPlaySomeAudio), nullptr,
     "PlayAudio(Data as memoryblock, offsetBytes as integer=0, countBytes as integer=0, BitSize "
     "as integer=16, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbPlaySomeFPAudio), nullptr,
     "PlayFloatAudio(FloatData as memoryblock, offsetBytes as integer=0, countBytes as "
     "integer=0, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbPlaySomeAudiostereo), nullptr,
     "PlayAudioStereo(Data1 as memoryblock, Data2 as memoryblock, offsetBytes as integer=0, "
     "countBytes as integer=0, BitSize as integer=16, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbPlaySomeFPAudiostereo), nullptr,
     "PlayFloatAudioStereo(FloatData1 as memoryblock, FloatData2 as memoryblock, offsetBytes as "
     "integer=0, countBytes as integer=0, ClearBuffers as boolean=false) as boolean",
     4},
    {Routine(rbGetFreeSpace), nullptr, "FreeSpace as integer", 4},
    {Routine(rbHasFreeSpace), nullptr, "HasFreeSpace as boolean", 4},
    {Routine(GetHardwareSampleRate), nullptr, "HardwareSampleRate as single", 4},
    {Routine(GetHardwareNumberOfChannels), nullptr, "HardwareNumberOfChannels as integer", 4},
    {Routine(CoreAudioPlayAudioDestructor), nullptr, "Close", 4},
    {Routine(Stop), nullptr, "Stop", 4},
    {Routine(Start), nullptr, "Start as boolean", 4},
};

}  // namespace

// Fields not named here stay empty; the version is replaced at registration and the host writes
// the instance data's offset into forSystemUse.
REALclassDefinition CoreAudioPlayerClass = {
    .version = 13,
    .name = "CoreAudioPlayerXNQ",
    .dataSize = sizeof(AudioPlayerData),  // 1664 bytes on i386
    .constructor = CoreAudioPlayAudioConstructor,
    .destructor = CoreAudioPlayAudioDestructor,
    .properties = CoreAudioPlayAudioProperties,
    .propertyCount = std::size(CoreAudioPlayAudioProperties),
    .methods = CoreAudioPlayAudioMethods,
    .methodCount = std::size(CoreAudioPlayAudioMethods),
    .mFlags = 4,
};

static_assert(sizeof CoreAudioPlayAudioProperties / sizeof CoreAudioPlayAudioProperties[0] == 8);
static_assert(sizeof CoreAudioPlayAudioMethods / sizeof CoreAudioPlayAudioMethods[0] == 15);
