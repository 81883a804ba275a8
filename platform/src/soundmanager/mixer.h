// The Sound Manager's mixer: sources that play queued blocks of 8- or 16-bit PCM at any rate,
// mixed into buffers of 16-bit output that an output device pulls from its audio thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "os/sound_manager.h"

namespace xnq::sound {

// A source's sample-rate converter and the stereo frames it works on, made by host threads.
struct RateConverter;

// How a queued block's samples are read.
enum class SampleKind : uint8_t { kOffsetBinary8, kSigned8, kBigEndian16, kLittleEndian16 };

// A block handed to PlaySourceBuffer, as the render thread reads it.
struct QueuedBlock {
  SoundParamBlockPtr pb;
  const Byte *samples;
  UInt32 frames;
  UInt32 channels;
  SampleKind kind;
  uint64_t step;  // source frames per output frame, 32.32 fixed point
  // Set on the first block at a rate other than the block before it: the converter the source
  // plays it and the blocks after it through (null: they are at the output's rate). Cleared by
  // the render thread when it takes the converter over.
  bool newRate;
  RateConverter *converter;
};

enum SourceState : uint32_t { kSourceFree, kSourceStopped, kSourcePlaying, kSourcePaused };

struct MixerSource {
  static constexpr uint32_t kQueueLength = 64;

  // Written by host threads (under the mixer's lock); read by the render thread.
  std::atomic<uint32_t> state{kSourceFree};
  uint32_t generation = 0;  // host threads only
  QueuedBlock queue[kQueueLength];
  // Written by host threads (PlaySourceBuffer) after the block it publishes; read by the render
  // thread.
  std::atomic<uint32_t> head{0};
  // Written by the render thread as blocks finish (by host threads only while the source is
  // not playing and no render is in progress); read by host threads to find room.
  std::atomic<uint32_t> tail{0};

  // Host threads only: the step of the last block queued.
  uint64_t lastStep = uint64_t{1} << 32;
  // Touched only by the render thread while the source plays, and reset by host threads while
  // it does not: frames taken from the block at tail, the converter in use (null: frames go out
  // as they come), the position in its output, and the silent runs still owed to push the end
  // of the stream out of it.
  UInt32 consumed = 0;
  RateConverter *converter = nullptr;
  size_t outPos = 0, outCount = 0;
  uint32_t flush = 0;
  // Per queue slot: the converter that the slot's block's converter replaced. Written by the
  // render thread; freed by host threads before the slot takes a block again.
  std::atomic<RateConverter *> retired[kQueueLength] = {};
};

class Mixer {
 public:
  static constexpr int kMaxSources = 16;
  static constexpr long kDefaultFrames = 1024;
  static constexpr long kMaxFrames = 16384;
  // A source plays at 1/kMaxStep to kMaxStep times the output rate (690 Hz to 2.8 MHz at
  // 44100 Hz); blocks at other rates are refused with siInvalidSampleRate. Within it the buffers
  // that the resampler sizes from the ratio stay small, where a 1 Hz source would take gigabytes.
  static constexpr double kMaxStep = 64.0;

  // A mixer of 16-bit big-endian stereo at 44100 Hz, 1024 frames per buffer; null when memory
  // runs out.
  static Mixer *create();
  ~Mixer();

  // Host threads.
  OSErr setOutput(const SoundComponentData *requested);
  const SoundComponentData &output() const { return output_; }
  OSErr addSource(SoundSource *source);
  OSErr removeSource(SoundSource source);
  OSErr setState(short count, const SoundSource *sources, SourceState state);
  OSErr playBuffer(SoundSource source, const SoundParamBlock *pb, long actions);
  OSErr getInfo(SoundSource source, OSType selector, void *info) const;

  // The output device's audio thread: no allocation, no lock. The next buffer of output.
  SoundComponentData *render();

 private:
  Mixer() = default;
  MixerSource *find(SoundSource source);
  // Returns when no render that may have seen the sources' previous states is still running.
  void waitForRender() const;
  // Host threads, once no render can reach the source: frees every converter it holds.
  static void releaseConverters(MixerSource &source);
  // Render thread: the next output frame of a source; false when its queue has run dry.
  bool produce(MixerSource &source, float &left, float &right);
  // Render thread: the next source frame at the rate in use; false at the end of the queue and
  // before a block that starts a new rate.
  bool fetch(MixerSource &source, float out[2]);
  // Render thread: runs the converter over the next source frames; false when there is nothing
  // left to run it on.
  bool refill(MixerSource &source);
  // Render thread: takes over the converter of the block at tail if it starts a new rate.
  bool switchRate(MixerSource &source);

  std::mutex hostLock_;  // host threads only, never the render thread
  // Incremented by the render thread when a render starts and when it ends: odd while one runs.
  std::atomic<uint32_t> passes_{0};
  MixerSource sources_[kMaxSources];
  SoundComponentData output_{};  // the format delivered; buffer and sampleCount unused
  // Made by setOutput for the render thread.
  std::unique_ptr<float[]> mix_;
  std::unique_ptr<Byte[]> bytes_;
  // Filled by each render; the caller may advance buffer and sampleCount.
  SoundComponentData delivered_{};
};

// The mixer behind an instance of the mixer component, or null.
Mixer *mixerOf(ComponentInstance instance);

}  // namespace xnq::sound
