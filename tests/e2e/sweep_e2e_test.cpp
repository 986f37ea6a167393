// qarvel and vexa against the emulated instrument: single runs one table, vexa's cycles code (and Wine's too).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "tests/e2e/e2e.h"
#include "tests/support/wine.h"

namespace {

long Last(const std::string& fact) { return std::atol(fact.substr(fact.rfind(' ') + 1).c_str()); }

// Discovery (a stop, IDQUERY), the default CONFBASIC (10 Hz, 20 us, phase and magnitude, 0 dB), CONFFREQ of
// 10:20:101, CONFLED, start and stop.
const std::string kBasic = "40 00 00 | f0 | 10 f4 01 02 03 01 03 ff 03";
const std::string kConfig = kBasic + " | 11 a2 70 3d 0a 65 00 e2 36 1a 00";
const std::string kRun = kConfig + " | 12 01 | 40 01 01 | 40 00 00";
const std::string kStarted = "Connecting...|Initializing...|Started.", kSaved = kStarted + "|Saved";
const std::string kRefused = "Init failed.|Auto-stopped.|No data.", kTimedOut = kStarted + "|Data timeout.|Saved";
const std::vector<std::string> kE5 = {"out.mat", "10:20:101", "-e5"}, kTwo = {"out.mat", "10:20:101", "25:26:11"};

struct Scenario {
  const char *name, *program;
  std::vector<std::string> args;
  void (*configure)(EmulatorConfig*);  // null: no instrument is published
  // delayMs after stopAfter, the signal or (signal 0) a key stops the run; without a key stdin is /dev/null. A
  // run that has seconds ends that long (to 1.5 s more) after stopAfter.
  const char* stopAfter;
  int delayMs, signal;
  std::string messages, frames;  // patterns (Like) of Messages() and Frames()
  std::vector<std::pair<std::string, std::string>> facts;  // of out.mat (vexa: 1.mat); none: no file
  bool earlier = false;  // the file is there before the run
  int exitByte = 0, minSets = 1, lostSets = 0;  // lostSets: sets the faults may take away
  double seconds = 0;
};

void Plain(EmulatorConfig*) {}
using C = EmulatorConfig;

const Scenario kScenarios[] = {
    // 20 Hz: period word 250; 100 us: settling 11; -a4; -tp: 1; -6 dB: amplitude 512. 10 MHz is 171798690, 101
    // points, step 1717986; 30 MHz 515396070, 51 points, step 3435973. -k keeps RF alive at the stop.
    {"KeyStopsAndEveryCompleteSetIsSaved", "qarvel",
     {"out.mat", "10:20:101", "-r20", "-s100", "-a4", "-tp", "-o-6", "30:40:51", "-k"}, Plain, "records received.",
     1200, 0, kSaved,
     "40 00 00 | f0 | 10 fa 00 0b 03 04 01 00 02 | 11 a2 70 3d 0a 65 00 e2 36 1a 00 e6 51 b8 1e 33 00 c5 6d 34 00"
     " | 12 01 | 40 01 01 | 40 00 01",
     {{"SweepInfo(1).SweepVectorLength", "* 1x2 101 51"}, {"SweepData(1).Phase", "double 101x2 * nan=50"},
      {"SweepData(1).Magnitude", "double 0x0 "}, {"SweepData(1).MeasurementTime", "double 1x1 NaN"},
      {"Annotations(1).OriginalFilename", "char 1x7 out.mat"}}, true},
    {"AutoStopWithStdinAtEnd", "qarvel", kE5, Plain, "Initializing...", 0, -1, kStarted + "|Auto-stopped.|Saved", kRun,
     {{"SweepData(1).Phase", "double 101x1 *nan=0"}, {"SweepData(1).Magnitude", "double 101x1 *nan=0"}}, false, 0, 40,
     0, 5},
    {"AbsentDevice", "qarvel", kE5, nullptr, nullptr, 0, 0, "Connecting...|Can't find device.|" + kRefused, "", {}},
    // A refused or unanswered command ends the run; an earlier file stays.
    {"ConfBasicRefused", "qarvel", kE5, Refuse<0x10, 7>, nullptr, 0, 0, "Connecting...|CONFBASIC error.|" + kRefused,
     kBasic + " | 40 00 00", {}, true},
    {"ConfFreqUnanswered", "qarvel", kE5, Refuse<0x11, 0, true>, nullptr, 0, 0,
     "Connecting...|CONFFREQ error.|" + kRefused, kConfig + " | 40 00 00", {}, true},
    {"ConfLedRefused", "qarvel", kE5, Refuse<0x12, 7>, nullptr, 0, 0, "Connecting...|CONFLED error.|" + kRefused,
     kConfig + " | 12 01 | 40 00 00", {}, true},
    {"StartRefused", "qarvel", kE5, Refuse<0x40, 7>, nullptr, 0, 0, "Connecting...|START error.|" + kRefused, kRun, {},
     true},
    {"InitializationError", "qarvel", kE5, [](C* c) { c->initError = true; }, nullptr, 0, 0,
     "Connecting...|Initializing...|Initialization error.|Auto-stopped.|No data.", kRun, {}},
    // Set 5 has a wrong check byte: counted, left out, and the run goes on.
    {"DamagedSetIsLeftOut", "qarvel", kE5, [](C* c) { c->corruptEvery = 5; }, "Checksum error. (1 error)", 300, 0,
     kStarted + "|Checksum error. (1 error)|Saved", kRun,
     {{"SweepData(4).SampleNumber", "double 1x1 4"}, {"SweepData(5).SampleNumber", "double 1x1 6"}}, false, 0, 5, 1},
    {"SilentDeviceTimesOut", "qarvel", kTwo, [](C* c) { c->silentAfterSets = 3; }, "Started.", 0, -1, kTimedOut, "*",
     {{"SweepInfo(1).NumberOfSweeps", "double 1x1 3"}, {"SweepData(3).Magnitude", "double 101x2 * nan=90"}}, false, 0,
     3, 0, 3},
    {"VanishedDeviceTimesOut", "qarvel", kTwo, [](C* c) { c->vanishAfterSets = 3; }, "Started.", 0, -1, kTimedOut, "*",
     {{"SweepInfo(1).NumberOfSweeps", "double 1x1 3"}}, false, 0, 3, 0, 3},
    // A key during the configuration takes effect when the run begins.
    {"KeyDuringConfiguration", "qarvel", kE5, Plain, "Connecting...", 0, 0, "Connecting...|Initializing...|No data.",
     kRun, {}},
    {"GlobalAveraging", "qarvel", {"out.mat", "10:20:101", "30:31:51", "-m"}, [](C* c) { c->speed = 4; }, "Started.",
     1500, 0, kSaved, "*",
     {{"SweepData", "struct 1x1 *"}, {"SweepData(1).SampleNumber", "double 1x1 0"},
      {"SweepData(1).Phase", "double 101x2 * nan=50"}, {"SweepInfo", "struct 1x1 *,IsGloballyAveraged,*"}}},
    {"InterruptSaves", "qarvel", kE5, Plain, "Started.", 600, SIGINT, kSaved, kRun, {{"SweepData", "struct 1x*"}}},
    {"TerminateSaves", "qarvel", kE5, Plain, "Started.", 600, SIGTERM, kSaved, kRun, {{"SweepData", "struct 1x*"}}},
    // A save that fails halfway (a file-size limit; 5 s of 1001 points of both kinds is some 800 kB) leaves the
    // earlier file and no other.
    {"FailedSaveKeepsTheEarlierFile", "qarvel", {"out.mat", "10:20:1001", "-e5"}, Plain, nullptr, 0, 0,
     kStarted + "|Auto-stopped.|Write error.", "*", {}, true},
    {"VexaFailedSaveKeepsTheEarlierFile", "vexa", {"out.mat", "10:20:1001", "-e5"}, Plain, "Write error.", 0, SIGINT,
     kStarted + "|Auto-stopped.|Write error.*", "*", {}, true},
    // Rejected command lines reach no instrument.
    {"UsageText", "qarvel", {}, Plain, nullptr, 0, 0,
     "Usage: QARVEL filename <sweep_range> <sweep_range> ... <sweep_range>|*", "", {}, false, 255},
    {"VexaHasNoAveraging", "vexa", {"out.mat", "10:20:101", "-m"}, Plain, nullptr, 0, 0, "Unknown option.", "", {},
     false, 254},
    {"NoRange", "qarvel", {"out.mat", "-e5"}, Plain, nullptr, 0, 0, "At least one sweep must be specified.", "", {},
     false, 254},
    {"VexaNameTooLong", "vexa", {std::string(257, 'n'), "10:20:101"}, Plain, nullptr, 0, 0,
     "Filename length limit exceeded.", "", {}, false, 255},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }  // names the ctest cases

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
  const Scenario& s = GetParam();
  // Windows has no SIGTERM (Wine ends the process at once): the Wine suite leaves the row out, as not skipped.
  if (s.signal == SIGTERM && WineTargetSelected()) return;
  EmulatorConfig config;
  if (s.configure != nullptr) s.configure(&config);
  Rig r(config, s.configure != nullptr);
  const std::string name = *s.program == 'v' ? "1.mat" : "out.mat", file = r.File(name);
  if (s.earlier) WriteFileBytes(file, "earlier");
  ProcessOptions o;
  o.fileSizeLimit = s.messages.find("Write error.") != std::string::npos ? 65536 : 0;  // a save to fail
  const bool key = s.stopAfter != nullptr && s.signal == 0;
  o.stdinPath = key ? "" : "/dev/null";
  ProcessHandle p = r.Start(s.program, s.args, o);
  const bool progress = s.stopAfter != nullptr && std::string(s.stopAfter) == "records received.";  // shown at once
  ASSERT_TRUE(!progress || (WaitForOutput(p.get(), "Started.", kLong) && WaitForOutput(p.get(), s.stopAfter, 3000)));
  ASSERT_TRUE(s.stopAfter == nullptr || WaitForOutput(p.get(), s.stopAfter, kLong)) << Output(p.get());
  const auto t0 = std::chrono::steady_clock::now();
  Sleep(s.delayMs);
  key ? void(WriteStdin(p.get(), "k")) : s.signal > 0 ? SignalProcess(p.get(), s.signal) : void();
  EXPECT_EQ(WaitExit(p.get(), kLong), s.exitByte);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(s.seconds == 0 || (seconds >= s.seconds && seconds <= s.seconds + 1.5)) << seconds;
  const std::string out = Output(p.get());
  EXPECT_EQ(out.compare(0, 2, "\r\n"), 0) << out;
  EXPECT_PRED2(Like, Messages(out), s.messages);
  EXPECT_PRED2(Like, Frames(r.emu), s.frames);
  // No temporary file is left, and a failed run leaves an earlier file as it was; a failed save keeps the journal.
  const bool written = !s.facts.empty();
  std::vector<std::string> left = written || s.earlier ? std::vector<std::string>{name} : std::vector<std::string>{};
  if (s.messages.find("Write error.") != std::string::npos) left.push_back(name + ".journal");
  EXPECT_EQ(ListDir(r.work.path), left);
  EXPECT_EQ(ReadFileBytes(file).substr(0, 7), written ? "MATLAB " : s.earlier ? "earlier" : "");
  if (!written) return;
  char saved[40];  // "Saved" gives the file's size in MB
  std::snprintf(saved, sizeof saved, "\r\nSaved %.3fMB.", static_cast<double>(ReadFileBytes(file).size()) / 1048576);
  EXPECT_NE(out.find(saved), std::string::npos) << saved << out;

