// The graph interface. Graphs live in a fixed table of slots and are named by handles that
// encode a slot and a generation, so any value a caller passes, 0, garbage or a disposed graph,
// is checked without touching memory it might name and gets a status back.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "graph/graph.h"

using xnq::graph::Graph;

namespace {

// A handle is kTag | generation << kSlotBits | slot: bit 30 set and nothing above it, so it
// differs from every component handle and from small integers.
constexpr uintptr_t kTag = uintptr_t{1} << 30;
constexpr unsigned kSlotBits = 10;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr uint32_t kGenerations = 1u << (30 - kSlotBits);

constexpr uint32_t kOpen = 1, kInitialized = 2, kRunning = 4;

struct GraphSlot {
  // Held by every call on the graph, and by NewAUGraph while it takes the slot.
  std::mutex mutex;
  // Written under mutex; read by any thread, without the lock, to validate a handle.
  std::atomic<uintptr_t> handle{0};
  // The graph's open, initialized and running state. Written under mutex after each call; read
  // by the state queries without the lock, so they can be asked from any thread.
  std::atomic<uint32_t> state{0};
  uint32_t generation = 0;       // under mutex
  std::unique_ptr<Graph> graph;  // under mutex
};

GraphSlot *slots() {
  // Leaked on purpose: graphs may be disposed from static destructors of other libraries.
  static GraphSlot *table = new GraphSlot[kSlots];
  return table;
}

GraphSlot *slotOf(AUGraph graph) {
  auto handle = reinterpret_cast<uintptr_t>(graph);
  if ((handle & ~(kTag | (kTag - 1))) != 0 || (handle & kTag) == 0) return nullptr;
  return &slots()[handle & (kSlots - 1)];
}

uint32_t stateOf(const Graph &graph) {
  return (graph.isOpen() ? kOpen : 0) | (graph.isInitialized() ? kInitialized : 0) |
         (graph.isRunning() ? kRunning : 0);
}

// Runs a call on a live graph under its lock. Host threads only: a stop waits, holding the
// lock, for the output's IO cycle to end, so a render callback that called in here would wait
// for itself. The state queries below take no lock and are safe anywhere.
template <typename Call>
OSStatus withGraph(AUGraph handle, Call call) {
  GraphSlot *slot = slotOf(handle);
  if (slot == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (slot->handle.load(std::memory_order_relaxed) != reinterpret_cast<uintptr_t>(handle))
    return paramErr;
  OSStatus status = call(*slot->graph);
  slot->state.store(stateOf(*slot->graph), std::memory_order_release);
  return status;
}

// Any thread: takes no lock.
OSStatus queryState(AUGraph handle, uint32_t flag, Boolean *answer) {
  if (answer == nullptr) return paramErr;
  GraphSlot *slot = slotOf(handle);
  auto expected = reinterpret_cast<uintptr_t>(handle);
  if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != expected) return paramErr;
  uint32_t state = slot->state.load(std::memory_order_acquire);
  // The state belongs to this graph only if the slot still holds it after the read.
  if (slot->handle.load(std::memory_order_acquire) != expected) return paramErr;
  *answer = (state & flag) != 0;
  return noErr;
}

}  // namespace

