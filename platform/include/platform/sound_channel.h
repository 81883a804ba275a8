// The platform's sound channel: plays PCM (8- or 16-bit, mono or stereo, any rate)
// through a sound output device component (type 'sdev') the way the Sound Manager drives an
// output device:
//   open      OpenAComponent on the device, SoundComponentInitOutputDevice, then
//             SoundComponentAddSource (which the device hands to its mixer);
//   write     the samples are copied into one of the channel's blocks and queued with
//             SoundComponentPlaySourceBuffer; the first block starts the source;
//   pause     SoundComponentPauseSource; resume: SoundComponentStartSource;
//   stop      SoundComponentStopSource: what is queued is dropped;
//   close     stop, SoundComponentRemoveSource, CloseComponent.
// The device plays what its mixer delivers at the pace of whatever pulls it. A channel is used
// by one host thread at a time. Not part of the operating-system interface.
#pragma once

#include "os/sound_manager.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct XnqSoundChannel XnqSoundChannel;

typedef struct XnqSoundFormat {
  Float64 sampleRate;  // 1 Hz ... 1 MHz; above 65535 Hz played through the rate multiplier
  UInt32 channels;     // 1 or 2, interleaved
  UInt32 bits;         // 8 (unsigned, offset binary) or 16 (signed)
  Boolean bigEndian;   // 16-bit samples: most significant byte first
} XnqSoundFormat;

// Opens a channel on device (null: the first registered 'sdev' component). The channel holds
// blockCount blocks of blockFrames frames (0, 0: 8 blocks of 4096 frames). Errors: paramErr for
// a null out or a format it cannot describe, siInvalidSampleRate for a rate more than 64 times
// the device's either way, invalidComponentID when there is no device, memFullErr, or what the
// device answered.
OSStatus xnq_sound_channel_open(Component device, const XnqSoundFormat *format, UInt32 blockCount,
                                UInt32 blockFrames, XnqSoundChannel **out);
// Copies up to frames frames into free blocks and queues them; *written (may be null) gets the
// frames taken, fewer when the blocks are all queued. Returns the device's answer to the first
// block it refused, else 0.
OSStatus xnq_sound_channel_write(XnqSoundChannel *channel, const void *samples, UInt32 frames,
                                 UInt32 *written);
// Frames that a write could take now, frames queued and not yet played, and frames played since
// the channel opened.
UInt32 xnq_sound_channel_free_frames(const XnqSoundChannel *channel);
UInt32 xnq_sound_channel_queued_frames(const XnqSoundChannel *channel);
UInt64 xnq_sound_channel_played_frames(const XnqSoundChannel *channel);
OSStatus xnq_sound_channel_pause(XnqSoundChannel *channel);
OSStatus xnq_sound_channel_resume(XnqSoundChannel *channel);
OSStatus xnq_sound_channel_stop(XnqSoundChannel *channel);
// Stops, removes the source, closes the device instance and frees the channel; null is ignored.
void xnq_sound_channel_close(XnqSoundChannel *channel);
// The device instance the channel plays through.
ComponentInstance xnq_sound_channel_instance(const XnqSoundChannel *channel);

#ifdef __cplusplus
}
#endif
