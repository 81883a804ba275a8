// What every fuzz target checks with: a broken rule ends the input as a crash, which libFuzzer
// keeps as a finding.
#pragma once

#include <stdlib.h>

namespace fuzz {

inline void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace fuzz