  const MatDump d = ReadMat(std::string(s.name).size() % 2 ? Reader::Octave : Reader::SciPy, file);  // both, by row
  ASSERT_EQ(d.status, 0) << d.err;
  for (const auto& fact : s.facts) EXPECT_PRED2(Like, Fact(d.out, fact.first), fact.second) << fact.first;
  // Every set sent before the stop is in the file, but one still in flight.
  const long sets = Last(Fact(d.out, "SweepInfo(1).NumberOfSweeps")), sent = EmulatorSetsSent(r.emu);
  EXPECT_GE(sets, std::max<long>(s.minSets, sent - 1 - s.lostSets));
  EXPECT_LE(sets, sent);
  if (s.args.back() == "-m") return;
  EXPECT_PRED2(Like, Fact(d.out, "SweepData"), "struct 1x" + std::to_string(sets) + " *");
  long previous = 0;  // SampleNumbers rise, by one but where a set was lost
  for (long i = 1; i <= sets; ++i) {
    const long sample = Last(Fact(d.out, "SweepData(" + std::to_string(i) + ").SampleNumber"));
    EXPECT_GT(sample, previous) << i;
    previous = sample;
  }
  EXPECT_LE(previous, sets + s.lostSets);
}

INSTANTIATE_TEST_SUITE_P(SweepEndToEnd, Scenarios, ::testing::ValuesIn(kScenarios));

