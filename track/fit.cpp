#include <algorithm>
#include <cmath>
#include <limits>

#include "track/track.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegPerRad = 180 / kPi;
constexpr double kDbPerNeper = 4.3429448190325182765;  // 10 / ln 10
// The median of |N(0, 1)|; the mean of |N(0, 1)| below kNoiseCut; and the
// spread of a second difference of white noise: sqrt(6) times the noise.
constexpr double kMedianAbsNormal = 0.6744897501960817;
constexpr double kNoiseCut = 3.5;
constexpr double kMeanAbsNormalBelowCut = 0.7965097780850113;
constexpr double kSqrt6 = 2.4494897427831781;

// The instrument's raw samples: the ends of their scale, and one step.
struct Scale {
  double low, high, step;
};
constexpr Scale kMagnitudeScale = {-30.0, 38.265625, 1.0 / 960};
constexpr Scale kPhaseScale = {-90.0, 114.796875, 0.003125};

// Second differences taken for the noise level, at most; spread evenly over
// longer ranges. The first guess is the median of kNoiseGuess of them.
constexpr int32_t kNoiseSamples = 512;
constexpr int32_t kNoiseGuess = 31;
constexpr int kNoiseRounds = 2;
// Block means that the starting point is found on, at most.
constexpr int32_t kBlocks = 256;
// The starting half width, in half spans, when the data show no peak.
constexpr double kFallbackWidth = 0.1;

// The parameters: the offset of f0 from the middle of the range and the
// log of the half width at half power, both in half spans of the range;
// peakDb; phaseDeg.
enum { kOffset = 0, kLogWidth = 1, kPeak = 2, kPhase = 3, kParams = 4 };
constexpr double kMaxOffset = 10.0;
constexpr double kMinLogWidth = -13.815510557964274;  // ln 1e-6
constexpr double kMaxLogWidth = 6.9077552789821368;   // ln 1e3
// f0 stays above this fraction of the range's middle frequency.
constexpr double kMinF0Fraction = 1e-3;

// The fit ends when its next Gauss-Newton step would lower chi^2 by less
// than this (a step of about a hundredth of the parameters' standard
// errors). That step is still taken: Gauss-Newton converges quadratically
// here, so it lands within a few millionths of them of the minimum.
constexpr double kSettled = 1e-4;
constexpr int kMaxSteps = 60;
constexpr double kMinDamping = 1e-9;
constexpr double kMaxDamping = 1e12;
// A resonance must lower chi^2 by this much from the best flat line: far
// more than noise fitted by chance over a range of 16,000 points does.
constexpr double kMinImprovement = 100.0;
constexpr double kFewPoints = 16.0;

// One quantity of the range: its values, or null when it is absent or left
// out.
struct Series {
  const double* y;
  Scale scale;
  int32_t count;           // usable values
  double sum, sumSquares;  // of the usable values
  double low, high;        // the frequencies they span
  double weight;           // 1 / noise level
};

// |v|, written out: the 32-bit x86 build would take std::fabs on the x87
// unit. As a maximum rather than a branch, which noise would mispredict.
inline double Abs(double v) { return std::max(v, -v); }

inline bool Usable(const Scale& s, double v) {
  // False for NaN and the infinities too.
  return v > s.low + s.step / 2 && v < s.high - s.step / 2;
}

inline bool Has(const Series& s, const double* freq, int32_t i) {
  return s.y != nullptr && std::isfinite(freq[i]) && Usable(s.scale, s.y[i]);
}

// Counts and sums the usable values.
void Survey(Series* s, const double* freq, int32_t n) {
  int32_t count = 0;
  double sum = 0, sumSquares = 0;
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (int32_t i = 0; i < n; ++i) {
    if (!Has(*s, freq, i)) continue;
    const double y = s->y[i];
    ++count;
    sum += y;
    sumSquares += y * y;
    low = std::min(low, freq[i]);
    high = std::max(high, freq[i]);
  }
  s->count = count;
  s->sum = sum;
  s->sumSquares = sumSquares;
  s->low = low;
  s->high = high;
}

