// scripts/plot-result on files that qarvel and vexa wrote against the
// emulated instrument: the PNG decodes and is not blank, and the resonance
// that the script finds in every set lies where the emulator's drift put it.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/legacy.h"

using namespace legacy;

namespace {

constexpr int kLong = 30000;
constexpr double kTickSeconds = 0.00019965;
constexpr double kPi = 3.14159265358979323846;

struct Range {
  double startMHz, stopMHz;
  int points;
  double Span() const { return stopMHz - startMHz; }
  double Step() const { return Span() / (points - 1); }
  // How far a found resonance may lie from the true one: a quarter of the
  // point spacing, or 1/80 of the resonance's width (4% of the span) where
  // the points lie closer.
  double Tolerance() const { return std::max(Step() / 4, Span() / 2000); }
};

// The emulator's resonance: it swings by a tenth of the span about the
// middle of the range, once a minute of instrument time, from the set with
// SampleNumber 1 at time 0.
double DriftCentre(const Range& r, long sample, double period) {
  const double t = static_cast<double>(sample - 1) * period;
  return r.startMHz + r.Span() * (0.5 + 0.1 * std::sin(2 * kPi * t / 60.0));
}

// The realized sampling period of a sample rate.
double PeriodOf(double rateHz) { return std::trunc(1.0 / (rateHz * kTickSeconds)) * kTickSeconds; }

struct Peak {
  long sample;
  int range;
  double mhz;
};

std::vector<Peak> ParsePeaks(const std::string& text) {
  std::vector<Peak> peaks;
  std::istringstream in(text);
  Peak p;
  while (in >> p.sample >> p.range >> p.mhz) peaks.push_back(p);
  return peaks;
}

class PlotResult : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_ = MakePortDir();
    work_ = MakeTempDir("plot");
  }
  void TearDown() override {
    StopEmulator();
    RemoveTree(ports_.dir);
    RemoveTree(work_);
  }
  void StopEmulator() {
    if (emu_ != nullptr) EmulatorStop(emu_);
    emu_ = nullptr;
  }

  // Runs the program against a fresh emulator for about a second, then
  // stops it with a key (vexa: and then an interrupt, after cycle 1 is
  // saved as 1.mat).
  void Measure(const std::string& program, const std::vector<std::string>& args, double speed) {
    StopEmulator();
    EmulatorConfig config;
    config.speed = speed;
    std::string pty;
    emu_ = EmulatorStart(config, &pty);
    ASSERT_NE(emu_, nullptr);
    PublishPort(ports_, 1, pty);
    ProcessOptions o;
    o.argv = ProgramCommand(program);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = PortEnv(ports_);
    o.cwd = work_;
    o.stdinPipe = true;
    Process* p = StartProcess(o);
    if (WaitForOutput(p, "Started.", kLong)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      WriteStdin(p, "k");
      EXPECT_TRUE(WaitForOutput(p, "Saved ", kLong)) << Output(p);
      if (program == "vexa") SignalProcess(p, SIGINT);
      EXPECT_EQ(WaitExit(p, kLong), 0);
    } else {
      ADD_FAILURE() << "no measurement started: " << Output(p);
    }
    FreeProcess(p);  // ends the program if it still runs
  }

  Emulator* emu_ = nullptr;
  PortDir ports_;
  std::string work_;
};

