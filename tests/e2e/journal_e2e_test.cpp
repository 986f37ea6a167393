// The journal that qarvel and vexa keep beside their result file, and qarvel-recover, which rebuilds the file
// from it: after a kill, from a cut or damaged journal, after a failed save; what it refuses, and what it says when
// it cannot do everything; a live journal and its snapshot; a journal that an earlier run left; two runs on one
// target; a journal that cannot be removed. Wine too, but for the mounts of the test's own (a full disk, a read-only
// folder) and two runs at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tests/e2e/e2e.h"
#include "tests/support/encode.h"
#include "tests/support/wine.h"

namespace {

// The instrument's default rate (period word 500) gives 10 sets a second; with one range a set is one record.
constexpr long kSetsPerSecond = 10;
const std::vector<std::string> kRun = {"out.mat", "10:20:101"};
const std::string kStarted = "Connecting...|Initializing...|Started.";
using Names = std::vector<std::string>;

long Last(const std::string& fact) { return std::atol(fact.substr(fact.rfind(' ') + 1).c_str()); }
std::string N(long n) { return std::to_string(n); }

uint32_t U32At(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

uint32_t Crc32c(const std::string& bytes) {  // Castagnoli's polynomial, reflected, a bit at a time
  uint32_t c = ~0u;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = c & 1 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

// The whole, intact entries of a journal, read with its layout alone: after the header (magic, version, flags,
// L, L bytes of description, check) each is [u32 n][u8 type][n bytes][u32 CRC-32C of the 5 + n before]; type 1 is
// a record, type 2 a flush stamp.
struct Entry { size_t at, end; int type; };
std::vector<Entry> Entries(const std::string& j) {
  std::vector<Entry> entries;
  if (j.size() < 20 || j.compare(0, 8, std::string("QRVJRNL\x1a", 8)) != 0) return entries;
  for (size_t at = 24 + U32At(j, 16); at + 9 <= j.size();) {
    const size_t end = at + 9 + U32At(j, at);
    if (end > j.size() || Crc32c(j.substr(at, end - at - 4)) != U32At(j, end - 4)) break;
    entries.push_back({at, end, j[at + 4]});
    at = end;
  }
  return entries;
}
std::vector<Entry> RecordEntries(const std::string& journal) {
  std::vector<Entry> records = Entries(journal);
  records.erase(std::remove_if(records.begin(), records.end(), [](const Entry& e) { return e.type != 1; }),
                records.end());
  return records;
}
long Records(const std::string& journal) { return static_cast<long>(RecordEntries(journal).size()); }

// qarvel-recover with args in the rig's work folder; Windows' "\r" before the line ends left out.
struct Recovery { int exit; std::string out, err; };
Recovery Recover(const Rig& r, const Names& args) {
  const TempDir logs("recover-logs");
  ProcessOptions o;
  o.stderrPath = logs / "stderr";
  const RunResult run = r.Run("qarvel-recover", args, o);
  Recovery got{run.exitCode, run.output, ReadFileBytes(o.stderrPath)};
  if (WineTargetSelected()) {
    for (std::string* s : {&got.out, &got.err}) s->erase(std::remove(s->begin(), s->end(), '\r'), s->end());
  }
  return got;
}

// Once the emulator has sent `sets` sets since `from`, kills the run with SIGKILL: the sets sent just before.
long KillAfter(const Rig& r, Process* p, uint64_t from, uint64_t sets) {
  for (int waited = 0; EmulatorSetsSent(r.emu) < from + sets && waited < kLong; waited += 10) Sleep(10);
  const long sent = static_cast<long>(EmulatorSetsSent(r.emu) - from);
  SignalProcess(p, SIGKILL);
  EXPECT_EQ(WaitExit(p, kLong), 1000 + SIGKILL) << Output(p);
  return sent;
}

// A qarvel run killed after some sets, whose journal out.mat.journal is left in the work folder: its bytes.
std::string KilledRun(const Rig& r, uint64_t sets) {
  ProcessHandle p = r.Start("qarvel", kRun);
  KillAfter(r, p.get(), 0, sets);
  EXPECT_EQ(ListDir(r.work.path), Names{"out.mat.journal"});
  return ReadFileBytes(r.File("out.mat.journal"));
}

// Reads a result file back: saved as name, with `sets` sets numbered 1, 2, ... (none lost or repeated).
MatDump ExpectSets(Reader reader, const std::string& file, long sets, const std::string& name) {
  const MatDump d = ReadMat(reader, file);
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(Fact(d.out, "Annotations(1).OriginalFilename"), "char 1x" + N(name.size()) + " " + name);
  EXPECT_EQ(Fact(d.out, "SweepInfo(1).NumberOfSweeps"), "double 1x1 " + N(sets));
  EXPECT_PRED2(Like, Fact(d.out, "SweepData"), "struct 1x" + N(sets) + " *");
  for (long i = 1; i <= sets; ++i) EXPECT_EQ(Last(Fact(d.out, "SweepData(" + N(i) + ").SampleNumber")), i);
  return d;
}

// ------------------------------------------------------------ killed runs

struct Killing {
  const char *name, *program;
  bool secondCycle;  // vexa: a key ends the first cycle, saved as 1.mat, and the second one is killed
  Names left;        // the work folder after the kill
  std::string journal, file;
};
const Killing kKillings[] = {
    {"Qarvel", "qarvel", false, {"out.mat.journal"}, "out.mat.journal", "out.mat"},
    {"VexaInItsSecondCycle", "vexa", true, {"1.mat", "2.mat.journal"}, "2.mat.journal", "2.mat"},
};
void PrintTo(const Killing& k, std::ostream* os) { *os << k.name; }  // names the ctest cases

class Killed : public ::testing::TestWithParam<Killing> {};

// SIGKILL leaves the journal and no file; recovering it gives the file of every set that the run had journaled,
// which is every set the instrument sent but the last second's.
TEST_P(Killed, RecoveryRebuildsTheFile) {
  const Killing& k = GetParam();
  const Rig r;
  ProcessHandle p = r.Start(k.program, kRun);
  uint64_t from = 0;
  if (k.secondCycle) {
    ASSERT_TRUE(WaitForOutput(p.get(), "records received.", kLong)) << Output(p.get());
    WriteStdin(p.get(), "k");
    ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
    from = EmulatorSetsSent(r.emu);  // the instrument is stopped until the next cycle starts it
    ASSERT_TRUE(WaitForCount(p.get(), "Started.", 2)) << Output(p.get());
  }
  const long sent = KillAfter(r, p.get(), from, 3 * kSetsPerSecond);
  EXPECT_EQ(ListDir(r.work.path), k.left);
  const long records = Records(ReadFileBytes(r.File(k.journal)));
  EXPECT_GE(records, std::max(1L, sent - kSetsPerSecond - 1)) << sent;  // a second's sets, and one in flight
  EXPECT_LE(records, sent);

  const Recovery got = Recover(r, {k.journal});
  EXPECT_EQ(got.exit, 0) << got.err;
  EXPECT_PRED2(Like, got.out,
               "Recovered " + N(records) + " sweep sets (" + N(records) + " records) of a " + k.program +
                   " measurement into " + k.file + " (*MB).\n*Removed the journal " + k.journal + ".\n");
  Names left = k.left;
  left.back() = k.file;
  EXPECT_EQ(ListDir(r.work.path), left);
  ExpectSets(k.secondCycle ? Reader::Octave : Reader::SciPy, r.File(k.file), records, k.file);
}

INSTANTIATE_TEST_SUITE_P(JournalEndToEnd, Killed, ::testing::ValuesIn(kKillings));

// ------------------------------------------------------------ damaged journals

// A journal cut or damaged in one of its last records gives back exactly the whole records before that one.
TEST(JournalEndToEnd, CutOrDamagedRecordEndsTheFile) {
  const Rig r;
  const std::string journal = KilledRun(r, 2 * kSetsPerSecond);
  const std::vector<Entry> records = RecordEntries(journal);
  ASSERT_GE(records.size(), 5u);
  const long whole = static_cast<long>(records.size()) - 3;  // two whole records follow the spoilt one
  const Entry& e = records[whole];
  std::string flipped = journal;
  flipped[e.at + 20] ^= 0x10;  // a byte of the record's body; the entries after it are intact
  const std::pair<std::string, std::string> kSpoilt[] = {{"in-length", journal.substr(0, e.at + 2)},
                                                         {"in-body", journal.substr(0, (e.at + e.end) / 2)},
                                                         {"in-check", journal.substr(0, e.end - 1)},
                                                         {"flipped", flipped}};
  for (const auto& [name, bytes] : kSpoilt) {
    WriteFileBytes(r.File(name + ".journal"), bytes);
    const Recovery got = Recover(r, {name + ".journal", "-o", name + ".mat"});
    EXPECT_EQ(got.exit, 0) << name << ": " << got.err;
    EXPECT_PRED2(Like, got.out,
                 "Recovered " + N(whole) + " sweep sets (" + N(whole) + " records) *\nThe journal ends in a cut or "
                 "damaged record after byte " + N(e.at) + "; every whole record before it is in the file.\n*")
        << name;
    EXPECT_FALSE(FileExists(r.File(name + ".journal"))) << name;
    ExpectSets(name.size() % 2 ? Reader::Octave : Reader::SciPy, r.File(name + ".mat"), whole, "out.mat");
  }
}

// What is not a journal, or a journal whose header is cut or damaged, is refused: nothing is written or changed.
TEST(JournalEndToEnd, NotAJournalIsRefused) {
  const Rig r;
  const std::string journal = KilledRun(r, 5);
  std::string flipped = journal, version = journal;
  flipped[100] ^= 0x01;  // a byte of the description, in the name the run saves under
  version[8] = 3;        // a version this tool does not know
  const std::pair<std::string, std::string> kFiles[] = {
      {"notes.txt", "Sweeps of 10 to 20 MHz, 101 points.\n"},
      {"result.mat", encode::MatHeader() + encode::Scalar(1, "x")},
      {"flipped.journal", flipped},
      {"version.journal", version},
      {"cut.journal", journal.substr(0, 400)},
      {"empty.journal", ""}};
  for (const auto& [name, bytes] : kFiles) {
    WriteFileBytes(r.File(name), bytes);
    const Names before = ListDir(r.work.path);
    for (const Names& args : {Names{name}, Names{name, "-o", "x.mat"}}) {
      const Recovery got = Recover(r, args);
      EXPECT_EQ(got.exit, 1) << name;
      EXPECT_EQ(got.err, "qarvel-recover: " + name + " is not a journal, or its header is damaged; nothing was "
                         "written\n");
      EXPECT_EQ(got.out, "");
      EXPECT_EQ(ListDir(r.work.path), before) << name;
      EXPECT_TRUE(ReadFileBytes(r.File(name)) == bytes) << name;
    }
  }
}

void PutAt(std::string& bytes, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}
// The header's check made good again after a change to its description (offset 20, L bytes).
std::string Rechecked(std::string j) {
  const size_t check = 20 + U32At(j, 16);
  PutAt(j, check, Crc32c(j.substr(16, check - 16)), 4);
  return j;
}
// An entry as a run frames it: [u32 n][u8 type][n bytes][u32 CRC-32C of the 5 + n before]; a record's bytes are its
// arrival time (8 bytes) and its payload.
std::string Framed(int type, const std::string& body) {
  const std::string entry = encode::U32(static_cast<uint32_t>(body.size())) + static_cast<char>(type) + body;
  return entry + encode::U32(Crc32c(entry));
}

// What recovery says when it cannot do all it should: records it cannot take (nothing is written; --partial writes
// the rest, and exits 1 all the same), a description that no run writes, an output that is the journal itself. And
// times that a wrong clock gave, which cost nothing but the span.
TEST(JournalEndToEnd, WhatRecoveryCannotDoItSays) {
  const Rig r;
  const std::string journal = KilledRun(r, 10);
  ASSERT_TRUE(std::remove(r.File("out.mat.journal").c_str()) == 0);
  const std::vector<Entry> records = RecordEntries(journal);
  ASSERT_GE(records.size(), 3u);
  const long n = static_cast<long>(records.size());
  // A record of no points, after its arrival time.
  const std::string refused = journal.substr(0, records[1].end) +
                              Framed(1, encode::U64(1) + encode::SweepData(0, 3, 0, 7)) +
                              journal.substr(records[1].end);
  std::string ranges = journal, early = journal;
  PutAt(ranges, 20 + 435, 0x80000000u, 4);       // NumberOfRanges: INT_MIN
  PutAt(early, 20 + 4, 0x8000000000000000u, 8);  // the start time: INT64_MIN
  const std::string cannot = "1 of the " + N(n + 1) + " records of * (the first, record 3: no points, no content, "
                             "or a zero step word)";
  const std::string recovered = "Recovered " + N(n) + " sweep sets (" + N(n) + " records) of a qarvel measurement "
                                "into *.mat (*MB).\n";
  const struct { const char* name; std::string bytes; Names args; int exit; std::string out, err; } cases[] = {
      {"refused", refused, {"-o", "refused.mat"}, 1, "",
       "qarvel-recover: " + cannot + " cannot be taken; nothing was written and the journal is kept. --partial "
       "writes the file without them.\n"},
      {"partial", refused, {"--partial", "-o", "partial.mat"}, 1,
       recovered + "Measured from 2* UTC; flushed last at 2* UTC, *.* s later.\n",
       "qarvel-recover: " + cannot + " were left out of the file; the journal is kept.\n"},
      {"ranges", Rechecked(ranges), {"-o", "ranges.mat"}, 1, "",
       "qarvel-recover: ranges.journal is not a journal this version can read (its NumberOfRanges); nothing was "
       "written\n"},
      {"itself", journal, {"-o", "itself.journal"}, 1, "",
       "qarvel-recover: itself.journal is the journal itself; nothing was written and itself.journal is kept\n"},
      {"hard", journal, {"-o", "hard.mat"}, 1, "",
       "qarvel-recover: hard.mat is the journal itself; nothing was written and hard.journal is kept\n"},
      {"early", Rechecked(early), {"-o", "early.mat"}, 0,
       recovered + "Measured from an unknown time; flushed last at 2* UTC, an unknown span later.\n"
       "Removed the journal early.journal.\n", ""},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.name) + ".journal";
    ASSERT_TRUE(WriteFileBytes(r.File(name), c.bytes));
    if (c.name == std::string("hard")) {
      ASSERT_EQ(link(r.File(name).c_str(), r.File("hard.mat").c_str()), 0);
    }
    const Names before = ListDir(r.work.path);
    Names args = c.args;
    args.insert(args.end() - 2, name);
    const Recovery got = Recover(r, args);
    EXPECT_EQ(got.exit, c.exit) << c.name << ": " << got.err;
    EXPECT_PRED2(Like, got.out, c.out) << c.name;
    EXPECT_PRED2(Like, got.err, c.err) << c.name;
    if (c.exit == 0) continue;
    EXPECT_TRUE(ReadFileBytes(r.File(name)) == c.bytes) << c.name;
    Names after = before;
    if (c.name == std::string("partial")) after.insert(std::lower_bound(after.begin(), after.end(), "partial.mat"),
                                                       "partial.mat");
    EXPECT_EQ(ListDir(r.work.path), after) << c.name;
  }
  ExpectSets(Reader::SciPy, r.File("partial.mat"), n, "out.mat");
  ExpectSets(Reader::Octave, r.File("early.mat"), n, "out.mat");
}

// ------------------------------------------------------------ live journals, existing files, earlier journals

// While its run lives a journal is refused, but a snapshot reads it; the run goes on undisturbed and saves.
TEST(JournalEndToEnd, LiveJournalIsRefusedButSnapshotted) {
  const Rig r;
  ProcessHandle p = r.Start("qarvel", kRun);
  ASSERT_TRUE(WaitForOutput(p.get(), "records received.", kLong)) << Output(p.get());
  for (int waited = 0; EmulatorSetsSent(r.emu) < 10 && waited < kLong; waited += 10) Sleep(10);
  Recovery got = Recover(r, {"out.mat.journal"});
  EXPECT_EQ(got.exit, 1);
  EXPECT_EQ(got.err, "qarvel-recover: out.mat.journal belongs to a run that is still measuring; it can be "
                     "recovered once the run has ended. A file of what it holds so far: qarvel-recover --snapshot "
                     "-o FILE out.mat.journal\n");
  EXPECT_EQ(ListDir(r.work.path), Names{"out.mat.journal"});

  got = Recover(r, {"--snapshot", "-o", "snap.mat", "out.mat.journal"});
  EXPECT_EQ(got.exit, 0) << got.err;
  EXPECT_EQ(got.out.find("Removed"), std::string::npos) << got.out;
  const long snapped = Last(got.out.substr(0, got.out.find(" sweep set")));
  EXPECT_GE(snapped, 1) << got.out;
  const size_t size = ReadFileBytes(r.File("out.mat.journal")).size();
  const uint64_t sent = EmulatorSetsSent(r.emu);
  for (int waited = 0; EmulatorSetsSent(r.emu) < sent + 10 && waited < kLong; waited += 10) Sleep(10);
  EXPECT_GT(ReadFileBytes(r.File("out.mat.journal")).size(), size);  // the run journals on

  WriteStdin(p.get(), "k");
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(Messages(Output(p.get())), kStarted + "|Saved");
  EXPECT_EQ(ListDir(r.work.path), (Names{"out.mat", "snap.mat"}));
  const MatDump snap = ExpectSets(Reader::SciPy, r.File("snap.mat"), snapped, "out.mat");
  const MatDump saved = ReadMat(Reader::Octave, r.File("out.mat"));
  EXPECT_GE(Last(Fact(saved.out, "SweepInfo(1).NumberOfSweeps")), snapped + 9) << saved.err;
  for (const char* field : {"SampleNumber", "Phase", "Magnitude"}) {  // the snapshot's sets are the run's
    const std::string last = "SweepData(" + N(snapped) + ")." + field;
    EXPECT_EQ(Fact(snap.out, last), Fact(saved.out, last)) << last;
  }
}

// An existing file of the journal's name is replaced only when -o names it; the journal goes once it is.
TEST(JournalEndToEnd, ExistingFileIsReplacedOnlyWhenNamed) {
  const Rig r;
  const std::string journal = KilledRun(r, 10);
  WriteFileBytes(r.File("out.mat"), "earlier");
  Recovery got = Recover(r, {"out.mat.journal"});
  EXPECT_EQ(got.exit, 1);
  EXPECT_EQ(got.err, "qarvel-recover: out.mat exists; nothing was written and out.mat.journal is kept. Name the "
                     "file to write with -o FILE (an existing file is replaced).\n");
  EXPECT_EQ(ListDir(r.work.path), (Names{"out.mat", "out.mat.journal"}));
  EXPECT_EQ(ReadFileBytes(r.File("out.mat")), "earlier");
  EXPECT_TRUE(ReadFileBytes(r.File("out.mat.journal")) == journal);

  got = Recover(r, {"out.mat.journal", "-o", "out.mat"});
  EXPECT_EQ(got.exit, 0) << got.err;
  EXPECT_EQ(ListDir(r.work.path), Names{"out.mat"});
  ExpectSets(Reader::Octave, r.File("out.mat"), Records(journal), "out.mat");
}

// The next run leaves an earlier run's journal as it is, journals beside it, and names it with the command that
// recovers it; that command, run as printed, does.
TEST(JournalEndToEnd, EarlierJournalIsLeftAlone) {
  const Rig r;
  const std::string journal = KilledRun(r, 10);
  const TempDir logs("journal-logs");
  ProcessOptions o;
  o.stdinPath = "/dev/null";
  o.stderrPath = logs / "stderr";
  ProcessHandle p = r.Start("qarvel", {"out.mat", "10:20:101", "-e5"}, o);
  ASSERT_TRUE(WaitForOutput(p.get(), "records received.", kLong)) << Output(p.get());
  EXPECT_EQ(ListDir(r.work.path), (Names{"out.mat.2.journal", "out.mat.journal"}));
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(Messages(Output(p.get())), kStarted + "|Auto-stopped.|Saved");
  const std::string said = ReadFileBytes(o.stderrPath), with = "Recover it with: ";
  EXPECT_EQ(said, "\r\nThe journal out.mat.journal of an earlier run is kept; this run does not touch it. " + with +
                      "qarvel-recover out.mat.journal -o out.recovered.mat");
  EXPECT_EQ(ListDir(r.work.path), (Names{"out.mat", "out.mat.journal"}));
  EXPECT_TRUE(ReadFileBytes(r.File("out.mat.journal")) == journal);

  const std::string command = said.substr(std::min(said.size(), said.find(with) + with.size()));
  std::string out;
  if (WineTargetSelected()) {  // the same words, to the Windows program
    Names words;
    for (size_t at = 0, end; at < command.size(); at = end + 1) {
      end = std::min(command.find(' ', at), command.size());
      words.push_back(command.substr(at, end - at));
    }
    ASSERT_EQ(words.at(0), "qarvel-recover");
    EXPECT_EQ(Recover(r, Names(words.begin() + 1, words.end())).exit, 0);
  } else {
    const std::string path = "PATH=" + ShellQuote(QARVEL_BUILD_DIR) + ":\"$PATH\"";
    EXPECT_EQ(RunShell("cd " + ShellQuote(r.work.path) + " && " + path + " && " + command, &out), 0) << out;
  }
  EXPECT_EQ(ListDir(r.work.path), (Names{"out.mat", "out.recovered.mat"}));
  ExpectSets(Reader::SciPy, r.File("out.recovered.mat"), Records(journal), "out.mat");
}

// ------------------------------------------------------------ a full disk

// In a mount namespace of its own (root and util-linux's unshare), a tmpfs with room for the journal but not for
// the result file: qarvel runs to its auto-stop there, then the filler goes and the command on stderr recovers
// the journal. What the test checks is copied out before the namespace ends.
const char kFullDisk[] =
    "set -e; disk=$1 out=$2 build=$3; mkdir \"$disk\"\n"
    "mount -t tmpfs -o size=4m qarvel-test-full \"$disk\"; cd \"$disk\"\n"
    "head -c $((3584 * 1024)) /dev/zero > filler\n"
    "\"$build/qarvel\" out.mat 10:20:1001 -e5 </dev/null 2>\"$out/stderr\"\n"
    "ls -A > \"$out/after-run\"; cp out.mat.journal \"$out/kept.journal\"; rm filler\n"
    "command=$(sed -n 's/.*Recover it with: //p' \"$out/stderr\")\n"
    "PATH=$build:$PATH; eval \"$command\" > \"$out/recovery\"\n"
    "ls -A > \"$out/after-recovery\"; cp out.recovered.mat \"$out/\"\n";

TEST(JournalEndToEnd, FailedSaveKeepsTheJournal) {
  const Rig r;
  const TempDir out("journal-out");
  ProcessOptions o;
  o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private", "sh", "-c", kFullDisk,
            "sh", r.File("disk"), out.path, QARVEL_BUILD_DIR};
  o.env = PortEnv(r.ports);
  o.stderrPath = out / "script-stderr";
  const RunResult run = RunProgram(o, 60000);
  ASSERT_EQ(run.exitCode, 0) << ReadFileBytes(o.stderrPath);
  EXPECT_EQ(Messages(run.output), kStarted + "|Auto-stopped.|Write error.");
  EXPECT_EQ(ReadFileBytes(out / "stderr"), "\r\nThe measurement is kept in the journal out.mat.journal. Recover it "
                                           "with: qarvel-recover out.mat.journal -o out.recovered.mat");
  EXPECT_EQ(ReadFileBytes(out / "after-run"), "filler\nout.mat.journal\n");  // no file, no temporary one
  const long records = Records(ReadFileBytes(out / "kept.journal"));
  EXPECT_GE(records, 4 * kSetsPerSecond);
  EXPECT_PRED2(Like, ReadFileBytes(out / "recovery"),
               "Recovered " + N(records) + " sweep sets (" + N(records) + " records) of a qarvel measurement into "
               "out.recovered.mat (*MB).\n*Removed the journal out.mat.journal.\n");
  EXPECT_EQ(ReadFileBytes(out / "after-recovery"), "out.recovered.mat\n");
  const MatDump d = ExpectSets(Reader::SciPy, out / "out.recovered.mat", records, "out.mat");
  EXPECT_PRED2(Like, Fact(d.out, "SweepData(1).Magnitude"), "double 1001x1 *nan=0");
}

// ------------------------------------------------------------ two runs on one target

// A second run started while the first measures into the same target saves under the next free name, says so on
// stderr at once and prints on its console what it always does; the first saves the target when it ends.
TEST(JournalEndToEnd, SecondRunOnALiveTargetSavesUnderTheNextName) {
  const Rig r;
  const Rig other(EmulatorConfig{}, false);
  PublishPort(r.ports, 2, other.pty);
  ProcessHandle first = r.Start("qarvel", {"t.mat", "10:20:101"});
  ASSERT_TRUE(WaitForOutput(first.get(), "records received.", kLong)) << Output(first.get());
  const TempDir logs("journal-logs");
  ProcessOptions o;
  o.stdinPath = "/dev/null";
  o.stderrPath = logs / "stderr";
  const RunResult second = r.Run("qarvel", {"t.mat", "30:40:51", "-e5"}, o);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(Messages(second.output), kStarted + "|Auto-stopped.|Saved");
  EXPECT_EQ(ReadFileBytes(o.stderrPath), "\r\nAnother run is measuring into t.mat; this run saves to t.2.mat "
                                         "instead, journaled in t.2.mat.journal.");
  EXPECT_EQ(ListDir(r.work.path), (Names{"t.2.mat", "t.mat.journal"}));
  WriteStdin(first.get(), "k");
  EXPECT_EQ(WaitExit(first.get(), kLong), 0);
  EXPECT_EQ(Messages(Output(first.get())), kStarted + "|Saved");
  EXPECT_EQ(ListDir(r.work.path), (Names{"t.2.mat", "t.mat"}));
  for (const auto& [file, points] : {std::make_pair("t.mat", 101), std::make_pair("t.2.mat", 51)}) {
    const MatDump d = ReadMat(Reader::SciPy, r.File(file));
    EXPECT_EQ(Fact(d.out, "Annotations(1).OriginalFilename"), "char 1x" + N(std::strlen(file)) + " " + file) << d.err;
    EXPECT_EQ(Fact(d.out, "SweepInfo(1).SweepVectorLength"), "double 1x1 " + N(points)) << file;
  }
}

// ------------------------------------------------------------ a journal that cannot be removed

// In a mount namespace of its own (root and util-linux's unshare), the journal's folder bound read-only over
// itself: the file is recovered elsewhere (exit 0), but the journal stays, and stderr says so with the reason.
const char kReadOnlyJournal[] =
    "set -e; kept=$1 out=$2 build=$3\n"
    "mount --bind \"$kept\" \"$kept\"; mount -o remount,bind,ro \"$kept\"\n"
    "set +e; \"$build/qarvel-recover\" \"$kept/out.mat.journal\" -o \"$out/out.mat\" >\"$out/stdout\" 2>\"$out/stderr\"\n"
    "echo $? >\"$out/status\"; ls -A \"$kept\" >\"$out/kept\"\n";

TEST(JournalEndToEnd, RemovalThatFailsIsReported) {
  if (geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
  if (RunShell("command -v unshare >/dev/null 2>&1", nullptr) != 0) GTEST_SKIP() << "needs unshare (util-linux)";
  const Rig r;
  const std::string journal = KilledRun(r, 10);
  const TempDir kept("journal-kept"), out("journal-out");
  ASSERT_EQ(rename(r.File("out.mat.journal").c_str(), (kept / "out.mat.journal").c_str()), 0);
  ProcessOptions o;
  o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private", "sh", "-c", kReadOnlyJournal,
            "sh", kept.path, out.path, QARVEL_BUILD_DIR};
  o.stderrPath = out / "script-stderr";
  const RunResult run = RunProgram(o, 60000);
  ASSERT_EQ(run.exitCode, 0) << ReadFileBytes(o.stderrPath);
  EXPECT_EQ(ReadFileBytes(out / "status"), "0\n");
  const long records = Records(journal);
  EXPECT_PRED2(Like, ReadFileBytes(out / "stdout"),
               "Recovered " + N(records) + " sweep sets (" + N(records) + " records) of a qarvel measurement into " +
                   out / "out.mat (*MB).\nMeasured from *.\n");
  EXPECT_EQ(ReadFileBytes(out / "stdout").find("Removed"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(out / "stderr"), "qarvel-recover: the journal " + kept / "out.mat.journal" +
                                               " could not be removed: Read-only file system\n");
  EXPECT_EQ(ReadFileBytes(out / "kept"), "out.mat.journal\n");
  EXPECT_TRUE(ReadFileBytes(kept / "out.mat.journal") == journal);
  ExpectSets(Reader::SciPy, out / "out.mat", records, "out.mat");
}

}  // namespace