// The quantity's noise level, from its second differences: the mean of
// those within kNoiseCut spreads, the spread first guessed from a median,
// so that the few that the resonance's curvature makes large do not count.
// No lower than the rounding of the raw samples.
double NoiseLevel(const Series& s, const double* freq, int32_t n) {
  double d[kNoiseSamples];
  const int32_t differences = s.count - 2;
  const int32_t stride = (differences + kNoiseSamples - 1) / kNoiseSamples;
  int32_t seen = 0, taken = 0, skip = 0;
  double y0 = 0, y1 = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!Has(s, freq, i)) continue;
    const double y2 = s.y[i];
    if (seen >= 2 && skip-- == 0) {
      d[taken++] = Abs(y0 - 2 * y1 + y2);
      skip = stride - 1;
    }
    y0 = y1;
    y1 = y2;
    ++seen;
  }
  double guess[kNoiseGuess];
  const int32_t m = std::min(taken, kNoiseGuess);
  for (int32_t j = 0; j < m; ++j) guess[j] = d[j * taken / m];
  std::nth_element(guess, guess + m / 2, guess + m);
  double spread = guess[m / 2] / kMedianAbsNormal;
  for (int round = 0; round < kNoiseRounds; ++round) {
    const double cut = kNoiseCut * spread;
    double sums[2] = {0, 0};  // two, so that the additions overlap
    int32_t within = 0;
    for (int32_t j = 0; j < taken; ++j) {
      const bool in = d[j] <= cut;
      sums[j & 1] += in ? d[j] : 0;
      within += in ? 1 : 0;
    }
    if (within > 0) spread = (sums[0] + sums[1]) / within / kMeanAbsNormalBelowCut;
  }
  return std::max(spread / kSqrt6, s.scale.step / std::sqrt(12.0));
}

// Consecutive usable values averaged in blocks, so that at most kBlocks
// remain: u is the position in half spans from the middle of the range.
struct Blocks {
  int32_t n;
  int32_t top;  // the highest block
  double u[kBlocks];
  double y[kBlocks];
};

void Decimate(const Series& s, const double* freq, int32_t n, double middle, double invHalf,
              Blocks* b) {
  const int32_t size = (s.count + kBlocks - 1) / kBlocks;
  b->u[0] = b->y[0] = 0;  // the top of no values
  int32_t blocks = 0, inBlock = 0;
  double su = 0, sy = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (!Has(s, freq, i)) continue;
    su += (freq[i] - middle) * invHalf;
    sy += s.y[i];
    if (++inBlock == size) {
      b->u[blocks] = su / size;
      b->y[blocks++] = sy / size;
      su = sy = 0;
      inBlock = 0;
    }
  }
  if (inBlock > 0) {
    b->u[blocks] = su / inBlock;
    b->y[blocks++] = sy / inBlock;
  }
  b->n = blocks;
  b->top = 0;
  for (int32_t i = 1; i < blocks; ++i) {
    if (b->y[i] > b->y[b->top]) b->top = i;
  }
}

// Solves the symmetric positive definite system a x = b of size m in place
// (Cholesky); false when a is not positive definite.
bool Solve(double a[kParams][kParams], double* b, int m) {
  for (int j = 0; j < m; ++j) {
    double d = a[j][j];
    for (int k = 0; k < j; ++k) d -= a[j][k] * a[j][k];
    if (!(d > 0)) return false;
    a[j][j] = std::sqrt(d);
    for (int i = j + 1; i < m; ++i) {
      double v = a[i][j];
      for (int k = 0; k < j; ++k) v -= a[i][k] * a[j][k];
      a[i][j] = v / a[j][j];
    }
  }
  for (int i = 0; i < m; ++i) {
    for (int k = 0; k < i; ++k) b[i] -= a[i][k] * b[k];
    b[i] /= a[i][i];
  }
  for (int i = m - 1; i >= 0; --i) {
    for (int k = i + 1; k < m; ++k) b[i] -= a[k][i] * b[k];
    b[i] /= a[i][i];
  }
  return true;
}

struct Start {
  double offset, width, peak;
};

// The magnitude's starting point: 1 / |S21|^2 of a Lorentzian is a
// parabola in f, fitted to the blocks with every point's relative error
// weighted alike; when that gives no peak (the resonance lies far beyond
// the range), the highest block, with a width of kFallbackWidth.
Start MagnitudeStart(const Blocks& b) {
  const int32_t top = b.top;
  const double ymax = b.y[top];
  double power[kBlocks];
  for (int32_t i = 0; i < b.n; ++i) power[i] = std::exp((b.y[i] - ymax) / kDbPerNeper);
  // Least squares of power (a + b u + c u^2) = 1: the normal equations.
  double s00 = 0, s01 = 0, s02 = 0, s12 = 0, s22 = 0, v0 = 0, v1 = 0, v2 = 0;
  for (int32_t i = 0; i < b.n; ++i) {
    const double p0 = power[i], p1 = p0 * b.u[i], p2 = p1 * b.u[i];
    s00 += p0 * p0;
    s01 += p0 * p1;
    s02 += p0 * p2;
    s12 += p1 * p2;
    s22 += p2 * p2;
    v0 += p0;
    v1 += p1;
    v2 += p2;
  }
  double a[kParams][kParams] = {{s00}, {s01, s02}, {s02, s12, s22}};
  double v[kParams] = {v0, v1, v2};
  if (Solve(a, v, 3) && v[2] > 0) {
    const double offset = -v[1] / (2 * v[2]);
    const double least = v[0] - v[1] * v[1] / (4 * v[2]);
    if (least > 0 && Abs(offset) < kMaxOffset) {
      return {offset, std::sqrt(least / v[2]), ymax - kDbPerNeper * std::log(least)};
    }
  }
  return {b.u[top], kFallbackWidth, ymax};
}

