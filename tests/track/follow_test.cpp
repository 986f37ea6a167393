// The follower in process, step by step, on journals that the test writes and holds locked as a run does: what it
// reads, fits and keeps, its statuses and its ends, vexa's cycles, the names it follows, and its writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/emulated_sets.h"
#include "tests/support/harness.h"
#include "track/track.h"

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A run's journal: created and locked by the test, as a run holds its own.
struct Journal {
  Journal(const std::string& path, const EmulatedSweep& sweep, bool averaged = false) : path(path) {
    CreateOutcome outcome;
    char why[160];
    file = CreateLockedFile(path.c_str(), &outcome, why, sizeof why);
    JournalHeader h{};
    h.build = kQarvelBuild;
    h.averaged = averaged;
    h.startTime = SystemTime();
    std::snprintf(h.saveData.OriginalFilename, sizeof h.saveData.OriginalFilename, "run.mat");
    h.saveData.IsGloballyAveraged = averaged ? 1 : 0;
    h.info = sweep.info;
    uint8_t bytes[kJournalHeaderBytes];
    EncodeJournalHeader(h, bytes);
    Write(std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
  }
  ~Journal() { Close(); }
  void Write(const std::string& bytes) { ASSERT_TRUE(WriteOutputFile(file, bytes.data(), bytes.size())); }
  void Sets(EmulatedSweep* sweep, int n) {
    for (int i = 0; i < n; ++i) Write(EmulatedJournalSet(sweep, SystemTime()));
  }
  void Close() {  // the run ends: the lock goes, the journal stays
    if (file != kInvalidFile) CloseFile(file);
    file = kInvalidFile;
  }
  std::string path;
  FileHandle file = kInvalidFile;
};

std::vector<std::string> said;
void Collect(const char* text, void*) { said.push_back(text); }

struct Follow {
  explicit Follow(FollowOptions o) {
    said.clear();
    EXPECT_EQ(StartFollower(&f, o, Collect, nullptr), 0);
  }
  ~Follow() { EndFollower(&f); }
  int Step() { return FollowStep(&f); }
  // Steps until the follower ends or pass holds, at most a few seconds.
  template <typename Pass>
  int StepUntil(Pass pass) {
    int code = kFollowGoing;
    for (int i = 0; i < 400 && code == kFollowGoing && !pass(); ++i) {
      Sleep(10);
      code = Step();
    }
    return code;
  }
  const LiveView& view() const { return *f.view; }
  Follower f;
};

EmulatedSweep Sweep(const std::vector<RangeSpec>& ranges, int32_t type = 2) {
  EmulatedSweep s;
  EXPECT_TRUE(StartEmulatedSweep(&s, EmulatorConfig{}, ranges, type));
  return s;
}

FollowOptions Options(const std::string& target) {
  return FollowOptions{target.c_str(), nullptr, nullptr, nullptr, 0.02, 0.3, 5.0, false};
}

// qarvel-track's rows of a source (every field but the file's name).
std::vector<std::string> TrackedRows(const std::string& path) {
  static SeriesReader reader;
  StartSeriesReader(&reader, nullptr, nullptr);
  std::vector<std::string> rows;
  EXPECT_EQ(OpenSeriesSource(&reader, path.c_str()), 0);
  TrackedSet set;
  while (NextSeriesSet(&reader, &set) > 0) {
    for (int32_t k = 0; k < set.ranges; ++k) {
      char row[kTrackRowBytes];
      const size_t n = FormatTrackRow(set, k, row, sizeof row);
      const std::string text(row, n);
      rows.push_back(text.substr(text.find(',')));
    }
  }
  EndSeriesReader(&reader);
  return rows;
}

std::vector<std::string> CsvRows(const std::string& csv) {
  std::vector<std::string> rows;
  size_t at = csv.find('\n') + 1;
  for (size_t end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = csv.substr(at, end - at + 1);
    rows.push_back(line.substr(line.find(',')));
  }
  return rows;
}

}  // namespace

