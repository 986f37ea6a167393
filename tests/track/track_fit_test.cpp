// The resonance fit against the emulated instrument's truth: its statuses for phase only, magnitude only and both;
// its accuracy against the Cramer-Rao bound of the model; no false alarm over flat sets; the rows it leaves out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sweep/sweep_commands.h"
#include "tests/support/emulated_sets.h"
#include "track/track.h"

namespace {

enum Kind { kPhase = 0, kMagnitude = 1, kBoth = 2 };  // the sweep types
const char* const kKindNames[] = {"phase", "magnitude", "both"};
const double kNaN = NAN;
constexpr double kDeg = 180 / M_PI, kDb = 10 / M_LN10;

// One range of one set as the fit takes it.
struct Range {
  std::vector<double> freq, magnitude, phase;
  RangeTruth truth;
};

// Sets of one range from the emulated instrument: Q, noise and seed as given.
std::vector<Range> Measure(Kind kind, const RangeSpec& spec, double q, int sets, uint32_t seed = 1,
                           double noiseDb = 0.05, double noiseDeg = 0.2, bool flat = false) {
  EmulatorConfig config;
  config.q[0] = q;
  config.seed = seed;
  config.magnitudeNoiseDb = noiseDb;
  config.phaseNoiseDeg = noiseDeg;
  config.flatRanges = flat ? 1 : 0;
  std::vector<double> freq;
  std::vector<Range> out;
  for (const MeasuredRange& m : MeasureRange(config, spec, kind, sets, &freq)) {
    out.push_back({freq, m.magnitude, m.phase, m.truth});
  }
  EXPECT_EQ(out.size(), size_t(sets));
  return out;
}

const double* Data(const std::vector<double>& v) { return v.empty() ? nullptr : v.data(); }

Resonance Fit(const Range& r) {
  return FitResonance(r.freq.data(), Data(r.magnitude), Data(r.phase), int32_t(r.freq.size()));
}

// Rows first..first+count-1 of a range.
Range Rows(const Range& r, size_t first, size_t count) {
  auto cut = [&](const std::vector<double>& v) {
    return v.empty() ? v : std::vector<double>(v.begin() + long(first), v.begin() + long(first + count));
  };
  return {cut(r.freq), cut(r.magnitude), cut(r.phase), r.truth};
}

// Two fits agree bit for bit.
bool Same(const Resonance& a, const Resonance& b) {
  const double x[] = {a.f0Hz, a.fwhmHz, a.q, a.peakDb, a.phaseDeg, a.residual};
  const double y[] = {b.f0Hz, b.fwhmHz, b.q, b.peakDb, b.phaseDeg, b.residual};
  for (int i = 0; i < 6; ++i)
    if (!(x[i] == y[i] || (std::isnan(x[i]) && std::isnan(y[i])))) return false;
  return a.status == b.status;
}

std::string Describe(const Resonance& r) {
  char text[200];
  std::snprintf(text, sizeof text, "status %d f0 %.3f fwhm %.3f q %.4f peak %.4f phase %.4f residual %.3f",
                int(r.status), r.f0Hz, r.fwhmHz, r.q, r.peakDb, r.phaseDeg, r.residual);
  return text;
}

// The Cramer-Rao bound of f0, Q, peakDb and phaseDeg for one set: the diagonal of the inverse of the Fisher
// information of the model at the truth.
void CramerRao(const Range& r, double noiseDb, double noiseDeg, double variance[4]) {
  const double f0 = r.truth.f0Hz, q = r.truth.q;
  double info[4][4] = {};
  for (double f : r.freq) {
    const double x = 2 * q * (f - f0) / f0, dxF0 = -2 * q * f / (f0 * f0), dxQ = 2 * (f - f0) / f0;
    const double magX = -kDb * 2 * x / (1 + x * x), phaseX = -kDeg / (1 + x * x);
    const double rows[2][4] = {{magX * dxF0 / noiseDb, magX * dxQ / noiseDb, 1 / noiseDb, 0},
                               {phaseX * dxF0 / noiseDeg, phaseX * dxQ / noiseDeg, 0, 1 / noiseDeg}};
    for (int k = 0; k < 2; ++k) {
      if ((k == 0 ? r.magnitude : r.phase).empty()) continue;
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) info[i][j] += rows[k][i] * rows[k][j];
    }
  }
  for (int i = 0; i < 4; ++i)
    if (info[i][i] == 0) info[i][i] = 1;  // the constant of a quantity that is absent
  // Gauss-Jordan inverse.
  double inv[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  for (int c = 0; c < 4; ++c) {
    const double pivot = info[c][c];
    for (int j = 0; j < 4; ++j) info[c][j] /= pivot, inv[c][j] /= pivot;
    for (int i = 0; i < 4; ++i) {
      if (i == c) continue;
      const double factor = info[i][c];
      for (int j = 0; j < 4; ++j) info[i][j] -= factor * info[c][j], inv[i][j] -= factor * inv[c][j];
    }
  }
  for (int i = 0; i < 4; ++i) variance[i] += inv[i][i];
}

const RangeSpec kLowQ = {14.5, 15.5, 201}, kHighQ = {25.45, 25.55, 201}, kCoarse = {39, 41, 101};

// Over many sets, the RMS errors of f0 and Q come close to the Cramer-Rao bound of the model at the instrument's
// noise: the fit weighs each quantity by its noise and finds the least-squares minimum, with one quantity or both.
TEST(TrackFit, ComesCloseToTheCramerRaoBound) {
  struct Case { Kind kind; RangeSpec spec; double q; double residual; };
  const Case cases[] = {{kBoth, kLowQ, 100, 1},      {kPhase, kLowQ, 100, 1},      {kMagnitude, kLowQ, 100, 1},
                        {kBoth, kHighQ, 2000, 1},    {kPhase, kHighQ, 2000, 1},    {kMagnitude, kHighQ, 2000, 1},
                        {kBoth, kCoarse, 1000, 0.85}, {kPhase, kCoarse, 1000, 0.85}, {kMagnitude, kCoarse, 1000, 0.85},
                        {kBoth, {60, 61, 1001}, 300, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kKindNames[c.kind]) + " " + std::to_string(c.spec.startMHz) + " Q " +
                 std::to_string(c.q));
    const std::vector<Range> sets = Measure(c.kind, c.spec, c.q, 200, 3);
    double error[4] = {}, bound[4] = {}, residual = 0;
    for (const Range& r : sets) {
      const Resonance fit = Fit(r);
      ASSERT_EQ(fit.status, FitStatus::Ok) << Describe(fit);
      CramerRao(r, 0.05, 0.2, bound);
      // The emulator's curve: 30 dB and 12.4 degrees at f0.
      const double miss[4] = {fit.f0Hz - r.truth.f0Hz, fit.q - r.truth.q, fit.peakDb - 30, fit.phaseDeg - 12.4};
      for (int i = 0; i < 4; ++i) error[i] += miss[i] * miss[i];
      residual += fit.residual / double(sets.size());
      EXPECT_DOUBLE_EQ(fit.fwhmHz, fit.f0Hz / fit.q);
    }
    const char* const names[] = {"f0", "Q", "peakDb", "phaseDeg"};
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(names[i]);
      if ((i == 2 && c.kind == kPhase) || (i == 3 && c.kind == kMagnitude)) {
        EXPECT_TRUE(std::isnan(error[i]));  // unknown without the quantity
        continue;
      }
      const double ratio = std::sqrt(error[i] / bound[i]);
      EXPECT_LT(ratio, 1.15);
      EXPECT_GT(ratio, 0.75);  // a bound that the numbers cannot beat: the errors are real
    }
    // The residual is in units of the noise, which the fit estimated from the data.
    EXPECT_NEAR(residual, c.residual, 0.1);
  }
}

