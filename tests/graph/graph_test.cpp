// The unit graph as a program uses it: building, the life cycle and its state answers, bad
// handles and bad connections, and rendering offline and on a stepped device.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "os/au_graph.h"
#include "platform/audio_devices.h"

namespace {

constexpr ComponentDescription kGeneric{kAudioUnitType_Output, kAudioUnitSubType_GenericOutput,
                                        kAudioUnitManufacturer_Platform, 0, 0};
constexpr ComponentDescription kDefault{kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput,
                                        kAudioUnitManufacturer_Platform, 0, 0};

// Counts its calls and the frames of each; writes frame f of every channel as start + f.
struct Source {
  std::atomic<int> calls{0};
  std::vector<UInt32> frames;
  Float32 start = 0;
};

OSStatus sourceCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                        UInt32 frames, AudioBufferList *ioData) {
  auto *source = static_cast<Source *>(refCon);
  source->frames.push_back(frames);
  for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
    auto *samples = static_cast<Float32 *>(ioData->mBuffers[b].mData);
    for (UInt32 i = 0; i < ioData->mBuffers[b].mDataByteSize / 4; ++i)
      samples[i] = source->start + static_cast<Float32>(i / ioData->mBuffers[b].mNumberChannels);
  }
  source->calls++;
  return noErr;
}

// A sine of 0.5 peak at its rate, continuing from slice to slice, on every channel.
struct Sine {
  double frequency, rate;
  UInt64 frame = 0;
};

OSStatus sineCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                      UInt32 frames, AudioBufferList *ioData) {
  auto *sine = static_cast<Sine *>(refCon);
  for (UInt32 f = 0; f < frames; ++f, ++sine->frame) {
    auto value = static_cast<Float32>(
        0.5 * std::sin(2 * M_PI * sine->frequency * static_cast<double>(sine->frame) / sine->rate));
    for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b)
      static_cast<Float32 *>(ioData->mBuffers[b].mData)[f] = value;
  }
  return noErr;
}

// The first channel of what a device played.
struct Tap {
  std::mutex mutex;
  std::vector<Float32> samples;
};

void tapOutput(const Float32 *interleaved, UInt32 frames, UInt32 channels, void *context) {
  auto *tap = static_cast<Tap *>(context);
  std::lock_guard<std::mutex> lock(tap->mutex);
  for (UInt32 f = 0; f < frames; ++f) tap->samples.push_back(interleaved[f * channels]);
}

// The frequency between the first and the last rising zero crossing after skip samples.
double measuredFrequency(const std::vector<Float32> &samples, size_t skip, double rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = skip + 1; i < samples.size(); ++i) {
    if (!(samples[i - 1] < 0 && samples[i] >= 0)) continue;
    double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
    if (first < 0) first = at;
    last = at;
    ++crossings;
  }
  return crossings < 2 ? 0 : (crossings - 1) * rate / (last - first);
}

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xnq_hal_reset();
    ASSERT_EQ(NewAUGraph(&graph_), noErr);
  }
  void TearDown() override {
    if (graph_ != nullptr) {
      EXPECT_EQ(DisposeAUGraph(graph_), noErr);
    }
    xnq_hal_reset();
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
  // Open, initialized, running.
  std::vector<bool> state() {
    Boolean open = 9, initialized = 9, running = 9;
    EXPECT_EQ(AUGraphIsOpen(graph_, &open), noErr);
    EXPECT_EQ(AUGraphIsInitialized(graph_, &initialized), noErr);
    EXPECT_EQ(AUGraphIsRunning(graph_, &running), noErr);
    return {open != 0, initialized != 0, running != 0};
  }
  AudioUnit unitOf(AUNode node) {
    AudioUnit unit = nullptr;
    EXPECT_EQ(AUGraphNodeInfo(graph_, node, nullptr, &unit), noErr);
    return unit;
  }
  AudioDeviceID steppedDevice(Float64 rate, UInt32 frames) {
    XnqDeviceConfig config{};
    config.backend = "null";
    config.sampleRate = rate;
    config.outputChannels = 2;
    config.bufferFrames = frames;
    config.clock = XNQ_CLOCK_STEPPED;
    return xnq_hal_add_device(&config);
  }

  AUGraph graph_ = nullptr;
};

