// The sound channel: a source on a sound output device, fed from the channel's own ring of
// blocks. Blocks complete in the order they were queued, so the ring is filled in that order.
#include "platform/sound_channel.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "soundmanager/mixer.h"

using xnq::sound::Mixer;

namespace {

struct Block {
  SoundParamBlock pb{};
  SoundComponentData desc{};
  std::unique_ptr<Byte[]> bytes;
  UInt32 frames = 0;
  XnqSoundChannel *owner = nullptr;
  // Set by the host thread that queues the block; cleared by the mixer's completion routine on
  // the audio thread, or by the host thread after a stop.
  std::atomic<bool> queued{false};
};

}  // namespace

struct XnqSoundChannel {
  ComponentInstance instance = nullptr;
  SoundSource source = nullptr;
  XnqSoundFormat format{};
  UInt32 frameBytes = 0;
  UInt32 blockFrames = 0;
  UInt32 blockCount = 0;
  UInt32 next = 0;  // the block the next write fills
  bool paused = false;
  std::unique_ptr<Block[]> blocks;
  // Added to by the completion routine on the audio thread; read by host threads.
  std::atomic<UInt64> played{0};
};

namespace {

// Audio thread (inside the mixer's render): no allocation, no lock.
Boolean blockDone(SoundParamBlockPtr *pb) {
  auto *block = reinterpret_cast<Block *>((*pb)->refCon);
  block->owner->played.fetch_add(block->frames, std::memory_order_relaxed);
  block->queued.store(false, std::memory_order_release);
  return true;
}

OSType sampleFormat(const XnqSoundFormat &format) {
  if (format.bits == 8) return kOffsetBinary;
  return format.bigEndian ? kTwosComplement : k16BitLittleEndianFormat;
}

// A rate the 16.16 record cannot hold is described as a fraction of itself played at a whole
// multiple, as the Sound Manager's rate multiplier allows.
UInt32 rateMultiple(Float64 rate) {
  return rate < 65535 ? 1 : static_cast<UInt32>(rate / 65535) + 1;
}

bool describable(const XnqSoundFormat *format) {
  return format != nullptr && format->sampleRate >= 1 && format->sampleRate <= 1e6 &&
         (format->channels == 1 || format->channels == 2) &&
         (format->bits == 8 || format->bits == 16);
}

}  // namespace

