// The property-code constants of CoreAudioXNQ in table order: X(name, code) for the String
// constants, whose value is the four-character code in reading order. The two Integer constants
// follow them at the end of the table (see the class table).
#pragma once

#define XNQ_PROPERTY_CODE_CONSTANTS(X)                             \
  X(kAudioHardwarePropertyDevices, "dev#")                         \
  X(kAudioHardwarePropertyDefaultInputDevice, "dIn ")              \
  X(kAudioHardwarePropertyDefaultOutputDevice, "dOut")             \
  X(kAudioHardwarePropertyDefaultSystemOutputDevice, "sOut")       \
  X(kAudioHardwarePropertyDeviceForUID, "duid")                    \
  X(kAudioHardwarePropertySleepingIsAllowed, "slep")               \
  X(kAudioHardwarePropertyUnloadingIsAllowed, "unld")              \
  X(kAudioHardwarePropertyRunLoop, "rnlp")                         \
  X(kAudioHardwarePropertyBootChimeVolumeScalar, "bbvs")           \
  X(kAudioHardwarePropertyBootChimeVolumeDecibels, "bbvd")         \
  X(kAudioHardwarePropertyBootChimeVolumeRangeDecibels, "bbd#")    \
  X(kAudioHardwarePropertyBootChimeVolumeScalarToDecibels, "bv2d") \
  X(kAudioHardwarePropertyBootChimeVolumeDecibelsToScalar, "bd2v") \
  X(kAudioDevicePropertyDeviceName, "name")                        \
  X(kAudioDevicePropertyDeviceNameCFString, "lnam")                \
  X(kAudioDevicePropertyDeviceManufacturer, "makr")                \
  X(kAudioDevicePropertyDeviceManufacturerCFString, "lmak")        \
  X(kAudioDevicePropertyPlugIn, "plug")                            \
  X(kAudioDevicePropertyDeviceUID, "uid ")                         \
  X(kAudioDevicePropertyTransportType, "tran")                     \
  X(kAudioDevicePropertyDeviceIsAlive, "livn")                     \
  X(kAudioDevicePropertyDeviceIsRunning, "goin")                   \
  X(kAudioDevicePropertyDeviceIsRunningSomewhere, "gone")          \
  X(kAudioDevicePropertyDeviceCanBeDefaultDevice, "dflt")          \
  X(kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, "sflt")    \
  X(kAudioDevicePropertyJackIsConnected, "jack")                   \
  X(kAudioDeviceProcessorOverload, "over")                         \
  X(kAudioDevicePropertyHogMode, "oink")                           \
  X(kAudioDevicePropertyRegisterBufferList, "rbuf")                \
  X(kAudioDevicePropertyLatency, "ltnc")                           \
  X(kAudioDevicePropertyBufferSize, "bsiz")                        \
  X(kAudioDevicePropertyBufferSizeRange, "bsz#")                   \
  X(kAudioDevicePropertyBufferFrameSize, "fsiz")                   \
  X(kAudioDevicePropertyBufferFrameSizeRange, "fsz#")              \
  X(kAudioDevicePropertyUsesVariableBufferFrameSizes, "vfsz")      \
  X(kAudioDevicePropertyStreams, "stm#")                           \
  X(kAudioDevicePropertySafetyOffset, "saft")                      \
  X(kAudioDevicePropertySupportsMixing, "mix?")                    \
  X(kAudioDevicePropertyStreamConfiguration, "slay")               \
  X(kAudioDevicePropertyIOProcStreamUsage, "suse")                 \
  X(kAudioDevicePropertyPreferredChannelsForStereo, "dch2")        \
  X(kAudioDevicePropertyNominalSampleRate, "nsrt")                 \
  X(kAudioDevicePropertyAvailableNominalSampleRates, "nsr#")       \
  X(kAudioDevicePropertyActualSampleRate, "asrt")                  \
  X(kAudioDevicePropertyStreamFormat, "sfmt")                      \
  X(kAudioDevicePropertyStreamFormats, "sfm#")                     \
  X(kAudioDevicePropertyStreamFormatSupported, "sfm?")             \
  X(kAudioDevicePropertyStreamFormatMatch, "sfmm")                 \
  X(kAudioDevicePropertyVolumeScalar, "volm")                      \
  X(kAudioDevicePropertyVolumeDecibels, "vold")                    \
  X(kAudioDevicePropertyVolumeRangeDecibels, "vdb#")               \
  X(kAudioDevicePropertyVolumeScalarToDecibels, "v2db")            \
  X(kAudioDevicePropertyVolumeDecibelsToScalar, "db2v")            \
  X(kAudioDevicePropertyMute, "mute")                              \
  X(kAudioDevicePropertyPlayThru, "thru")                          \
  X(kAudioDevicePropertyDataSource, "ssrc")                        \
  X(kAudioDevicePropertyDataSources, "ssc#")                       \
  X(kAudioDevicePropertyDataSourceNameForID, "sscn")               \
  X(kAudioDevicePropertyDataSourceNameForIDCFString, "lscn")       \
  X(kAudioDevicePropertyClockSource, "csrc")                       \
  X(kAudioDevicePropertyClockSources, "csc#")                      \
  X(kAudioDevicePropertyClockSourceNameForID, "cscn")              \
  X(kAudioDevicePropertyClockSourceNameForIDCFString, "lcsn")      \
  X(kAudioDevicePropertyDriverShouldOwniSub, "isub")               \
  X(kAudioDevicePropertySubVolumeScalar, "svlm")                   \
  X(kAudioDevicePropertySubVolumeDecibels, "svld")                 \
  X(kAudioDevicePropertySubVolumeRangeDecibels, "svd#")            \
  X(kAudioDevicePropertySubVolumeScalarToDecibels, "sv2d")         \
  X(kAudioDevicePropertySubVolumeDecibelsToScalar, "sd2v")         \
  X(kAudioDevicePropertySubMute, "smut")                           \
  X(kAudioStreamPropertyOwningDevice, "stdv")                      \
  X(kAudioStreamPropertyDirection, "sdir")                         \
  X(kAudioStreamPropertyTerminalType, "term")                      \
  X(kAudioStreamPropertyStartingChannel, "schn")                   \
  X(kAudioStreamPropertyPhysicalFormat, "pft ")                    \
  X(kAudioStreamPropertyPhysicalFormats, "pft#")                   \
  X(kAudioStreamPropertyPhysicalFormatSupported, "pft?")           \
  X(kAudioStreamPropertyPhysicalFormatMatch, "pftm")               \
  X(kAudioPropertyWildcardPropertyID, "****")
