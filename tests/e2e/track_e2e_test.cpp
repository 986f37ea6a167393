// qarvel-track on what the programs write: a vexa folder with a cycle still running, a journal and the file
// recovered from it, the CSV and the MAT output (read by SciPy and Octave), what it refuses and its usage.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "sweep/resultfile_reader.h"
#include "tests/e2e/e2e.h"
#include "track/track.h"

namespace {

using Names = std::vector<std::string>;

struct Tracked {
  int exit;
  std::string out, err;
};

// qarvel-track with args in folder.
Tracked Track(const std::string& folder, const Names& args, const std::vector<std::string>& env = {}) {
  const TempDir logs("track-logs");
  ProcessOptions o;
  o.argv = ProgramCommand("qarvel-track");
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.cwd = folder;
  o.env = env;
  o.stderrPath = logs / "stderr";
  const RunResult run = RunProgram(o, 120000);
  return {run.exitCode, run.output, ReadFileBytes(o.stderrPath)};
}


const char kHeader[] = "file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status\n";
enum Column { kFile, kSample, kTime, kUtc, kRange, kF0, kFwhm, kQ, kPeak, kPhase, kResidual, kStatus, kColumns };

// A qarvel run of args, stopped by a key after ms of measuring.
void Measure(const Rig& r, const Names& args, int ms) {
  ProcessHandle p = r.Start("qarvel", args);
  ASSERT_TRUE(WaitForOutput(p.get(), "Started.", kLong)) << Output(p.get());
  Sleep(ms);
  WriteStdin(p.get(), "k");
  ASSERT_EQ(WaitExit(p.get(), kLong), 0) << Output(p.get());
}

// The emulator's truth: f0 of each sample number and range, cycle after cycle (each begins again at 1).
std::vector<std::map<std::pair<long long, int>, double>> Truth(const std::string& path) {
  std::vector<std::map<std::pair<long long, int>, double>> cycles;
  std::istringstream in(ReadFileBytes(path));
  long long sample, last = 1LL << 40;
  int range;
  double f0, q;
  while (in >> sample >> range >> f0 >> q) {
    if (sample < last && range == 1) cycles.emplace_back();
    cycles.back()[{sample, range}] = f0;
    last = sample;
  }
  return cycles;
}

// vexa's folder while its third cycle measures: the two saved cycles' files and the live cycle's journal, in that
// order, every set of each, their resonances where the instrument put them; times that run on from cycle to cycle,
// measured (with UTC) for the journal.
TEST(TrackEndToEnd, AVexaFolderWithACycleStillRunning) {
  const TempDir truthDir("track-truth");
  EmulatorConfig config;
  config.truthPath = truthDir / "truth";
  const Rig r(config);
  ProcessHandle p = r.Start("vexa", {"x.mat", "14.5:15.5:201", "25.45:25.55:101"});
  for (size_t cycle = 1; cycle <= 3; ++cycle) {  // a key ends a cycle, which is saved, and the next begins
    ASSERT_TRUE(WaitForCount(p.get(), "Started.", cycle)) << Output(p.get());
    Sleep(1000);
    if (cycle < 3) WriteStdin(p.get(), "k");
    ASSERT_TRUE(WaitForCount(p.get(), "Saved ", cycle - 1)) << Output(p.get());
  }
  const Tracked t = Track(r.work.path, {"."});
  SignalProcess(p.get(), SIGINT);
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  ASSERT_EQ(t.exit, 0) << t.err;
  EXPECT_EQ(t.err, "");
  EXPECT_EQ(t.out.substr(0, sizeof kHeader - 1), kHeader);

  const auto truth = Truth(truthDir / "truth");
  ASSERT_GE(truth.size(), 3u);
  const Names files = {"1.mat", "2.mat", "3.mat.journal"};
  std::map<std::string, long> rows;
  double before = -1;
  size_t cycle = 0;
  for (const Names& row : CsvRows(t.out)) {
    ASSERT_EQ(row.size(), size_t(kColumns)) << t.out;
    while (cycle < files.size() && row[kFile] != files[cycle]) ++cycle;
    ASSERT_LT(cycle, files.size()) << "out of order: " << row[kFile];
    ++rows[row[kFile]];
    const long long sample = std::atoll(row[kSample].c_str());
    const int range = std::atoi(row[kRange].c_str());
    EXPECT_EQ(row[kStatus], "ok") << row[kFile] << " " << sample;
    const double f0 = std::strtod(row[kF0].c_str(), nullptr), fwhm = std::strtod(row[kFwhm].c_str(), nullptr);
    ASSERT_TRUE(truth[cycle].count({sample, range})) << row[kFile] << " " << sample;
    EXPECT_LT(std::fabs(f0 - truth[cycle].at({sample, range})), fwhm / 20) << row[kFile] << " " << sample;
    const double time = std::strtod(row[kTime].c_str(), nullptr);
    EXPECT_GE(time, before - 0.3) << row[kFile] << " " << sample;  // file times are estimates
    before = time;
    EXPECT_EQ(row[kUtc].empty(), cycle < 2) << row[kUtc];  // measured only in the journal
  }
  for (const std::string file : {"1.mat", "2.mat"}) {
    EXPECT_EQ(rows[file] % 2, 0);  // two ranges of every set
    EXPECT_EQ(Fact(ReadMat(Reader::SciPy, r.File(file)).out, "SweepInfo(1).NumberOfSweeps"),
              "double 1x1 " + std::to_string(rows[file] / 2))
        << file;
  }
  EXPECT_GE(rows["3.mat.journal"], 2);
}

// A killed run's journal, and the file that qarvel-recover makes of it, give the same sets, fits and statuses
// (the same text in every fitted column); the journal's times are measured, with UTC, the file's estimates.
TEST(TrackEndToEnd, AJournalAndTheFileRecoveredFromItGiveTheSameFits) {
  const Rig r;
  ProcessHandle p = r.Start("qarvel", {"out.mat", "14.5:15.5:201", "25.45:25.55:101"});
  for (int waited = 0; EmulatorSetsSent(r.emu) < 25 && waited < kLong; waited += 10) Sleep(10);
  SignalProcess(p.get(), SIGKILL);
  WaitExit(p.get(), kLong);
  const Tracked journal = Track(r.work.path, {"out.mat.journal"});
  ASSERT_EQ(journal.exit, 0) << journal.err;
  ASSERT_EQ(RunShell("cd " + ShellQuote(r.work.path) + " && " + QARVEL_BUILD_DIR +
                         "/qarvel-recover out.mat.journal -o rec.mat >/dev/null",
                     nullptr),
            0);
  const Tracked file = Track(r.work.path, {"rec.mat"});
  ASSERT_EQ(file.exit, 0) << file.err;
  const std::vector<Names> a = CsvRows(journal.out), b = CsvRows(file.out);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GE(a.size(), 30u);
  for (size_t i = 0; i < a.size(); ++i) {
    for (int c : {kSample, kRange, kF0, kFwhm, kQ, kPeak, kPhase, kResidual, kStatus}) EXPECT_EQ(a[i][c], b[i][c]);
    EXPECT_EQ(a[i][kFile], "out.mat.journal");
    EXPECT_EQ(b[i][kFile], "rec.mat");
    EXPECT_PRED2(Like, a[i][kUtc], "20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9].[0-9][0-9][0-9]Z");
    EXPECT_EQ(b[i][kUtc], "");
  }
}

// The CSV exactly: the header, a row per set and range in order, numbers that read back as the fit's doubles, an
// unknown as an empty field (a flat range: none); -o writes the same bytes; --range keeps one range. The MAT output
// holds the same, as SciPy and Octave read it.
TEST(TrackEndToEnd, CsvAndMatOutputs) {
  EmulatorConfig config;
  config.flatRanges = 2;  // range 2 holds no resonance
  const Rig r(config);
  Measure(r, {"out.mat", "14.5:15.5:201", "30:31:51"}, 2000);
  const Tracked csv = Track(r.work.path, {"out.mat"});
  ASSERT_EQ(csv.exit, 0) << csv.err;
  EXPECT_EQ(csv.out.substr(0, sizeof kHeader - 1), kHeader);

  // The fits of the file, made here from the file's values.
  ResultReader reader{};
  ASSERT_EQ(OpenResultFile(&reader, r.File("out.mat").c_str()), NoError) << ResultReaderMessage(&reader);
  std::vector<std::vector<Resonance>> fits;
  std::vector<double> samples;
  while (ResultSetsLeft(&reader)) {
    ResultSet s;
    ASSERT_EQ(ReadResultSet(&reader, &s), NoError);
    const int32_t rows = reader.info.maxPoints;
    samples.push_back(s.sampleNumber);
    fits.push_back({});
    for (int32_t k = 0; k < 2; ++k) {
      fits.back().push_back(FitResonance(reader.info.frequencies + k * rows, s.magnitude + k * rows,
                                         s.phase + k * rows, reader.info.points[k]));
    }
  }
  CloseResultFile(&reader);
  const std::vector<Names> rows = CsvRows(csv.out);
  ASSERT_EQ(rows.size(), 2 * fits.size());
  ASSERT_GE(fits.size(), 15u);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Names& row = rows[i];
    const Resonance& fit = fits[i / 2][i % 2];
    EXPECT_EQ(row[kFile], "out.mat");
    EXPECT_EQ(std::strtod(row[kSample].c_str(), nullptr), samples[i / 2]);
    EXPECT_EQ(row[kRange], std::to_string(i % 2 + 1));
    EXPECT_EQ(row[kUtc], "");
    const double values[] = {fit.f0Hz, fit.fwhmHz, fit.q, fit.peakDb, fit.phaseDeg, fit.residual};
    for (int c = kF0; c <= kResidual; ++c) {
      if (std::isnan(values[c - kF0])) {
        EXPECT_EQ(row[c], "") << i;
      } else {
        EXPECT_EQ(std::strtod(row[c].c_str(), nullptr), values[c - kF0]) << i << " " << row[c];
      }
    }
    EXPECT_EQ(row[kStatus], i % 2 ? "none" : "ok");
    // An estimate: the set's place by its sample number, at the realized period of one set (500 ticks at 10 Hz).
    EXPECT_NEAR(std::strtod(row[kTime].c_str(), nullptr), (samples[i / 2] - samples[0] + 1) * 0.099825, 1e-9);
  }
  // -o writes what stdout shows; --range 2 its range-2 rows.
  ASSERT_EQ(Track(r.work.path, {"out.mat", "-o", "all.csv"}).exit, 0);
  EXPECT_EQ(ReadFileBytes(r.File("all.csv")), csv.out);
  const Tracked two = Track(r.work.path, {"--range", "2", "out.mat"});
  std::string expected = kHeader;
  for (size_t i = 1; i < rows.size(); i += 2) {
    std::string line;
    for (const std::string& f : rows[i]) line += (line.empty() ? "" : ",") + f;
    expected += line + "\n";
  }
  EXPECT_EQ(two.out, expected);

