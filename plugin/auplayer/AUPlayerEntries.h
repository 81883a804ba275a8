// The host-facing entries of AUPlayerXNQ as its class tables name them. Methods take the host
// object first, then the declared parameters; getters take the object and the property's
// parameter word, setters those and the new value. Host Integers are RBInteger, UInt32 is
// uint32_t, Boolean is RBBoolean.
#pragma once

#include <stdint.h>

#include "frame/REALplugin.h"

// Construction and the decoded data (Lifecycle.cpp).
void AUPlayerConstructor(REALobject obj);
void AUPlayerDestructor(REALobject obj);
REALmemoryBlock CopyData(REALobject obj);

// Loading (LoadFile.cpp).
RBBoolean LoadFile(REALobject obj, REALfolderItem file, RBInteger inputChannels,
                   RBInteger outputChannels);
RBBoolean LoadFileMT(REALobject obj, REALfolderItem file, RBInteger inputChannels,
                     RBInteger outputChannels);

// Transport, position and loop (Transport.cpp).
void Start(REALobject obj);
void Stop(REALobject obj);
void Reset(REALobject obj);
RBBoolean isPlaying(REALobject obj, RBInteger param);
void setPlaying(REALobject obj, RBInteger param, RBBoolean value);
double getCurrentTime(REALobject obj, RBInteger param);
void setCurrentTime(REALobject obj, RBInteger param, double seconds);
double getTrackLength(REALobject obj, RBInteger param);
double getSampleRate(REALobject obj, RBInteger param);
double getLoopIn(REALobject obj, RBInteger param);
void setLoopIn(REALobject obj, RBInteger param, double seconds);
double getLoopOut(REALobject obj, RBInteger param);
void setLoopOut(REALobject obj, RBInteger param, double seconds);
RBBoolean isLooping(REALobject obj, RBInteger param);
void setLooping(REALobject obj, RBInteger param, RBBoolean value);

// Unit parameters and the rate unit (Parameters.cpp).
double getOutputVolume(REALobject obj, RBInteger param);
void setOutputVolume(REALobject obj, RBInteger param, double value);
double getPan(REALobject obj, RBInteger param);
void setPan(REALobject obj, RBInteger param, double value);
double getMeterLevel(REALobject obj, RBInteger param);
double getTimeRate(REALobject obj, RBInteger param);
void setTimeRate(REALobject obj, RBInteger param, double value);
double getPitchRate(REALobject obj, RBInteger param);
void setPitchRate(REALobject obj, RBInteger param, double value);
double getOverlap(REALobject obj, RBInteger param);
void setOverlap(REALobject obj, RBInteger param, double value);
RBBoolean getEnablePeakLocking(REALobject obj, RBInteger param);
void setEnablePeakLocking(REALobject obj, RBInteger param, RBBoolean value);
void setTimePitchUnit(REALobject obj, RBInteger param, RBInteger value);

// Equalizer and mixer inputs (Equalizer.cpp).
void updateEQd(REALobject obj, REALarray eqBands);
void updateEQf(REALobject obj, REALarray eqBands);
double getInputVolume(REALobject obj, uint32_t inputNum);
void setInputVolume(REALobject obj, uint32_t inputNum, double value);
RBBoolean getInputEnabled(REALobject obj, uint32_t inputNum);
void setInputEnabled(REALobject obj, uint32_t inputNum, RBBoolean value);

// Channel map (ChannelMap.cpp).
REALarray getChannelMap(REALobject obj);
void setChannelMap(REALobject obj, REALarray values);

// Devices (Devices.cpp).
uint32_t getCurrentDevice(REALobject obj, RBInteger param);
void setCurrentDevice(REALobject obj, RBInteger param, uint32_t device);
uint32_t getDefaultDevice(REALobject obj, RBInteger param);
REALobject getOuputDevices(REALobject obj, RBInteger param);