// The phase's starting point: the steepest fall. At each scale h (1, 2, 4,
// ... blocks) the largest fall from block i - h to block i + h; the first
// scale at which it passes 90 degrees spans about the half-power band (the
// phase falls by 2 atan(h / width) there), or else the largest scale.
Start PhaseStart(const Blocks& b) {
  double bestFall = 0;
  int32_t bestAt = -1, bestScale = 0;
  for (int32_t h = 1; 2 * h < b.n; h *= 2) {
    double fall = -std::numeric_limits<double>::infinity();
    int32_t at = h;
    for (int32_t i = h; i + h < b.n; ++i) {
      if (b.y[i - h] - b.y[i + h] > fall) {
        fall = b.y[i - h] - b.y[i + h];
        at = i;
      }
    }
    if (fall > bestFall) {
      bestFall = fall;
      bestAt = at;
      bestScale = h;
    }
    if (fall >= 90) break;
  }
  if (bestAt < 0) return {0.0, 1.0, 0};
  const double span = (b.u[bestAt + bestScale] - b.u[bestAt - bestScale]) / 2;
  const double fall = std::min(bestFall, 179.0) / kDegPerRad;
  return {b.u[bestAt], span / std::tan(fall / 2), 0};
}

// The range as the fit sees it.
struct Problem {
  const double* freq;
  int32_t n;
  Series mag, phase;
  double middle, invHalf;  // u = (f - middle) * invHalf
  double minOffset;        // keeps f0 above zero
  int m;                   // parameters fitted
  int index[kParams];      // their places in the parameter vector
};

// chi^2 at theta, and the Gauss-Newton normal equations (J'J and J'r of
// the weighted residuals) over the fitted parameters.
struct Normal {
  double chi2;
  int32_t rows;  // with a value
  double a[kParams][kParams];
  double g[kParams];
};

// One quantity's share of them, before its weight: the sums over its
// values of the residual e and of the derivatives d0 (by the offset) and d1
// (by the log width) of its model.
struct Sums {
  double ee, e, d0e, d1e, d0d0, d0d1, d1d1, d0, d1;
  int32_t count;

  void Add(double r, double d0v, double d1v) {
    ee += r * r;
    e += r;
    d0e += d0v * r;
    d1e += d1v * r;
    d0d0 += d0v * d0v;
    d0d1 += d0v * d1v;
    d1d1 += d1v * d1v;
    d0 += d0v;
    d1 += d1v;
    ++count;
  }
  // Adds the weighted sums into the normal equations; constant is the
  // index of the quantity's constant (peakDb or phaseDeg).
  void AddTo(double weight, int constant, double* chi2, double a[kParams][kParams],
             double* g) const {
    const double w2 = weight * weight;
    *chi2 += w2 * ee;
    a[0][0] += w2 * d0d0;
    a[1][0] += w2 * d0d1;
    a[1][1] += w2 * d1d1;
    a[constant][0] += w2 * d0;
    a[constant][1] += w2 * d1;
    a[constant][constant] += w2 * count;
    g[0] += w2 * d0e;
    g[1] += w2 * d1e;
    g[constant] += w2 * e;
  }
};

// Rows are taken in chunks: the logarithms and arc tangents of a chunk
// first, then its sums, so that the sums stay in registers.
constexpr int32_t kChunk = 64;

