// The two classes of this folder as the frame registers them: CoreAudioXNQ (property access,
// constants, host time, audio unit and component calls) and CoreAudioListenerXNQ (a property
// listener that raises Changed on the main thread).
#pragma once

#include "frame/REALplugin.h"

extern REALclassDefinition CoreAudioClass;
extern REALclassDefinition CoreAudioListenerClass;
