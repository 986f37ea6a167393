// scripts/plot-result on files that qarvel and vexa wrote against the
// emulated instrument: the PNG is a drawing, and the resonance found in every
// set lies where the emulator's drift put it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace {

TEST(PlotResult, PlotsAndFindsTheEmulatorsResonanceInEveryFile) {
  if (RunShell("/usr/bin/python3 -c 'import matplotlib, scipy'", nullptr) != 0) {
    GTEST_SKIP() << "scipy and matplotlib are not installed for /usr/bin/python3";
  }
  const struct {
    const char *program, *file;
    std::vector<std::string> args;  // after the file: ranges (start:stop:points), two options
    double rateHz, speed;
  } cases[] = {
      // 50 instrument seconds a second: most of a swing of the drift per file.
      {"qarvel", "both.mat", {"10:20:101", "25:26:201", "-r1", "-tpm"}, 1, 50},
      // Phase only, over a long range: the noise of neighbouring points must
      // not move the steepest slope.
      {"qarvel", "phase.mat", {"30:40:16000", "-r1", "-tp"}, 1, 50},
      {"vexa", "1.mat", {"50:60:151", "-r1", "-tm"}, 1, 50},
      // Averaged: under 30 instrument seconds every set's resonance, and so
      // that of the average, lies in the upper half of the swing.
      {"qarvel", "avg.mat", {"10:20:101", "50:52:301", "-r10", "-m"}, 10, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const bool averaged = c.args.back() == "-m";
    EmulatorConfig config;
    config.speed = c.speed;
    Rig r(config);
    std::vector<std::string> args = {c.file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessHandle p = r.Start(c.program, args);
    ASSERT_TRUE(WaitForOutput(p.get(), "Started.", kLong)) << Output(p.get());
    Sleep(1000);
    WriteStdin(p.get(), "k");
    ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
    if (*c.program == 'v') SignalProcess(p.get(), SIGINT);  // vexa goes on with its next cycle
    ASSERT_EQ(WaitExit(p.get(), kLong), 0);

    // The peaks, then the PNG's width, height and spread of colours.
    const std::string mat = r.File(c.file), png = mat + ".png";
    std::string image;
    ASSERT_EQ(RunShell("/usr/bin/python3 " QARVEL_SOURCE_DIR "/scripts/plot-result " + mat + " -o " + png +
                           " --peaks >" + mat + ".peaks && /usr/bin/python3 -c 'import sys, matplotlib.image as m;"
                           " a = m.imread(sys.argv[1]); print(a.shape[1], a.shape[0], a[..., :3].std())' " + png,
                       &image), 0) << image;
    int width = 0, height = 0;
    double spread = 0;
    std::istringstream(image) >> width >> height >> spread;
    const MatDump d = ReadMat(Reader::SciPy, mat);
    const long sets = std::atol(Fact(d.out, "SweepData").substr(9).c_str()), n = c.args.size() - 2;
    ASSERT_GE(sets, averaged ? 1 : 20) << d.err;
    EXPECT_GE(width, 800);
    EXPECT_GE(height, 250 * n);  // a row per range
    EXPECT_GT(spread, 0.05);
    // One "SampleNumber range MHz" line per set and range, in the file's order.
    std::istringstream lines(ReadFileBytes(mat + ".peaks"));
    double miss = 0, swing = 0, mhz, start, stop, points;
    long i = 0, sample, range;
    for (char colon; lines >> sample >> range >> mhz; ++i) {
      std::istringstream(c.args[i % n]) >> start >> colon >> stop >> colon >> points;
      EXPECT_EQ("double 1x1 " + std::to_string(sample), Fact(d.out, "SweepData(" + std::to_string(i / n + 1) + ").SampleNumber"));
      EXPECT_EQ(range, i % n + 1);
      // The emulator's resonance swings by a tenth of the span about the
      // middle, once a minute of instrument time from SampleNumber 1 (the
      // period is a whole number of 0.00019965 s ticks). A found one may miss
      // by a quarter of the point spacing, or by 1/80 of the resonance's width
      // (4% of the span) where the points lie closer.
      const double span = stop - start, tolerance = std::max(span / (points - 1) / 4, span / 2000);
      const double period = std::trunc(1 / (c.rateHz * 0.00019965)) * 0.00019965;
      const double drift = 0.1 * span * std::sin(2 * M_PI * (sample - 1) * period / 60);
      const double off = mhz - start - 0.5 * span, low = averaged ? 0 : drift, high = averaged ? span / 10 : drift;
      miss = std::max(miss, std::max(low - off, off - high) / tolerance);
      swing = std::max(swing, std::fabs(drift) / tolerance);
    }
    EXPECT_EQ(i, sets * n);
    EXPECT_LE(miss, 1.0);
    EXPECT_GE(averaged ? 10 : swing, 10.0) << "the run was too short to show the drift";
  }
}

}  // namespace
