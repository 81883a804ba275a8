// WAVE files of 64-bit integer samples. libsndfile refuses them, other tools read them, so the
// audio file service parses their 'fmt ' and 'data' chunks itself (plain PCM or
// WAVE_FORMAT_EXTENSIBLE with the PCM subformat, little-endian RIFF or big-endian RIFX).
#pragma once

#include <sys/types.h>

#include "os/types.h"

namespace xnq::audiofile {

struct WaveInt64 {
  off_t dataOffset = 0;
  // Whole frames of sample data there really are: a 'data' chunk that claims more bytes than
  // the file holds ends at the file's end.
  SInt64 frames = 0;
  UInt32 channels = 0;
  UInt32 rate = 0;
  bool bigEndian = false;

  // Finds the chunks of such a file of size bytes; false for any other file.
  static bool find(int fd, off_t size, WaveInt64 &out);
  // Reads up to count frames from frame first as samples scaled to [-1, 1); the frames read.
  UInt32 read(int fd, SInt64 first, double *to, UInt32 count) const;
  UInt32 read(int fd, SInt64 first, float *to, UInt32 count) const;
};

}  // namespace xnq::audiofile