void Evaluate(const Problem& p, const double* theta, Normal* out) {
  const double invWidth = std::exp(-theta[kLogWidth]);
  const double offset = theta[kOffset];
  Sums mag = {}, phase = {};
  int32_t rows = 0;
  for (int32_t first = 0; first < p.n; first += kChunk) {
    const int32_t count = std::min(kChunk, p.n - first);
    double x[kChunk], logs[kChunk], atans[kChunk];
    bool hasMag[kChunk], hasPhase[kChunk];
    for (int32_t k = 0; k < count; ++k) {
      const int32_t i = first + k;
      hasMag[k] = Has(p.mag, p.freq, i);
      hasPhase[k] = Has(p.phase, p.freq, i);
      rows += hasMag[k] || hasPhase[k] ? 1 : 0;
      x[k] =
          hasMag[k] || hasPhase[k] ? ((p.freq[i] - p.middle) * p.invHalf - offset) * invWidth : 0.0;
      logs[k] = hasMag[k] ? std::log(1 + x[k] * x[k]) : 0.0;
      atans[k] = hasPhase[k] ? std::atan(x[k]) : 0.0;
    }
    for (int32_t k = 0; k < count; ++k) {
      const double xx = x[k] * x[k];
      const double t = 1 / (1 + xx);
      if (hasMag[k]) {
        const double e = p.mag.y[first + k] - theta[kPeak] + kDbPerNeper * logs[k];
        mag.Add(e, kDbPerNeper * 2 * x[k] * t * invWidth, kDbPerNeper * 2 * xx * t);
      }
      if (hasPhase[k]) {
        const double e = p.phase.y[first + k] - theta[kPhase] + kDegPerRad * atans[k];
        phase.Add(e, kDegPerRad * t * invWidth, kDegPerRad * x[k] * t);
      }
    }
  }
  double a[kParams][kParams] = {};
  double g[kParams] = {};
  double chi2 = 0;
  mag.AddTo(p.mag.weight, kPeak, &chi2, a, g);
  phase.AddTo(p.phase.weight, kPhase, &chi2, a, g);
  out->chi2 = chi2;
  out->rows = rows;
  for (int j = 0; j < p.m; ++j) {
    out->g[j] = g[p.index[j]];
    for (int k = 0; k <= j; ++k) out->a[j][k] = a[p.index[j]][p.index[k]];
  }
}

// Keeps theta within the bounds; true when it had to.
bool Clamp(const Problem& p, double* theta) {
  const double offset = std::min(std::max(theta[kOffset], p.minOffset), kMaxOffset);
  const double logWidth = std::min(std::max(theta[kLogWidth], kMinLogWidth), kMaxLogWidth);
  const bool clamped = offset != theta[kOffset] || logWidth != theta[kLogWidth];
  theta[kOffset] = offset;
  theta[kLogWidth] = logWidth;
  return clamped;
}

struct Outcome {
  double chi2;
  int32_t rows;
  bool settled;  // converged inside the bounds
};

// Solves (A + damping diag(A)) step = g for the normal equations at hand,
// A' A taken from the lower triangle; the decrease of chi^2 that the
// linearised model promises for that step, or NaN when A is singular.
double Step(const Normal& cur, int m, double damping, double* step) {
  double a[kParams][kParams];
  for (int j = 0; j < m; ++j) {
    for (int k = 0; k <= j; ++k) a[j][k] = cur.a[j][k];
    a[j][j] *= 1 + damping;
    step[j] = cur.g[j];
  }
  if (!Solve(a, step, m)) return kNaN;
  double promised = 0;
  for (int j = 0; j < m; ++j) {
    double aStep = 0;
    for (int k = 0; k < m; ++k) aStep += (k <= j ? cur.a[j][k] : cur.a[k][j]) * step[k];
    promised += step[j] * (2 * cur.g[j] - aStep);
  }
  return promised;
}

// Puts each quantity's constant (peakDb, phaseDeg; linear in the model) at
// its best for the rest of theta, and the normal equations with it, so that
// the damping of the first steps does not hold it back.
void SettleConstants(const Problem& p, double* theta, Normal* n) {
  for (int c = 0; c < p.m; ++c) {
    if (p.index[c] != kPeak && p.index[c] != kPhase) continue;
    const double shift = n->g[c] / n->a[c][c];
    theta[p.index[c]] += shift;
    n->chi2 -= n->g[c] * shift;
    for (int j = 0; j < p.m; ++j) n->g[j] -= shift * (j <= c ? n->a[c][j] : n->a[j][c]);
  }
}

