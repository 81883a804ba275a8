// The unit graph as a program uses it: building, the life cycle and its state answers, bad
// handles and bad connections, formats along connections, and rendering offline and on
// stepped devices.
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "os/au_graph.h"
#include "platform/hal_test_support.h"

namespace {

constexpr OSType kPlatform = kAudioUnitManufacturer_Platform;
constexpr ComponentDescription kGeneric{kAudioUnitType_Output, kAudioUnitSubType_GenericOutput,
                                        kPlatform};
constexpr ComponentDescription kMixer{kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer,
                                      kPlatform};
constexpr ComponentDescription kDefault{kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput,
                                        kPlatform};

AudioStreamBasicDescription planar(Float64 rate, UInt32 channels) {
  UInt32 flags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
  return {rate, kAudioFormatLinearPCM, flags, 4, 1, 4, channels, 32, 0};
}

// A render callback: frame f of a slice is f, or a sine of 0.5 peak that runs on from slice to
// slice when frequency is set. Counts its calls and the frames of each.
struct Source {
  double frequency = 0, rate = 1;
  UInt64 frame = 0;
  std::atomic<int> calls{0};
  std::vector<UInt32> frames;
};

OSStatus sourceCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                        UInt32 frames, AudioBufferList *ioData) {
  auto *source = static_cast<Source *>(refCon);
  source->frames.push_back(frames);
  for (UInt32 f = 0; f < frames; ++f, ++source->frame) {
    double phase = 2 * M_PI * source->frequency * static_cast<double>(source->frame) / source->rate;
    auto value = static_cast<Float32>(source->frequency > 0 ? 0.5 * std::sin(phase) : f);
    for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b)
      static_cast<Float32 *>(ioData->mBuffers[b].mData)[f] = value;
  }
  source->calls++;
  return noErr;
}

// Keeps channel 0 of what a device played; read after xnq_hal_step has returned.
void tapOutput(const Float32 *interleaved, UInt32 frames, UInt32 channels, void *context) {
  auto *tap = static_cast<std::vector<Float32> *>(context);
  for (UInt32 f = 0; f < frames; ++f) tap->push_back(interleaved[f * channels]);
}

class GraphTest : public hal_test::HalTest {
 protected:
  void SetUp() override {
    HalTest::SetUp();
    ASSERT_EQ(NewAUGraph(&graph_), noErr);
  }
  void TearDown() override {
    if (graph_ != nullptr) {
      EXPECT_EQ(DisposeAUGraph(graph_), noErr);
    }
    HalTest::TearDown();
  }
  AUNode add(const ComponentDescription &description) {
    AUNode node = 0;
    EXPECT_EQ(AUGraphAddNode(graph_, &description, &node), noErr);
    return node;
  }
  OSStatus feed(AUNode node, Source &source) {
    AURenderCallbackStruct callback{sourceCallback, &source};
    return AUGraphSetNodeInputCallback(graph_, node, 0, &callback);
  }
  // "oir": open, initialized, running, each 0 or 1.
  std::string state() {
    Boolean open = 9, initialized = 9, running = 9;
    EXPECT_EQ(AUGraphIsOpen(graph_, &open) | AUGraphIsInitialized(graph_, &initialized) |
                  AUGraphIsRunning(graph_, &running),
              noErr);
    return {char('0' + open), char('0' + initialized), char('0' + running)};
  }
  AudioUnit unitOf(AUNode node) {
    AudioUnit unit = nullptr;
    EXPECT_EQ(AUGraphNodeInfo(graph_, node, nullptr, &unit), noErr);
    return unit;
  }
  OSStatus format(AUNode node, AudioUnitScope scope, const AudioStreamBasicDescription *set,
                  AudioStreamBasicDescription *get = nullptr) {
    UInt32 size = sizeof *get;
    return set != nullptr ? AudioUnitSetProperty(unitOf(node), kAudioUnitProperty_StreamFormat,
                                                 scope, 0, set, sizeof *set)
                          : AudioUnitGetProperty(unitOf(node), kAudioUnitProperty_StreamFormat,
                                                 scope, 0, get, &size);
  }
  AudioDeviceID steppedDevice(Float64 rate, UInt32 frames) {
    auto config = hal_test::nullConfig("Stepped", 2, 0, XNQ_CLOCK_STEPPED, frames, rate);
    return xnq_hal_add_device(&config);
  }

