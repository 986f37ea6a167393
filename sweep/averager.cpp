// The global averager's sums: reserved at start-up, added into set by set,
// divided at the save.
#include "sweep/averager.h"

#include <cstdlib>
#include <cstring>

#include "link/status.h"
#include "sweep/range_matrix.h"

double* PhaseSum = nullptr;
double* MagnitudeSum = nullptr;

int32_t InitAverager() {
  double** sums[2] = {&PhaseSum, &MagnitudeSum};
  for (double** sum : sums) {
    if (*sum == nullptr) {
      *sum = static_cast<double*>(std::calloc(kMaxSweepValues, sizeof(double)));
      if (*sum == nullptr) return OutOfMemory;
    } else {
      std::memset(*sum, 0, kMaxSweepValues * sizeof(double));
    }
  }
  return NoError;
}

void FreeAverager() {
  std::free(PhaseSum);
  std::free(MagnitudeSum);
  PhaseSum = nullptr;
  MagnitudeSum = nullptr;
}

// Each entry takes one addition of one double, the value of its row or the
// NaN fill: the same sum, bit for bit, as laying the set out as a range
// matrix first and adding that matrix entry by entry, without the copy.
int32_t AccumulateSweepSet(double* phaseSum, double* magnitudeSum, const RecordNode* first,
                           int32_t nsub, const int32_t* points, int32_t maxPoints,
                           bool phasePresent, bool magnitudePresent) {
  if (nsub < 1 || maxPoints < 0 ||
      static_cast<int64_t>(nsub) * maxPoints > static_cast<int64_t>(kMaxSweepValues)) {
    return OutOfMemory;
  }
  const double fill = NaNFill();
  for (int kind = 0; kind < 2; ++kind) {
    double* sum = kind == 0 ? phaseSum : magnitudeSum;
    if (!(kind == 0 ? phasePresent : magnitudePresent) || sum == nullptr) continue;
    const RecordNode* record = first;
    for (int32_t k = 0; k < nsub; ++k) {
      double* column = sum + static_cast<size_t>(k) * static_cast<size_t>(maxPoints);
      const double* values = record == nullptr ? nullptr
                             : kind == 0       ? record->phase
                                               : record->magnitude;
      // Never more than the record holds, the range's points or the rows.
      int32_t n = 0;
      if (values != nullptr && points[k] > 0) {
        n = points[k] < maxPoints ? points[k] : maxPoints;
        if (static_cast<uint32_t>(n) > record->valueCount)
          n = static_cast<int32_t>(record->valueCount);
      }
      for (int32_t i = 0; i < n; ++i) column[i] += values[i];
      for (int32_t i = n; i < maxPoints; ++i) column[i] += fill;
      if (record != nullptr) record = record->next;
    }
  }
  return NoError;
}

void FinishAverage(int32_t sets) {
  const double divisor = static_cast<double>(sets);
  double* sums[2] = {PhaseSum, MagnitudeSum};
  for (double* sum : sums) {
    if (sum == nullptr) continue;
    for (int32_t i = 0; i < kMaxSweepValues; ++i) sum[i] /= divisor;
  }
}
