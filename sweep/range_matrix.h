// The range matrix: how the result file and the averager's sums lay out one
// quantity of a sweep set. It has maxPoints rows and one column per range,
// in column-major order; column k holds range k's values from row 0 on, and
// the rows below a range's last point hold the NaN fill.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sweep/sweep_commands.h"

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

// NaN fill for the rows below a range's points, handed out in pieces.
constexpr uint32_t kNaNBlockValues = 2048;
inline const double* NaNBlock() {
  static const struct Block {
    double values[kNaNBlockValues];
    Block() {
      for (double& v : values) v = NaNFill();
    }
  } block;
  return block.values;
}

// One quantity of a sweep set as a range matrix, handed out in column-major
// order from the records themselves: column k holds the values of range
// k's record, NaN below them. NextRangePiece is the MAT writer's source of
// pieces (MatrixPieces) over it; next starts at 0.
struct RangeMatrix {
  const double* values[kMaxRanges];
  uint32_t taken[kMaxRanges];  // values of column k that come from its record
  int32_t maxPoints;
  uint64_t next;  // the value given next
};

inline const double* NextRangePiece(void* context, uint64_t left, uint32_t* count) {
  RangeMatrix& m = *static_cast<RangeMatrix*>(context);
  const uint64_t k = m.next / static_cast<uint64_t>(m.maxPoints);
  const uint32_t row = static_cast<uint32_t>(m.next % static_cast<uint64_t>(m.maxPoints));
  uint64_t run = static_cast<uint64_t>(m.maxPoints) - row;
  if (run > left) run = left;
  const double* piece;
  if (row < m.taken[k]) {
    run = std::min<uint64_t>(run, m.taken[k] - row);
    piece = m.values[k] + row;
  } else {
    run = std::min<uint64_t>(run, kNaNBlockValues);
    piece = NaNBlock();
  }
  *count = static_cast<uint32_t>(run);
  m.next += run;
  return piece;
}