TEST_F(PlotResult, PlotsAndFindsTheEmulatorsResonanceInEveryFile) {
  if (RunPythonReader("import matplotlib\n", {}).status != 0)
    GTEST_SKIP() << "matplotlib is not installed for " << SystemPython();
  const struct {
    const char* program;
    std::vector<std::string> args;  // after the file name and ranges
    const char* file;
    std::vector<Range> ranges;
    double rateHz, speed;
    bool averaged;
  } cases[] = {
      // 50 instrument seconds a second: most of a swing of the drift per file.
      {"qarvel", {"-r1"}, "both.mat", {{10, 20, 101}, {25, 26, 201}}, 1, 50, false},
      // A long range: the noise of neighbouring points must not move the peak.
      {"qarvel", {"-r1", "-tp"}, "phase.mat", {{30, 40, 16000}}, 1, 50, false},
      {"vexa", {"-r1", "-tm"}, "1.mat", {{50, 60, 151}}, 1, 50, false},
      // Under 30 instrument seconds: every set's resonance, and so the peak
      // of their average, lies in the upper half of the swing.
      {"qarvel", {"-r10", "-m"}, "avg.mat", {{10, 20, 101}, {50, 52, 301}}, 10, 5, true},
  };
  const std::string plotScript = ReadFileBytes(QARVEL_SOURCE_DIR "/scripts/plot-result");
  const std::string readScript = ReadFileBytes(QARVEL_SOURCE_DIR "/tests/e2e/read_result.py");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    // vexa checks the name but saves cycle 1 as 1.mat all the same.
    std::vector<std::string> args = {c.file};
    for (const Range& r : c.ranges) {
      std::ostringstream range;
      range << r.startMHz << ":" << r.stopMHz << ":" << r.points;
      args.push_back(range.str());
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    Measure(c.program, args, c.speed);
    if (HasFailure()) return;

    const std::string mat = work_ + "/" + c.file, png = mat + ".png";
    const ReaderResult plot = RunPythonReader(plotScript, {mat, "-o", png, "--peaks"});
    ASSERT_EQ(plot.status, 0) << plot.err;
    // The SampleNumbers as scipy reads them, apart from the script.
    const ReaderResult facts = RunPythonReader(readScript, {mat});
    ASSERT_EQ(facts.status, 0) << facts.err;
    std::vector<long> samples;
    std::istringstream lines(facts.out);
    for (std::string key, list; lines >> key && std::getline(lines, list);) {
      std::istringstream items(list);
      for (std::string item; key == "SampleNumbers" && std::getline(items, item, ',');)
        samples.push_back(std::stol(item));
    }
    ASSERT_FALSE(samples.empty());
    if (c.averaged) {
      ASSERT_EQ(samples, std::vector<long>{0});
    } else {
      ASSERT_GE(samples.size(), 20u);
    }

    // One line per set and range, in the file's order.
    auto peaks = ParsePeaks(plot.out);
    const size_t nsub = c.ranges.size();
    ASSERT_EQ(peaks.size(), samples.size() * nsub);
    // In tolerances: the largest miss, and the largest swing of the drift.
    double miss = 0, swing = 0;
    std::string missed;
    for (size_t i = 0; i < peaks.size(); ++i) {
      const Peak& p = peaks[i];
      const Range& r = c.ranges[i % nsub];
      ASSERT_EQ(p.sample, samples[i / nsub]);
      ASSERT_EQ(p.range, static_cast<int>(i % nsub) + 1);
      if (c.averaged) {
        EXPECT_GE(p.mhz, r.startMHz + 0.5 * r.Span() - r.Tolerance()) << p.range;
        EXPECT_LE(p.mhz, r.startMHz + 0.6 * r.Span() + r.Tolerance()) << p.range;
        continue;
      }
      const double centre = DriftCentre(r, p.sample, PeriodOf(c.rateHz));
      if (std::fabs(p.mhz - centre) / r.Tolerance() > miss) {
        miss = std::fabs(p.mhz - centre) / r.Tolerance();
        missed = "SampleNumber " + std::to_string(p.sample) + ", range " + std::to_string(p.range) +
                 ": " + std::to_string(p.mhz) + " MHz, drift at " + std::to_string(centre);
      }
      swing = std::max(swing, std::fabs(centre - r.startMHz - 0.5 * r.Span()) / r.Tolerance());
    }
    EXPECT_LE(miss, 1.0) << missed;
    if (!c.averaged) {
      EXPECT_GE(swing, 10.0) << "the run was too short to show the drift";
    }

    // The PNG decodes and is a drawing: its size, and colours that vary.
    const ReaderResult image = RunPythonReader(
        "import sys, matplotlib.image as m\n"
        "a = m.imread(sys.argv[1])\n"
        "print(a.shape[1], a.shape[0], a[..., :3].std())\n",
        {png});
    ASSERT_EQ(image.status, 0) << image.err;
    int width = 0, height = 0;
    double spread = 0;
    std::istringstream(image.out) >> width >> height >> spread;
    EXPECT_GE(width, 800);
    EXPECT_GE(height, 250 * static_cast<int>(nsub));  // a row per range
    EXPECT_GT(spread, 0.05);
  }
}

}  // namespace
