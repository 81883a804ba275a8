#include "graph/graph.h"

#include <algorithm>

#include "audiounit/unit_registry.h"

namespace xnq::graph {
namespace {

bool sameFormat(const AudioStreamBasicDescription &a, const AudioStreamBasicDescription &b) {
  return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID &&
         a.mFormatFlags == b.mFormatFlags && a.mBytesPerPacket == b.mBytesPerPacket &&
         a.mFramesPerPacket == b.mFramesPerPacket && a.mBytesPerFrame == b.mBytesPerFrame &&
         a.mChannelsPerFrame == b.mChannelsPerFrame && a.mBitsPerChannel == b.mBitsPerChannel;
}

OSStatus streamFormat(AudioUnit unit, AudioUnitScope scope, UInt32 bus,
                      AudioStreamBasicDescription &format) {
  UInt32 size = sizeof format;
  return AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, scope, bus, &format, &size);
}

OSStatus openUnit(Node &node) {
  ComponentDescription looking = node.description;
  Component component = FindNextComponent(nullptr, &looking);
  if (component == nullptr) return kAUGraphErr_InvalidAudioUnit;
  if (OSStatus status = OpenAComponent(component, &node.unit)) return status;
  // Only audio units can be nodes; another kind of component cannot render.
  if (au::unitOf(node.unit) == nullptr) {
    CloseComponent(node.unit);
    node.unit = nullptr;
    return kAUGraphErr_InvalidAudioUnit;
  }
  return noErr;
}

}  // namespace

bool Interaction::operator==(const Interaction &other) const {
  return destNode == other.destNode && destInput == other.destInput &&
         sourceNode == other.sourceNode && sourceOutput == other.sourceOutput &&
         callback.inputProc == other.callback.inputProc &&
         callback.inputProcRefCon == other.callback.inputProcRefCon;
}

Graph::~Graph() { close(); }

Node *Graph::find(AUNode id) {
  for (Node &node : nodes_)
    if (node.id == id) return &node;
  return nullptr;
}

Node *Graph::outputNode() {
  for (Node &node : nodes_)
    if (node.description.componentType == kAudioUnitType_Output) return &node;
  return nullptr;
}

template <typename Change>
OSStatus Graph::withOutputStopped(Change change) {
  Node *output = outputNode();
  bool restart = running_ && output != nullptr && output->unit != nullptr;
  // Stopping a device output waits for its IO cycle to end: no render runs after this.
  if (restart) AudioOutputUnitStop(output->unit);
  OSStatus status = change();
  if (!restart) return status;
  output = outputNode();  // the change may have removed it
  OSStatus restarted = output != nullptr && initialized_ ? AudioOutputUnitStart(output->unit)
                                                         : OSStatus{kAUGraphErr_OutputNodeErr};
  if (restarted != noErr) running_ = false;
  return status != noErr || output == nullptr ? status : restarted;
}

OSStatus Graph::addNode(const ComponentDescription &description, AUNode &id) {
  // A graph renders through one output unit.
  if (description.componentType == kAudioUnitType_Output && outputNode() != nullptr)
    return kAUGraphErr_OutputNodeErr;
  Node node{nextNode_, description, nullptr};
  if (open_) {
    if (OSStatus status = openUnit(node)) return status;
  }
  ++nextNode_;
  nodes_.push_back(node);
  id = node.id;
  // The new unit is initialized with the rest at the next update.
  if (initialized_) pending_ = true;
  return noErr;
}

OSStatus Graph::removeNode(AUNode id) {
  if (find(id) == nullptr) return kAUGraphErr_NodeNotFound;
  auto touches = [id](const Interaction &a) { return a.destNode == id || a.sourceNode == id; };
  // The unit closes at once, so a running graph stops while it goes.
  return withOutputStopped([&] {
    for (const Interaction &a : applied_)
      if (touches(a)) detach(a);
    std::erase_if(applied_, touches);
    std::erase_if(wanted_, touches);
    auto node = std::find_if(nodes_.begin(), nodes_.end(),
                             [id](const Node &candidate) { return candidate.id == id; });
    if (node->unit != nullptr) CloseComponent(node->unit);
    nodes_.erase(node);
    if (outputNode() == nullptr) running_ = false;
    return OSStatus{noErr};
  });
}

OSStatus Graph::nodeAt(UInt32 index, AUNode &id) const {
  if (index >= nodes_.size()) return kAUGraphErr_NodeNotFound;
  id = nodes_[index].id;
  return noErr;
}

