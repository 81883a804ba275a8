// Fuzzes the one-line description of a stream format record (the text behind AUPlayerXNQ's
// ClientFormatString and OutputFormatString) with arbitrary records. Every description must be
// printable ASCII, end inside its buffer, begin with the record's head (channels, rate,
// identifier, flags), and leave the rest of a zero-filled buffer as it was.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frame/CAStreamBasicDescription.h"
#include "fuzz_check.h"

namespace {

using fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  AudioStreamBasicDescription record{};
  memcpy(&record, data, size < sizeof record ? size : sizeof record);
  constexpr size_t kSize = CAStreamBasicDescription::kDescriptionSize;
  // One byte past the buffer, to see that nothing is written there.
  char buffer[kSize + 1];
  memset(buffer, 0, sizeof buffer);
  buffer[kSize] = 0x5A;
  Check(CAStreamBasicDescription(record).AsString(buffer) == buffer);
  Check(buffer[kSize] == 0x5A);
  const char *end = static_cast<const char *>(memchr(buffer, 0, kSize));
  Check(end != nullptr);
  for (const char *c = buffer; c < end; ++c) Check(*c >= 0x20 && *c < 0x7F);
  for (const char *c = end; c < buffer + kSize; ++c) Check(*c == 0);

  // The head: the channels, the rate, the identifier's four characters between apostrophes
  // when they are printable and no backslash (else in hex), the flags.
  char id[16];
  const uint32_t f = record.mFormatID;
  const unsigned char b[4] = {static_cast<unsigned char>(f >> 24),
                              static_cast<unsigned char>(f >> 16),
                              static_cast<unsigned char>(f >> 8), static_cast<unsigned char>(f)};
  bool printable = true;
  for (unsigned char c : b) printable = printable && isprint(c) && c != '\\';
  if (printable)
    snprintf(id, sizeof id, "'%c%c%c%c'", b[0], b[1], b[2], b[3]);
  else
    snprintf(id, sizeof id, "0x%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
  char head[kSize];
  snprintf(head, sizeof head, "%2d ch, %6.0f Hz, %s (0x%08X) ",
           static_cast<int>(record.mChannelsPerFrame), record.mSampleRate, id,
           static_cast<unsigned>(record.mFormatFlags));
  Check(strncmp(buffer, head, strlen(head)) == 0);
  return 0;
}
