// FrameProbeXNQ: a class registered by the frame tests through MyREALRegisterClass, whose
// members call the frame's services so that a test sees their effects as a host program would
// (raised exceptions, blocks, events). FrameBareXNQ is a class with almost nothing in it.
#pragma once

#include "frame/frame.h"

struct ProbeData {
  RBInteger value;     // standard accessor "Value"
  RBInteger created;   // set by the constructor
  RBInteger spare[3];  // brings the declared size to 20 bytes on i386
};

extern REALclassDefinition ProbeClass;
extern REALproperty ProbeProperties[];
extern REALmethodDefinition ProbeMethods[];
extern REALevent ProbeEvents[];
extern REALconstant ProbeConstants[];
extern REALmethodDefinition ProbeSharedMethods[];
extern const RBInteger kProbePropertyCount, kProbeMethodCount, kProbeConstantCount,
    kProbeSharedMethodCount;

extern REALclassDefinition BareClass;
