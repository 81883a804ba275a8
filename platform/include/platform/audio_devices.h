// Controls of the audio hardware stand-in: which devices exist, how their clocks run, and what
// tests need to drive and observe them. Not part of the operating-system interface.
#pragma once

#include "os/audio_hardware.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum XnqClockMode {
  XNQ_CLOCK_REALTIME = 0,      // one cycle per buffer duration, as a sound card runs
  XNQ_CLOCK_FREE_RUNNING = 1,  // cycles back to back, as fast as the IO procedures allow
  XNQ_CLOCK_STEPPED = 2,       // a cycle only when xnq_hal_step asks for it
} XnqClockMode;

typedef struct XnqDeviceConfig {
  const char *backend;    // "null", "capture" or "alsa"
  const char *name;       // device name; null: made from the backend
  const char *uid;        // unique ID; null: made from the name
  const char *path;       // capture: the WAV file to write; alsa: the PCM name ("default", ...)
  Float64 sampleRate;     // nominal rate; 0: 44100
  UInt32 outputChannels;  // 0: the device has no output side
  UInt32 inputChannels;   // 0: the device has no input side
  UInt32 bufferFrames;    // IO buffer size in frames; 0: 512
  UInt32 clock;           // an XnqClockMode; held as a plain number so any value can be checked
  // Seconds of audio after which the device goes away as if unplugged (0: it stays), so that a
  // program can be tried against a device that disappears while it plays.
  Float64 unplugAfter;
} XnqDeviceConfig;

// Replaces every device with those the text describes (the syntax of XNQ_AUDIO_DEVICES, see the
// README):  backend[:key=value,...][;backend...]  with backends null, capture, alsa and keys
// name, uid, out, in, rate, frames, clock (realtime|free|stepped), unplug (seconds), path
// (capture), pcm (alsa);
// a value in double quotes may hold , ; : =. "none" means no devices. Null or empty: the default
// set (the ALSA default device if it opens, else a null output). Returns 0 or an error status
// (xnq_hal_last_error says why).
OSStatus xnq_hal_configure(const char *devices);
// Adds a device and returns its ID (0 on failure; xnq_hal_last_error says why). The first output
// device added to an empty system becomes the default output and system output device; the
// first input device the default input device. Called before any other call of the audio
// hardware, it starts from an empty system (XNQ_AUDIO_DEVICES is not read).
AudioDeviceID xnq_hal_add_device(const XnqDeviceConfig *config);
// Removes a device as if it were unplugged: it stops, its alive property changes, listeners of
// the device list hear about it.
OSStatus xnq_hal_remove_device(AudioDeviceID device);
// Removes every device. The system stays empty (XNQ_AUDIO_DEVICES is not read afterwards).
void xnq_hal_reset(void);

// Stepped clock: runs cycles IO cycles of a started stepped device and returns when they are
// done. Returns the number of cycles that called at least one IO procedure (fewer when the
// device stopped on the way). Returns 0 at once when the device is not running, its clock is not
// stepped, or the call comes from the device's own IO thread.
UInt32 xnq_hal_step(AudioDeviceID device, UInt32 cycles);
// The value a device writes into every output sample before each cycle (0.0 by default), so a
// test can see which samples an IO procedure left untouched.
OSStatus xnq_hal_set_output_prefill(AudioDeviceID device, Float32 value);
// Called on the IO thread after every cycle with the interleaved output the IO procedures left.
typedef void (*XnqOutputTap)(const Float32 *interleaved, UInt32 frames, UInt32 channels,
                             void *context);
OSStatus xnq_hal_set_output_tap(AudioDeviceID device, XnqOutputTap tap, void *context);
// IO cycles a device has run since it was added.
UInt64 xnq_hal_cycle_count(AudioDeviceID device);
// Makes the next AudioDeviceStart of the device fail with the given status (0 clears).
OSStatus xnq_hal_fail_next_start(AudioDeviceID device, OSStatus status);
// The host clock's timebase: a tick lasts numer/denom nanoseconds (1/1 by default; 125/3 makes
// 24 MHz ticks, as on machines whose clock ticks are not nanoseconds). Zero in either is refused.
OSStatus xnq_hal_set_host_clock_timebase(UInt32 numer, UInt32 denom);
// Waits until every property-listener notification queued so far has been delivered.
void xnq_hal_flush_notifications(void);
// Why the device list in XNQ_AUDIO_DEVICES could not be used, naming the entry and the problem
// ("" when it could). A list that cannot be used leaves the system without devices, so a program
// should check this before it plays. Sets up the devices from the environment first.
const char *xnq_hal_configuration_error(void);
// Why the calling thread's last xnq_hal_configure or xnq_hal_add_device failed ("" if it didn't).
const char *xnq_hal_last_error(void);

#ifdef __cplusplus
}
#endif