OSStatus Graph::nodeInfo(AUNode id, ComponentDescription *description, AudioUnit *unit) {
  Node *node = find(id);
  if (node == nullptr) return kAUGraphErr_NodeNotFound;
  if (description != nullptr) *description = node->description;
  if (unit != nullptr) *unit = node->unit;
  return noErr;
}

bool Graph::reaches(AUNode from, AUNode to) const {
  std::vector<AUNode> next{from}, seen;
  while (!next.empty()) {
    AUNode node = next.back();
    next.pop_back();
    if (node == to) return true;
    if (std::find(seen.begin(), seen.end(), node) != seen.end()) continue;
    seen.push_back(node);
    for (const Interaction &a : wanted_)
      if (!a.isCallback() && a.sourceNode == node) next.push_back(a.destNode);
  }
  return false;
}

OSStatus Graph::connect(AUNode source, UInt32 sourceOutput, AUNode dest, UInt32 destInput) {
  if (find(source) == nullptr || find(dest) == nullptr) return kAUGraphErr_NodeNotFound;
  // A unit cannot feed itself, directly or through others: its render would never end.
  if (source == dest || reaches(dest, source)) return kAUGraphErr_InvalidConnection;
  // An input has one source, and an output feeds one input, since every pull renders it anew.
  // An input that has a source is disconnected first.
  for (const Interaction &a : wanted_) {
    if ((a.destNode == dest && a.destInput == destInput) ||
        (!a.isCallback() && a.sourceNode == source && a.sourceOutput == sourceOutput))
      return kAUGraphErr_InvalidConnection;
  }
  wanted_.push_back({dest, destInput, source, sourceOutput, {}});
  return changed();
}

OSStatus Graph::setInputCallback(AUNode dest, UInt32 destInput,
                                 const AURenderCallbackStruct &callback) {
  if (find(dest) == nullptr) return kAUGraphErr_NodeNotFound;
  // A callback replaces the input's callback, but not a connection.
  auto same = [&](const Interaction &a) { return a.destNode == dest && a.destInput == destInput; };
  auto existing = std::find_if(wanted_.begin(), wanted_.end(), same);
  if (existing != wanted_.end()) {
    if (!existing->isCallback()) return kAUGraphErr_InvalidConnection;
    wanted_.erase(existing);
  }
  wanted_.push_back({dest, destInput, 0, 0, callback});
  return changed();
}

OSStatus Graph::disconnect(AUNode dest, UInt32 destInput) {
  if (find(dest) == nullptr) return kAUGraphErr_NodeNotFound;
  std::erase_if(wanted_, [&](const Interaction &a) {
    return a.destNode == dest && a.destInput == destInput;
  });
  return changed();
}

OSStatus Graph::clearConnections() {
  wanted_.clear();
  return changed();
}

OSStatus Graph::changed() {
  // An initialized graph keeps rendering as it is until update(); an open one changes its units
  // at once; a closed one makes its connections when it opens.
  if (initialized_) {
    pending_ = true;
    return noErr;
  }
  return open_ ? sync() : OSStatus{noErr};
}

OSStatus Graph::update() {
  if (!pending_) return noErr;
  // Taken-away sources are no longer called once update returns, so their owners may free them.
  OSStatus status = withOutputStopped([&] { return sync(); });
  pending_ = status != noErr;
  return status;
}

OSStatus Graph::attach(const Interaction &a) {
  AudioUnit dest = find(a.destNode)->unit;
  if (a.isCallback())
    return AudioUnitSetProperty(dest, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                a.destInput, &a.callback, sizeof a.callback);
  AudioUnit source = find(a.sourceNode)->unit;
  AudioStreamBasicDescription format;
  if (OSStatus status = streamFormat(source, kAudioUnitScope_Output, a.sourceOutput, format))
    return status;
  AudioUnitConnection connection{source, a.sourceOutput, a.destInput};
  return AudioUnitSetProperty(dest, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input,
                              a.destInput, &connection, sizeof connection);
}

void Graph::detach(const Interaction &a) {
  Node *dest = find(a.destNode);
  if (dest == nullptr || dest->unit == nullptr) return;
  AudioUnitConnection none{nullptr, 0, a.destInput};
  AudioUnitSetProperty(dest->unit, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input,
                       a.destInput, &none, sizeof none);
}