  AUGraph graph_ = nullptr;
};

TEST_F(GraphTest, CallsRefuseAHandleThatNamesNoGraph) {
  AUGraph disposed = nullptr;
  ASSERT_EQ(NewAUGraph(&disposed), noErr);
  ASSERT_EQ(DisposeAUGraph(disposed), noErr);
  // One call of each kind: those that change the graph, those that read it under its lock,
  // the lock-free state queries, and disposal.
  AUNode node = 0;
  Boolean answer = 0;
  auto someCalls = [&](AUGraph g) {
    return std::vector<OSStatus>{AUGraphAddNode(g, &kGeneric, &node),
                                 AUGraphConnectNodeInput(g, 1, 0, 2, 0),
                                 AUGraphInitialize(g),
                                 AUGraphStart(g),
                                 AUGraphGetIndNode(g, 0, &node),
                                 AUGraphIsRunning(g, &answer),
                                 DisposeAUGraph(g)};
  };
  // What a host program may leave in a handle field: nothing, garbage, a graph already gone,
  // a handle of the right shape but another generation, a unit in place of a graph.
  AudioUnit aUnit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  auto live = reinterpret_cast<uintptr_t>(graph_);
  for (uintptr_t bad :
       {uintptr_t{0}, uintptr_t{0xDEADBEEF}, ~uintptr_t{0}, reinterpret_cast<uintptr_t>(disposed),
        live ^ (uintptr_t{1} << 12), reinterpret_cast<uintptr_t>(aUnit)})
    EXPECT_EQ(someCalls(reinterpret_cast<AUGraph>(bad)), std::vector<OSStatus>(7, paramErr)) << bad;
  CloseComponent(aUnit);
  EXPECT_EQ(NewAUGraph(nullptr), paramErr);
  EXPECT_EQ(AUGraphAddNode(graph_, &kGeneric, nullptr), paramErr);
  EXPECT_EQ(AUGraphSetNodeInputCallback(graph_, 1, 0, nullptr), paramErr);
}

TEST_F(GraphTest, NodesAnswerForThemselvesAndUnknownNodesAreNotFound) {
  AUNode output = add(kGeneric);
  AUNode missing = add({kAudioUnitType_Effect, XNQ_FOURCC('n', 'o', 'n', 'e'), kPlatform});
  AUNode node = 0;
  EXPECT_EQ(AUGraphAddNode(graph_, &kDefault, &node), kAUGraphErr_OutputNodeErr);
  UInt32 count = 0;
  ASSERT_EQ(AUGraphGetNodeCount(graph_, &count), noErr);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(AUGraphGetIndNode(graph_, 1, &node), noErr);
  EXPECT_EQ(node, missing);
  EXPECT_EQ(AUGraphGetIndNode(graph_, 2, &node), kAUGraphErr_NodeNotFound);
  ComponentDescription description{};
  ASSERT_EQ(AUGraphNodeInfo(graph_, missing, &description, nullptr), noErr);
  EXPECT_EQ(description.componentSubType, XNQ_FOURCC('n', 'o', 'n', 'e'));
  // A description no component has keeps the graph closed until its node goes.
  EXPECT_EQ(AUGraphOpen(graph_), kAUGraphErr_InvalidAudioUnit);
  EXPECT_EQ(state(), "000");
  ASSERT_EQ(AUGraphRemoveNode(graph_, missing), noErr);
  ASSERT_EQ(AUGraphOpen(graph_), noErr);

  Source source;
  AURenderCallbackStruct callback{sourceCallback, &source};
  for (OSStatus status :
       {AUGraphRemoveNode(graph_, 77), AUGraphNodeInfo(graph_, 77, &description, nullptr),
        AUGraphConnectNodeInput(graph_, 77, 0, output, 0),
        AUGraphConnectNodeInput(graph_, output, 0, 77, 0),
        AUGraphSetNodeInputCallback(graph_, 77, 0, &callback),
        AUGraphDisconnectNodeInput(graph_, 77, 0)})
    EXPECT_EQ(status, kAUGraphErr_NodeNotFound);
}

