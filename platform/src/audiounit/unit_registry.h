// The platform's audio units as components: one entry routine for all of them, which makes the
// unit object of the registered kind when an instance opens and deletes it when it closes.
#pragma once

#include "audiounit/audio_unit_base.h"

namespace xnq::au {

using UnitFactory = AudioUnitBase *(*)(AudioUnit self, const ComponentDescription &description);

struct UnitKind {
  OSType type;
  OSType subType;
  const char *name;
  UnitFactory make;
};

// The units the platform offers, in registration order.
const UnitKind *platformUnitKinds(size_t &count);

// The unit object behind an instance; null for stale handles and for components that are not
// platform audio units. Lock-free, so it serves the render thread too.
AudioUnitBase *unitOf(AudioUnit unit);

}  // namespace xnq::au
