// The factories of the platform's processing units, one per unit kind, for the unit table.
#pragma once

#include "audiounit/audio_unit_base.h"

namespace xnq::au {

AudioUnitBase *makeConverterUnit(AudioUnit self, const ComponentDescription &description);
AudioUnitBase *makeMultichannelMixer(AudioUnit self, const ComponentDescription &description);
AudioUnitBase *makeGraphicEq(AudioUnit self, const ComponentDescription &description);
AudioUnitBase *makeTimePitch(AudioUnit self, const ComponentDescription &description);
AudioUnitBase *makeVarispeed(AudioUnit self, const ComponentDescription &description);

}  // namespace xnq::au