extern "C" {

OSStatus NewAUGraph(AUGraph *outGraph) {
  if (outGraph == nullptr) return paramErr;
  for (uint32_t i = 0; i < kSlots; ++i) {
    GraphSlot &slot = slots()[i];
    // A slot whose lock is held is in use or being disposed; skip it rather than wait.
    if (slot.handle.load(std::memory_order_relaxed) != 0) continue;
    std::unique_lock<std::mutex> lock(slot.mutex, std::try_to_lock);
    if (!lock.owns_lock() || slot.handle.load(std::memory_order_relaxed) != 0) continue;
    slot.graph.reset(new (std::nothrow) Graph);
    if (slot.graph == nullptr) return memFullErr;
    slot.generation = slot.generation + 1 == kGenerations ? 1 : slot.generation + 1;
    uintptr_t handle = kTag | uintptr_t{slot.generation} << kSlotBits | i;
    slot.state.store(0, std::memory_order_relaxed);
    slot.handle.store(handle, std::memory_order_release);
    *outGraph = reinterpret_cast<AUGraph>(handle);
    return noErr;
  }
  return memFullErr;
}

OSStatus DisposeAUGraph(AUGraph inGraph) {
  GraphSlot *slot = slotOf(inGraph);
  if (slot == nullptr) return paramErr;
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (slot->handle.load(std::memory_order_relaxed) != reinterpret_cast<uintptr_t>(inGraph))
    return paramErr;
  // The handle dies first, so calls waiting for the lock find it gone. The graph stops its
  // output before it closes any unit, so no render is inside a unit that goes.
  slot->handle.store(0, std::memory_order_release);
  slot->state.store(0, std::memory_order_release);
  slot->graph.reset();
  return noErr;
}

OSStatus AUGraphAddNode(AUGraph inGraph, const ComponentDescription *inDescription,
                        AUNode *outNode) {
  if (inDescription == nullptr || outNode == nullptr) return paramErr;
  return withGraph(inGraph, [&](Graph &g) { return g.addNode(*inDescription, *outNode); });
}

OSStatus AUGraphRemoveNode(AUGraph inGraph, AUNode inNode) {
  return withGraph(inGraph, [&](Graph &g) { return g.removeNode(inNode); });
}

OSStatus AUGraphGetNodeCount(AUGraph inGraph, UInt32 *outNumberOfNodes) {
  if (outNumberOfNodes == nullptr) return paramErr;
  return withGraph(inGraph, [&](Graph &g) {
    *outNumberOfNodes = g.nodeCount();
    return OSStatus{noErr};
  });
}

OSStatus AUGraphGetIndNode(AUGraph inGraph, UInt32 inIndex, AUNode *outNode) {
  if (outNode == nullptr) return paramErr;
  return withGraph(inGraph, [&](Graph &g) { return g.nodeAt(inIndex, *outNode); });
}

OSStatus AUGraphNodeInfo(AUGraph inGraph, AUNode inNode, ComponentDescription *outDescription,
                         AudioUnit *outAudioUnit) {
  return withGraph(inGraph,
                   [&](Graph &g) { return g.nodeInfo(inNode, outDescription, outAudioUnit); });
}

OSStatus AUGraphConnectNodeInput(AUGraph inGraph, AUNode inSourceNode, UInt32 inSourceOutputNumber,
                                 AUNode inDestNode, UInt32 inDestInputNumber) {
  return withGraph(inGraph, [&](Graph &g) {
    return g.connect(inSourceNode, inSourceOutputNumber, inDestNode, inDestInputNumber);
  });
}

OSStatus AUGraphSetNodeInputCallback(AUGraph inGraph, AUNode inDestNode, UInt32 inDestInputNumber,
                                     const AURenderCallbackStruct *inInputCallback) {
  if (inInputCallback == nullptr || inInputCallback->inputProc == nullptr) return paramErr;
  return withGraph(inGraph, [&](Graph &g) {
    return g.setInputCallback(inDestNode, inDestInputNumber, *inInputCallback);
  });
}

OSStatus AUGraphDisconnectNodeInput(AUGraph inGraph, AUNode inDestNode, UInt32 inDestInputNumber) {
  return withGraph(inGraph, [&](Graph &g) { return g.disconnect(inDestNode, inDestInputNumber); });
}

OSStatus AUGraphClearConnections(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.clearConnections(); });
}

OSStatus AUGraphUpdate(AUGraph inGraph, Boolean *outIsUpdated) {
  return withGraph(inGraph, [&](Graph &g) {
    OSStatus status = g.update();
    // Updates are made before the call returns, never left for the render thread.
    if (outIsUpdated != nullptr) *outIsUpdated = status == noErr;
    return status;
  });
}

OSStatus AUGraphOpen(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.open(); });
}

OSStatus AUGraphClose(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.close(); });
}

OSStatus AUGraphInitialize(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.initialize(); });
}

OSStatus AUGraphUninitialize(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.uninitialize(); });
}

OSStatus AUGraphStart(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.start(); });
}

OSStatus AUGraphStop(AUGraph inGraph) {
  return withGraph(inGraph, [](Graph &g) { return g.stop(); });
}

OSStatus AUGraphIsOpen(AUGraph inGraph, Boolean *outIsOpen) {
  return queryState(inGraph, kOpen, outIsOpen);
}

OSStatus AUGraphIsInitialized(AUGraph inGraph, Boolean *outIsInitialized) {
  return queryState(inGraph, kInitialized, outIsInitialized);
}

OSStatus AUGraphIsRunning(AUGraph inGraph, Boolean *outIsRunning) {
  return queryState(inGraph, kRunning, outIsRunning);
}

}  // extern "C"
