// The resonance fit of the Windows build against the native one: track-fit-check.exe under Wine fits a few
// hundred ranges of every status and kind, and gives the native statuses and numbers within 1e-9 relative (the
// C runtimes' log and atan may differ in their last digits, nothing more).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "tests/support/emulated_sets.h"
#include "tests/support/harness.h"
#include "track/track.h"

namespace {

struct Fitted {
  std::vector<double> freq, magnitude, phase;
};

void Append(std::string* file, const Fitted& r) {
  const int32_t n = int32_t(r.freq.size());
  const uint8_t present = uint8_t((r.magnitude.empty() ? 0 : 1) | (r.phase.empty() ? 0 : 2));
  file->append(reinterpret_cast<const char*>(&n), sizeof n);
  file->push_back(char(present));
  for (const std::vector<double>* v : {&r.freq, &r.magnitude, &r.phase}) {
    file->append(reinterpret_cast<const char*>(v->data()), v->size() * sizeof(double));
  }
}

bool Close(double native, double windows) {
  if (std::isnan(native) || std::isnan(windows)) return std::isnan(native) && std::isnan(windows);
  return std::fabs(native - windows) <= 1e-9 * std::max(std::fabs(native), std::fabs(windows));
}

TEST(TrackFitUnderWine, GivesTheNativeFits) {
  struct Case { RangeSpec spec; double q; bool flat; size_t first, count; };
  const Case cases[] = {{{14.5, 15.5, 201}, 100, false, 0, 201},    {{25.45, 25.55, 201}, 2000, false, 0, 201},
                        {{39, 41, 101}, 1000, false, 0, 101},       {{14.5, 15.5, 201}, 100, false, 0, 70},
                        {{14.95, 15.05, 101}, 50, false, 0, 101},   {{14.5, 15.5, 201}, 100, true, 0, 201},
                        {{10, 20, 16000}, 500, false, 0, 16000}};
  std::vector<Fitted> ranges;
  for (const Case& c : cases) {
    for (int32_t kind = 0; kind < 3; ++kind) {
      EmulatorConfig config;
      config.q[0] = c.q, config.flatRanges = c.flat ? 1 : 0, config.seed = uint32_t(kind + 1);
      std::vector<double> freq;
      for (const MeasuredRange& m : MeasureRange(config, c.spec, kind, c.spec.points > 1000 ? 4 : 18, &freq)) {
        auto cut = [&](const std::vector<double>& v) {
          return v.empty() ? v : std::vector<double>(v.begin() + long(c.first), v.begin() + long(c.first + c.count));
        };
        Fitted r{cut(freq), cut(m.magnitude), cut(m.phase)};
        if (ranges.size() % 4 == 1) {  // some rows without a frequency or a value
          for (size_t i = 3; i < r.freq.size(); i += 17) (i % 2 ? r.freq : (kind == 0 ? r.phase : r.magnitude))[i] = NAN;
        }
        ranges.push_back(r);
      }
    }
  }
  const TempDir dir("fit-wine");
  std::string file;
  for (const Fitted& r : ranges) Append(&file, r);
  ASSERT_TRUE(WriteFileBytes(dir / "ranges", file));
  ProcessOptions o;
  o.argv = ProgramCommand("track-fit-check");
  o.argv.push_back("ranges");
  o.cwd = dir.path;
  const RunResult run = RunProgram(o, 120000);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::istringstream lines(run.output);
  size_t compared = 0, statuses[4] = {};
  for (const Fitted& r : ranges) {
    int status = -1;
    double numbers[6];
    lines >> status;
    for (double& v : numbers) {
      std::string word;
      lines >> word;
      v = std::strtod(word.c_str(), nullptr);  // "nan" in any spelling the runtime prints
    }
    ASSERT_TRUE(lines) << "the Windows build fitted " << compared << " of " << ranges.size() << " ranges";
    const Resonance native = FitResonance(r.freq.data(), r.magnitude.empty() ? nullptr : r.magnitude.data(),
                                          r.phase.empty() ? nullptr : r.phase.data(), int32_t(r.freq.size()));
    EXPECT_EQ(status, int(native.status)) << compared;
    const double expected[6] = {native.f0Hz, native.fwhmHz, native.q, native.peakDb, native.phaseDeg, native.residual};
    for (int i = 0; i < 6; ++i) {
      EXPECT_TRUE(Close(expected[i], numbers[i])) << compared << " number " << i << ": " << expected[i] << " vs "
                                                  << numbers[i];
    }
    ++statuses[native.status == FitStatus::NoData ? 3 : int(native.status)];
    ++compared;
  }
  EXPECT_EQ(compared, ranges.size());
  EXPECT_GE(compared, 300u);
  for (int s = 0; s < 3; ++s) EXPECT_GT(statuses[s], 10u) << "status " << s;  // ok, edge and none all compared
}

}  // namespace