// The numbers are the least-squares minimum, as a full nonlinear fit gives it: each quantity's constant is the
// mean of its data less the shape at the fitted f0 and Q (whatever the weights), and with one quantity the
// residuals are orthogonal to the derivatives of the model by f0 and by Q.
TEST(TrackFit, NumbersAreTheLeastSquaresMinimum) {
  double worstConstant = 0, worstGradient = 0;
  for (const RangeSpec& spec : {kLowQ, kHighQ, kCoarse}) {
    for (Kind kind : {kPhase, kMagnitude, kBoth}) {
      for (const Range& r : Measure(kind, spec, spec.points == 101 ? 1000 : spec.startMHz < 20 ? 100 : 2000, 20, 8)) {
        const Resonance fit = Fit(r);
        ASSERT_EQ(fit.status, FitStatus::Ok) << Describe(fit);
        for (int quantity = 0; quantity < 2; ++quantity) {
          const std::vector<double>& y = quantity == 0 ? r.magnitude : r.phase;
          if (y.empty()) continue;
          std::vector<double> shape, byF0, byQ;
          for (double f : r.freq) {
            const double x = 2 * fit.q * (f - fit.f0Hz) / fit.f0Hz;
            const double dx = quantity == 0 ? -kDb * 2 * x / (1 + x * x) : -kDeg / (1 + x * x);
            shape.push_back(quantity == 0 ? -kDb * std::log(1 + x * x) : -kDeg * std::atan(x));
            byF0.push_back(dx * -2 * fit.q * f / (fit.f0Hz * fit.f0Hz));
            byQ.push_back(dx * 2 * (f - fit.f0Hz) / fit.f0Hz);
          }
          double constant = 0;
          for (size_t i = 0; i < y.size(); ++i) constant += (y[i] - shape[i]) / double(y.size());
          const double fitted = quantity == 0 ? fit.peakDb : fit.phaseDeg;
          worstConstant = std::max(worstConstant, std::fabs(fitted - constant) / (quantity == 0 ? 0.05 : 0.2));
          if (kind == kBoth) continue;
          for (const std::vector<double>* d : {&byF0, &byQ}) {
            double along = 0, norm = 0, residuals = 0;
            for (size_t i = 0; i < y.size(); ++i) {
              const double e = y[i] - fitted - shape[i];
              along += e * (*d)[i], norm += (*d)[i] * (*d)[i], residuals += e * e;
            }
            worstGradient = std::max(worstGradient, std::fabs(along) / std::sqrt(norm * residuals));
          }
        }
      }
    }
  }
  // The constants in units of the noise, the gradients as the cosine of the angle between the residuals and the
  // derivative: a fit a hundredth of its standard errors short of the minimum shows as 1e-4 and 1e-3.
  EXPECT_LT(worstConstant, 1e-7);
  EXPECT_LT(worstGradient, 2e-5);
}

