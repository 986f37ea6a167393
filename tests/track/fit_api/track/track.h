// The fit's types as the tests of the live view use them, for a tree that
// does not have the fit module yet; where track/track.h exists, that one is
// used instead (track/CMakeLists.txt).
#pragma once

#include <cstdint>

enum class FitStatus : uint8_t { Ok = 0, Edge = 1, None = 2, NoData = 3 };

struct Resonance {
  double f0Hz, fwhmHz, q, peakDb, phaseDeg, residual;  // NaN when unknown
  FitStatus status;
};
