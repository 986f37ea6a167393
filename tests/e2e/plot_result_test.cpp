// scripts/plot-result on qarvel and vexa files: a drawing, and every set's resonance (qarvel-track's, which --peaks
// prints as CSV) where the emulator put it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
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
    // The peak finder takes the top of the curve: the tolerances below hold for noise this low.
    config.magnitudeNoiseDb = 0.01, config.phaseNoiseDeg = 0.03;
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
    ASSERT_EQ(RunShell("cd " + r.work.path + " && QARVEL_TRACK=" QARVEL_BUILD_DIR "/qarvel-track /usr/bin/python3 "
                       QARVEL_SOURCE_DIR "/scripts/plot-result " + mat +
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
    // qarvel-track's CSV: its header, then one row per set and range, in the file's order.
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status");
    long i = 0, sample, range;
    for (char colon; std::getline(lines, line); ++i) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
      ASSERT_EQ(f.size(), 12u) << line;
      EXPECT_EQ(f[0], mat);  // the path as given
      EXPECT_EQ(f[11], "ok") << line;
      sample = std::atol(f[1].c_str()), range = std::atol(f[4].c_str()), mhz = std::strtod(f[5].c_str(), nullptr) / 1e6;
      std::istringstream(args[1 + i % n]) >> start >> colon >> stop >> colon >> points;
      const std::string element = "SweepData(" + std::to_string(i / n + 1) + ")";
      EXPECT_EQ(Fact(d.out, element + ".SampleNumber"), "double 1x1 " + std::to_string(sample));
      EXPECT_EQ(range, i % n + 1);
      // The emulator's resonance swings by a tenth of the span about the middle, once a minute of instrument
      // time from SampleNumber 1. A found one may miss by a quarter of the point spacing, or by 1/100 of the
      // resonance's half-power width (5% of the span) where the points lie closer.
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

// plot-result --follow (drawing what qarvel-track --follow writes) started at the same moment as a run: while it
// measures the PNG is replaced whole, and the sets drawn grow from one redraw to a later one; after each save it
// draws the last view and, once the run is over, exits 0. It passes over a journal that an earlier run left (the run journals under the next name). A killed run's
// journal is named with the command that recovers it (exit 3); a follower that finds only that dead journal says so
// after --wait (exit 1).
namespace {

struct Redraw { std::string status, name; long sets; size_t peaks; };

// The follower's lines: "HH:MM:SS live|saved NAME SETS MHZ...", one per redraw.
std::vector<Redraw> Redraws(const std::string& out) {
  std::vector<Redraw> lines;
  std::istringstream in(out);
  for (std::string line, clock; std::getline(in, line);) {
    std::istringstream words(line);
    Redraw r{"", "", -1, 0};
    words >> clock >> r.status >> r.name >> r.sets;
    for (double mhz; words >> mhz; ++r.peaks) {}
    if (Like(clock, "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]") && r.sets >= 0) lines.push_back(r);
  }
  return lines;
}

// Waits for a line of the follower that passes; its sets, or -1 on time-out.
long WaitForRedraw(Process* f, const std::function<bool(const Redraw&)>& pass) {
  for (int waited = 0; waited < kLong; Sleep(50), waited += 50) {
    const std::vector<Redraw> lines = Redraws(Output(f));
    const auto found = std::find_if(lines.begin(), lines.end(), pass);
    if (found != lines.end()) return found->sets;
  }
  return -1;
}

std::string PngIdentity(const std::string& path) {  // a replaced file is a new inode with a new time
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_ino) + "." + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

ProcessHandle StartFollower(const Rig& r, const std::string& target, const std::string& wait, const std::string& err) {
  ProcessOptions o;
  o.argv = {"/usr/bin/python3", QARVEL_SOURCE_DIR "/scripts/plot-result", "--follow", target, "-o", "live.png",
            "--every", "0.5", "--wait", wait};
  o.env = {"QARVEL_TRACK=" QARVEL_BUILD_DIR "/qarvel-track", "TMPDIR=" + r.work.path};
  o.cwd = r.work.path;
  o.stderrPath = err;
  return StartProcess(o);
}

}  // namespace

TEST(PlotResult, FollowsARunWhileItMeasures) {
  if (RunShell("/usr/bin/python3 -c 'import matplotlib, scipy'", nullptr) != 0) GTEST_SKIP() << "no matplotlib";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string target;                // "" for the run's folder
    std::vector<std::string> cycles;   // the files it measures into, one after the other
    bool killed;                       // SIGKILL after the first cycle's redraws
    size_t ranges;
    std::string dead;                  // a journal that an earlier run left, or ""
  };
  const std::vector<Case> cases = {
      {"qarvel", {"run.dat", "10:20:101", "25:26:201"}, "run.dat", {"run.dat"}, false, 2, "run.dat.journal"},
      {"vexa", {"x.mat", "30:40:151"}, "", {"1.mat", "2.mat"}, false, 1, "1.mat.journal"},
      {"qarvel", {"avg.mat", "10:20:101", "-m"}, "avg.mat", {"avg.mat"}, true, 1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.cycles[0]);
    const Rig r;
    const std::string err = r.File("follow.err"), png = r.File("live.png");
    if (!c.dead.empty()) {
      ASSERT_TRUE(WriteFileBytes(r.File(c.dead), "QRVJRNL"));  // held by nobody
    }
    ProcessHandle f = StartFollower(r, c.target.empty() ? r.work.path : c.target, "5", err);
    ProcessHandle p = r.Start(c.program, c.args);
    for (const std::string& name : c.cycles) {
      auto live = [&](const Redraw& d) { return d.status == "live" && d.name == name; };
      const long first = WaitForRedraw(f.get(), live);
      const std::string before = PngIdentity(png);
      ASSERT_GE(first, 0) << Output(f.get()) << ReadFileBytes(err);
      ASSERT_GT(WaitForRedraw(f.get(), [&](const Redraw& d) { return live(d) && d.sets > first; }), first)
          << Output(f.get()) << ReadFileBytes(err);
      const std::string image = ReadFileBytes(png);
      EXPECT_NE(PngIdentity(png), before);
      EXPECT_EQ(image.substr(0, 4), "\x89PNG");
      EXPECT_EQ(image.substr(image.size() - 8), std::string("IEND\xae\x42\x60\x82", 8)) << "a PNG cut short";
      if (c.killed) break;
      if (&name == &c.cycles.back() && c.program == "vexa") {
        SignalProcess(p.get(), SIGINT);  // saves the cycle and ends
      } else {
        WriteStdin(p.get(), "k");
      }
      const long saved = WaitForRedraw(f.get(), [&](const Redraw& d) { return d.status == "saved" && d.name == name; });
      EXPECT_EQ(Fact(ReadMat(Reader::SciPy, r.File(name)).out, "SweepInfo(1).NumberOfSweeps"),
                "double 1x1 " + std::to_string(saved)) << Output(f.get()) << ReadFileBytes(err);
    }
    for (const Redraw& d : Redraws(Output(f.get()))) EXPECT_EQ(d.peaks, c.ranges) << d.name;
    if (!c.killed) {
      EXPECT_EQ(WaitExit(p.get(), kLong), 0);
      EXPECT_EQ(WaitExit(f.get(), kLong), 0) << ReadFileBytes(err);
      continue;
    }
    SignalProcess(p.get(), SIGKILL);
    EXPECT_EQ(WaitExit(p.get(), kLong), 1000 + SIGKILL);
    EXPECT_EQ(WaitExit(f.get(), kLong), 3);
    const std::string journal = c.cycles[0] + ".journal";
    const std::string recover = "qarvel-recover " + journal + " -o " + c.cycles[0].substr(0, c.cycles[0].size() - 4) + ".recovered.mat";
    EXPECT_PRED2(Like, ReadFileBytes(err), "*the journal " + journal + ". Recover it with: " + recover + "\n");
    // The journal it left is passed over by a follower that waits for a live run.
    ProcessHandle late = StartFollower(r, c.target, "1", err);
    EXPECT_EQ(WaitExit(late.get(), kLong), 1);
    EXPECT_PRED2(Like, ReadFileBytes(err), "*no live run of " + c.target + "*" + journal + "*" + recover + "\n");
    EXPECT_EQ(ListDir(r.work.path), (std::vector<std::string>{c.cycles[0] + ".journal", "follow.err", "live.png"}));
  }
}
