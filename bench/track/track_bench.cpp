// The resonance fit: its time per range, and its accuracy in f0 and Q
// against scipy.optimize.curve_fit of the same sets, both quantities
// weighted by the emulator's true noise (reference.py beside this file):
// the RMS error of each against the emulator's truth, as a ratio.
//
//   fit_us_per_range: time of one fit of a 201-point range, both quantities
//   fit_us_per_range_16000_points: the same for 16,000 points
//   f0_rms_vs_reference_<case>, q_rms_vs_reference_<case>: the ratios, for
//     low_q (14.5-15.5 MHz, 201 points, Q 100), high_q (25.45-25.55 MHz,
//     201 points, Q 2000) and coarse (39-41 MHz, 101 points, Q 1000)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/emulated_sets.h"
#include "track/track.h"

namespace {

constexpr double kNoiseDb = 0.05;
constexpr double kNoiseDeg = 0.2;
constexpr int kSets = 500;

struct Case {
  const char* name;
  RangeSpec range;
  double q;
};
const Case kCases[] = {{"low_q", {14.5, 15.5, 201}, 100},
                       {"high_q", {25.45, 25.55, 201}, 2000},
                       {"coarse", {39, 41, 101}, 1000}};

struct Measured {
  std::vector<double> freq;
  std::vector<MeasuredRange> sets;
};

// count sets of one range, both quantities, at the bench's noise.
Measured Measure(const RangeSpec& range, double q, uint32_t seed, int count) {
  EmulatorConfig config;
  config.q[0] = q;
  config.magnitudeNoiseDb = kNoiseDb;
  config.phaseNoiseDeg = kNoiseDeg;
  config.seed = seed;
  Measured m;
  m.sets = MeasureRange(config, range, 2, count, &m.freq);
  return m;
}

Resonance Fit(const Measured& m, size_t set) {
  const MeasuredRange& r = m.sets[set];
  return FitResonance(m.freq.data(), r.magnitude.data(), r.phase.data(),
                      static_cast<int32_t>(m.freq.size()));
}

// Microseconds per fit: the fastest of a few rounds over all the sets (the
// machine is shared; the fastest round is the least disturbed).
double MicrosecondsPerFit(const Measured& m, int rounds) {
  double best = 1e300, sink = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m.sets.size(); ++i) sink += Fit(m, i).f0Hz;
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, us / static_cast<double>(m.sets.size()));
  }
  if (sink == 0) std::fprintf(stderr, "track_bench: no fit\n");
  return best;
}

void WriteLine(std::ofstream& out, const std::vector<double>& values) {
  char text[32];
  for (size_t i = 0; i < values.size(); ++i) {
    std::snprintf(text, sizeof text, "%s%.17g", i == 0 ? "" : " ", values[i]);
    out << text;
  }
  out << "\n";
}

// The case for reference.py: the noise, the frequencies, then per set its
// truth (f0, Q), phase and magnitude, one line each.
bool WriteCase(const std::string& path, const Measured& m) {
  std::ofstream out(path);
  WriteLine(out, {kNoiseDb, kNoiseDeg});
  WriteLine(out, m.freq);
  for (const MeasuredRange& r : m.sets) {
    WriteLine(out, {r.truth.f0Hz, r.truth.q});
    WriteLine(out, r.phase);
    WriteLine(out, r.magnitude);
  }
  return static_cast<bool>(out.flush());
}

struct Errors {
  double f0 = 0, q = 0;  // sums of squares
  int count = 0;
};

double Rms(double sum, int count) { return std::sqrt(sum / count); }

}  // namespace

int main() {
  char pattern[] = "/tmp/track_bench_XXXXXX";
  const char* tmp = mkdtemp(pattern);
  if (tmp == nullptr) {
    std::perror("track_bench: mkdtemp");
    return 1;
  }
  const std::string dir = tmp;
  std::vector<Measured> cases;
  std::vector<std::string> files;
  bool ok = true;
  for (size_t c = 0; c < std::size(kCases); ++c) {
    cases.push_back(Measure(kCases[c].range, kCases[c].q, static_cast<uint32_t>(7 + c), kSets));
    files.push_back(dir + "/" + kCases[c].name);
    ok = ok && cases.back().sets.size() == static_cast<size_t>(kSets) &&
         WriteCase(files.back(), cases.back());
  }
  const std::string command =
      "/usr/bin/python3 " QARVEL_SOURCE_DIR "/bench/track/reference.py " + dir;
  ok = ok && std::system(command.c_str()) == 0;

  // 201-point ranges of both well-resolved cases, and one of 16,000 points.
  Measured timed = cases[0];
  timed.sets.insert(timed.sets.end(), cases[1].sets.begin(), cases[1].sets.end());
  std::printf("fit_us_per_range: %.2f us\n", MicrosecondsPerFit(timed, 20));
  const Measured longRange = Measure({14.5, 15.5, 16000}, 100, 11, 20);
  std::printf("fit_us_per_range_16000_points: %.1f us\n", MicrosecondsPerFit(longRange, 5));

  for (size_t c = 0; c < std::size(kCases) && ok; ++c) {
    std::ifstream in(files[c] + ".ref");
    Errors mine, reference;
    int notOk = 0;
    for (size_t i = 0; i < cases[c].sets.size(); ++i) {
      double f0 = NAN, q = NAN;
      std::string line;
      std::getline(in, line);
      std::istringstream(line) >> f0 >> q;
      const RangeTruth truth = cases[c].sets[i].truth;
      const Resonance r = Fit(cases[c], i);
      if (r.status != FitStatus::Ok) ++notOk;
      mine.f0 += (r.f0Hz - truth.f0Hz) * (r.f0Hz - truth.f0Hz);
      mine.q += (r.q - truth.q) * (r.q - truth.q);
      reference.f0 += (f0 - truth.f0Hz) * (f0 - truth.f0Hz);
      reference.q += (q - truth.q) * (q - truth.q);
    }
    const int n = static_cast<int>(cases[c].sets.size());
    std::fflush(stdout);
    std::fprintf(
        stderr,
        "%s: f0 RMS %.2f Hz (reference %.2f Hz), Q RMS %.3f (reference %.3f), not ok %d of %d\n",
        kCases[c].name, Rms(mine.f0, n), Rms(reference.f0, n), Rms(mine.q, n), Rms(reference.q, n),
        notOk, n);
    std::printf("f0_rms_vs_reference_%s: %.3f x\n", kCases[c].name,
                Rms(mine.f0, n) / Rms(reference.f0, n));
    std::printf("q_rms_vs_reference_%s: %.3f x\n", kCases[c].name,
                Rms(mine.q, n) / Rms(reference.q, n));
  }
  for (const std::string& f : files) {
    unlink(f.c_str());
    unlink((f + ".ref").c_str());
  }
  rmdir(dir.c_str());
  if (!ok) std::fprintf(stderr, "track_bench: the reference fits failed\n");
  return ok ? 0 : 1;
}
