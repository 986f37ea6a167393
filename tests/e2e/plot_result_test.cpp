// scripts/plot-result on qarvel and vexa files: a drawing, and every set's resonance where the emulator put it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "tests/e2e/e2e.h"

TEST(PlotResult, PlotsAndFindsTheEmulatorsResonanceInEveryFile) {
  if (RunShell("/usr/bin/python3 -c 'import matplotlib, scipy'", nullptr) != 0) GTEST_SKIP() << "no matplotlib";
  // 50 instrument seconds a second (at 1 Hz, 5008 ticks of 0.00019965 s): most of a swing of the drift per file.
  // The phase-only range is long: noise must not move the steepest slope. Averaged over under 30 instrument
  // seconds, every set's resonance, and so that of the average, lies in the upper half of the swing.
  const std::vector<std::vector<std::string>> cases = {{"qarvel", "both.mat", "10:20:101", "25:26:201", "-r1"},
                                                       {"qarvel", "phase.mat", "30:40:16000", "-r1", "-tp"},
                                                       {"vexa", "1.mat", "50:60:151", "-r1", "-tm"},
                                                       {"qarvel", "avg.mat", "10:20:101", "50:52:301", "-r10", "-m"}};
  for (const std::vector<std::string>& c : cases) {
    SCOPED_TRACE(c[1]);
    const bool averaged = c.back() == "-m";
    EmulatorConfig config;
    config.speed = averaged ? 5 : 50;
    const Rig r(config);
    const std::vector<std::string> args(c.begin() + 1, c.end());
    ProcessHandle p = r.Start(c[0], args);
    ASSERT_TRUE(WaitForOutput(p.get(), "Started.", kLong)) << Output(p.get());
    Sleep(1000);
    WriteStdin(p.get(), "k");
    ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
    if (c[0] == "vexa") SignalProcess(p.get(), SIGINT);  // it goes on with its next cycle
    ASSERT_EQ(WaitExit(p.get(), kLong), 0);
    // The peaks, then the PNG's width, height and spread of colours.
    const std::string mat = r.File(c[1]);
    std::string png;
    ASSERT_EQ(RunShell("cd " + r.work.path + " && /usr/bin/python3 " QARVEL_SOURCE_DIR "/scripts/plot-result " + mat +
                           " -o p.png --peaks >peaks && /usr/bin/python3 -c 'import matplotlib.image as m; a = "
                           "m.imread(\"p.png\"); print(a.shape[1], a.shape[0], a[..., :3].std())'", &png), 0) << png;
    std::istringstream image(png), lines(ReadFileBytes(r.File("peaks")));
    const MatDump d = ReadMat(Reader::SciPy, mat);
    const long sets = std::atol(Fact(d.out, "SweepData").substr(9).c_str());
    const long n = c[3].find(':') != std::string::npos ? 2 : 1;  // a second range, or an option
    double width, height, spread, miss = 0, swing = 0, mhz, start, stop, points;
    image >> width >> height >> spread;
    EXPECT_TRUE(width >= 800 && height >= 250 * n && spread > 0.05) << png;  // a row per range
    ASSERT_GE(sets, averaged ? 1 : 20) << d.err;
    // One "SampleNumber range MHz" line per set and range, in the file's order.
    long i = 0, sample, range;
    for (char colon; lines >> sample >> range >> mhz; ++i) {
      std::istringstream(args[1 + i % n]) >> start >> colon >> stop >> colon >> points;
      const std::string element = "SweepData(" + std::to_string(i / n + 1) + ")";
      EXPECT_EQ(Fact(d.out, element + ".SampleNumber"), "double 1x1 " + std::to_string(sample));
      EXPECT_EQ(range, i % n + 1);
      // The emulator's resonance swings by a tenth of the span about the middle, once a minute of instrument
      // time from SampleNumber 1. A found one may miss by a quarter of the point spacing, or by 1/80 of the
      // resonance's width (4% of the span) where the points lie closer.
      const double span = stop - start, tolerance = std::max(span / (points - 1) / 4, span / 2000);
      const double drift = 0.1 * span * std::sin(2 * M_PI * (sample - 1) * 5008 * 0.00019965 / 60);
      const double off = mhz - start - 0.5 * span, low = averaged ? 0 : drift, high = averaged ? span / 10 : drift;
      miss = std::max(miss, std::max(low - off, off - high) / tolerance);
      swing = std::max(swing, std::fabs(drift) / tolerance);
    }
    EXPECT_EQ(i, sets * n);
    EXPECT_LE(miss, 1.0);
    EXPECT_GE(averaged ? 10 : swing, 10.0) << "the run was too short to show the drift";
  }
}