TEST_F(GraphTest, ConnectionsThatCouldNeverRenderAreRefused) {
  // Connections are checked as they are made, also before the units exist.
  const ComponentDescription kEffect{kAudioUnitType_Effect, XNQ_FOURCC('a', 'n', 'y', ' ')};
  AUNode a = add(kEffect), b = add(kEffect), c = add(kEffect), d = add(kEffect);
  ASSERT_EQ(AUGraphConnectNodeInput(graph_, a, 0, b, 0), noErr);
  ASSERT_EQ(AUGraphConnectNodeInput(graph_, b, 0, c, 0), noErr);
  Source source;
  struct Case {
    const char *what;
    OSStatus status;
  } cases[] = {
      {"to itself", AUGraphConnectNodeInput(graph_, d, 0, d, 0)},
      {"closing a cycle", AUGraphConnectNodeInput(graph_, c, 0, a, 0)},
      {"closing a cycle on another bus", AUGraphConnectNodeInput(graph_, c, 1, b, 1)},
      {"to an input that has a source", AUGraphConnectNodeInput(graph_, d, 0, c, 0)},
      {"from an output that feeds another", AUGraphConnectNodeInput(graph_, a, 0, d, 0)},
      {"a callback in place of a connection", feed(b, source)},
  };
  for (const Case &test : cases) EXPECT_EQ(test.status, kAUGraphErr_InvalidConnection) << test.what;
  EXPECT_EQ(AUGraphStart(graph_), kAUGraphErr_OutputNodeErr);
  // Once the input is free, the same connection is fine.
  ASSERT_EQ(AUGraphDisconnectNodeInput(graph_, c, 0), noErr);
  EXPECT_EQ(AUGraphConnectNodeInput(graph_, d, 0, c, 0), noErr);
  EXPECT_EQ(AUGraphClearConnections(graph_), noErr);
  EXPECT_EQ(AUGraphConnectNodeInput(graph_, c, 0, a, 0), noErr);
}

TEST_F(GraphTest, ConnectedInputsTakeTheirSourcesFormatsAtInitializeAndUpdate) {
  // A 48 kHz mono chain whose units set only their output formats, as a file player sets them.
  std::vector<AUNode> nodes;
  for (const ComponentDescription &description : std::vector<ComponentDescription>{
           kMixer,
           {kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ, kPlatform},
           {kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch, kPlatform},
           {kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed, kPlatform},
           kGeneric})
    nodes.push_back(add(description));
  for (size_t i = 0; i + 1 < nodes.size(); ++i)
    ASSERT_EQ(AUGraphConnectNodeInput(graph_, nodes[i], 0, nodes[i + 1], 0), noErr) << i;
  Source source;
  ASSERT_EQ(feed(nodes[0], source), noErr);
  ASSERT_EQ(AUGraphOpen(graph_), noErr);
  const AudioStreamBasicDescription mono48k = planar(48000, 1), mono44k = planar(44100, 1);
  ASSERT_EQ(format(nodes[0], kAudioUnitScope_Input, &mono48k), noErr);
  for (AUNode node : nodes) ASSERT_EQ(format(node, kAudioUnitScope_Output, &mono48k), noErr);
  // An EQ that would have to change the rate cannot take the mixer's output: the graph says so
  // and stays uninitialized.
  ASSERT_EQ(format(nodes[1], kAudioUnitScope_Output, &mono44k), noErr);
  EXPECT_EQ(AUGraphInitialize(graph_), kAudioUnitErr_FormatNotSupported);
  EXPECT_EQ(state(), "100");
  ASSERT_EQ(format(nodes[1], kAudioUnitScope_Output, &mono48k), noErr);
  ASSERT_EQ(AUGraphInitialize(graph_), noErr);
  AudioStreamBasicDescription taken{};
  ASSERT_EQ(format(nodes.back(), kAudioUnitScope_Input, nullptr, &taken), noErr);
  EXPECT_EQ(std::memcmp(&taken, &mono48k, sizeof taken), 0);

  // At their defaults the units hand the samples on unchanged; the callback is asked for the
  // frames the caller asks for, up to the slice maximum.
  std::vector<Float32> out(1157);
  auto render = [&](UInt32 frames) {
    AudioBufferList list{1, {{1, frames * 4, out.data()}}};
    AudioTimeStamp stamp{};
    AudioUnitRenderActionFlags flags = 0;
    return AudioUnitRender(unitOf(nodes.back()), &flags, &stamp, 0, frames, &list);
  };
  for (UInt32 frames : {1u, 333u, 1156u}) {
    ASSERT_EQ(render(frames), noErr) << frames;
    for (UInt32 f = 0; f < frames; ++f) ASSERT_EQ(out[f], static_cast<Float32>(f)) << frames;
  }
  EXPECT_EQ(render(1157), kAudioUnitErr_TooManyFramesToProcess);
  EXPECT_EQ(source.frames, (std::vector<UInt32>{1, 333, 1156}));

  // A new source of another format, connected to the initialized graph, brings its format
  // along at the update.
  AUNode other = add(kMixer);
  const AudioStreamBasicDescription stereo = planar(44100, 2);
  ASSERT_EQ(feed(other, source), noErr);
  ASSERT_EQ(format(other, kAudioUnitScope_Input, &stereo), noErr);
  ASSERT_EQ(format(other, kAudioUnitScope_Output, &stereo), noErr);
  ASSERT_EQ(AUGraphDisconnectNodeInput(graph_, nodes.back(), 0), noErr);
  ASSERT_EQ(AUGraphConnectNodeInput(graph_, other, 0, nodes.back(), 0), noErr);
  ASSERT_EQ(AUGraphUpdate(graph_, nullptr), noErr);
  ASSERT_EQ(format(nodes.back(), kAudioUnitScope_Input, nullptr, &taken), noErr);
  EXPECT_EQ(std::memcmp(&taken, &stereo, sizeof taken), 0);
}