// Every status against the truth, for each quantity alone and both: a resonance well inside the range is ok, with
// f0 and Q near the truth; one whose f0 lies outside the points fitted, or whose half-power band is wider than
// the range, is edge, with its numbers; a flat range and a 2-point range are none, with no numbers.
TEST(TrackFit, StatusesAgainstTheTruth) {
  struct Case {
    const char* name;
    RangeSpec spec;
    double q;
    bool flat;
    double from, to;  // the share of the range's points fitted
    FitStatus status;
    double f0Tolerance, qTolerance;  // of the numbers given: in half-power widths, and relative
    int kinds = 7;                   // bit 0 phase, 1 magnitude, 2 both
  };
  const Case cases[] = {
      {"inside", {14.5, 15.5, 201}, 100, false, 0, 1, FitStatus::Ok, 0.01, 0.01},
      {"narrow", {25.45, 25.55, 201}, 2000, false, 0, 1, FitStatus::Ok, 0.01, 0.01},
      {"coarse", {39, 41, 101}, 1000, false, 0, 1, FitStatus::Ok, 0.05, 0.05},
      {"long", {10, 20, 16000}, 500, false, 0, 1, FitStatus::Ok, 0.01, 0.01},
      {"f0 below the points", {14.5, 15.5, 201}, 100, false, 0.65, 1, FitStatus::Edge, 1, 0.5},
      {"f0 above the points", {14.5, 15.5, 201}, 100, false, 0, 0.35, FitStatus::Edge, 1, 0.5},
      {"band wider than the range", {14.95, 15.05, 101}, 50, false, 0, 1, FitStatus::Edge, 0.05, 0.1},
      {"half the band outside", {14.5, 15.5, 201}, 100, false, 0.3, 0.52, FitStatus::Edge, 0.05, 0.1},
      // 70 to 670 widths below f0, down to the magnitude's floor; the phase there is flat to 0.4 degrees.
      {"the tail of a distant resonance", {10, 20, 1000}, 2000, false, 0, 0.45, FitStatus::Edge, 10, 10, 6},
      {"flat", {14.5, 15.5, 201}, 100, true, 0, 1, FitStatus::None, 0, 0},
      {"flat and long", {10, 20, 16000}, 100, true, 0, 1, FitStatus::None, 0, 0},
      {"two points", {14.5, 15.5, 201}, 100, false, 0.495, 0.505, FitStatus::None, 0, 0},
      {"two-point range", {14.9, 15.1, 2}, 10, false, 0, 1, FitStatus::None, 0, 0},
  };
  for (const Case& c : cases) {
    for (Kind kind : {kPhase, kMagnitude, kBoth}) {
      if (!(c.kinds >> kind & 1)) continue;
      SCOPED_TRACE(std::string(c.name) + ", " + kKindNames[kind]);
      for (const Range& whole : Measure(kind, c.spec, c.q, 10, 5, 0.05, 0.2, c.flat)) {
        const size_t first = size_t(c.from * double(c.spec.points)), end = size_t(c.to * double(c.spec.points));
        const Range r = Rows(whole, first, std::max(end, first + 2) - first);
        const Resonance fit = Fit(r);
        ASSERT_EQ(fit.status, c.status) << Describe(fit) << " truth " << r.truth.f0Hz << " " << r.truth.q;
        if (c.status == FitStatus::None) {
          for (double v : {fit.f0Hz, fit.fwhmHz, fit.q, fit.peakDb, fit.phaseDeg, fit.residual}) EXPECT_TRUE(std::isnan(v));
          continue;
        }
        const double fwhm = r.truth.f0Hz / r.truth.q;
        EXPECT_NEAR(fit.f0Hz, r.truth.f0Hz, c.f0Tolerance * fwhm) << Describe(fit);
        EXPECT_NEAR(fit.q / r.truth.q, 1, c.qTolerance) << Describe(fit);
        EXPECT_EQ(std::isnan(fit.peakDb), kind == kPhase) << Describe(fit);
        EXPECT_EQ(std::isnan(fit.phaseDeg), kind == kMagnitude) << Describe(fit);
        EXPECT_GT(fit.residual, 0.5) << Describe(fit);
        EXPECT_LT(fit.residual, 1.5) << Describe(fit);
      }
    }
  }
}

