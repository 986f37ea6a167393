// The resonance as data: what the sweep instrument measured, reduced to the
// numbers the scientist came for.
#pragma once

#include <cstdint>

// ------------------------------------------------------------ the resonance fit
//
// The model is a single resonance seen in transmission. With
// x = 2 Q (f - f0) / f0:
//   magnitude (dB)   = peakDb - 10 log10(1 + x^2)    (|S21|^2 = A / (1 + x^2))
//   phase (degrees)  = phaseDeg - atan(x), the atan in degrees
// fitted by weighted least squares (Levenberg-Marquardt on f0, the width,
// peakDb and phaseDeg). Each quantity's residuals are divided by its noise
// level, estimated from the data's point-to-point scatter (its second
// differences, robustly), so that with both quantities the fit is a
// weighted fit of both; with one, that one alone. The fit starts from the
// magnitude's peak, or from the phase's steepest fall when there is no
// magnitude.

enum class FitStatus : uint8_t {
  Ok = 0,
  // The numbers are given but not to be trusted: f0 lies outside the range,
  // the half-power band is not wholly inside it, or the fit did not settle.
  Edge = 1,
  // No resonance stands clear of the noise: a flat range, or too few points
  // (a 2-point range always). The numbers are all NaN.
  None = 2,
  // The range has no values: all NaN.
  NoData = 3,
};

struct Resonance {
  double f0Hz;      // resonance frequency
  double fwhmHz;    // full width at half power, f0 / q
  double q;         // quality factor
  double peakDb;    // the model's magnitude at f0; NaN without magnitude
  double phaseDeg;  // the model's phase at f0; NaN without phase
  // RMS of the residuals, each in units of its quantity's noise level (so
  // dimensionless): about 1 when the model explains the data down to the
  // noise, more when it does not.
  double residual;
  FitStatus status;
};

// A quantity with fewer usable values than this is left out of the fit; a
// range where both are left out is None.
constexpr int32_t kFitMinPoints = 7;

// One range of one set: n realized frequencies (Hz, ascending) and the
// magnitude (dB) and/or phase (degrees) as the result file holds them;
// either may be null. A row whose frequency is NaN is left out, and so is
// a value that is NaN, infinite or at an end of the instrument's raw scale
// (a clipped sample is no measurement: magnitude -30 or 38.265625 dB, phase
// -90 or 114.796875 degrees). "The range" of the statuses is that of the
// frequencies of the values used. Pure: no allocation, no I/O, no global
// state; the cost is linear in n.
Resonance FitResonance(const double* freqHz, const double* magnitudeDb, const double* phaseDeg,
                       int32_t n);
