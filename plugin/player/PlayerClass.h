// The class CoreAudioPlayerXNQ as the host sees it; the frame's REALPluginMain registers it.
#pragma once

#include "frame/REALplugin.h"

extern REALclassDefinition CoreAudioPlayerClass;
