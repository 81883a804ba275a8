// Copies 32-bit float audio between buffer lists of interleaved or non-interleaved layout,
// choosing for every destination channel a source channel or silence.
#pragma once

#include <atomic>

#include "os/audio_types.h"

namespace xnq::au {

// A view of one channel: where its first sample is and how far apart its samples are.
struct ChannelView {
  Float32 *first = nullptr;
  UInt32 stride = 0;
  UInt32 frames = 0;  // samples the buffer holds for this channel
};

ChannelView channelOf(const AudioBufferList &list, const AudioStreamBasicDescription &format,
                      UInt32 channel);

// Render thread: no allocation, no lock. Destination channel d takes source channel map[d]
// (-1, a channel the source lacks, or d past mapSize: silence). A null map copies d from d.
void copyChannels(const AudioBufferList &from, const AudioStreamBasicDescription &fromFormat,
                  AudioBufferList &to, const AudioStreamBasicDescription &toFormat, UInt32 frames,
                  const std::atomic<SInt32> *map, UInt32 mapSize);

}  // namespace xnq::au
