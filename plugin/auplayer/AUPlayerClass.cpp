// The class tables of AUPlayerXNQ, in the order the host lists them: 41 properties, 12 methods
// and 8 constants. Fields the host reads or writes by itself carry their offsetof position.
#include <iterator>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"

namespace {

// A field the host reads (and, with a setter, writes) by itself at its position in the record.
REALproperty Field(const char *name, const char *type, size_t offset, void *setter = nullptr) {
  REALproperty field = {nullptr, name, type, 6, REALstandardAccessor, setter};
  field.param = static_cast<RBInteger>(offset);
  return field;
}

// A property served by entries; a null setter makes it read-only.
REALproperty Accessors(const char *name, const char *type, void *getter, void *setter = nullptr) {
  return {nullptr, name, type, 6, getter, setter, 0, 0, 0, 0, nullptr, 0};
}

REALproperty AUPlayerProperties[] = {
    Field("ClientFormatString", "String", offsetof(AUPlayerData, ClientFormatString)),
    Accessors("CurrentDeviceID", "UInt32", Routine(getCurrentDevice), Routine(setCurrentDevice)),
    Accessors("DefaultDeviceID", "UInt32", Routine(getDefaultDevice)),
    Accessors("OuputDevices", "Dictionary", Routine(getOuputDevices)),
    Field("OutputFormatString", "String", offsetof(AUPlayerData, OutputFormatString)),
    Field("DataIsInterleaved", "Boolean", offsetof(AUPlayerData, DataIsInterleaved)),
    Field("DataIsFloat", "Boolean", offsetof(AUPlayerData, DataIsFloat)),
    Field("DataIsNativeEndian", "Boolean", offsetof(AUPlayerData, DataIsNativeEndian)),
    Field("DataIsSignedInteger", "Boolean", offsetof(AUPlayerData, DataIsSignedInteger)),
    Field("DataIsPCM", "Boolean", offsetof(AUPlayerData, DataIsPCM)),
    Field("DataNumberInterleavedChannels", "Integer",
          offsetof(AUPlayerData, DataNumberInterleavedChannels)),
    Field("DataNumberChannelStreams", "Integer", offsetof(AUPlayerData, DataNumberChannelStreams)),
    Field("DataNumberChannels", "Integer", offsetof(AUPlayerData, DataNumberChannels)),
    Field("DataSampleWordSize", "Integer", offsetof(AUPlayerData, DataSampleWordSize)),
    Field("ConverterHandle", "Integer", offsetof(AUPlayerData, converterUnit),
          REALstandardAccessor),
    Field("GraphHandle", "Integer", offsetof(AUPlayerData, graph), REALstandardAccessor),
    Field("TimePitchHandle", "Integer", offsetof(AUPlayerData, timePitchUnit),
          REALstandardAccessor),
    Field("VariSpeedHandle", "Integer", offsetof(AUPlayerData, varispeedUnit),
          REALstandardAccessor),
    Field("OutputHandle", "Integer", offsetof(AUPlayerData, outputUnit), REALstandardAccessor),
    Field("MixerHandle", "Integer", offsetof(AUPlayerData, mixerUnit), REALstandardAccessor),
    Field("EqualizerHandle", "Integer", offsetof(AUPlayerData, equalizerUnit),
          REALstandardAccessor),
    Field("Lasterror", "Integer", offsetof(AUPlayerData, Lasterror), REALstandardAccessor),
    Field("Tag", "Variant", offsetof(AUPlayerData, Tag), REALstandardAccessor),
    Field("File", "FolderItem", offsetof(AUPlayerData, File)),
    Accessors("Pan", "Double", Routine(getPan), Routine(setPan)),
    Accessors("CurrentTime", "Double", Routine(getCurrentTime), Routine(setCurrentTime)),
    Accessors("TrackLength", "Double", Routine(getTrackLength)),
    Accessors("Looping", "Boolean", Routine(isLooping), Routine(setLooping)),
    Accessors("Playing", "Boolean", Routine(isPlaying), Routine(setPlaying)),
    Accessors("LoopIn", "Double", Routine(getLoopIn), Routine(setLoopIn)),
    Accessors("LoopOut", "Double", Routine(getLoopOut), Routine(setLoopOut)),
    Accessors("OutputVolume", "Double", Routine(getOutputVolume), Routine(setOutputVolume)),
    Accessors("TimeRate", "Double", Routine(getTimeRate), Routine(setTimeRate)),
    Accessors("PitchRate", "Double", Routine(getPitchRate), Routine(setPitchRate)),
    Accessors("MeterLevel", "Double", Routine(getMeterLevel)),
    Accessors("SampleRate", "Double", Routine(getSampleRate)),
    Accessors("Overlap", "Double", Routine(getOverlap), Routine(setOverlap)),
    Accessors("EnablePeakLocking", "Boolean", Routine(getEnablePeakLocking),
              Routine(setEnablePeakLocking)),
    Field("MaximumFramesPerSlice", "Integer", offsetof(AUPlayerData, MaximumFramesPerSlice),
          REALstandardAccessor),
    Field("OutputUnit", "Integer", offsetof(AUPlayerData, OutputUnit), REALstandardAccessor),
    Field("TimePitchUnit", "Integer", offsetof(AUPlayerData, TimePitchUnit),
          Routine(setTimePitchUnit)),
};
static_assert(sizeof AUPlayerProperties / sizeof AUPlayerProperties[0] == 41);

REALmethodDefinition AUPlayerMethods[] = {
    {Routine(CopyData), nullptr, "Data as Memoryblock", 4, nullptr, 0},
    {Routine(LoadFile), nullptr,
     "LoadFile(file as folderitem, InputChannels as Integer = 2, OutputChannels as Integer = 2) "
     "as boolean",
     4, nullptr, 0},
    {Routine(LoadFileMT), nullptr,
     "LoadFileMT(file as folderitem, InputChannels as Integer = 2, OutputChannels as Integer = 2) "
     "as boolean",
     4, nullptr, 0},
    {Routine(Stop), nullptr, "Pause", 4, nullptr, 0},
    {Routine(Start), nullptr, "Play", 4, nullptr, 0},
    {Routine(Reset), nullptr, "Reset", 4, nullptr, 0},
    {Routine(updateEQd), nullptr, "updateEQ(eqBands() as double)", 4, nullptr, 0},
    {Routine(updateEQf), nullptr, "updateEQ(eqBands() as single)", 4, nullptr, 0},
    {Routine(getInputVolume), Routine(setInputVolume), "InputVolume(inputNum as UInt32) as double",
     4, nullptr, 0},
    {Routine(getInputEnabled), Routine(setInputEnabled),
     "InputEnabled(inputNum as UInt32) as boolean", 4, nullptr, 0},
    {Routine(getChannelMap), nullptr, "ChannelMap as Integer()", 4, nullptr, 0},
    {Routine(setChannelMap), nullptr, "setChannelMap(values() as Integer)", 4, nullptr, 0},
};
static_assert(sizeof AUPlayerMethods / sizeof AUPlayerMethods[0] == 12);

REALconstant Constants[] = {
    {"TimePitchUnitDefault = 0", 0, 0, nullptr, 0},
    {"TimePitchUnitTimePitch = 1", 0, 0, nullptr, 0},
    {"TimePitchUnitVarispeed = 2", 0, 0, nullptr, 0},
    {"OutputUnitDefault = 0", 0, 0, nullptr, 0},
    {"OutputUnitGenericOutput = 1", 0, 0, nullptr, 0},
    {"OutputUnitHALOutput = 2", 0, 0, nullptr, 0},
    {"OutputUnitDefaultOutput = 3", 0, 0, nullptr, 0},
    {"OutputUnitSystemOutput = 4", 0, 0, nullptr, 0},
};

}  // namespace

// Fields not named here stay empty; the version is replaced at registration and the host writes
// the instance data's offset into forSystemUse.
REALclassDefinition AUPlayerClass = {
    .version = 13,
    .name = "AUPlayerXNQ",
    .dataSize = sizeof(AUPlayerData),  // 184 bytes on i386, registered as 192
    .constructor = AUPlayerConstructor,
    .destructor = AUPlayerDestructor,
    .properties = AUPlayerProperties,
    .propertyCount = std::size(AUPlayerProperties),
    .methods = AUPlayerMethods,
    .methodCount = std::size(AUPlayerMethods),
    .constants = Constants,
    .constantCount = std::size(Constants),
    .mFlags = 4,
};
