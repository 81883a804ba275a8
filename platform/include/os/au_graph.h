// Audio unit graphs: nodes that hold audio units, connections between them and input callbacks,
// opened, initialized, started and stopped as one.
#pragma once

#include "os/audio_unit.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueAUGraph *AUGraph;
typedef SInt32 AUNode;

enum {
  kAUGraphErr_NodeNotFound = -10860,
  kAUGraphErr_InvalidConnection = -10861,
  kAUGraphErr_OutputNodeErr = -10862,
  kAUGraphErr_CannotDoInCurrentContext = -10863,
  kAUGraphErr_InvalidAudioUnit = -10864,
};

OSStatus NewAUGraph(AUGraph *outGraph);
// Stops, uninitializes and closes the graph first when it runs.
OSStatus DisposeAUGraph(AUGraph inGraph);

OSStatus AUGraphAddNode(AUGraph inGraph, const ComponentDescription *inDescription,
                        AUNode *outNode);
OSStatus AUGraphRemoveNode(AUGraph inGraph, AUNode inNode);
OSStatus AUGraphGetNodeCount(AUGraph inGraph, UInt32 *outNumberOfNodes);
OSStatus AUGraphGetIndNode(AUGraph inGraph, UInt32 inIndex, AUNode *outNode);
// Either output may be null. The unit exists once the graph is open.
OSStatus AUGraphNodeInfo(AUGraph inGraph, AUNode inNode, ComponentDescription *outDescription,
                         AudioUnit *outAudioUnit);

OSStatus AUGraphConnectNodeInput(AUGraph inGraph, AUNode inSourceNode, UInt32 inSourceOutputNumber,
                                 AUNode inDestNode, UInt32 inDestInputNumber);
OSStatus AUGraphSetNodeInputCallback(AUGraph inGraph, AUNode inDestNode, UInt32 inDestInputNumber,
                                     const AURenderCallbackStruct *inInputCallback);
OSStatus AUGraphDisconnectNodeInput(AUGraph inGraph, AUNode inDestNode, UInt32 inDestInputNumber);
OSStatus AUGraphClearConnections(AUGraph inGraph);
// Applies connection changes made while the graph was initialized; outIsUpdated may be null.
OSStatus AUGraphUpdate(AUGraph inGraph, Boolean *outIsUpdated);

OSStatus AUGraphOpen(AUGraph inGraph);
OSStatus AUGraphClose(AUGraph inGraph);
OSStatus AUGraphInitialize(AUGraph inGraph);
OSStatus AUGraphUninitialize(AUGraph inGraph);
OSStatus AUGraphStart(AUGraph inGraph);
OSStatus AUGraphStop(AUGraph inGraph);

OSStatus AUGraphIsOpen(AUGraph inGraph, Boolean *outIsOpen);
OSStatus AUGraphIsInitialized(AUGraph inGraph, Boolean *outIsInitialized);
OSStatus AUGraphIsRunning(AUGraph inGraph, Boolean *outIsRunning);

#ifdef __cplusplus
}
#endif