// Cycles without a device count; a device that falls silent after three sets times out and is not found again.
// The diagnosis is printed once, and again when it changes; the saved records never come back in a later file.
TEST(VexaEndToEnd, FailedCyclesCountAndWriteNothing) {
  EmulatorConfig c;
  c.silentAfterSets = 3;
  Rig r(c, false);
  ProcessOptions o;
  o.stderrPath = r.ports.dir() + "/stderr";  // beside the COM links
  ProcessHandle p = r.Start("vexa", {"x.mat", "10:20:101", "-e5"}, o);
  ASSERT_TRUE(WaitForCount(p.get(), "No data.", 2));
  PublishPort(r.ports, 1, r.pty);
  ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
  const size_t failed = CountOf(Output(p.get()), "No data.");
  ASSERT_TRUE(WaitForCount(p.get(), "No data.", failed + 2)) << Output(p.get());
  SignalProcess(p.get(), SIGINT);
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  const std::string none = "Connecting...|Can't find device.|" + kRefused + "|";
  std::string cycles = none + "*" + kStarted + "|Data timeout.|Auto-stopped.|Saved|" + none + none;
  cycles.back() = '*';  // and whatever the interrupt met
  EXPECT_PRED2(Like, Messages(Output(p.get())), cycles);
  const std::string name = std::to_string(failed + 1) + ".mat";
  EXPECT_EQ(ListDir(r.work.path), std::vector<std::string>{name});
  const MatDump d = ReadMat(Reader::SciPy, r.File(name));
  EXPECT_EQ(Fact(d.out, "SweepInfo(1).NumberOfSweeps"), "double 1x1 3") << d.err;
  EXPECT_EQ(Fact(d.out, "Annotations(1).OriginalFilename"), "char 1x5 " + name);
  EXPECT_PRED2(Like, Fact(d.out, "SweepInfo"), "struct 1x1 *,Averaging,RelativeOutputPowerdB,NumberOfSweeps");
  EXPECT_EQ(ReadFileBytes(o.stderrPath), "\r\nCOM1 to COM255: no such port\r\n" + PortName(r.ports, 1) +
                                             ": no answer to the identification query\r\nCOM2 to COM255: no such port");
}

}  // namespace
