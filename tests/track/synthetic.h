// A synthetic run for the live view's tests: ranges with one resonance each
// (magnitude in dB and phase in degrees), and a course of fits that drift,
// with a fit that found nothing now and then. The same arguments give the
// same view, so that a page rewritten with more sets continues the one
// before.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "track/track.h"

struct SyntheticRun {
  int ranges = 2;
  int points = 201;
  uint64_t sets = 10;
  LiveStatus status = LiveStatus::Live;
  bool magnitude = true, phase = true;
  double secondsPerSet = 0.5;
  const char* target = "run/out.mat";
};

inline double SyntheticF0(int range, double t) {
  return 15e6 + 10e6 * range + 150.0 * std::sin(t / 40.0) + 0.02 * t;
}

inline double SyntheticQ(int range, uint64_t set) {
  return 100.0 * (range + 1) + 3.0 * std::sin(static_cast<double>(set) / 7.0);
}

// Fills view as a follower would have it after run.sets sets.
inline void FillSyntheticView(LiveView* view, const SyntheticRun& run) {
  ResetLiveView(view);
  SetLiveText(view->target, sizeof view->target, run.target);
  SetLiveText(view->runFile, sizeof view->runFile, "out.mat");
  view->status = run.status;
  view->sets = run.sets;
  view->elapsedS = static_cast<double>(run.sets) * run.secondsPerSet;
  view->startTime = 134000000000000000LL;  // 2025-08-23
  view->hasMagnitude = run.magnitude;
  view->hasPhase = run.phase;
  view->rangeCount = run.ranges;
  for (int r = 0; r < run.ranges; ++r) {
    LiveRange& range = view->ranges[r];
    const double center = SyntheticF0(r, 0);
    range.startHz = center - 0.5e6;
    range.stopHz = center + 0.5e6;
    range.points = run.points;
    for (uint64_t s = 0; s < run.sets; ++s) {
      const double t = static_cast<double>(s + 1) * run.secondsPerSet;
      Resonance fit{SyntheticF0(r, t), 0, SyntheticQ(r, s), -3.0 - 0.1 * r, -90, 0.05,
                    s % 37 == 36 ? FitStatus::None : FitStatus::Ok};
      fit.fwhmHz = fit.f0Hz / fit.q;
      if (fit.status == FitStatus::None) fit.f0Hz = fit.q = fit.peakDb = NAN;
      AddToCourse(&range.course, t, fit);
      if (s + 1 == run.sets) range.latest = fit;
    }
    std::vector<double> f(static_cast<size_t>(run.points)), m(f.size()), p(f.size());
    const double f0 = SyntheticF0(r, view->elapsedS), q = SyntheticQ(r, run.sets);
    uint32_t noise = 12345u + static_cast<uint32_t>(run.sets);
    for (int i = 0; i < run.points; ++i) {
      f[i] = range.startHz + (range.stopHz - range.startHz) * i / (run.points - 1);
      const double x = 2 * q * (f[i] - f0) / f0;
      noise = noise * 1664525u + 1013904223u;
      const double jitter = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.1;
      m[i] = -3.0 - 0.1 * r - 10 * std::log10(1 + x * x) + jitter;
      p[i] = -std::atan(x) * 180 / M_PI + 4 * jitter;
    }
    SetTrace(&range.trace, f.data(), run.magnitude ? m.data() : nullptr,
             run.phase ? p.data() : nullptr, run.points);
  }
}
