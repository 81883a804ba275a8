// An audio unit graph: nodes that hold audio units, and what feeds each node's inputs (another
// node's output or a render callback). The graph opens, initializes, starts and stops its units
// as one; it never takes part in rendering, which runs through the units themselves.
#pragma once

#include <vector>

#include "os/au_graph.h"

namespace xnq::graph {

struct Node {
  AUNode id;
  ComponentDescription description;
  AudioUnit unit = nullptr;  // while the graph is open
};

// What feeds one input of a node: an output of another node (sourceNode != 0) or a callback.
struct Interaction {
  AUNode destNode;
  UInt32 destInput;
  AUNode sourceNode;
  UInt32 sourceOutput;
  AURenderCallbackStruct callback;

  bool isCallback() const { return sourceNode == 0; }
  bool operator==(const Interaction &other) const;
};

// Host threads only, one call at a time (the caller holds the graph's lock).
class Graph {
 public:
  Graph() = default;
  // Stops, uninitializes and closes the graph.
  ~Graph();
  Graph(const Graph &) = delete;
  Graph &operator=(const Graph &) = delete;

  OSStatus addNode(const ComponentDescription &description, AUNode &id);
  OSStatus removeNode(AUNode id);
  UInt32 nodeCount() const { return static_cast<UInt32>(nodes_.size()); }
  OSStatus nodeAt(UInt32 index, AUNode &id) const;
  OSStatus nodeInfo(AUNode id, ComponentDescription *description, AudioUnit *unit);

  OSStatus connect(AUNode source, UInt32 sourceOutput, AUNode dest, UInt32 destInput);
  OSStatus setInputCallback(AUNode dest, UInt32 destInput, const AURenderCallbackStruct &callback);
  OSStatus disconnect(AUNode dest, UInt32 destInput);
  OSStatus clearConnections();
  OSStatus update();

  OSStatus open();
  OSStatus close();
  OSStatus initialize();
  OSStatus uninitialize();
  OSStatus start();
  OSStatus stop();

  bool isOpen() const { return open_; }
  bool isInitialized() const { return initialized_; }
  bool isRunning() const { return running_; }

 private:
  Node *find(AUNode id);
  Node *outputNode();
  bool reaches(AUNode from, AUNode to) const;
  std::vector<AUNode> sourcesFirst() const;
  // Records a change of the wanted interactions and applies it as the graph's state allows.
  OSStatus changed();
  // Makes the units' inputs match the wanted interactions; in an initialized graph it also gives
  // every connected input its source's format and initializes every unit.
  OSStatus sync();
  OSStatus bringUp();
  OSStatus attach(const Interaction &interaction);
  void detach(const Interaction &interaction);
  void closeUnits();
  // Runs a change that tears something down with the output stopped, so that no render is
  // inside a unit while it changes, and restarts the output afterwards.
  template <typename Change>
  OSStatus withOutputStopped(Change change);

  std::vector<Node> nodes_;
  std::vector<Interaction> wanted_;   // what callers asked for
  std::vector<Interaction> applied_;  // what the units' inputs are now
  AUNode nextNode_ = 1;
  bool open_ = false;
  bool initialized_ = false;
  bool running_ = false;
  bool pending_ = false;  // initialized, with changes that wait for update()
};

}  // namespace xnq::graph