// What is no measurement is left out, exactly as if it were not there: a row without a frequency, or without
// either value, is the range without that row; an infinite value, or one at an end of the instrument's raw
// scale (clipped), is a value that is not there.
TEST(TrackFit, LeavesOutWhatIsNoMeasurement) {
  const std::vector<size_t> rows = {0, 3, 97, 100, 101, 150, 200};  // around the peak too
  const double clippedDb[] = {MagnitudeFromRaw(0), MagnitudeFromRaw(65535), INFINITY, -INFINITY};
  const double clippedDeg[] = {PhaseFromRaw(0), PhaseFromRaw(65535), INFINITY, -INFINITY};
  for (const Range& r : Measure(kBoth, kLowQ, 100, 3, 9)) {
    Range without = r;  // the rows taken away
    for (auto i = rows.rbegin(); i != rows.rend(); ++i) {
      for (std::vector<double>* v : {&without.freq, &without.magnitude, &without.phase}) v->erase(v->begin() + long(*i));
    }
    const Resonance expected = Fit(without);
    ASSERT_EQ(expected.status, FitStatus::Ok) << Describe(expected);
    for (int way = 0; way < 3; ++way) {
      Range damaged = r;
      for (size_t i : rows) {
        if (way == 0) damaged.freq[i] = kNaN;
        if (way == 1) damaged.magnitude[i] = damaged.phase[i] = kNaN;
        if (way == 2) damaged.magnitude[i] = clippedDb[i % 4], damaged.phase[i] = clippedDeg[(i + 1) % 4];
      }
      EXPECT_TRUE(Same(Fit(damaged), expected)) << way << ": " << Describe(Fit(damaged)) << " vs " << Describe(expected);
    }
    // One quantity's clipped or infinite values are that quantity's gaps; the other's values stay in.
    for (int quantity = 0; quantity < 2; ++quantity) {
      Range gaps = r, damaged = r;
      for (size_t i : rows) {
        (quantity == 0 ? gaps.magnitude : gaps.phase)[i] = kNaN;
        (quantity == 0 ? damaged.magnitude : damaged.phase)[i] = (quantity == 0 ? clippedDb : clippedDeg)[i % 4];
      }
      EXPECT_TRUE(Same(Fit(damaged), Fit(gaps))) << quantity;
      EXPECT_FALSE(Same(Fit(gaps), expected)) << quantity;  // the gaps' rows still count, with the other quantity
    }
  }
}