OSStatus Graph::sync() {
  for (const Interaction &a : applied_)
    if (std::find(wanted_.begin(), wanted_.end(), a) == wanted_.end()) detach(a);
  std::erase_if(applied_, [&](const Interaction &a) {
    return std::find(wanted_.begin(), wanted_.end(), a) == wanted_.end();
  });
  for (size_t i = 0; i < wanted_.size(); ++i) {
    if (std::find(applied_.begin(), applied_.end(), wanted_[i]) != applied_.end()) continue;
    // An interaction the units refuse is forgotten, and its status returned.
    if (OSStatus status = attach(wanted_[i])) {
      wanted_.erase(wanted_.begin() + static_cast<ptrdiff_t>(i));
      return status;
    }
    applied_.push_back(wanted_[i]);
  }
  return initialized_ ? bringUp() : OSStatus{noErr};
}

std::vector<AUNode> Graph::sourcesFirst() const {
  std::vector<AUNode> order;
  auto placed = [&](AUNode id) { return std::find(order.begin(), order.end(), id) != order.end(); };
  for (bool progress = true; progress && order.size() < nodes_.size();) {
    progress = false;
    for (const Node &node : nodes_) {
      if (placed(node.id)) continue;
      bool ready = std::none_of(wanted_.begin(), wanted_.end(), [&](const Interaction &a) {
        return !a.isCallback() && a.destNode == node.id && !placed(a.sourceNode);
      });
      if (!ready) continue;
      order.push_back(node.id);
      progress = true;
    }
  }
  return order;
}

OSStatus Graph::bringUp() {
  // Sources first, so each connected input takes the format its source has settled on. Every
  // unit sets its output format itself; only inputs follow along connections.
  for (AUNode id : sourcesFirst()) {
    AudioUnit unit = find(id)->unit;
    for (const Interaction &a : wanted_) {
      if (a.destNode != id || a.isCallback()) continue;
      AudioStreamBasicDescription given, have;
      if (OSStatus status =
              streamFormat(find(a.sourceNode)->unit, kAudioUnitScope_Output, a.sourceOutput, given))
        return status;
      if (OSStatus status = streamFormat(unit, kAudioUnitScope_Input, a.destInput, have))
        return status;
      if (sameFormat(given, have)) continue;
      AudioUnitUninitialize(unit);
      if (OSStatus status =
              AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input,
                                   a.destInput, &given, sizeof given))
        return status;
    }
    if (OSStatus status = AudioUnitInitialize(unit)) return status;
  }
  return noErr;
}

OSStatus Graph::open() {
  if (open_) return noErr;
  for (Node &node : nodes_) {
    if (OSStatus status = openUnit(node)) {
      closeUnits();
      return status;
    }
  }
  open_ = true;
  if (OSStatus status = sync()) {
    closeUnits();
    open_ = false;
    return status;
  }
  return noErr;
}

void Graph::closeUnits() {
  for (Node &node : nodes_) {
    if (node.unit != nullptr) CloseComponent(node.unit);
    node.unit = nullptr;
  }
  applied_.clear();
}

OSStatus Graph::close() {
  if (!open_) return noErr;
  uninitialize();
  closeUnits();
  open_ = false;
  return noErr;
}

OSStatus Graph::initialize() {
  if (initialized_) return noErr;
  if (OSStatus status = open()) return status;
  initialized_ = true;
  if (OSStatus status = sync()) {
    for (Node &node : nodes_) AudioUnitUninitialize(node.unit);
    initialized_ = false;
    return status;
  }
  pending_ = false;
  return noErr;
}

OSStatus Graph::uninitialize() {
  if (!initialized_) return noErr;
  stop();
  for (Node &node : nodes_) AudioUnitUninitialize(node.unit);
  initialized_ = false;
  // Changes that waited for an update now go straight to the units.
  if (!pending_) return noErr;
  pending_ = false;
  return sync();
}

OSStatus Graph::start() {
  Node *output = outputNode();
  if (output == nullptr) return kAUGraphErr_OutputNodeErr;
  if (!initialized_) return kAudioUnitErr_Uninitialized;
  if (running_) return noErr;
  OSStatus status = AudioOutputUnitStart(output->unit);
  running_ = status == noErr;
  return status;
}

OSStatus Graph::stop() {
  if (!running_) return noErr;
  running_ = false;
  Node *output = outputNode();
  return output == nullptr ? OSStatus{noErr} : AudioOutputUnitStop(output->unit);
}

}  // namespace xnq::graph