TEST(Follow, NamesTheJournalsOfATarget) {
  const struct {
    const char* name;
    uint32_t k;  // 0: not a journal of run.mat
  } cases[] = {{"run.mat.journal", 1},    {"run.mat.2.journal", 2},  {"run.mat.17.journal", 17},
               {"run.mat.1.journal", 0},  {"run.mat.02.journal", 0}, {"run.mat.x.journal", 0},
               {"run.2.mat.journal", 0},  {"xrun.mat.journal", 0},   {"run.mat.journalx", 0},
               {"run.mat.2.journal.", 0}, {"run.mat", 0},            {"run.mat.2", 0}};
  for (const auto& c : cases) {
    uint32_t k = 0;
    EXPECT_EQ(ParseJournalOf(c.name, "run.mat", &k), c.k != 0) << c.name;
    if (c.k != 0) {
      EXPECT_EQ(k, c.k) << c.name;
    }
  }
}

// A run from its first sets to each of its ends: the view, the course and the CSV as the sets come (the CSV equal
// to qarvel-track's rows of the same journal), stalled without sets and live again with one, and then saved
// (journal gone, file newer), no data (journal gone, no file) or died (the lock gone, the journal left).
TEST(Follow, ARunFromItsSetsToEachEnd) {
  enum class End { Saved, NoFile, Died };
  const struct {
    End end;
    LiveStatus status;
    int exit;
  } cases[] = {{End::Saved, LiveStatus::Saved, kFollowSaved},
               {End::NoFile, LiveStatus::NoData, kFollowNoRun},
               {End::Died, LiveStatus::Died, kFollowDied}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.end));
    const TempDir dir("follow");
    const std::string target = dir / "run.mat", csv = dir / "rows.csv", json = dir / "live.json";
    FollowOptions o = Options(target);
    o.csvPath = csv.c_str();
    o.jsonPath = json.c_str();
    o.stallS = 0.2;
    Follow f(o);
    EXPECT_EQ(f.Step(), kFollowGoing);
    EXPECT_EQ(f.view().status, LiveStatus::Waiting);
    EmulatedSweep sweep = Sweep({{10, 20, 101}, {25, 26, 51}});
    Journal j(target + ".journal", sweep);
    f.StepUntil([&] { return f.f.following; });
    EXPECT_EQ(f.view().status, LiveStatus::Live);  // a run, before its first set
    EXPECT_EQ(f.view().sets, 0u);
    j.Sets(&sweep, 3);
    f.StepUntil([&] { return f.view().sets == 3; });
    const LiveView& v = f.view();
    EXPECT_EQ(v.status, LiveStatus::Live);
    EXPECT_EQ(v.rangeCount, 2);
    EXPECT_EQ(v.ranges[1].points, 51);
    EXPECT_EQ(v.ranges[0].course.sets, 3u);
    EXPECT_EQ(v.ranges[1].trace.count, 51);
    EXPECT_NEAR(v.ranges[0].latest.f0Hz, 15e6, 0.2e6);
    EXPECT_STREQ(v.runFile, target.c_str());
    EXPECT_EQ(f.StepUntil([&] { return f.view().status == LiveStatus::Stalled; }), kFollowGoing);
    EXPECT_EQ(v.status, LiveStatus::Stalled);
    j.Sets(&sweep, 2);
    f.StepUntil([&] { return f.view().sets == 5; });
    EXPECT_EQ(v.status, LiveStatus::Live);
    EXPECT_EQ(v.note[0], '\0');
    EXPECT_EQ(CsvRows(ReadFileBytes(csv)), TrackedRows(j.path));

    j.Sets(&sweep, 1);  // written last, read after the end
    if (c.end == End::Died) {
      j.Close();
    } else {
      ASSERT_EQ(std::remove(j.path.c_str()), 0);
      j.Close();
      if (c.end == End::Saved) {
        ASSERT_TRUE(WriteFileBytes(target, "saved"));
      }
    }
    EXPECT_EQ(f.StepUntil([] { return false; }), c.exit);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.sets, 6u);
    EXPECT_EQ(CsvRows(ReadFileBytes(csv)).size(), 12u);
    const std::string written = ReadFileBytes(json);
    EXPECT_NE(written.find(std::string("\"status\":\"") + LiveStatusWord(c.status) + "\""), std::string::npos);
    if (c.end == End::Died) {
      ASSERT_FALSE(said.empty());
      EXPECT_NE(said.back().find("Recover it with: qarvel-recover"), std::string::npos) << said.back();
      EXPECT_NE(std::string(v.note).find("qarvel-recover"), std::string::npos);
    }
  }
}