  // The MAT output, as each reader sees it: the CSV's numbers, statuses as codes.
  ASSERT_EQ(Track(r.work.path, {"out.mat", "-o", "track.mat"}).exit, 0);
  const size_t n = fits.size();
  const std::string sets = std::to_string(n), last = std::to_string(n);
  for (const Reader reader : {Reader::SciPy, Reader::Octave}) {
    SCOPED_TRACE(ReaderName(reader));
    const MatDump d = ReadMat(reader, r.File("track.mat"),
                              {"F0(1,1)", "F0(" + last + ",1)", "Q(2,1)", "Status(1,1)", "Status(1,2)",
                               "SampleNumber(" + last + ",2)", "Time(1,1)", "SourceIndex(" + last + ",1)",
                               "TimeIsEstimate(1,1)", "FWHM(1,2)"});
    ASSERT_EQ(d.status, 0) << d.err;
    for (const char* name : {"F0", "FWHM", "Q", "PeakdB", "PhaseDeg", "Residual", "Status", "Time", "SampleNumber"}) {
      EXPECT_PRED2(Like, Fact(d.out, name), "double " + sets + "x2 *") << name;
    }
    EXPECT_PRED2(Like, Fact(d.out, "SourceIndex"), "double " + sets + "x1 *");
    EXPECT_PRED2(Like, Fact(d.out, "TimeIsEstimate"), "double " + sets + "x1 *");
    EXPECT_EQ(Fact(d.out, "Sources"), "struct 1x1 Name");
    EXPECT_EQ(Fact(d.out, "Sources(1).Name"), "char 1x7 out.mat");
    const auto probe = [&](const std::string& what) {
      const size_t at = d.out.find("\n" + what + " ");
      return at == std::string::npos ? std::string("?") : d.out.substr(at + what.size() + 2, d.out.find('\n', at + 1) - at - what.size() - 2);
    };
    EXPECT_EQ(std::strtod(probe("F0(1,1)").c_str(), nullptr), std::strtod(rows[0][kF0].c_str(), nullptr));
    EXPECT_EQ(std::strtod(probe("F0(" + last + ",1)").c_str(), nullptr),
              std::strtod(rows[2 * n - 2][kF0].c_str(), nullptr));
    EXPECT_EQ(std::strtod(probe("Q(2,1)").c_str(), nullptr), std::strtod(rows[2][kQ].c_str(), nullptr));
    EXPECT_EQ(probe("Status(1,1)"), "0");
    EXPECT_EQ(probe("Status(1,2)"), "2");
    EXPECT_EQ(probe("FWHM(1,2)"), "NaN");
    EXPECT_EQ(std::strtod(probe("SampleNumber(" + last + ",2)").c_str(), nullptr), samples.back());
    EXPECT_EQ(std::strtod(probe("Time(1,1)").c_str(), nullptr), std::strtod(rows[0][kTime].c_str(), nullptr));
    EXPECT_EQ(probe("SourceIndex(" + last + ",1)"), "1");
    EXPECT_EQ(probe("TimeIsEstimate(1,1)"), "1");
  }
}

