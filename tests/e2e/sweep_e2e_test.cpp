// qarvel and vexa end to end: the programs run as processes against the
// emulated sweep instrument on a pty.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/legacy.h"
#include "tests/support/wine.h"

using namespace legacy;

namespace {

using Clock = std::chrono::steady_clock;

// An emulated instrument published as COM<com> in a private port folder,
// and a private working folder for the result files.
struct Rig {
  Emulator* emu = nullptr;
  std::string pty;
  PortDir ports;
  std::string work;
};

Rig StartRig(const EmulatorConfig& config, bool publish = true) {
  Rig r;
  r.ports = MakePortDir();
  r.work = MakeTempDir("work");
  r.emu = EmulatorStart(config, &r.pty);
  EXPECT_NE(r.emu, nullptr);
  if (publish) PublishPort(r.ports, 1, r.pty);
  return r;
}

void StopRig(Rig& r) {
  if (r.emu != nullptr) EmulatorStop(r.emu);
  r.emu = nullptr;
  RemoveTree(r.ports.dir);
  RemoveTree(r.work);
  RemoveTree(r.work + ".stderr");
}

Process* Start(const Rig& r, const std::string& program, const std::vector<std::string>& args,
               long long fileSizeLimit = 0) {
  ProcessOptions o;
  o.fileSizeLimit = fileSizeLimit;
  o.argv = ProgramCommand(program);
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.env = PortEnv(r.ports);
  o.cwd = r.work;
  o.stdinPipe = true;  // one byte written is a key press
  o.stderrPath = r.work + ".stderr";  // beside the working folder
  return StartProcess(o);
}

// What the program printed to stderr.
std::string Errors(const Rig& r) { return ReadFileBytes(r.work + ".stderr"); }

// The console messages: every "\r\n"-started line, without the progress
// lines ("\r"-started) that overwrite each other.
std::vector<std::string> Messages(const std::string& out) {
  std::vector<std::string> lines;
  size_t pos = out.find("\r\n");
  while (pos != std::string::npos) {
    size_t next = out.find("\r\n", pos + 2);
    std::string seg = out.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
    lines.push_back(seg.substr(0, seg.find('\r')));
    pos = next;
  }
  return lines;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += "[" + x + "]";
  return s;
}

// Reads a result file with scipy (an independent reader).
std::map<std::string, std::string> Inspect(const std::string& path) {
  const ReaderResult r =
      RunPythonReader(ReadFileBytes(QARVEL_SOURCE_DIR "/tests/e2e/read_result.py"), {path});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> facts;
  std::istringstream in(r.out);
  std::string key, value;
  while (in >> key) {
    std::getline(in, value);
    facts[key] = value.empty() ? "" : value.substr(1);
  }
  return facts;
}

std::vector<long> Numbers(const std::string& csv) {
  std::vector<long> v;
  std::istringstream in(csv);
  std::string item;
  while (std::getline(in, item, ',')) v.push_back(std::stol(item));
  return v;
}

// Frames of a type received by the emulator, in order.
std::vector<std::vector<uint8_t>> FramesOf(Emulator* emu, uint8_t type) {
  std::vector<std::vector<uint8_t>> v;
  for (const auto& f : EmulatorFrames(emu))
    if (f.type == type) v.push_back(f.payload);
  return v;
}

constexpr int kLong = 30000;

// Waits for the program to end with exit code 0 (every valid command line
// ends so), frees it and returns everything it printed.
std::string Finish(Process* p) {
  EXPECT_EQ(WaitExit(p, kLong), 0);
  std::string out = Output(p);
  FreeProcess(p);
  return out;
}

// Waits until text has appeared n times in the output; false on time-out.
bool WaitForCount(Process* p, const std::string& text, size_t n) {
  for (auto end = Clock::now() + std::chrono::milliseconds(kLong); CountOf(Output(p), text) < n;) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Seconds from the appearance of one text in the output to that of another;
// -1 when either never comes.
double SecondsBetween(Process* p, const char* from, const char* to) {
  if (!WaitForOutput(p, from, kLong)) return -1;
  auto t0 = Clock::now();
  if (!WaitForOutput(p, to, kLong)) return -1;
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

TEST(SweepEndToEnd, KeyStopsRunAndEveryCompleteSetIsSaved) {
  EmulatorConfig c;
  c.speed = 1.0;
  Rig r = StartRig(c);
  // 20 Hz: period word 250; 100 us: settling word 11; -6 dB: amplitude 512.
  Process* p = Start(r, "qarvel",
                     {"out.mat", "10:20:101", "-r20", "-s100", "-a4", "-tp", "-o-6", "30:40:51", "-k"});
  ASSERT_TRUE(WaitForOutput(p, "Started.", kLong));
  ASSERT_TRUE(WaitForOutput(p, "records received.", kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  WriteStdin(p, "x");
  std::string out = Finish(p);

  auto msgs = Messages(out);
  ASSERT_GE(msgs.size(), 4u) << out;
  EXPECT_EQ(out.substr(0, 2), "\r\n");
  EXPECT_EQ(msgs[0], "Connecting...");
  EXPECT_EQ(msgs[1], "Initializing...");
  EXPECT_EQ(msgs[2], "Started.");
  EXPECT_EQ(msgs.back().substr(0, 6), "Saved ") << Join(msgs);
  EXPECT_EQ(msgs.size(), 4u) << Join(msgs);  // a key press: no "Auto-stopped."
  EXPECT_NE(out.find("s since start, "), std::string::npos);

  // What went to the instrument.
  auto basic = FramesOf(r.emu, 0x10);
  ASSERT_EQ(basic.size(), 1u);
  EXPECT_EQ(basic[0], (std::vector<uint8_t>{0xFA, 0x00, 11, 3, 4, 1, 0x00, 0x02}));
  auto freq = FramesOf(r.emu, 0x11);
  ASSERT_EQ(freq.size(), 1u);
  // 10 MHz 171798690, 101 points, step 1717986; 30 MHz 515396070, 51, 3435973.
  EXPECT_EQ(freq[0], (std::vector<uint8_t>{0xA2, 0x70, 0x3D, 0x0A, 101, 0, 0xE2, 0x36, 0x1A, 0x00,
                                           0xE6, 0x51, 0xB8, 0x1E, 51, 0, 0xC5, 0x6D, 0x34, 0x00}));
  auto led = FramesOf(r.emu, 0x12);
  ASSERT_EQ(led.size(), 1u);
  EXPECT_EQ(led[0], std::vector<uint8_t>{1});
  auto start = FramesOf(r.emu, 0x40);
  ASSERT_EQ(start.size(), 3u);  // discovery probe, start, stop
  EXPECT_EQ(start[0], (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(start[1], (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(start[2], (std::vector<uint8_t>{0, 1}));  // -k keeps RF alive

  uint64_t sent = EmulatorSetsSent(r.emu);
  auto facts = Inspect(r.work + "/out.mat");
  long saved = std::stol(facts["NumberOfSweeps"]);
  // Every set sent before the stop is in the file, except at most one still
  // in flight when the stop came.
  EXPECT_GE(saved, static_cast<long>(sent) - 1);
  EXPECT_LE(saved, static_cast<long>(sent));
  auto samples = Numbers(facts["SampleNumbers"]);
  ASSERT_EQ(static_cast<long>(samples.size()), saved);
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(samples[i], static_cast<long>(i) + 1);
  EXPECT_EQ(facts["SweepVectorLength"], "101,51");
  EXPECT_EQ(facts["PhaseShape"], "101x2");
  EXPECT_EQ(facts["MagnitudeShape"], "0x0");
  EXPECT_EQ(facts["FirstTimeIsNaN"], "1");
  StopRig(r);
}

TEST(SweepEndToEnd, AutoStopAfterFiveSeconds) {
  Rig r = StartRig(EmulatorConfig{});
  Process* p = Start(r, "qarvel", {"auto.mat", "10:20:101", "-e5"});
  double seconds = SecondsBetween(p, "Initializing...", "Auto-stopped.");
  EXPECT_GE(seconds, 5.0);
  EXPECT_LE(seconds, 6.5);
  auto msgs = Messages(Finish(p));
  ASSERT_EQ(msgs.size(), 5u) << Join(msgs);
  EXPECT_EQ(msgs[3], "Auto-stopped.");
  EXPECT_EQ(msgs[4].substr(0, 6), "Saved ");
  auto start = FramesOf(r.emu, 0x40);
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start.back(), (std::vector<uint8_t>{0, 0}));
  EXPECT_GE(std::stol(Inspect(r.work + "/auto.mat")["NumberOfSweeps"]), 40);
  StopRig(r);
}

TEST(SweepEndToEnd, AbsentDevice) {
  Rig r = StartRig(EmulatorConfig{}, /*publish=*/false);
  Process* p = Start(r, "qarvel", {"none.mat", "10:20:101"});
  EXPECT_EQ(Finish(p), "\r\nConnecting...\r\nCan't find device.\r\nInit failed.\r\nNo data.");
  EXPECT_EQ(Errors(r), "\r\nCOM1 to COM255: no such port");
  EXPECT_FALSE(FileExists(r.work + "/none.mat"));
  StopRig(r);
}

TEST(SweepEndToEnd, RefusedCommandsEndTheRunWithoutAFile) {
  const struct {
    int type;
    bool silent;
    const char* message;
  } cases[] = {
      {0x10, false, "CONFBASIC error."},
      {0x11, true, "CONFFREQ error."},
      {0x12, false, "CONFLED error."},
      {0x40, false, "START error."},
  };
  for (const auto& c : cases) {
    EmulatorConfig config;
    config.refuseType = c.type;
    config.refuseSilently = c.silent;
    config.refuseStatus = 7;
    Rig r = StartRig(config);
    WriteFileBytes(r.work + "/keep.mat", "precious");
    Process* p = Start(r, "qarvel", {"keep.mat", "10:20:101", "-e5"});
    EXPECT_EQ(Finish(p), std::string("\r\nConnecting...\r\n") + c.message +
                             "\r\nInit failed.\r\nAuto-stopped.\r\nNo data.");
    EXPECT_EQ(ReadFileBytes(r.work + "/keep.mat"), "precious") << c.message;
    // The port was open, so the stop command went out.
    auto start = FramesOf(r.emu, 0x40);
    ASSERT_FALSE(start.empty());
    EXPECT_EQ(start.back(), (std::vector<uint8_t>{0, 0})) << c.message;
    StopRig(r);
  }
}

// A save that fails halfway (here at a file-size limit) destroys nothing:
// an earlier file of the name keeps its bytes, and no temporary file stays.
TEST(SweepEndToEnd, FailedSaveLeavesTheEarlierFileAsItWas) {
  for (const std::string program : {"qarvel", "vexa"}) {
    Rig r = StartRig(EmulatorConfig{});
    const std::string name = program == "vexa" ? "1.mat" : "out.mat";
    WriteFileBytes(r.work + "/" + name, "earlier measurement");
    // 5 s at 10 Hz of 1001 points of both kinds is some 800 kB.
    Process* p = Start(r, program, {"out.mat", "10:20:1001", "-e5"}, 65536);
    ASSERT_TRUE(WaitForOutput(p, "\r\nWrite error.", kLong)) << program << Output(p);
    if (program == "vexa") SignalProcess(p, SIGINT);
    Finish(p);
    EXPECT_EQ(ReadFileBytes(r.work + "/" + name), "earlier measurement") << program;
    EXPECT_EQ(ListDir(r.work), std::vector<std::string>{name}) << program;
    StopRig(r);
  }
}

TEST(SweepEndToEnd, InitializationErrorStopsBeforeStart) {
  EmulatorConfig c;
  c.initError = true;
  Rig r = StartRig(c);
  Process* p = Start(r, "qarvel", {"init.mat", "10:20:101"});
  EXPECT_EQ(Finish(p), "\r\nConnecting...\r\nInitializing...\r\nInitialization error.\r\nNo data.");
  EXPECT_FALSE(FileExists(r.work + "/init.mat"));
  StopRig(r);
}

TEST(SweepEndToEnd, DamagedPacketIsCountedAndLeftOut) {
  EmulatorConfig c;
  c.corruptEvery = 5;
  Rig r = StartRig(c);
  Process* p = Start(r, "qarvel", {"crc.mat", "10:20:101"});
  ASSERT_TRUE(WaitForOutput(p, "Checksum error. (1 error)", kLong));
  WriteStdin(p, "\n");
  std::string out = Finish(p);
  EXPECT_NE(out.find("\r\nChecksum error. (1 error)"), std::string::npos);
  auto samples = Numbers(Inspect(r.work + "/crc.mat")["SampleNumbers"]);
  ASSERT_GE(samples.size(), 4u);
  EXPECT_EQ(samples[3], 4);
  if (samples.size() > 4) {
    EXPECT_EQ(samples[4], 6);  // set 5 was damaged
  }
  StopRig(r);
}

TEST(SweepEndToEnd, SilentOrVanishedDeviceEndsWithDataTimeoutAndKeepsData) {
  for (bool vanish : {false, true}) {
    EmulatorConfig c;
    (vanish ? c.vanishAfterSets : c.silentAfterSets) = 3;
    Rig r = StartRig(c);
    Process* p = Start(r, "qarvel", {"t.mat", "10:20:101", "25:26:11"});
    double seconds = SecondsBetween(p, "Started.", "Data timeout.");
    EXPECT_GE(seconds, 3.0);
    EXPECT_LE(seconds, 4.5);
    auto msgs = Messages(Finish(p));
    ASSERT_EQ(msgs.size(), 5u) << Join(msgs);
    EXPECT_EQ(msgs[3], "Data timeout.");
    EXPECT_EQ(msgs[4].substr(0, 6), "Saved ");
    EXPECT_EQ(Inspect(r.work + "/t.mat")["NumberOfSweeps"], "3") << vanish;
    StopRig(r);
  }
}

TEST(SweepEndToEnd, StopDuringConfigurationTakesEffectInRun) {
  Rig r = StartRig(EmulatorConfig{});
  Process* p = Start(r, "qarvel", {"early.mat", "10:20:101", "-e5"});
  ASSERT_TRUE(WaitForOutput(p, "Connecting...", kLong));
  WriteStdin(p, "k");
  EXPECT_EQ(Finish(p), "\r\nConnecting...\r\nInitializing...\r\nNo data.");
  auto start = FramesOf(r.emu, 0x40);
  ASSERT_EQ(start.size(), 3u);
  EXPECT_EQ(start[1], (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(start[2], (std::vector<uint8_t>{0, 0}));
  StopRig(r);
}

TEST(SweepEndToEnd, GlobalAveragingWritesOneElement) {
  EmulatorConfig c;
  c.speed = 4.0;
  Rig r = StartRig(c);
  Process* p = Start(r, "qarvel", {"avg.mat", "10:20:101", "30:31:51", "-m"});
  ASSERT_TRUE(WaitForOutput(p, "Started.", kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  WriteStdin(p, "q");
  Finish(p);
  auto facts = Inspect(r.work + "/avg.mat");
  EXPECT_EQ(facts["SweepDataShape"], "1x1");
  EXPECT_GE(std::stol(facts["NumberOfSweeps"]), 5);
  EXPECT_EQ(facts["SampleNumbers"], "0");
  EXPECT_EQ(facts["PhaseShape"], "101x2");
  EXPECT_NE(facts["SweepInfoFields"].find("IsGloballyAveraged"), std::string::npos);
  StopRig(r);
}

TEST(SweepEndToEnd, InterruptSavesTheMeasurement) {
  for (int sig : {SIGINT, SIGTERM}) {
    // Windows has no SIGTERM: under Wine it ends the process at once.
    if (sig == SIGTERM && WineTargetSelected()) continue;
    Rig r = StartRig(EmulatorConfig{});
    Process* p = Start(r, "qarvel", {"int.mat", "10:20:101", "-e60"});
    ASSERT_TRUE(WaitForOutput(p, "Started.", kLong));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    SignalProcess(p, sig);
    std::string out = Finish(p);
    auto msgs = Messages(out);
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back().substr(0, 6), "Saved ") << Join(msgs);
    EXPECT_EQ(out.find("Auto-stopped."), std::string::npos);
    EXPECT_GE(std::stol(Inspect(r.work + "/int.mat")["NumberOfSweeps"]), 3);
    StopRig(r);
  }
}

TEST(VexaEndToEnd, CyclesSaveNumberedFilesAndInterruptEnds) {
  EmulatorConfig c;
  c.speed = 2.0;
  Rig r = StartRig(c);
  Process* p = Start(r, "vexa", {"never.mat", "10:20:101", "-e5"});
  ASSERT_TRUE(WaitForOutput(p, "Auto-stopped.", kLong));  // cycle 1 stops by itself
  ASSERT_TRUE(WaitForOutput(p, "Saved ", kLong));
  // Cycle 2: wait for it to start, then stop it with a key.
  for (int i = 0; i < 400 && Messages(Output(p)).size() < 8; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  WriteStdin(p, "k");
  // Cycle 3 runs without auto-stop until the interrupt, which saves it and
  // ends the program.
  for (int i = 0; i < 400; ++i) {
    std::string out = Output(p);
    size_t second = out.find("Saved ", out.find("Saved ") + 1);
    if (second != std::string::npos && out.find("Started.", second) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SignalProcess(p, SIGINT);
  auto msgs = Messages(Finish(p));
  const std::vector<std::string> cycle1 = {"Connecting...", "Initializing...", "Started.",
                                           "Auto-stopped."};
  ASSERT_GE(msgs.size(), 12u) << Join(msgs);
  EXPECT_EQ(std::vector<std::string>(msgs.begin(), msgs.begin() + 4), cycle1);
  EXPECT_EQ(msgs[5], "Connecting...");
  EXPECT_EQ(msgs[8].substr(0, 6), "Saved ") << Join(msgs);  // no "Auto-stopped." after a key
  EXPECT_EQ(msgs.back().substr(0, 6), "Saved ") << Join(msgs);
  EXPECT_FALSE(FileExists(r.work + "/never.mat"));
  for (const char* name : {"1.mat", "2.mat", "3.mat"}) {
    auto facts = Inspect(r.work + "/" + name);
    EXPECT_EQ(facts["OriginalFilename"], name);
    EXPECT_EQ(facts["SweepInfoFields"],
              "NumberOfSubSweeps,SweepVectorLength,RequestedSweepFrequencyStart,"
              "RequestedSweepFrequencyEnd,RealizedSweepFrequencyVector,IsPhasePresent,"
              "IsMagnitudePresent,RequestedSamplingPeriod,RealizedSamplingPeriod,SettlingTime,"
              "Averaging,RelativeOutputPowerdB,NumberOfSweeps");
    EXPECT_GE(std::stol(facts["NumberOfSweeps"]), 1) << name;
  }
  EXPECT_FALSE(FileExists(r.work + "/4.mat"));
  StopRig(r);
}

TEST(VexaEndToEnd, FailedCyclesStillAdvanceTheCounter) {
  Rig r = StartRig(EmulatorConfig{}, /*publish=*/false);
  Process* p = Start(r, "vexa", {"x.mat", "10:20:101", "-e5"});
  // Two cycles without a device, then the device appears.
  ASSERT_TRUE(WaitForCount(p, "No data.", 2));
  PublishPort(r.ports, 1, r.pty);
  ASSERT_TRUE(WaitForOutput(p, "Saved ", kLong));
  SignalProcess(p, SIGINT);
  std::string out = Finish(p);
  const size_t failed = CountOf(out.substr(0, out.find("Saved ")), "No data.");
  ASSERT_GE(failed, 2u);
  EXPECT_NE(out.find("\r\nConnecting...\r\nCan't find device.\r\nInit failed.\r\nAuto-stopped.\r\nNo data."),
            std::string::npos);
  std::string expected = std::to_string(failed + 1) + ".mat";
  EXPECT_TRUE(FileExists(r.work + "/" + expected)) << out;
  for (size_t i = 1; i <= failed; ++i) EXPECT_FALSE(FileExists(r.work + "/" + std::to_string(i) + ".mat"));
  StopRig(r);
}

TEST(VexaEndToEnd, FailedCycleAfterASavedOneWritesNothing) {
  Rig r = StartRig(EmulatorConfig{});
  Process* p = Start(r, "vexa", {"x.mat", "10:20:101", "-e5"});
  // The device goes away as soon as cycle 1 has stopped it.
  ASSERT_TRUE(WaitForOutput(p, "Auto-stopped.", kLong));
  UnpublishPort(r.ports, 1);
  ASSERT_TRUE(WaitForOutput(p, "Can't find device.", kLong));
  ASSERT_TRUE(WaitForOutput(p, "No data.", kLong));
  SignalProcess(p, SIGINT);
  std::string out = Finish(p);
  EXPECT_TRUE(FileExists(r.work + "/1.mat"));
  // Cycle 1's records were saved once; they must not come back as cycle 2.
  EXPECT_FALSE(FileExists(r.work + "/2.mat")) << out;
  StopRig(r);
}

// vexa searches again every cycle, but says why it found nothing only once,
// and again when that changes.
TEST(VexaEndToEnd, DiagnosisIsPrintedOnceAndAgainWhenItChanges) {
  EmulatorConfig c;
  c.silentAfterSets = 0;
  Rig r = StartRig(c, /*publish=*/false);
  Process* p = Start(r, "vexa", {"x.mat", "10:20:101", "-e5"});
  // Cycles without any port, then cycles with a device that never answers.
  ASSERT_TRUE(WaitForCount(p, "Can't find device.", 2));
  PublishPort(r.ports, 1, r.pty);
  ASSERT_TRUE(WaitForCount(p, "Can't find device.", CountOf(Output(p), "Can't find device.") + 3));
  SignalProcess(p, SIGINT);
  Finish(p);
  EXPECT_EQ(Errors(r), "\r\nCOM1 to COM255: no such port\r\n" + PortName(r.ports, 1) +
                           ": no answer to the identification query\r\nCOM2 to COM255: no such port");
  StopRig(r);
}