// An -m run: each set's own fit goes into the course, while the latest fit and the traces are the running
// average's, divided as the file divides it.
TEST(Follow, AnAveragedRunShowsTheRunningAverage) {
  const TempDir dir("follow");
  const std::string target = dir / "avg.mat";
  Follow f(Options(target));
  EmulatedSweep sweep = Sweep({{10, 20, 101}, {25, 26, 61}}), copy = sweep;
  Journal j(target + ".journal", sweep, true);
  j.Sets(&sweep, 4);
  f.StepUntil([&] { return f.view().sets == 4; });
  const LiveView& v = f.view();
  EXPECT_TRUE(v.averaged);
  std::vector<std::vector<double>> magnitude(2), phase(2);
  double lastF0[2] = {0, 0};
  for (int s = 0; s < 4; ++s) {
    const std::vector<MeasuredRange> set = MeasureSet(&copy);
    for (size_t k = 0; k < 2; ++k) {
      magnitude[k].resize(set[k].magnitude.size());
      phase[k].resize(set[k].phase.size());
      for (size_t i = 0; i < magnitude[k].size(); ++i) {
        magnitude[k][i] += set[k].magnitude[i];
        phase[k][i] += set[k].phase[i];
      }
      lastF0[k] = FitResonance(sweep.freq[k].data(), set[k].magnitude.data(), set[k].phase.data(),
                               static_cast<int32_t>(set[k].magnitude.size()))
                      .f0Hz;
    }
  }
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    for (size_t i = 0; i < magnitude[k].size(); ++i) {
      magnitude[k][i] /= 4;
      phase[k][i] /= 4;
    }
    const int32_t n = static_cast<int32_t>(magnitude[k].size());
    const Resonance average = FitResonance(sweep.freq[k].data(), magnitude[k].data(), phase[k].data(), n);
    const LiveRange& r = v.ranges[k];
    EXPECT_EQ(r.latest.f0Hz, average.f0Hz);
    EXPECT_EQ(r.latest.q, average.q);
    EXPECT_EQ(r.trace.count, n);
    EXPECT_EQ(r.trace.magnitudeDb[n / 2], magnitude[k][n / 2]);
    EXPECT_EQ(r.trace.phaseDeg[n / 2], phase[k][n / 2]);
    EXPECT_EQ(r.course.buckets[3].f0Hz.last, lastF0[k]);
    EXPECT_NE(lastF0[k], average.f0Hz);
  }
}

