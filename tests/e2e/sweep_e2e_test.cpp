// qarvel and vexa end to end: the programs run as processes against the
// emulated sweep instrument. Single runs are one table; vexa's cycles are
// code. The Wine suite compiles this file too.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/wine.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLong = 30000;

bool Like(const std::string& text, const std::string& pattern) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// The console messages, "|"-separated: every "\r\n"-started line without the
// progress lines ("\r") that overwrite each other; "Saved n.nnnMB." as "Saved".
std::string Messages(const std::string& out) {
  std::string m;
  for (size_t at = out.find("\r\n"); at != std::string::npos;) {
    const size_t next = out.find("\r\n", at + 2);
    std::string line = out.substr(at + 2, next == std::string::npos ? next : next - at - 2);
    line = line.substr(0, line.find('\r'));
    m += (m.empty() ? "" : "|") + (line.compare(0, 6, "Saved ") == 0 ? "Saved" : line);
    at = next;
  }
  return m;
}

// The frames the instrument received, as "type payload" hex, "|"-separated.
std::string Frames(Emulator* emu) {
  std::string s;
  for (const EmulatorFrame& f : EmulatorFrames(emu)) {
    s += (s.empty() ? "" : " | ") + Hex(std::string(1, static_cast<char>(f.type)) +
                                        std::string(f.payload.begin(), f.payload.end()));
  }
  return s;
}

// The last number of a fact ("double 1x1 57": 57), -1 when there is none.
long Last(const std::string& fact) {
  return fact.empty() ? -1 : std::atol(fact.substr(fact.rfind(' ') + 1).c_str());
}

