// qarvel-track --follow beside real runs: qarvel followed to its save with the page, the JSON and the CSV (which
// equals qarvel-track on the saved file), vexa across cycles, an -m run's running average, a run stopped and
// continued and then killed, a dead empty journal, and a follower that shares a small disk with the run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace {

using Names = std::vector<std::string>;

// The first value of "key" in the JSON text, as it stands ("" when absent); strings without their quotes.
std::string Json(const std::string& text, const std::string& key) {
  const size_t at = text.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  size_t from = at + key.size() + 3;
  if (text[from] == '"') return text.substr(from + 1, text.find('"', from + 1) - from - 1);
  return text.substr(from, text.find_first_of(",}]", from) - from);
}

long Sets(const std::string& json) {
  const std::string sets = Json(json, "sets");
  return sets.empty() ? -1 : std::stol(sets);
}

ProcessHandle StartFollower(const Rig& r, const Names& args, const std::string& err) {
  ProcessOptions o;
  o.argv = ProgramCommand("qarvel-track");
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.cwd = r.work.path;
  o.stderrPath = err;
  return StartProcess(o);
}

// Waits until the JSON file passes; its text, or "" on time-out.
std::string WaitForJson(const std::string& path, const std::function<bool(const std::string&)>& pass) {
  for (int waited = 0; waited < kLong; Sleep(50), waited += 50) {
    const std::string json = ReadFileBytes(path);
    if (!json.empty() && pass(json)) return json;
  }
  return "";
}

// The columns that the fit gives, and the set and range they belong to.
Names Fitted(const Names& row) {
  Names kept;
  for (size_t i : {1, 4, 5, 6, 7, 8, 9, 10, 11}) kept.push_back(i < row.size() ? row[i] : "?");
  return kept;
}

std::vector<Names> FittedRows(const std::string& csv, const std::string& file = "") {
  std::vector<Names> kept;
  for (const Names& row : CsvRows(csv)) {
    if (file.empty() || row[0] == file) kept.push_back(Fitted(row));
  }
  return kept;
}

std::string TrackCsv(const Rig& r, const std::string& file) {
  ProcessOptions o;
  o.argv = ProgramCommand("qarvel-track");
  o.argv.push_back(file);
  o.cwd = r.work.path;
  const RunResult run = RunProgram(o, kLong);
  EXPECT_EQ(run.exitCode, 0) << file;
  return run.output;
}

}  // namespace

// qarvel followed from before it starts until its save, with a journal that an earlier run left beside its target
// (passed over: the run journals under the next name). The JSON's sets grow while it measures; the page and the
// JSON end at "saved" with every set; the CSV, written as the sets came, equals qarvel-track on the saved file in
// every fitted column; the last line of stdout says saved.
TEST(FollowEndToEnd, FollowsARunToItsSave) {
  const Rig r;
  const std::string err = r.File("follow.err");
  ASSERT_TRUE(WriteFileBytes(r.File("run.mat.journal"), "QRVJRNL"));  // held by nobody
  ProcessHandle f = StartFollower(
      r, {"--follow", "run.mat", "--html", "live.html", "--json", "live.json", "-o", "rows.csv", "--every", "0.2"},
      err);
  ProcessHandle p = r.Start("qarvel", {"run.mat", "10:20:101", "25:26:201"});
  const std::string first = WaitForJson(r.File("live.json"), [](const std::string& j) {
    return Json(j, "status") == "live" && Sets(j) > 0;
  });
  ASSERT_FALSE(first.empty()) << ::testing::PrintToString(ListDir(r.work.path)) << ReadFileBytes(r.File("live.json"))
                              << ReadFileBytes(err);
  EXPECT_EQ(Json(first, "file"), "run.mat");
  ASSERT_FALSE(WaitForJson(r.File("live.json"), [&](const std::string& j) { return Sets(j) > Sets(first); }).empty());
  WriteStdin(p.get(), "k");
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(WaitExit(f.get(), kLong), 0) << ReadFileBytes(err);

  const std::string json = ReadFileBytes(r.File("live.json")), page = ReadFileBytes(r.File("live.html"));
  EXPECT_EQ(Json(json, "status"), "saved");
  EXPECT_EQ(Json(page, "status"), "saved");
  EXPECT_EQ(Json(page, "sets"), Json(json, "sets"));
  const std::vector<Names> followed = FittedRows(ReadFileBytes(r.File("rows.csv")));
  EXPECT_EQ(followed, FittedRows(TrackCsv(r, "run.mat")));
  EXPECT_EQ(static_cast<long>(followed.size()), 2 * Sets(json));
  const std::string out = Output(f.get());
  EXPECT_PRED2(Like, out.substr(out.rfind('\n', out.size() - 2) + 1),
               "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] saved run.mat " + Json(json, "sets") + " 1*.* 2*.*\n");
  EXPECT_PRED2(Like, ReadFileBytes(err), "");
  EXPECT_EQ(ListDir(r.work.path),
            (Names{"follow.err", "live.html", "live.html.data.js", "live.json", "rows.csv", "run.mat", "run.mat.journal"}));
}