extern "C" {

OSStatus xnq_sound_channel_open(Component device, const XnqSoundFormat *format, UInt32 blockCount,
                                UInt32 blockFrames, XnqSoundChannel **out) {
  if (out == nullptr) return paramErr;
  *out = nullptr;
  if (!describable(format)) return paramErr;
  if (device == nullptr) {
    ComponentDescription looking{kSoundOutputDeviceType, 0, 0, 0, 0};
    device = FindNextComponent(nullptr, &looking);
    if (device == nullptr) return invalidComponentID;
  }
  std::unique_ptr<XnqSoundChannel> channel(new (std::nothrow) XnqSoundChannel);
  if (channel == nullptr) return memFullErr;
  channel->format = *format;
  channel->frameBytes = format->channels * format->bits / 8;
  channel->blockCount = blockCount == 0 ? 8 : blockCount;
  channel->blockFrames = blockFrames == 0 ? 4096 : blockFrames;
  channel->blocks.reset(new (std::nothrow) Block[channel->blockCount]);
  if (channel->blocks == nullptr) return memFullErr;
  for (UInt32 i = 0; i < channel->blockCount; ++i) {
    Block &block = channel->blocks[i];
    block.bytes.reset(new (std::nothrow) Byte[size_t{channel->blockFrames} * channel->frameBytes]);
    if (block.bytes == nullptr) return memFullErr;
    block.owner = channel.get();
  }
  if (OSErr status = OpenAComponent(device, &channel->instance)) return status;
  ComponentResult status = SoundComponentInitOutputDevice(channel->instance, 0);
  if (status == noErr) status = SoundComponentAddSource(channel->instance, &channel->source);
  // A rate the device's mixer would refuse for every block is refused here, at open.
  UnsignedFixed deviceRate = 0;
  if (status == noErr && SoundComponentGetInfo(channel->instance, channel->source, siSampleRate,
                                               &deviceRate) == noErr) {
    const double step = format->sampleRate / (deviceRate / 65536.0);
    if (!(step <= Mixer::kMaxStep && step >= 1 / Mixer::kMaxStep)) status = siInvalidSampleRate;
  }
  if (status != noErr) {
    CloseComponent(channel->instance);
    return static_cast<OSStatus>(status);
  }
  *out = channel.release();
  return noErr;
}

OSStatus xnq_sound_channel_write(XnqSoundChannel *channel, const void *samples, UInt32 frames,
                                 UInt32 *written) {
  if (written != nullptr) *written = 0;
  if (channel == nullptr || (samples == nullptr && frames > 0)) return paramErr;
  const auto *from = static_cast<const Byte *>(samples);
  const UInt32 multiple = rateMultiple(channel->format.sampleRate);
  UInt32 done = 0;
  while (done < frames) {
    Block &block = channel->blocks[channel->next];
    if (block.queued.load(std::memory_order_acquire)) break;
    UInt32 n = frames - done < channel->blockFrames ? frames - done : channel->blockFrames;
    std::memcpy(block.bytes.get(), from + size_t{done} * channel->frameBytes,
                size_t{n} * channel->frameBytes);
    block.frames = n;
    block.desc = SoundComponentData{
        0,
        sampleFormat(channel->format),
        static_cast<short>(channel->format.channels),
        static_cast<short>(channel->format.bits),
        static_cast<UnsignedFixed>(channel->format.sampleRate / multiple * 65536.0),
        static_cast<long>(n),
        block.bytes.get(),
        0};
    block.pb = SoundParamBlock{};
    block.pb.recordSize = sizeof(SoundParamBlock);
    block.pb.desc = &block.desc;
    block.pb.rateMultiplier = multiple << 16;
    block.pb.leftVolume = block.pb.rightVolume = 0x0100;
    block.pb.completionRtn = blockDone;
    block.pb.refCon = reinterpret_cast<long>(&block);
    block.queued.store(true, std::memory_order_relaxed);
    ComponentResult status = SoundComponentPlaySourceBuffer(
        channel->instance, channel->source, &block.pb, channel->paused ? kSourcePaused : 0);
    if (status != noErr) {
      block.queued.store(false, std::memory_order_relaxed);
      return static_cast<OSStatus>(status);
    }
    done += n;
    if (written != nullptr) *written = done;
    channel->next = (channel->next + 1) % channel->blockCount;
  }
  return noErr;
}

UInt32 xnq_sound_channel_free_frames(const XnqSoundChannel *channel) {
  if (channel == nullptr) return 0;
  UInt32 free = 0;
  for (UInt32 i = 0; i < channel->blockCount; ++i)
    if (!channel->blocks[i].queued.load(std::memory_order_acquire)) free += channel->blockFrames;
  return free;
}

UInt32 xnq_sound_channel_queued_frames(const XnqSoundChannel *channel) {
  if (channel == nullptr) return 0;
  UInt32 queued = 0;
  for (UInt32 i = 0; i < channel->blockCount; ++i)
    if (channel->blocks[i].queued.load(std::memory_order_acquire))
      queued += channel->blocks[i].frames;
  return queued;
}

UInt64 xnq_sound_channel_played_frames(const XnqSoundChannel *channel) {
  return channel == nullptr ? 0 : channel->played.load(std::memory_order_relaxed);
}

OSStatus xnq_sound_channel_pause(XnqSoundChannel *channel) {
  if (channel == nullptr) return paramErr;
  channel->paused = true;
  return static_cast<OSStatus>(SoundComponentPauseSource(channel->instance, 1, &channel->source));
}

OSStatus xnq_sound_channel_resume(XnqSoundChannel *channel) {
  if (channel == nullptr) return paramErr;
  channel->paused = false;
  return static_cast<OSStatus>(SoundComponentStartSource(channel->instance, 1, &channel->source));
}

OSStatus xnq_sound_channel_stop(XnqSoundChannel *channel) {
  if (channel == nullptr) return paramErr;
  auto status =
      static_cast<OSStatus>(SoundComponentStopSource(channel->instance, 1, &channel->source));
  // The mixer reads none of the dropped blocks any more, and will not complete them.
  if (status == noErr) {
    for (UInt32 i = 0; i < channel->blockCount; ++i)
      channel->blocks[i].queued.store(false, std::memory_order_release);
  }
  return status;
}

void xnq_sound_channel_close(XnqSoundChannel *channel) {
  if (channel == nullptr) return;
  xnq_sound_channel_stop(channel);
  SoundComponentRemoveSource(channel->instance, channel->source);
  CloseComponent(channel->instance);
  delete channel;
}

ComponentInstance xnq_sound_channel_instance(const XnqSoundChannel *channel) {
  return channel == nullptr ? nullptr : channel->instance;
}

}  // extern "C"