// Levenberg-Marquardt from theta, which it leaves at the minimum found.
Outcome Minimise(const Problem& p, double* theta) {
  Clamp(p, theta);
  Normal cur;
  Evaluate(p, theta, &cur);
  SettleConstants(p, theta, &cur);
  double damping = 1e-3;
  for (int steps = 0; steps < kMaxSteps && std::isfinite(cur.chi2);) {
    double step[kParams], trial[kParams];
    // Settled when the Gauss-Newton step itself promises next to nothing:
    // that step is taken.
    const bool settled = Step(cur, p.m, 0, step) < kSettled;
    if (!settled && !(Step(cur, p.m, damping, step) >= 0)) {
      if ((damping *= 10) > kMaxDamping) break;
      continue;
    }
    std::copy(theta, theta + kParams, trial);
    for (int j = 0; j < p.m; ++j) trial[p.index[j]] += step[j];
    const bool clamped = Clamp(p, trial);
    if (settled) {
      std::copy(trial, trial + kParams, theta);
      return {cur.chi2, cur.rows, !clamped};
    }
    Normal next;
    Evaluate(p, trial, &next);
    ++steps;
    if (next.chi2 < cur.chi2) {
      std::copy(trial, trial + kParams, theta);
      cur = next;
      damping = std::max(damping / 10, kMinDamping);
    } else if ((damping *= 10) > kMaxDamping) {
      break;
    }
  }
  return {cur.chi2, cur.rows, false};
}

}  // namespace

Resonance FitResonance(const double* freqHz, const double* magnitudeDb, const double* phaseDeg,
                       int32_t n) {
  Resonance r = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, FitStatus::NoData};
  if (freqHz == nullptr) return r;
  Problem p = {};
  p.freq = freqHz;
  p.n = n;
  p.mag.y = magnitudeDb;
  p.mag.scale = kMagnitudeScale;
  p.phase.y = phaseDeg;
  p.phase.scale = kPhaseScale;
  Series* series[2] = {&p.mag, &p.phase};
  for (Series* s : series) Survey(s, freqHz, n);
  if (p.mag.count + p.phase.count == 0) return r;
  r.status = FitStatus::None;

  // A quantity with too few values to show a resonance is left out. The
  // noise levels, and chi^2 of the best flat line.
  double low = std::numeric_limits<double>::infinity(), high = -low, flatChi2 = 0;
  int32_t values = 0;
  for (Series* s : series) {
    if (s->count < kFitMinPoints) s->y = nullptr;
    if (s->y == nullptr) continue;
    low = std::min(low, s->low);
    high = std::max(high, s->high);
    s->weight = 1 / NoiseLevel(*s, freqHz, n);
    values += s->count;
    flatChi2 += (s->sumSquares - s->sum * s->sum / s->count) * s->weight * s->weight;
  }
  if (!(high > low)) return r;
  p.middle = low / 2 + high / 2;
  p.invHalf = 2 / (high - low);
  p.minOffset = std::max(-kMaxOffset, (kMinF0Fraction - 1) * p.middle * p.invHalf);

  // The starting point: the magnitude's peak, or for the phase alone its
  // steepest fall. The constants are put right before the first step.
  Blocks blocks;
  Decimate(p.mag.y != nullptr ? p.mag : p.phase, freqHz, n, p.middle, p.invHalf, &blocks);
  const Start start = p.mag.y != nullptr ? MagnitudeStart(blocks) : PhaseStart(blocks);
  double theta[kParams];
  theta[kOffset] = start.offset;
  theta[kLogWidth] = std::log(std::max(start.width, 1e-300));
  theta[kPeak] = start.peak;
  theta[kPhase] = p.phase.y != nullptr ? p.phase.sum / p.phase.count : 0;
  p.m = 0;
  p.index[p.m++] = kOffset;
  p.index[p.m++] = kLogWidth;
  if (p.mag.y != nullptr) p.index[p.m++] = kPeak;
  if (p.phase.y != nullptr) p.index[p.m++] = kPhase;

  const Outcome fit = Minimise(p, theta);
  // The improvement counts in units of the fit's own residual variance
  // where that exceeds the noise estimated from the scatter (which a few
  // points can put too low), and must be the larger the fewer points are
  // left beyond the parameters: noise fitted by chance has long tails there.
  const double scale = std::max(1.0, fit.chi2 / (values - p.m));
  const double needed = kMinImprovement * (1 + kFewPoints / (fit.rows - p.m));
  if (!((flatChi2 - fit.chi2) / scale >= needed)) return r;

  const double halfSpan = 1 / p.invHalf;
  r.f0Hz = p.middle + theta[kOffset] * halfSpan;
  const double halfWidth = std::exp(theta[kLogWidth]) * halfSpan;
  r.fwhmHz = 2 * halfWidth;
  r.q = r.f0Hz / r.fwhmHz;
  if (p.mag.y != nullptr) r.peakDb = theta[kPeak];
  if (p.phase.y != nullptr) r.phaseDeg = theta[kPhase];
  r.residual = std::sqrt(fit.chi2 / values);
  const bool inside = r.f0Hz - halfWidth >= low && r.f0Hz + halfWidth <= high;
  r.status = fit.settled && inside ? FitStatus::Ok : FitStatus::Edge;
  return r;
}
