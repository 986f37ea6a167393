// The range matrix: how the result file and the averager's sums lay out one
// quantity of a sweep set. It has maxPoints rows and one column per range,
// in column-major order; column k holds range k's values from row 0 on, and
// the rows below a range's last point hold the NaN fill.
#pragma once

#include <cstdint>
#include <cstring>

#include "sweep/protocol.h"

// The double with bit pattern 0x7FFFFFFFFFFFFFFF: the fill of matrix rows
// that hold no value.
inline double NaNFill() {
  const uint64_t bits = 0x7FFFFFFFFFFFFFFFull;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The rows of the matrices of a configuration: the largest of all 8 point
// entries (the unconfigured zeros included), -1 when all are negative.
inline int32_t MaxPoints(const SweepInfo& info) {
  int32_t maxPoints = -1;
  for (int32_t points : info.Points) {
    if (points > maxPoints) maxPoints = points;
  }
  return maxPoints;
}
