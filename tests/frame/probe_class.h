// FrameProbeXNQ: a class registered through MyREALRegisterClass, as the plugin's classes are.
// Its members call the frame's services so that the frame tests see their effects as a host
// program would (raised exceptions, blocks, events), and use what a host must serve a plugin
// (accessors of every type, byref arguments, defaults, overloads, arrays, dictionaries, an
// assigning method) so that the host tests can check it. FrameBareXNQ has almost nothing in it.
#pragma once

#include "frame/frame.h"

struct ProbeData {
  RBInteger value;    // "Value"
  RBInteger created;  // 1 when the host zero-filled the record before the constructor
  uint32_t u32;
  RBBoolean flag;
  float gain;
  double level;
  REALstring name;
  REALobject tag;  // a Variant
  RBInteger items[4];
  RBInteger band;
  double bandGain, scaled;
};

extern REALclassDefinition ProbeClass;
extern REALproperty ProbeProperties[];
extern REALmethodDefinition ProbeMethods[];
extern REALevent ProbeEvents[];
extern REALconstant ProbeConstants[];
extern const RBInteger kProbePropertyCount, kProbeMethodCount;

extern REALclassDefinition BareClass;