// vexa's cycles are one series: the follower goes on from cycle to cycle, its sets and course run on, and each
// cycle's rows equal qarvel-track on that cycle's file; once no next cycle begins within --wait, it exits 0.
TEST(FollowEndToEnd, FollowsVexaAcrossCycles) {
  const Rig r;
  const std::string err = r.File("follow.err");
  ProcessHandle f = StartFollower(
      r, {"--follow", r.work.path, "--json", "live.json", "-o", "rows.csv", "--every", "0.2", "--wait", "2"}, err);
  ProcessHandle p = r.Start("vexa", {"x.mat", "30:40:151"});
  long firstCycleSets = 0, firstCoursePoints = 0;
  for (const std::string cycle : {"1", "2"}) {
    // A set of this cycle has come: the series' count alone may still grow by sets of the cycle before.
    const std::string json = WaitForJson(r.File("live.json"), [&](const std::string& j) {
      return Json(j, "cycle") == cycle && Sets(j) > firstCycleSets &&
             !FittedRows(ReadFileBytes(r.File("rows.csv")), cycle + ".mat").empty();
    });
    ASSERT_FALSE(json.empty()) << ReadFileBytes(err);
    if (cycle == "1") {
      firstCycleSets = Sets(json);
      firstCoursePoints = std::stol(Json(json, "course_points"));
      WriteStdin(p.get(), "k");  // saves the cycle; the next begins
    } else {
      EXPECT_GT(std::stol(Json(json, "course_points")), firstCoursePoints);
      SignalProcess(p.get(), SIGINT);  // saves the cycle and ends
    }
  }
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(WaitExit(f.get(), kLong), 0) << ReadFileBytes(err);
  const std::string csv = ReadFileBytes(r.File("rows.csv"));
  for (const std::string file : {"1.mat", "2.mat"}) {
    const std::vector<Names> rows = FittedRows(csv, file);
    EXPECT_FALSE(rows.empty()) << file;
    EXPECT_EQ(rows, FittedRows(TrackCsv(r, file))) << file;
  }
  // The second cycle's times follow the first's.
  const std::vector<Names> rows = CsvRows(csv);
  double last = -1;
  for (const Names& row : rows) {
    EXPECT_GT(std::stod(row[2]), last) << row[0] << " " << row[1];
    last = std::stod(row[2]);
  }
  const std::string json = ReadFileBytes(r.File("live.json"));
  EXPECT_EQ(Json(json, "status"), "saved");
  EXPECT_EQ(Sets(json), static_cast<long>(rows.size()));
}

// An -m run: the CSV has each set's own fit, while the view's latest fit is that of the running average, the same
// as qarvel-track finds in the averaged file.
TEST(FollowEndToEnd, AnAveragedRunShowsItsAverage) {
  const Rig r;
  const std::string err = r.File("follow.err");
  ProcessHandle f =
      StartFollower(r, {"--follow", "avg.mat", "--json", "live.json", "-o", "rows.csv", "--every", "0.2"}, err);
  ProcessHandle p = r.Start("qarvel", {"avg.mat", "10:20:101", "-m"});
  ASSERT_FALSE(WaitForJson(r.File("live.json"), [](const std::string& j) { return Sets(j) > 3; }).empty());
  WriteStdin(p.get(), "k");
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(WaitExit(f.get(), kLong), 0) << ReadFileBytes(err);
  const std::string json = ReadFileBytes(r.File("live.json"));
  EXPECT_EQ(Json(json, "averaged"), "true");
  const std::vector<Names> sets = CsvRows(ReadFileBytes(r.File("rows.csv")));
  EXPECT_EQ(static_cast<long>(sets.size()), Sets(json));
  EXPECT_NE(sets.front()[1], sets.back()[1]);  // each set's own row
  const std::vector<Names> average = CsvRows(TrackCsv(r, "avg.mat"));
  ASSERT_EQ(average.size(), 1u);
  char f0[64];
  std::snprintf(f0, sizeof f0, "%.2f", std::stod(average[0][5]));
  EXPECT_EQ(Json(json, "f0_hz"), f0);
}

// A run stopped (SIGSTOP) goes "stalled" after --stall and "live" again once continued; killed, it is "died": the
// follower names its journal with the command that recovers it and exits 3.
TEST(FollowEndToEnd, StalledWhenStoppedDiedWhenKilled) {
  const Rig r;
  const std::string err = r.File("follow.err");
  ProcessHandle f = StartFollower(
      r, {"--follow", "run.mat", "--json", "live.json", "--every", "0.2", "--stall", "1"}, err);
  ProcessHandle p = r.Start("qarvel", {"run.mat", "10:20:101"});
  auto status = [&](const std::string& word) {
    return WaitForJson(r.File("live.json"), [&](const std::string& j) { return Json(j, "status") == word; });
  };
  const std::string live = status("live");
  ASSERT_FALSE(live.empty()) << ReadFileBytes(err);
  SignalProcess(p.get(), SIGSTOP);
  EXPECT_FALSE(status("stalled").empty());
  SignalProcess(p.get(), SIGCONT);
  EXPECT_FALSE(status("live").empty());
  SignalProcess(p.get(), SIGKILL);
  EXPECT_EQ(WaitExit(p.get(), kLong), 1000 + SIGKILL);
  EXPECT_EQ(WaitExit(f.get(), kLong), 3);
  const std::string json = ReadFileBytes(r.File("live.json"));
  EXPECT_EQ(Json(json, "status"), "died");
  EXPECT_PRED2(Like, Json(json, "note"), "*qarvel-recover run.mat.journal -o run.recovered.mat");
  EXPECT_PRED2(Like, ReadFileBytes(err),
               "*the journal run.mat.journal. Recover it with: qarvel-recover run.mat.journal -o run.recovered.mat\n");
}

