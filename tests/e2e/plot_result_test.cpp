// scripts/plot-result on files that qarvel and vexa wrote against the
// emulated instrument: the PNG is a drawing, and the resonance found in
// every set lies where the emulator's drift put it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"

namespace {

constexpr int kLong = 30000;

struct Range {
  double start, stop;
  int points;
  // How far a found resonance may lie from the true one: a quarter of the
  // point spacing, or 1/80 of the resonance's width (4% of the span).
  double Tolerance() const { return std::max((stop - start) / (points - 1) / 4, (stop - start) / 2000); }
};

struct PlotCase {
  const char* program;
  const char* file;
  std::vector<Range> ranges;
  std::vector<std::string> options;
  double rateHz, speed;
  bool averaged;
};

TEST(PlotResult, PlotsAndFindsTheEmulatorsResonanceInEveryFile) {
  if (RunShell("/usr/bin/python3 -c 'import matplotlib, scipy'", nullptr) != 0) {
    GTEST_SKIP() << "scipy and matplotlib are not installed for /usr/bin/python3";
  }
  const PlotCase cases[] = {
      // 50 instrument seconds a second: most of a swing of the drift per file.
      {"qarvel", "both.mat", {{10, 20, 101}, {25, 26, 201}}, {"-r1"}, 1, 50, false},
      // A long range: the noise of neighbouring points must not move the peak.
      {"qarvel", "phase.mat", {{30, 40, 16000}}, {"-r1", "-tp"}, 1, 50, false},
      {"vexa", "1.mat", {{50, 60, 151}}, {"-r1", "-tm"}, 1, 50, false},
      // Under 30 instrument seconds every set's resonance, and so that of
      // their average, lies in the upper half of the swing.
      {"qarvel", "avg.mat", {{10, 20, 101}, {50, 52, 301}}, {"-r10", "-m"}, 10, 5, true},
  };
  for (const PlotCase& c : cases) {
    SCOPED_TRACE(c.file);
    EmulatorConfig config;
    config.speed = c.speed;
    Rig r(config);
    std::vector<std::string> args = {c.file};
    for (const Range& g : c.ranges) {
      std::ostringstream range;
      range << g.start << ":" << g.stop << ":" << g.points;
      args.push_back(range.str());
    }
    args.insert(args.end(), c.options.begin(), c.options.end());
    ProcessHandle p = r.Start(c.program, args);
    ASSERT_TRUE(WaitForOutput(p.get(), "Started.", kLong)) << Output(p.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    WriteStdin(p.get(), "k");
    ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
    if (std::string(c.program) == "vexa") SignalProcess(p.get(), SIGINT);
    ASSERT_EQ(WaitExit(p.get(), kLong), 0);

    const std::string mat = r.File(c.file), png = mat + ".png", peaks = mat + ".peaks";
    std::string err;
    ASSERT_EQ(RunShell("/usr/bin/python3 " QARVEL_SOURCE_DIR "/scripts/plot-result " + mat + " -o " +
                           png + " --peaks >" + peaks, &err), 0) << err;
    const MatDump d = ReadMat(Reader::SciPy, mat);
    const long sets = std::atol(Fact(d.out, "SweepData").substr(9).c_str());  // "struct 1xN"
    ASSERT_GE(sets, c.averaged ? 1 : 20) << d.err;
    // One "SampleNumber range MHz" line per set and range, in the file's order.
    std::istringstream lines(ReadFileBytes(peaks));
    double miss = 0, swing = 0;
    long n = 0, sample;
    int range;
    for (double mhz; lines >> sample >> range >> mhz; ++n) {
      const Range& g = c.ranges[n % c.ranges.size()];
      const std::string element = "SweepData(" + std::to_string(n / c.ranges.size() + 1) + ")";
      ASSERT_EQ("double 1x1 " + std::to_string(sample), Fact(d.out, element + ".SampleNumber"));
      ASSERT_EQ(range, static_cast<int>(n % c.ranges.size()) + 1);
      const double span = g.stop - g.start;
      if (c.averaged) {
        EXPECT_GE(mhz, g.start + 0.5 * span - g.Tolerance()) << range;
        EXPECT_LE(mhz, g.start + 0.6 * span + g.Tolerance()) << range;
        continue;
      }
      // The emulator's resonance swings by a tenth of the span about the
      // middle, once a minute of instrument time, from SampleNumber 1 at 0;
      // the realized period is a whole number of 0.00019965 s ticks.
      const double period = std::trunc(1 / (c.rateHz * 0.00019965)) * 0.00019965;
      const double drift = 0.1 * span * std::sin(2 * M_PI * (sample - 1) * period / 60);
      miss = std::max(miss, std::fabs(mhz - g.start - 0.5 * span - drift) / g.Tolerance());
      swing = std::max(swing, std::fabs(drift) / g.Tolerance());
    }
    EXPECT_EQ(n, sets * static_cast<long>(c.ranges.size()));
    EXPECT_LE(miss, 1.0);
    EXPECT_GE(c.averaged ? 10 : swing, 10.0) << "the run was too short to show the drift";

    // The PNG decodes, a row per range, in colours that vary.
    std::string image;
    ASSERT_EQ(RunShell("/usr/bin/python3 -c 'import sys, matplotlib.image as m; a = m.imread(sys.argv[1]);"
                       " print(a.shape[1], a.shape[0], a[..., :3].std())' " + png, &image), 0) << image;
    int width = 0, height = 0;
    double spread = 0;
    std::istringstream(image) >> width >> height >> spread;
    EXPECT_GE(width, 800);
    EXPECT_GE(height, 250 * static_cast<int>(c.ranges.size()));
    EXPECT_GT(spread, 0.05);
  }
}

}  // namespace
