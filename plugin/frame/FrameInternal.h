// Frame internals shared between the frame's own files (and its direct tests); classes use
// frame.h only.
#pragma once

#include <pthread.h>

#include "frame/frame.h"

// Host functions used only by the frame, and presence checks for the paths that depend on them.
void RegisterPluginVersion(int32_t version);
// False when the host has no PluginRegisterClass.
bool REALRegisterClass(REALclassDefinition *definition);
bool HostHasREALGetRBVersion();
bool HostHasREALnewInstance();
bool HostHasREALMemoryBlockGetPtr();
bool HostHasREALMemoryBlockGetSize();

// The class-definition version for a host version.
int32_t ControlVersionForHost(double hostVersion);

// Starts the worker of RunThreadedBlocks. pthread_create, except in tests that need to see the
// work run inline when no thread can be started. Hidden like every frame symbol, so a plugin
// never exports it.
using ThreadCreator = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern ThreadCreator gCreateWorkerThread;