TEST_F(GraphTest, EveryCallRefusesAHandleThatNamesNoGraph) {
  AUGraph disposed = nullptr;
  ASSERT_EQ(NewAUGraph(&disposed), noErr);
  ASSERT_EQ(DisposeAUGraph(disposed), noErr);
  AUNode node = 0;
  UInt32 count = 0;
  Boolean answer = 0;
  AudioUnit unit = nullptr;
  AURenderCallbackStruct callback{sourceCallback, nullptr};
  const std::vector<std::function<OSStatus(AUGraph)>> calls = {
      [&](AUGraph g) { return AUGraphAddNode(g, &kGeneric, &node); },
      [&](AUGraph g) { return AUGraphRemoveNode(g, 1); },
      [&](AUGraph g) { return AUGraphGetNodeCount(g, &count); },
      [&](AUGraph g) { return AUGraphGetIndNode(g, 0, &node); },
      [&](AUGraph g) { return AUGraphNodeInfo(g, 1, nullptr, &unit); },
      [&](AUGraph g) { return AUGraphConnectNodeInput(g, 1, 0, 2, 0); },
      [&](AUGraph g) { return AUGraphSetNodeInputCallback(g, 1, 0, &callback); },
      [&](AUGraph g) { return AUGraphDisconnectNodeInput(g, 1, 0); },
      [&](AUGraph g) { return AUGraphClearConnections(g); },
      [&](AUGraph g) { return AUGraphUpdate(g, &answer); },
      [&](AUGraph g) { return AUGraphOpen(g); },
      [&](AUGraph g) { return AUGraphClose(g); },
      [&](AUGraph g) { return AUGraphInitialize(g); },
      [&](AUGraph g) { return AUGraphUninitialize(g); },
      [&](AUGraph g) { return AUGraphStart(g); },
      [&](AUGraph g) { return AUGraphStop(g); },
      [&](AUGraph g) { return AUGraphIsOpen(g, &answer); },
      [&](AUGraph g) { return AUGraphIsInitialized(g, &answer); },
      [&](AUGraph g) { return AUGraphIsRunning(g, &answer); },
      [&](AUGraph g) { return DisposeAUGraph(g); },
  };
  // What a host program may leave in a handle field: nothing, garbage, a graph already gone,
  // a handle with the right shape but the wrong generation, a unit in place of a graph.
  AudioUnit aUnit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  auto live = reinterpret_cast<uintptr_t>(graph_);
  const std::vector<AUGraph> handles = {nullptr,
                                        reinterpret_cast<AUGraph>(uintptr_t{0xDEADBEEF}),
                                        reinterpret_cast<AUGraph>(~uintptr_t{0}),
                                        disposed,
                                        reinterpret_cast<AUGraph>(live ^ (uintptr_t{1} << 12)),
                                        reinterpret_cast<AUGraph>(aUnit)};
  for (size_t h = 0; h < handles.size(); ++h)
    for (size_t c = 0; c < calls.size(); ++c)
      EXPECT_EQ(calls[c](handles[h]), paramErr) << "handle " << h << ", call " << c;
  CloseComponent(aUnit);
  // Null result pointers get the same answer on a live graph.
  EXPECT_EQ(NewAUGraph(nullptr), paramErr);
  EXPECT_EQ(AUGraphAddNode(graph_, &kGeneric, nullptr), paramErr);
  EXPECT_EQ(AUGraphIsRunning(graph_, nullptr), paramErr);
  EXPECT_EQ(AUGraphSetNodeInputCallback(graph_, 1, 0, nullptr), paramErr);
}

TEST_F(GraphTest, NodesAnswerForThemselvesAndUnknownNodesAreNotFound) {
  const ComponentDescription kMissing{kAudioUnitType_Effect, XNQ_FOURCC('n', 'o', 'n', 'e'),
                                      kAudioUnitManufacturer_Platform, 0, 0};
  AUNode output = add(kGeneric), missing = add(kMissing);
  AUNode second = 0;
  EXPECT_EQ(AUGraphAddNode(graph_, &kDefault, &second), kAUGraphErr_OutputNodeErr);
  UInt32 count = 0;
  ASSERT_EQ(AUGraphGetNodeCount(graph_, &count), noErr);
  EXPECT_EQ(count, 2u);
  AUNode at = 0;
  ASSERT_EQ(AUGraphGetIndNode(graph_, 1, &at), noErr);
  EXPECT_EQ(at, missing);
  EXPECT_EQ(AUGraphGetIndNode(graph_, 2, &at), kAUGraphErr_NodeNotFound);
  ComponentDescription description{};
  AudioUnit unit = reinterpret_cast<AudioUnit>(1);
  ASSERT_EQ(AUGraphNodeInfo(graph_, output, &description, &unit), noErr);
  EXPECT_EQ(description.componentSubType, kAudioUnitSubType_GenericOutput);
  EXPECT_EQ(unit, nullptr);  // no unit before the graph opens

  // A description no component has keeps the graph closed until its node goes.
  EXPECT_EQ(AUGraphOpen(graph_), kAUGraphErr_InvalidAudioUnit);
  EXPECT_EQ(state(), (std::vector<bool>{false, false, false}));
  ASSERT_EQ(AUGraphRemoveNode(graph_, missing), noErr);
  ASSERT_EQ(AUGraphOpen(graph_), noErr);
  EXPECT_NE(unitOf(output), nullptr);

  const AUNode kUnknown = 77;
  Source source;
  AURenderCallbackStruct callback{sourceCallback, &source};
  for (OSStatus status : {AUGraphRemoveNode(graph_, kUnknown),
                          AUGraphNodeInfo(graph_, kUnknown, &description, nullptr),
                          AUGraphConnectNodeInput(graph_, kUnknown, 0, output, 0),
                          AUGraphConnectNodeInput(graph_, output, 0, kUnknown, 0),
                          AUGraphSetNodeInputCallback(graph_, kUnknown, 0, &callback),
                          AUGraphDisconnectNodeInput(graph_, kUnknown, 0)})
    EXPECT_EQ(status, kAUGraphErr_NodeNotFound);
}

