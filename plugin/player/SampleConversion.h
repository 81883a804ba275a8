// Conversion of the player's integer sample formats to 32-bit floats. Every scale is a power of
// two, so the loops may be vectorised and still give exactly the per-sample results.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Bytes per source sample for a BitSize code: 1, 2, 3 or 4, or 0 for a code the player refuses.
// 23 has three bytes but no conversion; ConvertSamples refuses it.
int BytesPerSample(int64_t bitSize);

// Converts count samples of the BitSize format at source into count floats at destination.
// False for a BitSize without a conversion (nothing is written then).
bool ConvertSamples(int64_t bitSize, const uint8_t *source, float *destination, size_t count);

// Converts frameCount samples from each of two blocks into 2 x frameCount interleaved floats:
// destination[2k] from left, destination[2k + 1] from right.
bool ConvertStereoSamples(int64_t bitSize, const uint8_t *left, const uint8_t *right,
                          float *destination, size_t frameCount);