// vexa's folder: a dead cycle's journal is passed over for the live one; after its save the next cycle is
// followed and the series runs on; once no next cycle begins within the wait, the follower ends saved.
TEST(Follow, FollowsVexasCyclesAsOneSeries) {
  const TempDir dir("follow");
  Follow f(Options(dir.path));
  EmulatedSweep sweep = Sweep({{30, 40, 51}});
  {
    Journal dead(dir / "1.mat.journal", sweep);
    dead.Sets(&sweep, 1);
  }
  Journal second(dir / "2.mat.journal", sweep);
  second.Sets(&sweep, 2);
  f.StepUntil([&] { return f.view().sets == 2; });
  EXPECT_EQ(f.view().cycle, 2u);
  ASSERT_EQ(std::remove(second.path.c_str()), 0);
  second.Close();
  ASSERT_TRUE(WriteFileBytes(dir / "2.mat", "saved"));
  f.StepUntil([&] { return !f.f.following; });
  EXPECT_EQ(f.view().status, LiveStatus::Live);  // between cycles
  Journal third(dir / "3.mat.journal", sweep);
  third.Sets(&sweep, 3);
  f.StepUntil([&] { return f.view().sets == 5; });
  EXPECT_EQ(f.view().cycle, 3u);
  EXPECT_EQ(f.view().ranges[0].course.sets, 5u);
  EXPECT_EQ(f.f.runSets, 3u);
  ASSERT_EQ(std::remove(third.path.c_str()), 0);
  third.Close();
  ASSERT_TRUE(WriteFileBytes(dir / "3.mat", "saved"));
  EXPECT_EQ(f.StepUntil([] { return false; }), kFollowSaved);
  EXPECT_EQ(f.view().status, LiveStatus::Saved);
  EXPECT_EQ(f.view().sets, 5u);
}

// A vexa cycle that ends without data, and no next cycle within the wait: no data (exit 1), and no word of
// "no live run", since one was followed.
TEST(Follow, AVexaCycleWithoutDataAndNoNextOne) {
  const TempDir dir("follow");
  Follow f(Options(dir.path));
  EmulatedSweep sweep = Sweep({{30, 40, 51}});
  Journal cycle(dir / "1.mat.journal", sweep);
  f.StepUntil([&] { return f.f.following; });
  ASSERT_EQ(std::remove(cycle.path.c_str()), 0);
  cycle.Close();
  EXPECT_EQ(f.StepUntil([] { return false; }), kFollowNoRun);
  EXPECT_EQ(f.view().status, LiveStatus::NoData);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("ended without saving it"), std::string::npos) << said[0];
}

// Nothing to follow within the wait: an empty journal that nobody holds (never waited for beyond it) and a dead
// run's journal, named with its recovery.
TEST(Follow, NoLiveRunEndsAfterTheWait) {
  const TempDir dir("follow");
  const std::string target = dir / "f.mat";
  ASSERT_TRUE(WriteFileBytes(target + ".journal", ""));
  ASSERT_TRUE(WriteFileBytes(target + ".2.journal", "QRVJRNL"));
  Follow f(Options(target));
  EXPECT_EQ(f.StepUntil([] { return false; }), kFollowNoRun);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("f.mat.journal is empty and no run holds it"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("f.mat.2.journal is a journal that an earlier run left; recover it with: qarvel-recover"),
            std::string::npos)
      << said[0];
}

// A file that cannot be written is said at every update and, after several in a row, ends the follower; one
// update written between them starts the count anew.
TEST(Follow, GivesUpAfterWritesThatFailInARow) {
  const TempDir dir("follow");
  const std::string target = dir / "run.mat", folder = dir / "missing", page = folder + "/live.html";
  FollowOptions o = Options(target);
  o.pagePath = page.c_str();
  o.waitS = 100;
  Follow f(o);
  const size_t almost = static_cast<size_t>(kFollowFailureLimit) - 1;
  EXPECT_EQ(f.StepUntil([&] { return said.size() == almost; }), kFollowGoing);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  EXPECT_EQ(f.StepUntil([&] { return FileExists(page); }), kFollowGoing);
  std::remove((page + kLiveDataSuffix).c_str());
  std::remove(page.c_str());
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(f.StepUntil([&] { return said.size() == 2 * almost; }), kFollowGoing);
  said.clear();
  EXPECT_EQ(f.StepUntil([] { return false; }), kFollowNoRun);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("cannot write " + page), std::string::npos) << said[0];
  EXPECT_NE(said.back().find("giving up"), std::string::npos);
}