TEST_F(GraphTest, ConnectionsThatCouldNeverRenderAreRefused) {
  // Connections are checked as they are made, also before the units exist.
  const ComponentDescription kEffect{kAudioUnitType_Effect, XNQ_FOURCC('a', 'n', 'y', ' '), 0, 0,
                                     0};
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
  // Once the input is free, the same connection is fine.
  ASSERT_EQ(AUGraphDisconnectNodeInput(graph_, c, 0), noErr);
  EXPECT_EQ(AUGraphConnectNodeInput(graph_, d, 0, c, 0), noErr);
  EXPECT_EQ(AUGraphClearConnections(graph_), noErr);
  EXPECT_EQ(AUGraphConnectNodeInput(graph_, c, 0, a, 0), noErr);
}

TEST_F(GraphTest, LifeCycleStatesAndRenderingOffline) {
  // Starting needs an output node and an initialized graph.
  EXPECT_EQ(AUGraphStart(graph_), kAUGraphErr_OutputNodeErr);
  AUNode output = add(kGeneric);
  Source source;
  ASSERT_EQ(feed(output, source), noErr);
  EXPECT_EQ(AUGraphStart(graph_), kAudioUnitErr_Uninitialized);

  struct Step {
    OSStatus (*call)(AUGraph);
    std::vector<bool> state;
  } steps[] = {
      {AUGraphOpen, {true, false, false}},         {AUGraphInitialize, {true, true, false}},
      {AUGraphStart, {true, true, true}},          {AUGraphStart, {true, true, true}},
      {AUGraphStop, {true, true, false}},          {AUGraphStart, {true, true, true}},
      {AUGraphUninitialize, {true, false, false}}, {AUGraphClose, {false, false, false}},
      {AUGraphInitialize, {true, true, false}},    {AUGraphClose, {false, false, false}},
      {AUGraphInitialize, {true, true, false}},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    ASSERT_EQ(steps[i].call(graph_), noErr) << i;
    EXPECT_EQ(state(), steps[i].state) << i;
  }

  // The caller renders the generic output; the callback gets the frames asked for, up to the
  // unit's maximum frames per slice.
  AudioUnit unit = unitOf(output);
  std::vector<Float32> left(4096), right(4096);
  auto render = [&](UInt32 frames) {
    struct {
      AudioBufferList list;
      AudioBuffer second;
    } buffers{{2, {{1, frames * 4, left.data()}}}, {1, frames * 4, right.data()}};
    AudioTimeStamp stamp{};
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    return AudioUnitRender(unit, &flags, &stamp, 0, frames, &buffers.list);
  };
  for (UInt32 frames : {1u, 512u, 1156u}) ASSERT_EQ(render(frames), noErr) << frames;
  EXPECT_EQ(source.frames, (std::vector<UInt32>{1, 512, 1156}));
  EXPECT_EQ(right[1155], 1155.0f);
  EXPECT_EQ(render(1157), kAudioUnitErr_TooManyFramesToProcess);
  EXPECT_EQ(source.frames.size(), 3u);
}

