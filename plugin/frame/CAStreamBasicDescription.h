// An audio stream format record with a one-line description of it for people.
#pragma once

#include <stddef.h>

#include "os/audio_types.h"

class CAStreamBasicDescription : public AudioStreamBasicDescription {
 public:
  // Room AsString needs: the description never exceeds it, terminator included.
  static constexpr size_t kDescriptionSize = 500;

  CAStreamBasicDescription() : AudioStreamBasicDescription() {}
  explicit CAStreamBasicDescription(const AudioStreamBasicDescription &description)
      : AudioStreamBasicDescription(description) {}

  // Writes the description, NUL-terminated, into a buffer of kDescriptionSize bytes and returns
  // that buffer. A description that does not fit is cut and still terminated.
  char *AsString(char *buffer) const;
};