// Fewer than kFitMinPoints usable points are never a resonance, however clear; a quantity with fewer values than
// that is left out, and the other fitted alone.
TEST(TrackFit, FewPointsAreNoResonance) {
  const Range r = Measure(kBoth, kCoarse, 1000, 1, 2)[0];  // 20 kHz apart, 40 kHz wide: a clear peak in 7 points
  size_t top = 0;
  for (size_t i = 0; i < r.freq.size(); ++i)
    if (std::fabs(r.freq[i] - r.truth.f0Hz) < std::fabs(r.freq[top] - r.truth.f0Hz)) top = i;
  const Resonance seven = Fit(Rows(r, top - 3, 7));
  EXPECT_EQ(seven.status, FitStatus::Ok) << Describe(seven);
  EXPECT_NEAR(seven.f0Hz, r.truth.f0Hz, 2000) << Describe(seven);
  EXPECT_EQ(Fit(Rows(r, top - 3, 6)).status, FitStatus::None);
  EXPECT_EQ(Fit(Rows(r, top - 2, 6)).status, FitStatus::None);
  // The same six rows among the NaN rows of the whole range, some without a frequency, some without values.
  Range sparse = r;
  for (size_t i = 0; i < r.freq.size(); ++i) {
    if (i + 3 >= top && i < top + 3) continue;
    if (i % 2) sparse.freq[i] = kNaN;
    else sparse.magnitude[i] = sparse.phase[i] = kNaN;
  }
  EXPECT_EQ(Fit(sparse).status, FitStatus::None) << Describe(Fit(sparse));

  const Range both = Measure(kBoth, kLowQ, 100, 1, 4)[0];
  for (int quantity = 0; quantity < 2; ++quantity) {
    Range few = both, alone = both;
    std::vector<double>& values = quantity == 0 ? few.magnitude : few.phase;
    for (size_t i = 6; i < values.size(); ++i) values[i] = kNaN;
    (quantity == 0 ? alone.magnitude : alone.phase).clear();
    EXPECT_TRUE(Same(Fit(few), Fit(alone))) << Describe(Fit(few));
    EXPECT_EQ(Fit(alone).status, FitStatus::Ok);
  }
}

// A range without values is nodata; one whose points all lie at one frequency shows no resonance.
TEST(TrackFit, RangesWithoutValues) {
  const Range r = Measure(kBoth, kLowQ, 100, 1)[0];
  const int32_t n = int32_t(r.freq.size());
  const std::vector<double> nan(r.freq.size(), kNaN), same(r.freq.size(), 15e6);
  struct Case { const double *freq, *magnitude, *phase; int32_t n; FitStatus status; };
  const Case cases[] = {
      {r.freq.data(), r.magnitude.data(), r.phase.data(), 0, FitStatus::NoData},
      {r.freq.data(), r.magnitude.data(), r.phase.data(), -5, FitStatus::NoData},
      {nullptr, r.magnitude.data(), r.phase.data(), n, FitStatus::NoData},
      {r.freq.data(), nullptr, nullptr, n, FitStatus::NoData},
      {r.freq.data(), nan.data(), nan.data(), n, FitStatus::NoData},
      {nan.data(), r.magnitude.data(), r.phase.data(), n, FitStatus::NoData},
      {r.freq.data(), r.magnitude.data(), nan.data(), n, FitStatus::Ok},
      {same.data(), r.magnitude.data(), r.phase.data(), n, FitStatus::None},
      {r.freq.data(), r.magnitude.data(), r.phase.data(), 1, FitStatus::None},
  };
  for (const Case& c : cases) {
    const Resonance fit = FitResonance(c.freq, c.magnitude, c.phase, c.n);
    EXPECT_EQ(fit.status, c.status) << &c - cases << ": " << Describe(fit);
    if (c.status != FitStatus::Ok) {
      for (double v : {fit.f0Hz, fit.fwhmHz, fit.q, fit.peakDb, fit.phaseDeg, fit.residual}) EXPECT_TRUE(std::isnan(v));
    }
  }
}

// Noise fitted by chance is no resonance: none over 1,000 flat sets of each kind and length.
TEST(TrackFit, NoFalseAlarmOverFlatSets) {
  for (int32_t points : {7, 12, 30, 201}) {
    for (Kind kind : {kPhase, kMagnitude, kBoth}) {
      int alarms = 0;
      for (const Range& r : Measure(kind, {14.5, 15.5, points}, 100, 1000, 17, 0.05, 0.2, true)) {
        alarms += Fit(r).status != FitStatus::None;
      }
      EXPECT_EQ(alarms, 0) << points << " points, " << kKindNames[kind];
    }
  }
}