// What it refuses: exit 1, a message that names the source and what is wrong (for a file that is not what our
// programs write, what was expected where), and nothing written: no output, no temporary file, an earlier output
// as it was. An interrupt while it writes leaves nothing either.
TEST(TrackEndToEnd, RefusalsWriteNothing) {
  const Rig r;
  Measure(r, {"out.mat", "14.5:15.5:21"}, 500);
  const std::string file = ReadFileBytes(r.File("out.mat"));
  ASSERT_TRUE(WriteFileBytes(r.File("notes.txt"), "14.5 to 15.5 MHz\n"));
  ASSERT_TRUE(WriteFileBytes(r.File("cut.mat"), file.substr(0, file.size() - 100)));
  ASSERT_TRUE(WriteFileBytes(r.File("bad.journal"), "QRVJRNL\x1a" + std::string(900, '\x01')));
  ASSERT_EQ(mkdir(r.File("empty").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(r.File("fifo").c_str(), 0644), 0);
  ASSERT_TRUE(WriteFileBytes(r.File("earlier.csv"), "earlier"));
  ASSERT_EQ(mkdir(r.File("folder.mat").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/full", r.File("full.csv").c_str()), 0);  // a disk that is full
  const Names before = ListDir(r.work.path);
  const struct { Names args; std::string message; } cases[] = {
      {{"nope.mat"}, "nope.mat: no such file or folder"},
      {{"out.mat", "nope.mat", "-o", "earlier.csv"}, "nope.mat: no such file or folder; nothing was written"},
      {{"notes.txt"}, "notes.txt: expected a 128-byte header at byte 0, found the end of the file at byte 17"},
      {{"out.mat", "cut.mat", "-o", "earlier.csv"},
       "cut.mat: expected * at byte *, found the end of the file at byte " + std::to_string(file.size() - 100) +
           "; nothing was written"},
      {{"bad.journal", "-o", "x.mat"}, "bad.journal is not a journal, or its header is damaged; nothing was written"},
      {{"empty"}, "nothing to track: the source holds no complete sweep set"},
      {{"empty", "empty", "-o", "x.mat"}, "nothing to track: the sources hold no complete sweep set; nothing was written"},
      {{"fifo"}, "fifo is neither a regular file nor a folder; nothing was read"},
      {{"out.mat", "-o", "out.mat"}, "-o out.mat is the source out.mat itself; nothing was written"},
      {{"out.mat", "-o", "folder.mat"}, "cannot write folder.mat: *; nothing was written"},
      {{"out.mat", "-o", "full.csv"}, "cannot write full.csv: No space left on device; nothing was written"},
      {{"--range", "2", "out.mat", "-o", "x.csv"},
       "out.mat has 1 range: no rows for --range 2\nqarvel-track: nothing to track: the source holds no complete "
       "sweep set; nothing was written"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const Tracked t = Track(r.work.path, c.args);
    EXPECT_EQ(t.exit, 1);
    EXPECT_PRED2(Like, t.err, "qarvel-track: " + c.message + "\n");
    EXPECT_EQ(ListDir(r.work.path), before);
    EXPECT_EQ(ReadFileBytes(r.File("earlier.csv")), "earlier");
    EXPECT_TRUE(ReadFileBytes(r.File("out.mat")) == file);
  }
  // Standard output that takes nothing.
  std::string said;
  EXPECT_NE(RunShell("cd " + ShellQuote(r.work.path) + " && { " + QARVEL_BUILD_DIR +
                         "/qarvel-track out.mat >/dev/full; }",
                     &said),
            0);
  EXPECT_EQ(said, "qarvel-track: cannot write to standard output: No space left on device\n");
  // Interrupted as it makes, or as it flushes, its output: the temporary file goes with it.
  for (const char* output : {"earlier.csv", "x.mat"}) {
    for (const char* when : {"open", "fsync"}) {
      SCOPED_TRACE(std::string(output) + " " + when);
      const Tracked t = Track(r.work.path, {"out.mat", "-o", output}, RaiseAfter(when, SIGINT));
      EXPECT_EQ(t.exit, 1000 + SIGINT);
      EXPECT_EQ(ListDir(r.work.path), before);
      EXPECT_EQ(ReadFileBytes(r.File("earlier.csv")), "earlier");
    }
  }
}

// A command line it does not take: exit 2 and the usage, nothing read or written.
TEST(TrackEndToEnd, Usage) {
  const TempDir dir("track-usage");
  const Names cases[] = {{},
                         {"-o", "x.csv"},
                         {"a.mat", "-o"},
                         {"a.mat", "-o", "x.txt"},
                         {"a.mat", "-o", "x.csv", "-o", "y.csv"},
                         {"a.mat", "--range"},
                         {"a.mat", "--range", "0"},
                         {"a.mat", "--range", "9"},
                         {"a.mat", "--range", "1x"},
                         {"a.mat", "--range", "1", "--range", "2"},
                         {"a.mat", "-x"},
                         {"--follow"},
                         {"--follow", "a.mat", "--every", "0"},
                         {"--follow", "a.mat", "--wait", "x"},
                         {"--follow", "a.mat", "-o", "x.txt"},
                         {"--follow", "a.mat", "--range", "1"},
                         {"--follow", "a.mat", "--follow", "b.mat"},
                         {"a.mat", "--follow", "b.mat"}};
  for (const Names& args : cases) {
    const Tracked t = Track(dir.path, args);
    EXPECT_EQ(t.exit, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(t.err.substr(0, 27), "usage: qarvel-track SOURCE.") << ::testing::PrintToString(args);
    EXPECT_EQ(t.out, "");
  }
  EXPECT_TRUE(ListDir(dir.path).empty());
}

}  // namespace
