// Elements of the host arrays that updateEQ and setChannelMap read.
#pragma once

#include "frame/REALplugin.h"

// Element i of a Double, Single or Integer array. Past the array's current upper bound the
// element reads 0 and an out-of-bounds exception is raised; a host that can give no element
// also reads 0.
double DoubleElement(REALarray array, RBInteger index);
float SingleElement(REALarray array, RBInteger index);
RBInteger IntegerElement(REALarray array, RBInteger index);
