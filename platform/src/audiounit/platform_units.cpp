// The audio units the platform registers, manufacturer 'appl', in the order they are found.
#include <new>

#include "audiounit/output_unit.h"
#include "audiounit/unit_factories.h"
#include "audiounit/unit_registry.h"
#include "components/platform_components.h"

namespace xnq::au {
namespace {

template <typename Unit, typename... Extra>
AudioUnitBase *make(AudioUnit self, const ComponentDescription &description, Extra... extra) {
  return new (std::nothrow) Unit(self, description, extra...);
}

AudioUnitBase *makeGeneric(AudioUnit self, const ComponentDescription &d) {
  return make<GenericOutput>(self, d);
}
AudioUnitBase *makeHAL(AudioUnit self, const ComponentDescription &d) {
  return make<DeviceOutput>(self, d, DeviceOutput::Follows::kChosenDevice);
}
AudioUnitBase *makeDefault(AudioUnit self, const ComponentDescription &d) {
  return make<DeviceOutput>(self, d, DeviceOutput::Follows::kDefaultOutput);
}
AudioUnitBase *makeSystem(AudioUnit self, const ComponentDescription &d) {
  return make<DeviceOutput>(self, d, DeviceOutput::Follows::kSystemOutput);
}

const UnitKind kUnitKinds[] = {
    {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, "AUHAL", makeHAL},
    {kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput, "DefaultOutputUnit", makeDefault},
    {kAudioUnitType_Output, kAudioUnitSubType_SystemOutput, "SystemOutputUnit", makeSystem},
    {kAudioUnitType_Output, kAudioUnitSubType_GenericOutput, "GenericOutput", makeGeneric},
    {kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, "AUConverter",
     makeConverterUnit},
    {kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, "MultiChannelMixer",
     makeMultichannelMixer},
    {kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ, "GraphicEQ", makeGraphicEq},
    {kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch, "NewTimePitch", makeTimePitch},
    {kAudioUnitType_FormatConverter, kAudioUnitSubType_TimePitch, "TimePitch", makeTimePitch},
    {kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed, "Varispeed", makeVarispeed},
};

}  // namespace

const UnitKind *platformUnitKinds(size_t &count) {
  count = sizeof kUnitKinds / sizeof kUnitKinds[0];
  return kUnitKinds;
}

}  // namespace xnq::au