bool WaitForCount(Process* p, const std::string& text, size_t n) {
  for (auto end = Clock::now() + std::chrono::milliseconds(kLong); CountOf(Output(p), text) < n;) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

using Facts = std::vector<std::pair<std::string, std::string>>;
// Discovery (the stop, IDQUERY), the default CONFBASIC (10 Hz, 20 us, phase
// and magnitude, 0 dB) and CONFFREQ of 10:20:101, CONFLED, start, stop.
const std::string kBasic = "40 00 00 | f0 | 10 f4 01 02 03 01 03 ff 03";
const std::string kConfig = kBasic + " | 11 a2 70 3d 0a 65 00 e2 36 1a 00";
const std::string kTwoStops = kConfig + " | 12 01 | 40 01 01 | 40 00 00";

struct Scenario {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  void (*configure)(EmulatorConfig*);
  // After stopAfter is printed and delayMs more, a key (signal 0) or the
  // signal stops the run; with no stopAfter, stdin is /dev/null and no key
  // comes.
  const char* stopAfter;
  int delayMs;
  int signal;
  std::string messages;  // patterns (fnmatch) for Messages(), stderr and Frames()
  std::string errors;
  std::string frames;
  Facts facts;  // of the file, read back by the reader; none: no file is written
  // The file's name, and whether an earlier file of that name is there.
  const char* file = "out.mat";
  bool earlier = false;
  long long fileSizeLimit = 0;
  int exitByte = 0;
  int minSets = 1;
  int lostSets = 0;  // sets the faults may take away
  // The seconds from one message to another.
  const char* from = nullptr;
  const char* to = nullptr;
  double minSeconds = 0, maxSeconds = 0;
};

void Fast(EmulatorConfig* c) { c->speed = 4; }
void Plain(EmulatorConfig*) {}

const Scenario kScenarios[] = {
    // 20 Hz: period word 250 (fa 00); 100 us: settling 11; -a4; -tp: 1; -6 dB:
    // amplitude 512 (00 02). 10 MHz is 171798690, 101 points, step 1717986;
    // 30 MHz 515396070, 51 points, step 3435973. -k keeps RF alive at the stop.
    {"KeyStopsAndEveryCompleteSetIsSaved", "qarvel",
     {"out.mat", "10:20:101", "-r20", "-s100", "-a4", "-tp", "-o-6", "30:40:51", "-k"}, Plain,
     "records received.", 1200, 0, "Connecting...|Initializing...|Started.|Saved", "",
     "40 00 00 | f0 | 10 fa 00 0b 03 04 01 00 02 | 11 a2 70 3d 0a 65 00 e2 36 1a 00 e6 51 b8 1e 33 "
     "00 c5 6d 34 00 | 12 01 | 40 01 01 | 40 00 01",
     {{"SweepInfo(1).SweepVectorLength", "* 1x2 101 51"},
      {"SweepData(1).Phase", "double 101x2 * nan=50"},
      {"SweepData(1).Magnitude", "double 0x0 "},
      {"SweepData(1).MeasurementTime", "double 1x1 NaN"},
      {"Annotations(1).OriginalFilename", "char 1x7 out.mat"}},
     "out.mat", true},
    {"AutoStopWithStdinAtEnd", "qarvel", {"out.mat", "10:20:101", "-e5"}, Plain, nullptr, 0, 0,
     "Connecting...|Initializing...|Started.|Auto-stopped.|Saved", "", kTwoStops,
     {{"SweepData(1).Phase", "double 101x1 *nan=0"}, {"SweepData(1).Magnitude", "double 101x1 *"}},
     "out.mat", false, 0, 0, 40, 0, "Initializing...", "Auto-stopped.", 5.0, 6.5},
    {"AbsentDevice", "qarvel", {"out.mat", "10:20:101"}, nullptr, nullptr, 0, 0,
     "Connecting...|Can't find device.|Init failed.|No data.", "\r\nCOM1 to COM255: no such port",
     "", {}},
    {"ConfBasicRefused", "qarvel", {"out.mat", "10:20:101", "-e5"},
     [](EmulatorConfig* c) { c->refuseType = 0x10; c->refuseStatus = 7; }, nullptr, 0, 0,
     "Connecting...|CONFBASIC error.|Init failed.|Auto-stopped.|No data.", "",
     kBasic + " | 40 00 00", {}, "out.mat", true},
    {"ConfFreqUnanswered", "qarvel", {"out.mat", "10:20:101", "-e5"},
     [](EmulatorConfig* c) { c->refuseType = 0x11; c->refuseSilently = true; }, nullptr, 0, 0,
     "Connecting...|CONFFREQ error.|Init failed.|Auto-stopped.|No data.", "",
     kConfig + " | 40 00 00", {}, "out.mat", true},
    {"ConfLedRefused", "qarvel", {"out.mat", "10:20:101", "-e5"},
     [](EmulatorConfig* c) { c->refuseType = 0x12; c->refuseStatus = 7; }, nullptr, 0, 0,
     "Connecting...|CONFLED error.|Init failed.|Auto-stopped.|No data.", "",
     kConfig + " | 12 01 | 40 00 00", {}, "out.mat", true},
    {"StartRefused", "qarvel", {"out.mat", "10:20:101", "-e5"},
     [](EmulatorConfig* c) { c->refuseType = 0x40; c->refuseStatus = 7; }, nullptr, 0, 0,
     "Connecting...|START error.|Init failed.|Auto-stopped.|No data.", "", kTwoStops, {},
     "out.mat", true},
    {"InitializationError", "qarvel", {"out.mat", "10:20:101"},
     [](EmulatorConfig* c) { c->initError = true; }, nullptr, 0, 0,
     "Connecting...|Initializing...|Initialization error.|No data.", "", kTwoStops, {}},
    // Set 5 has a wrong check byte: counted, left out, the run goes on.
    {"DamagedSetIsCountedAndLeftOut", "qarvel", {"out.mat", "10:20:101"},
     [](EmulatorConfig* c) { c->corruptEvery = 5; }, "Checksum error. (1 error)", 300, 0,
     "Connecting...|Initializing...|Started.|Checksum error. (1 error)|Saved", "", kTwoStops,
     {{"SweepData(4).SampleNumber", "double 1x1 4"}, {"SweepData(5).SampleNumber", "double 1x1 6"}},
     "out.mat", false, 0, 0, 5, 1},
    {"SilentDeviceTimesOutAndKeepsData", "qarvel", {"out.mat", "10:20:101", "25:26:11"},
     [](EmulatorConfig* c) { c->silentAfterSets = 3; }, nullptr, 0, 0,
     "Connecting...|Initializing...|Started.|Data timeout.|Saved", "", "*",
     {{"SweepInfo(1).NumberOfSweeps", "double 1x1 3"},
      {"SweepData(3).Magnitude", "double 101x2 * nan=90"}},
     "out.mat", false, 0, 0, 3, 0, "Started.", "Data timeout.", 3.0, 4.5},
    {"VanishedDeviceTimesOutAndKeepsData", "qarvel", {"out.mat", "10:20:101", "25:26:11"},
     [](EmulatorConfig* c) { c->vanishAfterSets = 3; }, nullptr, 0, 0,
     "Connecting...|Initializing...|Started.|Data timeout.|Saved", "", "*",
     {{"SweepInfo(1).NumberOfSweeps", "double 1x1 3"}}, "out.mat", false, 0, 0, 3, 0, "Started.",
     "Data timeout.", 3.0, 4.5},
    // A key during the configuration takes effect when the run begins.
    {"KeyDuringConfiguration", "qarvel", {"out.mat", "10:20:101", "-e5"}, Plain, "Connecting...", 0,
     0, "Connecting...|Initializing...|No data.", "", kTwoStops, {}},
    {"GlobalAveragingWritesOneElement", "qarvel", {"out.mat", "10:20:101", "30:31:51", "-m"}, Fast,
     "Started.", 1500, 0, "Connecting...|Initializing...|Started.|Saved", "", "*",
     {{"SweepData", "struct 1x1 *"},
      {"SweepData(1).SampleNumber", "double 1x1 0"},
      {"SweepData(1).Phase", "double 101x2 * nan=50"},
      {"SweepInfo", "struct 1x1 *,IsGloballyAveraged,*"}},
     "out.mat", false, 0, 0, 5},
    {"InterruptSaves", "qarvel", {"out.mat", "10:20:101", "-e60"}, Plain, "Started.", 600, SIGINT,
     "Connecting...|Initializing...|Started.|Saved", "", kTwoStops, {{"SweepData", "struct 1x*"}},
     "out.mat", false, 0, 0, 3},
    {"TerminateSaves", "qarvel", {"out.mat", "10:20:101", "-e60"}, Plain, "Started.", 600, SIGTERM,
     "Connecting...|Initializing...|Started.|Saved", "", kTwoStops, {{"SweepData", "struct 1x*"}},
     "out.mat", false, 0, 0, 3},
    // A save that fails halfway (a file-size limit; 5 s of 1001 points of
    // both kinds is some 800 kB) leaves the earlier file and no other.
    {"FailedSaveKeepsTheEarlierFile", "qarvel", {"out.mat", "10:20:1001", "-e5"}, Plain, nullptr,
     0, 0, "Connecting...|Initializing...|Started.|Auto-stopped.|Write error.", "", "*", {},
     "out.mat", true, 65536},
    {"VexaFailedSaveKeepsTheEarlierFile", "vexa", {"out.mat", "10:20:1001", "-e5"}, Plain,
     "Write error.", 0, SIGINT, "Connecting...|Initializing...|Started.|Auto-stopped.|Write error.*",
     "", "*", {}, "1.mat", true, 65536},
    // Rejected command lines: the message (the usage text's first line), the
    // exit byte, and nothing sent to the instrument.
    {"UsageText", "qarvel", {}, Plain, nullptr, 0, 0,
     "Usage: QARVEL filename <sweep_range> <sweep_range> ... <sweep_range>|*", "", "", {}, "out.mat",
     false, 0, 255},
    {"VexaHasNoAveragingOption", "vexa", {"out.mat", "10:20:101", "-m"}, Plain, nullptr, 0, 0,
     "Unknown option.", "", "", {}, "out.mat", false, 0, 254},
    {"NoRange", "qarvel", {"out.mat", "-e5"}, Plain, nullptr, 0, 0,
     "At least one sweep must be specified.", "", "", {}, "out.mat", false, 0, 254},
    {"VexaNameTooLong", "vexa", {std::string(257, 'n'), "10:20:101"}, Plain, nullptr, 0, 0,
     "Filename length limit exceeded.", "", "", {}, "1.mat", false, 0, 255},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
  const Scenario& s = GetParam();
  // Windows has no SIGTERM: under Wine it ends the process at once.
  if (s.signal == SIGTERM && WineTargetSelected()) GTEST_SKIP() << "no SIGTERM on Windows";
  EmulatorConfig config;
  if (s.configure != nullptr) s.configure(&config);
  Rig r(config, s.configure != nullptr);
  ASSERT_NE(r.emu, nullptr);
  const std::string file = r.File(s.file);
  if (s.earlier) WriteFileBytes(file, "earlier");
  const TempDir logs("stderr");
  ProcessOptions o;
  o.fileSizeLimit = s.fileSizeLimit;
  o.stderrPath = logs / "stderr";
  if (s.stopAfter == nullptr) o.stdinPath = "/dev/null";
  ProcessHandle p = r.Start(s.program, s.args, o);
  if (s.from != nullptr) {
    ASSERT_TRUE(WaitForOutput(p.get(), s.from, kLong)) << Output(p.get());
    const auto t0 = Clock::now();
    ASSERT_TRUE(WaitForOutput(p.get(), s.to, kLong)) << Output(p.get());
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(seconds, s.minSeconds);
    EXPECT_LE(seconds, s.maxSeconds);
  }
  if (s.stopAfter != nullptr) {
    ASSERT_TRUE(WaitForOutput(p.get(), s.stopAfter, kLong)) << Output(p.get());
    Sleep(s.delayMs);
    if (s.signal != 0) {
      SignalProcess(p.get(), s.signal);
    } else {
      WriteStdin(p.get(), "k");
    }
  }
  EXPECT_EQ(WaitExit(p.get(), kLong), s.exitByte);
  const std::string out = Output(p.get());
  EXPECT_EQ(out.compare(0, 2, "\r\n"), 0) << out;
  EXPECT_PRED2(Like, Messages(out), s.messages);
  EXPECT_PRED2(Like, ReadFileBytes(logs / "stderr"), s.errors);
  EXPECT_PRED2(Like, Frames(r.emu), s.frames);
  // No temporary file is left, and a failed run leaves an earlier file as it was.
  const bool written = !s.facts.empty();
  EXPECT_EQ(ListDir(r.work.path), (written || s.earlier ? std::vector<std::string>{s.file}
                                                        : std::vector<std::string>{}));
  if (!written) {
    EXPECT_EQ(ReadFileBytes(file), s.earlier ? "earlier" : "");
    return;
  }
  // "Saved" gives the file's size in MB.
  char saved[40];
  std::snprintf(saved, sizeof saved, "\r\nSaved %.3fMB.",
                static_cast<double>(ReadFileBytes(file).size()) / 1048576);
  EXPECT_NE(out.find(saved), std::string::npos) << saved << out;

  const Reader reader = std::strlen(s.name) % 2 ? Reader::Octave : Reader::SciPy;  // both, by row
  const MatDump d = ReadMat(reader, file);
  ASSERT_EQ(d.status, 0) << d.err;
  for (const auto& fact : s.facts) EXPECT_PRED2(Like, Fact(d.out, fact.first), fact.second) << fact.first;
  const long sets = Last(Fact(d.out, "SweepInfo(1).NumberOfSweeps"));
  const long sent = static_cast<long>(EmulatorSetsSent(r.emu));
  EXPECT_GE(sets, s.minSets);
  // Every set sent before the stop is in the file, but one still in flight.
  EXPECT_GE(sets, sent - 1 - s.lostSets);
  EXPECT_LE(sets, sent);
  if (std::find(s.args.begin(), s.args.end(), "-m") != s.args.end()) return;
  EXPECT_PRED2(Like, Fact(d.out, "SweepData"), "struct 1x" + std::to_string(sets) + " *");
  long previous = 0;
  for (long i = 1; i <= sets; ++i) {
    const long sample = Last(Fact(d.out, "SweepData(" + std::to_string(i) + ").SampleNumber"));
    EXPECT_GT(sample, previous) << i;
    previous = sample;
  }
  EXPECT_LE(previous, sets + s.lostSets);
}

INSTANTIATE_TEST_SUITE_P(SweepEndToEnd, Scenarios, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// vexa: cycle 1 stops by itself, a key ends cycle 2 (and the auto-stop),
// an interrupt saves cycle 3 and ends the program; the command-line name is
// checked but never used.
TEST(VexaEndToEnd, CyclesSaveNumberedFiles) {
  EmulatorConfig c;
  c.speed = 2;
  Rig r(c);
  ProcessHandle p = r.Start("vexa", {"never.mat", "10:20:101", "-e5"});
  ASSERT_TRUE(WaitForCount(p.get(), "Started.", 2)) << Output(p.get());
  Sleep(800);
  WriteStdin(p.get(), "k");
  ASSERT_TRUE(WaitForCount(p.get(), "Started.", 3)) << Output(p.get());
  Sleep(500);
  SignalProcess(p.get(), SIGINT);
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(Messages(Output(p.get())),
            "Connecting...|Initializing...|Started.|Auto-stopped.|Saved|"
            "Connecting...|Initializing...|Started.|Saved|"
            "Connecting...|Initializing...|Started.|Saved");
  EXPECT_EQ(ListDir(r.work.path), (std::vector<std::string>{"1.mat", "2.mat", "3.mat"}));
  for (const char* name : {"1.mat", "2.mat", "3.mat"}) {
    const MatDump d = ReadMat(*name == '2' ? Reader::Octave : Reader::SciPy, r.File(name));
    EXPECT_EQ(Fact(d.out, "Annotations(1).OriginalFilename"), std::string("char 1x5 ") + name);
    EXPECT_EQ(Fact(d.out, "SweepInfo"),
              "struct 1x1 NumberOfSubSweeps,SweepVectorLength,RequestedSweepFrequencyStart,"
              "RequestedSweepFrequencyEnd,RealizedSweepFrequencyVector,IsPhasePresent,"
              "IsMagnitudePresent,RequestedSamplingPeriod,RealizedSamplingPeriod,SettlingTime,"
              "Averaging,RelativeOutputPowerdB,NumberOfSweeps");
    EXPECT_GE(Last(Fact(d.out, "SweepInfo(1).NumberOfSweeps")), 1) << name;
  }
}

// Cycles without a device count, a device that answers nothing after three
// sets ends a cycle with data timeout and is then not found; the diagnosis
// is printed once, and again when it changes, and the saved records never
// come back in a later file.
TEST(VexaEndToEnd, FailedCyclesCountAndWriteNothing) {
  EmulatorConfig c;
  c.silentAfterSets = 3;
  Rig r(c, false);
  const TempDir logs("stderr");
  ProcessOptions o;
  o.stderrPath = logs / "stderr";
  ProcessHandle p = r.Start("vexa", {"x.mat", "10:20:101", "-e5"}, o);
  ASSERT_TRUE(WaitForCount(p.get(), "No data.", 2));
  PublishPort(r.ports, 1, r.pty);
  ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong)) << Output(p.get());
  const size_t failed = CountOf(Output(p.get()), "No data.");
  ASSERT_TRUE(WaitForCount(p.get(), "No data.", failed + 2)) << Output(p.get());
  SignalProcess(p.get(), SIGINT);
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  const std::string out = Output(p.get());
  const std::string noDevice = "Connecting...|Can't find device.|Init failed.|Auto-stopped.|No data.|";
  std::string cycles;
  for (size_t i = 0; i < failed; ++i) cycles += noDevice;
  cycles += "Connecting...|Initializing...|Started.|Data timeout.|Auto-stopped.|Saved|" + noDevice +
            noDevice;
  cycles.back() = '*';
  EXPECT_PRED2(Like, Messages(out), cycles);
  const std::string name = std::to_string(failed + 1) + ".mat";
  EXPECT_EQ(ListDir(r.work.path), std::vector<std::string>{name});
  const MatDump d = ReadMat(Reader::SciPy, r.File(name));
  EXPECT_EQ(Fact(d.out, "SweepInfo(1).NumberOfSweeps"), "double 1x1 3") << d.err;
  EXPECT_EQ(Fact(d.out, "Annotations(1).OriginalFilename"), "char 1x5 " + name);
  EXPECT_EQ(ReadFileBytes(logs / "stderr"),
            "\r\nCOM1 to COM255: no such port\r\n" + PortName(r.ports, 1) +
                ": no answer to the identification query\r\nCOM2 to COM255: no such port");
}

}  // namespace