// Without noise the numbers are the truth, to the instrument's resolution; the noise level then is that of the
// rounding to raw samples.
TEST(TrackFit, NoiseFreeSetsGiveTheTruth) {
  for (Kind kind : {kPhase, kMagnitude, kBoth}) {
    for (const Range& r : Measure(kind, kHighQ, 2000, 3, 1, 0, 0)) {
      const Resonance fit = Fit(r);
      ASSERT_EQ(fit.status, FitStatus::Ok) << kKindNames[kind] << " " << Describe(fit);
      EXPECT_NEAR(fit.f0Hz, r.truth.f0Hz, 0.05) << kKindNames[kind];
      EXPECT_NEAR(fit.q, r.truth.q, 0.05) << kKindNames[kind];
      EXPECT_LT(fit.residual, 1.5) << kKindNames[kind];
    }
  }
}

// Whatever the arrays hold (any order, repeats, negative, huge or non-finite numbers, resonances and noise of any
// size), the result is well formed: a status, no numbers for None and NoData, finite ones with a positive width
// otherwise, an Ok f0 within the frequencies; and the arrays are left as they were.
TEST(TrackFit, AnyInputGivesAWellFormedResult) {
  std::mt19937 random(5);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  const double specials[] = {kNaN, INFINITY, -INFINITY, 0, -1, 1e308, -1e308, 1e-308, 38.265625, -30, -90};
  int statuses[4] = {};
  for (int trial = 0; trial < 3000; ++trial) {
    const int32_t n = int32_t(random() % 300);
    const size_t count = static_cast<size_t>(n);
    std::vector<double> freq(count), magnitude(count), phase(count);
    const double f0 = uniform(1e6, 1e8), width = f0 * std::pow(10, uniform(-5, 0)), noise = std::pow(10, uniform(-4, 1));
    const double start = f0 + width * uniform(-20, 5), step = width * std::pow(10, uniform(-2, 1)) * (random() % 8 ? 1 : -1);
    for (int32_t i = 0; i < n; ++i) {
      freq[size_t(i)] = random() % 10 ? start + step * i : uniform(-1e9, 1e9);
      const double x = (freq[size_t(i)] - f0) / width * 2;
      magnitude[size_t(i)] = 30 - 10 * std::log10(1 + x * x) + noise * uniform(-1, 1);
      phase[size_t(i)] = 12.4 - std::atan(x) * kDeg + 4 * noise * uniform(-1, 1);
      for (std::vector<double>* v : {&freq, &magnitude, &phase}) {
        if (random() % 50 == 0) (*v)[size_t(i)] = specials[random() % 11];
      }
    }
    const std::vector<double> copies[3] = {freq, magnitude, phase};
    const int kind = int(random() % 4);
    const Resonance r = FitResonance(kind == 3 ? nullptr : freq.data(), kind == 1 ? nullptr : magnitude.data(),
                                     kind == 2 ? nullptr : phase.data(), n);
    const std::string what = "trial " + std::to_string(trial) + ": " + Describe(r);
    ASSERT_LE(int(r.status), 3) << what;
    ++statuses[int(r.status)];
    auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
      return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    };
    EXPECT_TRUE(same(copies[0], freq) && same(copies[1], magnitude) && same(copies[2], phase)) << what;
    if (r.status == FitStatus::None || r.status == FitStatus::NoData) {
      for (double v : {r.f0Hz, r.fwhmHz, r.q, r.peakDb, r.phaseDeg, r.residual}) ASSERT_TRUE(std::isnan(v)) << what;
      continue;
    }
    for (double v : {r.f0Hz, r.fwhmHz, r.q, r.residual}) ASSERT_TRUE(std::isfinite(v)) << what;
    ASSERT_GT(r.fwhmHz, 0) << what;
    ASSERT_EQ(std::isnan(r.peakDb), kind == 1) << what;
    ASSERT_EQ(std::isnan(r.phaseDeg), kind == 2) << what;
    if (r.status == FitStatus::Ok) {
      double low = INFINITY, high = -INFINITY;
      for (double f : freq) {
        if (std::isfinite(f)) low = std::min(low, f), high = std::max(high, f);
      }
      EXPECT_TRUE(r.f0Hz - r.fwhmHz / 2 >= low && r.f0Hz + r.fwhmHz / 2 <= high) << what;
    }
  }
  for (int s = 0; s < 4; ++s) EXPECT_GT(statuses[s], 100) << "status " << s;  // every status reached
}

}  // namespace