TEST_F(GraphTest, PlaysOnASteppedDeviceTakesChangesAtUpdateAndStopsBeforeItIsDisposed) {
  AudioDeviceID device = steppedDevice(44100, 256);
  AUNode output = add(kDefault);
  Source first, second;
  ASSERT_EQ(feed(output, first), noErr);
  // Each step, its status, and the open, initialized and running state it leaves.
  const OSStatus kUninitialized = kAudioUnitErr_Uninitialized;
  struct Step {
    OSStatus (*call)(AUGraph);
    OSStatus status;
    const char *state;
  } steps[] = {{AUGraphInitialize, noErr, "110"},     {AUGraphClose, noErr, "000"},
               {AUGraphStart, kUninitialized, "000"}, {AUGraphInitialize, noErr, "110"},
               {AUGraphStart, noErr, "111"},          {AUGraphStop, noErr, "110"},
               {AUGraphUninitialize, noErr, "100"},   {AUGraphStart, kUninitialized, "100"},
               {AUGraphInitialize, noErr, "110"},     {AUGraphStart, noErr, "111"},
               {AUGraphStart, noErr, "111"}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(steps[i].call(graph_), steps[i].status) << i;
    EXPECT_EQ(state(), steps[i].state) << i;
  }
  ASSERT_EQ(xnq_hal_step(device, 2), 2u);
  EXPECT_EQ(first.frames, (std::vector<UInt32>{256, 256}));

  // A change to an initialized graph waits for the update; then the old source is done with.
  ASSERT_EQ(feed(output, second), noErr);
  ASSERT_EQ(xnq_hal_step(device, 1), 1u);
  ASSERT_EQ(AUGraphUpdate(graph_, nullptr), noErr);
  EXPECT_EQ(state(), "111");
  ASSERT_EQ(xnq_hal_step(device, 1), 1u);
  EXPECT_EQ(first.calls, 3);
  EXPECT_EQ(second.calls, 1);

  // Disposed while the device cycles on another thread, the graph stops before its unit goes.
  AudioUnit unit = unitOf(output);
  std::atomic<bool> done{false};
  std::thread stepper([&] {
    while (!done.load()) xnq_hal_step(device, 1);
  });
  while (second.calls.load() < 3) std::this_thread::yield();
  ASSERT_EQ(DisposeAUGraph(graph_), noErr);
  int calls = second.calls.load();
  done = true;
  stepper.join();
  EXPECT_EQ(second.calls.load(), calls);
  EXPECT_EQ(CloseComponent(unit), static_cast<OSErr>(badComponentInstance));
  Boolean running = 0;
  EXPECT_EQ(AUGraphIsRunning(graph_, &running), paramErr);
  graph_ = nullptr;
}