TEST_F(GraphTest, PlaysOnASteppedDeviceAndTakesChangesAtUpdate) {
  AudioDeviceID device = steppedDevice(44100, 256);
  ASSERT_NE(device, kAudioDeviceUnknown);
  AUNode output = add(kDefault);
  Source first, second;
  second.start = 1000;
  ASSERT_EQ(feed(output, first), noErr);
  ASSERT_EQ(AUGraphInitialize(graph_), noErr);
  ASSERT_EQ(AUGraphStart(graph_), noErr);
  ASSERT_EQ(xnq_hal_step(device, 2), 2u);
  EXPECT_EQ(first.frames, (std::vector<UInt32>{256, 256}));

  // A change to an initialized graph waits for the update; then the old source is done with.
  ASSERT_EQ(feed(output, second), noErr);
  ASSERT_EQ(xnq_hal_step(device, 1), 1u);
  EXPECT_EQ(first.calls, 3);
  Boolean updated = 0;
  ASSERT_EQ(AUGraphUpdate(graph_, &updated), noErr);
  EXPECT_TRUE(updated);
  EXPECT_EQ(state(), (std::vector<bool>{true, true, true}));
  ASSERT_EQ(xnq_hal_step(device, 1), 1u);
  EXPECT_EQ(first.calls, 3);
  EXPECT_EQ(second.calls, 1);

  ASSERT_EQ(AUGraphStop(graph_), noErr);
  EXPECT_EQ(xnq_hal_step(device, 1), 0u);
  EXPECT_EQ(second.calls, 1);
}

TEST_F(GraphTest, ADeviceOutputPlaysInputOfAnotherRateAtItsOwnSpeedAndPitch) {
  AudioDeviceID device = steppedDevice(44100, 512);
  Tap tap;
  ASSERT_EQ(xnq_hal_set_output_tap(device, tapOutput, &tap), noErr);
  AUNode output = add(kDefault);
  Sine sine{1000, 48000};
  AURenderCallbackStruct callback{sineCallback, &sine};
  ASSERT_EQ(AUGraphSetNodeInputCallback(graph_, output, 0, &callback), noErr);
  ASSERT_EQ(AUGraphOpen(graph_), noErr);
  const AudioStreamBasicDescription mono48k{
      48000,
      kAudioFormatLinearPCM,
      kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
      4,
      1,
      4,
      1,
      32,
      0};
  ASSERT_EQ(AudioUnitSetProperty(unitOf(output), kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Input, 0, &mono48k, sizeof mono48k),
            noErr);
  ASSERT_EQ(AUGraphInitialize(graph_), noErr);
  ASSERT_EQ(AUGraphStart(graph_), noErr);
  ASSERT_EQ(xnq_hal_step(device, 40), 40u);
  ASSERT_EQ(AUGraphStop(graph_), noErr);

  std::lock_guard<std::mutex> lock(tap.mutex);
  ASSERT_EQ(tap.samples.size(), 40u * 512);
  // A second of device time takes a second of input; copied without conversion the tone
  // would play at 919 Hz.
  EXPECT_NEAR(measuredFrequency(tap.samples, 1024, 44100), 1000.0, 0.5);
  EXPECT_NEAR(static_cast<double>(sine.frame), 40 * 512 * 48000.0 / 44100, 2 * 1156);
  Float32 peak = 0;
  for (size_t i = 1024; i < tap.samples.size(); ++i)
    peak = std::max(peak, std::fabs(tap.samples[i]));
  EXPECT_NEAR(peak, 0.5f, 0.005f);
}

TEST_F(GraphTest, DisposingARunningGraphStopsItBeforeItsUnitsGo) {
  AudioDeviceID device = steppedDevice(44100, 64);
  AUNode output = add(kDefault);
  Source source;
  ASSERT_EQ(feed(output, source), noErr);
  ASSERT_EQ(AUGraphInitialize(graph_), noErr);
  ASSERT_EQ(AUGraphStart(graph_), noErr);
  AudioUnit unit = unitOf(output);
  // The device keeps cycling on another thread while the graph goes.
  std::atomic<bool> done{false};
  std::thread stepper([&] {
    while (!done.load()) xnq_hal_step(device, 1);
  });
  while (source.calls.load() < 3) std::this_thread::yield();
  ASSERT_EQ(DisposeAUGraph(graph_), noErr);
  int calls = source.calls.load();
  done = true;
  stepper.join();
  EXPECT_EQ(source.calls.load(), calls);
  EXPECT_EQ(xnq_hal_step(device, 1), 0u);
  EXPECT_EQ(CloseComponent(unit), static_cast<OSErr>(badComponentInstance));
  Boolean running = 0;
  EXPECT_EQ(AUGraphIsRunning(graph_, &running), paramErr);
  graph_ = nullptr;
}

}  // namespace