// A journal that is empty and that nobody holds is no run: after --wait the follower says so and exits 1 (it
// does not wait for it for ever); a journal that a dead run left is named with its recovery.
TEST(FollowEndToEnd, NoLiveRunWithinTheWait) {
  const Rig r;
  const std::string err = r.File("follow.err");
  ASSERT_TRUE(WriteFileBytes(r.File("f.mat.journal"), ""));
  ASSERT_TRUE(WriteFileBytes(r.File("f.mat.2.journal"), "QRVJRNL"));
  ProcessHandle f = StartFollower(r, {"--follow", "f.mat", "--json", "live.json", "--wait", "1"}, err);
  EXPECT_EQ(WaitExit(f.get(), kLong), 1);
  EXPECT_EQ(ReadFileBytes(err),
            "qarvel-track: no live run of f.mat appeared within 1 s\n  f.mat.journal is empty and no run holds it\n"
            "  f.mat.2.journal is a journal that an earlier run left; recover it with: qarvel-recover "
            "f.mat.2.journal -o f.mat.2.recovered.mat\n");
  EXPECT_EQ(Json(ReadFileBytes(r.File("live.json")), "status"), "waiting");
}

// In a mount namespace of its own (root and util-linux's unshare), the target, $TMPDIR and the follower's files on
// one small tmpfs: the run journals and saves as it would alone (nothing on its stderr), and the follower, which
// writes only its bounded view there, ends with every set. What the test checks is copied out before the
// namespace ends.
// The run's own TMPDIR stays off the small disk: it keeps no files there,
// but a ThreadSanitizer build's runtime keeps half a MiB of its own in it.
const char kSmallDisk[] =
    "set -e; disk=$1 out=$2 build=$3; mkdir \"$disk\"\n"
    "mount -t tmpfs -o size=3m qarvel-test-small \"$disk\"; cd \"$disk\"; export TMPDIR=\"$disk\"\n"
    "\"$build/qarvel-track\" --follow out.mat --html live.html --json live.json -o rows.csv --every 0.1 "
    "  >\"$out/follow.out\" 2>\"$out/follow.err\" & follower=$!\n"
    "TMPDIR=\"$out\" \"$build/qarvel\" out.mat 10:20:2001 -e5 </dev/null >\"$out/run.out\" 2>\"$out/run.err\"\n"
    "status=0; wait $follower || status=$?; echo $status > \"$out/follow.exit\"\n"
    "ls -A > \"$out/after\"; \"$build/qarvel-track\" out.mat > \"$out/saved.csv\"; cp rows.csv live.json \"$out/\"\n";

TEST(FollowEndToEnd, SharesASmallDiskWithoutTakingTheRunsRoom) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  if (RunShell("command -v unshare >/dev/null 2>&1", nullptr) != 0) GTEST_SKIP() << "needs unshare (util-linux)";
  const Rig r;
  const TempDir out("follow-out");
  ProcessOptions o;
  o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private", "sh", "-c", kSmallDisk,
            "sh", r.File("disk"), out.path, QARVEL_BUILD_DIR};
  o.env = PortEnv(r.ports);
  o.stderrPath = out / "script-stderr";
  const RunResult run = RunProgram(o, 60000);
  ASSERT_EQ(run.exitCode, 0) << ReadFileBytes(o.stderrPath);
  EXPECT_PRED2(Like, Messages(ReadFileBytes(out / "run.out")), "*Auto-stopped.|Saved");
  EXPECT_EQ(ReadFileBytes(out / "run.err"), "");
  EXPECT_EQ(ReadFileBytes(out / "follow.exit"), "0\n") << ReadFileBytes(out / "follow.err");
  EXPECT_EQ(ReadFileBytes(out / "after"), "live.html\nlive.html.data.js\nlive.json\nout.mat\nrows.csv\n");
  const std::vector<Names> saved = FittedRows(ReadFileBytes(out / "saved.csv"));
  EXPECT_GE(saved.size(), 20u);
  EXPECT_EQ(FittedRows(ReadFileBytes(out / "rows.csv")), saved);
  EXPECT_EQ(Json(ReadFileBytes(out / "live.json"), "status"), "saved");
}
