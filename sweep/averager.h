// The global averager (-m): two sums, laid out as range matrices, into which
// the record store adds every complete sweep set as it completes; at the
// save they are divided by the number of sets, and the file carries that
// one averaged set. This module owns the sums.
#pragma once

#include <cstdint>

#include "sweep/record.h"

constexpr int32_t kMaxSweepValues = 128000;  // 8 ranges x 16000 points

extern double* PhaseSum;
extern double* MagnitudeSum;

// Reserves and zeroes PhaseSum and MagnitudeSum (128,000 doubles each); sums
// already reserved are zeroed again. OutOfMemory at the first failure (a
// buffer already reserved stays).
int32_t InitAverager();
void FreeAverager();

// Adds the set starting at `first` into the sums: value i of range k's
// record at entry k x maxPoints + i, the NaN fill at the rows below the
// range's points. Each present kind goes into its sum. OutOfMemory when
// nsub x maxPoints exceeds 128,000 (nothing is added).
int32_t AccumulateSweepSet(double* phaseSum, double* magnitudeSum, const RecordNode* first,
                           int32_t nsub, const int32_t* points, int32_t maxPoints,
                           bool phasePresent, bool magnitudePresent);

// Divides all 128,000 entries of both sums by the number of sets.
void FinishAverage(int32_t sets);
