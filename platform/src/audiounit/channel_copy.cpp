#include "audiounit/channel_copy.h"

#include <cstring>

namespace xnq::au {

ChannelView channelOf(const AudioBufferList &list, const AudioStreamBasicDescription &format,
                      UInt32 channel) {
  ChannelView view;
  if (channel >= format.mChannelsPerFrame) return view;
  if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
    if (channel >= list.mNumberBuffers) return view;
    const AudioBuffer &buffer = list.mBuffers[channel];
    view.first = static_cast<Float32 *>(buffer.mData);
    view.stride = 1;
    view.frames = buffer.mDataByteSize / 4;
  } else {
    if (list.mNumberBuffers == 0) return view;
    const AudioBuffer &buffer = list.mBuffers[0];
    UInt32 channels = format.mChannelsPerFrame;
    view.first = static_cast<Float32 *>(buffer.mData) + channel;
    view.stride = channels;
    view.frames = buffer.mDataByteSize / (4 * channels);
  }
  if (view.first == nullptr) view.frames = 0;
  return view;
}

void copyChannels(const AudioBufferList &from, const AudioStreamBasicDescription &fromFormat,
                  AudioBufferList &to, const AudioStreamBasicDescription &toFormat, UInt32 frames,
                  const std::atomic<SInt32> *map, UInt32 mapSize) {
  for (UInt32 d = 0; d < toFormat.mChannelsPerFrame; ++d) {
    ChannelView out = channelOf(to, toFormat, d);
    UInt32 outFrames = out.frames < frames ? out.frames : frames;
    SInt32 source = static_cast<SInt32>(d);
    if (map != nullptr) source = d < mapSize ? map[d].load(std::memory_order_relaxed) : -1;
    ChannelView in =
        source < 0 ? ChannelView{} : channelOf(from, fromFormat, static_cast<UInt32>(source));
    UInt32 inFrames = in.frames < outFrames ? in.frames : outFrames;
    UInt32 f = 0;
    if (in.stride == 1 && out.stride == 1) {
      // One buffer per channel on both sides, the usual case between units: a block copy.
      std::memmove(out.first, in.first, size_t{inFrames} * 4);
      f = inFrames;
    }
    for (; f < inFrames; ++f) out.first[f * out.stride] = in.first[f * in.stride];
    for (; f < outFrames; ++f) out.first[f * out.stride] = 0.0f;
  }
}

}  // namespace xnq::au