TEST_F(GraphTest, ADeviceOutputPlaysInputOfAnotherRateAtItsOwnSpeedAndPitch) {
  AudioDeviceID device = steppedDevice(44100, 512);
  std::vector<Float32> played;
  ASSERT_EQ(xnq_hal_set_output_tap(device, tapOutput, &played), noErr);
  AUNode output = add(kDefault);
  Source sine{1000, 48000};
  ASSERT_EQ(feed(output, sine), noErr);
  ASSERT_EQ(AUGraphOpen(graph_), noErr);
  const AudioStreamBasicDescription mono48k = planar(48000, 1);
  ASSERT_EQ(format(output, kAudioUnitScope_Input, &mono48k), noErr);
  ASSERT_EQ(AUGraphInitialize(graph_), noErr);
  ASSERT_EQ(AUGraphStart(graph_), noErr);
  ASSERT_EQ(xnq_hal_step(device, 40), 40u);
  ASSERT_EQ(AUGraphStop(graph_), noErr);
  ASSERT_EQ(played.size(), 40u * 512);
  // Each second of device time plays a second of the input: the device gets the same tone at
  // its own rate (after the converter's first few frames), where copying the input's samples
  // would play it at 919 Hz.
  for (size_t n = 64; n < played.size(); ++n)
    ASSERT_NEAR(played[n], 0.5 * std::sin(2 * M_PI * 1000 * static_cast<double>(n) / 44100), 1e-4)
        << n;
}

// A generic output's chain renders offline (its caller waits for it) unless the program says
// otherwise; a device's renders live, where a time-pitch unit reports its read-ahead as latency
// (the stretcher's window's, which follows the overlap).
TEST_F(GraphTest, TheGenericOutputsChainRendersOfflineAndADevicesLive) {
  steppedDevice(44100, 512);
  const ComponentDescription timePitch{kAudioUnitType_FormatConverter,
                                       kAudioUnitSubType_NewTimePitch, kPlatform};
  const std::tuple<ComponentDescription, UInt32, bool> cases[] = {
      {kGeneric, 1, true}, {kGeneric, 0, false}, {kDefault, 0, false}};
  for (auto [output, told, offline] : cases) {
    ASSERT_EQ(DisposeAUGraph(graph_) | NewAUGraph(&graph_), noErr);
    AUNode out = add(output), stretch = add(timePitch);
    ASSERT_EQ(AUGraphConnectNodeInput(graph_, stretch, 0, out, 0) | AUGraphOpen(graph_), noErr);
    AudioUnit unit = unitOf(stretch);
    UInt32 rendersOffline = 9, size = 4, latencySize = 8;
    Float64 latency = -1;
    ASSERT_EQ(
        AudioUnitSetParameter(unit, kNewTimePitchParam_Rate, 0, 0, 1.25f, 0) |
            AudioUnitSetProperty(unitOf(out), kAudioUnitProperty_OfflineRender, 0, 0, &told, size) |
            AUGraphInitialize(graph_) |
            AudioUnitGetProperty(unit, kAudioUnitProperty_OfflineRender, 0, 0, &rendersOffline,
                                 &size) |
            AudioUnitGetProperty(unit, kAudioUnitProperty_Latency, 0, 0, &latency, &latencySize),
        noErr);
    EXPECT_EQ(rendersOffline, offline ? 1u : 0u);
    EXPECT_EQ(latency > 0.02, !offline) << latency;
    // A shorter overlap, set once the stretcher is made, makes one with a short window, which
    // reads less ahead.
    Float64 shorter = -1;
    ASSERT_EQ(
        AudioUnitSetParameter(unit, kNewTimePitchParam_Overlap, 0, 0, 4, 0) |
            AudioUnitGetProperty(unit, kAudioUnitProperty_Latency, 0, 0, &shorter, &latencySize),
        noErr);
    EXPECT_TRUE(offline ? shorter == 0 : shorter < latency * 0.8) << shorter;
  }
}

}  // namespace
