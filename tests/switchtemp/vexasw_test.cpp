// vexasw run as a process against the switch unit emulator on a pty, which
// is published as COM1 in a private port folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/legacy.h"
#include "tests/support/wine.h"
#include "tests/switchtemp/file_bytes.h"

using namespace legacy;

namespace {

const char kUsage[] =
    "\r\nUsage: VEXASW filename -oPORT\r\n\r\nwhere: \r\n"
    "  filename        MATLAB file for temperatures\r\n"
    "  -oPORT          specifies the measurement port; PORT can be 0 or 1.\r\n\r\n"
    "At least one parameter have to be specified.\r\n\r\n";
const char kInvalidParameter[] = "\r\nInvalid parameter";
const char kUnknownOption[] = "\r\nUnknown option.";
const char kBadPort[] = "\r\nRF switch parameter must be either 0 or 1.";
const char kTooLong[] = "\r\nFilename length limit exceeded.";
const char kNoUnit[] = "\r\nError initializing connection: Detect error.";
const char kSetFailed[] = "\r\nCommunication error while setting output.";
const char kQueryFailed[] = "\r\nCommunication error while reading temperatures.";
const char kNoTempData[] = "\r\nNo answer to temperature query.";
const char kWriteFailed[] = "\r\nError writing Matlab file.";

// The frames the unit received, as "f1 | 50:01 | 60".
std::string FrameList(Emulator* emu) {
  std::string out;
  for (const EmulatorFrame& f : EmulatorFrames(emu)) {
    if (!out.empty()) out += " | ";
    out += PlainHex(std::string(1, static_cast<char>(f.type)));
    if (!f.payload.empty()) out += ":" + PlainHex(std::string(f.payload.begin(), f.payload.end()));
  }
  return out;
}

size_t FrameCount(const std::string& list) {
  if (list.empty()) return 0;
  size_t n = 1;
  for (size_t at = list.find(" | "); at != std::string::npos; at = list.find(" | ", at + 1)) ++n;
  return n;
}

// A private working folder and port folder, and an emulated unit on COM1
// unless the test has none.
class Vexasw : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = MakeTempDir("vexasw");
    ports_ = MakePortDir();
  }
  void TearDown() override {
    EmulatorStop(emu_);
    RemoveTree(ports_.dir);
    RemoveTree(work_);
    RemoveTree(work_ + ".stderr");
  }

  void StartUnit(const EmulatorConfig& config, int com = 1) {
    EmulatorStop(emu_);
    emu_ = EmulatorStart(config, &pty_);
    ASSERT_NE(emu_, nullptr);
    PublishPort(ports_, com, pty_);
  }
  void StartUnit() {
    EmulatorConfig config;
    config.kind = EmuSwitch;
    StartUnit(config);
  }

  RunResult Run(const std::vector<std::string>& args, long long fileSizeLimit = 0) {
    ProcessOptions options;
    options.fileSizeLimit = fileSizeLimit;
    options.argv = ProgramCommand("vexasw");
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = PortEnv(ports_);
    options.cwd = work_;
    options.stderrPath = work_ + ".stderr";  // beside the working folder
    RunResult r = RunProgram(options, 20000);
    errors_ = ReadFileBytes(options.stderrPath);
    return r;
  }

  // Frames the unit received, once expected frames have all arrived.
  std::string Frames(const std::string& expected) {
    EmulatorWaitFrames(emu_, FrameCount(expected), 1000);
    return FrameList(emu_);
  }

  std::string Path(const std::string& name) const { return work_ + "/" + name; }

  std::string work_;
  PortDir ports_;
  Emulator* emu_ = nullptr;
  std::string pty_;
  std::string errors_;  // what the last run printed to stderr
};

// Rejected command lines print their message and never reach the unit.
TEST_F(Vexasw, RejectedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string output;
    int code;
  };
  const std::string name256(256, 'n');
  const Case cases[] = {
      {{}, kUsage, -1},
      {{"out.mat", "-o1", "-o0"}, kUsage, -1},
      {{"-o1", "out.mat"}, kInvalidParameter, -2},
      {{"out.mat", "other.mat"}, kInvalidParameter, -2},
      {{"-x"}, kUnknownOption, -2},
      {{"out.mat", "-p1"}, kUnknownOption, -2},
      {{"-"}, kUnknownOption, -2},
      {{"-o2"}, kBadPort, -1},
      {{"-o-1"}, kBadPort, -1},
      {{"-o0", "-o2"}, kBadPort, -1},
      // Digits beyond the int range must not wrap around to a valid port.
      {{"-o4294967297"}, kBadPort, -1},
      {{"-o99999999999999999999"}, kBadPort, -1},
      {{name256}, kTooLong, -1},
      {{name256, "-o1"}, kTooLong, -1},
      {{"-o" + std::string(254, '1')}, kTooLong, -1},
  };
  StartUnit();
  for (const Case& c : cases) {
    RunResult r = Run(c.args);
    std::string label = c.args.empty() ? "(none)" : c.args[0].substr(0, 20);
    EXPECT_EQ(r.output, c.output) << label;
    EXPECT_EQ(r.exitCode, ExitByte(c.code)) << label;
  }
  EXPECT_EQ(FrameList(emu_), "");
  EXPECT_FALSE(FileExists(Path("out.mat")));
  EXPECT_FALSE(FileExists(Path(name256.substr(0, 255))));
}

// Accepted command lines: what reaches the unit, in which order, and whether
// a file is written. The unit answers raw 253 and 221.
TEST_F(Vexasw, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string frames;  // identification first, the switch before the query
    int switchPort;      // as the unit reports it; -1 untouched
    bool file;
  };
  const std::string name255(255, 'n');
  const Case cases[] = {
      {{"out.mat"}, "f1 | 60", -1, true},
      {{"-o1"}, "f1 | 50:01", 1, false},
      {{"out.mat", "-o0"}, "f1 | 50:00 | 60", 0, true},
      {{"out.mat", "-o1"}, "f1 | 50:01 | 60", 1, true},
      {{"-o0", "-o1"}, "f1 | 50:01", 1, false},
      {{"-O1"}, "f1 | 50:01", 1, false},
      {{"-o"}, "f1 | 50:00", 0, false},
      {{"-ox"}, "f1 | 50:00", 0, false},
      {{"-o01"}, "f1 | 50:01", 1, false},
      {{name255}, "f1 | 60", -1, true},
  };
  for (const Case& c : cases) {
    StartUnit();
    RunResult r = Run(c.args);
    const std::string label = c.args[0].substr(0, 20);
    EXPECT_EQ(r.output, "") << label;
    EXPECT_EQ(r.exitCode, 0) << label;
    EXPECT_EQ(Frames(c.frames), c.frames) << label;
    EXPECT_EQ(EmulatorSwitchPort(emu_), c.switchPort) << label;
    const std::string file = c.args[0][0] == '-' ? "" : Path(c.args[0]);
    EXPECT_EQ(!file.empty() && FileExists(file), c.file) << label;
    if (c.file) {
      EXPECT_EQ(PlainHex(ReadFileBytes(file)), ExpectedFileHex(k25_3Hex, k22_1Hex)) << label;
    }
    RemoveTree(Path("out.mat"));
  }
  EXPECT_FALSE(FileExists(Path("out.mat")));
}

// Raw 0 is stored as the NaN 0x7FFFFFFFFFFFFFFF, raw 253 as 25.3; the file
// is exactly the 82-byte layout and loads as two 1 x 1 doubles.
TEST_F(Vexasw, TemperatureFileLoads) {
  EmulatorConfig config;
  config.kind = EmuSwitch;
  config.internalRaw = 0;
  config.externalRaw = 253;
  StartUnit(config);
  RunResult r = Run({"temps.mat"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string path = Path("temps.mat");
  const std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 82u);
  EXPECT_EQ(PlainHex(bytes), ExpectedFileHex(kNanHex, k25_3Hex));

  const std::string script =
      "import math, sys, scipy.io\n"
      "m = scipy.io.loadmat(sys.argv[1])\n"
      "i, e = m['InternalTemp'], m['ExternalTemp']\n"
      "print(sorted(k for k in m if not k.startswith('__')), i.shape, e.shape, i.dtype, e.dtype,\n"
      "      math.isnan(i[0, 0]), e[0, 0] == 25.3)\n";
  ReaderResult read = RunPythonReader(script, {path});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "['ExternalTemp', 'InternalTemp'] (1, 1) (1, 1) float64 float64 True True\n")
      << read.err;

  if (!HaveOctave()) GTEST_SKIP() << "octave-cli is not installed";
  const std::string octave =
      "s = load(argv(){1}); f = sort(fieldnames(s));\n"
      "printf('%s %s %dx%d %dx%d %s %d %d\\n', f{1}, f{2}, size(s.InternalTemp), "
      "size(s.ExternalTemp), class(s.ExternalTemp), isnan(s.InternalTemp), "
      "s.ExternalTemp == 25.3);\n";
  read = RunOctaveReader(octave, {path});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "ExternalTemp InternalTemp 1x1 1x1 double 1 1\n") << read.err;
}

// What the unit does wrong, and what vexasw then prints, returns and leaves.
TEST_F(Vexasw, UnitFaults) {
  struct Case {
    const char* label;
    void (*configure)(EmulatorConfig*);
    std::vector<std::string> args;
    std::string output;
    int code;
    std::string frames;
    bool file;
  };
  const Case cases[] = {
      {"SETPORT refused", [](EmulatorConfig* c) { c->refuseType = 0x50; c->refuseStatus = 7; },
       {"out.mat", "-o1"}, kSetFailed, 7, "f1 | 50:01", false},
      {"SETPORT refused, negative",
       [](EmulatorConfig* c) { c->refuseType = 0x50; c->refuseStatus = -300; },
       {"-o0"}, kSetFailed, -300, "f1 | 50:00", false},
      {"SETPORT unanswered",
       [](EmulatorConfig* c) { c->refuseType = 0x50; c->refuseSilently = true; },
       {"out.mat", "-o1"}, kSetFailed, -4000, "f1 | 50:01", false},
      {"TEMPQUERY refused", [](EmulatorConfig* c) { c->refuseType = 0x60; c->refuseStatus = 9; },
       {"out.mat", "-o1"}, kQueryFailed, 9, "f1 | 50:01 | 60", false},
      {"no TEMPDATA", [](EmulatorConfig* c) { c->withholdTempData = true; },
       {"out.mat"}, kNoTempData, -4000, "f1 | 60", false},
      {"TEMPDATA with a bad check byte", [](EmulatorConfig* c) { c->corruptEvery = 1; },
       {"out.mat"}, kNoTempData, -4000, "f1 | 60", false},
      {"identification refused", [](EmulatorConfig* c) { c->idStatus = 3; },
       {"out.mat"}, kNoUnit, -1000, "f1", false},
      // Packets before TEMPDATA are skipped: one of a foreign type, and a
      // TEMPDATA of the wrong length.
      {"foreign packet first",
       [](EmulatorConfig* c) { c->insertEvery = 1; c->insertType = 0x7E; },
       {"out.mat"}, "", 0, "f1 | 60", true},
      {"short TEMPDATA first",
       [](EmulatorConfig* c) { c->insertEvery = 1; c->insertType = 0x61; },
       {"out.mat"}, "", 0, "f1 | 60", true},
      {"TEMPDATA late", [](EmulatorConfig* c) { c->tempDataDelayMs = 250; },
       {"out.mat"}, "", 0, "f1 | 60", true},
      {"byte-wise frames", [](EmulatorConfig* c) { c->splitWrites = true; },
       {"out.mat", "-o1"}, "", 0, "f1 | 50:01 | 60", true},
  };
  for (const Case& c : cases) {
    EmulatorConfig config;
    config.kind = EmuSwitch;
    c.configure(&config);
    StartUnit(config);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.output, c.output) << c.label;
    EXPECT_EQ(r.exitCode, ExitByte(c.code)) << c.label;
    EXPECT_EQ(Frames(c.frames), c.frames) << c.label;
    EXPECT_EQ(FileExists(Path("out.mat")), c.file) << c.label;
    if (c.file) {
      EXPECT_EQ(PlainHex(ReadFileBytes(Path("out.mat"))), ExpectedFileHex(k25_3Hex, k22_1Hex))
          << c.label;
    }
    RemoveTree(Path("out.mat"));
  }
}

// No unit found: stdout keeps its one message, and stderr says for each
// port tried why it was not taken, and sums up the ports that do not exist.
TEST_F(Vexasw, NoUnitAndWhy) {
  struct Case {
    const char* label;
    int com;  // where a device is, 0: nowhere
    void (*configure)(EmulatorConfig*);
    bool held;  // by another program
    const char* reason;
    const char* missing;
  };
  const Case cases[] = {
      {"no port", 0, nullptr, false, nullptr, "COM1 to COM255"},
      {"silent", 1, [](EmulatorConfig* c) { c->silentAfterSets = 0; }, false,
       "no answer to the identification query", "COM2 to COM255"},
      {"refusing", 3, [](EmulatorConfig* c) { c->idStatus = 3; }, false,
       "wrong answer to the identification query", "COM1 to COM2, COM4 to COM255"},
      {"held", 2, [](EmulatorConfig*) {}, true, "busy (held by another program)",
       "COM1, COM3 to COM255"},
  };
  for (const Case& c : cases) {
    // Wine does not enforce the exclusive open of a COM port.
    if (c.held && WineTargetSelected()) continue;
    EmulatorConfig config;
    config.kind = EmuSwitch;
    if (c.com != 0) {
      c.configure(&config);
      StartUnit(config, c.com);
    }
    // Held the way the programs hold a port.
    int holder = c.held ? open(pty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (c.held) {
      ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    RunResult r = Run({"out.mat", "-o1"});
    if (holder >= 0) close(holder);
    EXPECT_EQ(r.output, kNoUnit) << c.label;
    EXPECT_EQ(r.exitCode, ExitByte(-1000)) << c.label;
    std::string why = c.reason != nullptr ? "\r\n" + PortName(ports_, c.com) + ": " + c.reason : "";
    EXPECT_EQ(errors_, why + "\r\n" + c.missing + ": no such port") << c.label;
    EXPECT_FALSE(FileExists(Path("out.mat"))) << c.label;
    if (c.com != 0) UnpublishPort(ports_, c.com);
  }
}

// An existing file is replaced, shorter or not; a file that cannot be
// written is reported after the unit was read.
TEST_F(Vexasw, OutputFile) {
  StartUnit();
  ASSERT_TRUE(WriteFileBytes(Path("old.mat"), std::string(4096, 'x')));
  RunResult r = Run({"old.mat"});
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(PlainHex(ReadFileBytes(Path("old.mat"))), ExpectedFileHex(k25_3Hex, k22_1Hex));

  // A save that fails halfway (a file-size limit) leaves the earlier file as
  // it was, and no temporary file.
  ASSERT_TRUE(WriteFileBytes(Path("old.mat"), std::string(4096, 'x')));
  StartUnit();
  r = Run({"old.mat"}, 50);
  EXPECT_EQ(r.output, kWriteFailed);
  EXPECT_EQ(r.exitCode, ExitByte(-2000));
  EXPECT_EQ(ReadFileBytes(Path("old.mat")), std::string(4096, 'x'));
  EXPECT_EQ(ListDir(work_), std::vector<std::string>{"old.mat"});

  // A missing folder, a folder in the file's place, and a device that fails
  // every write.
  for (const std::string& name : {std::string("missing/out.mat"), work_, std::string("/dev/full")}) {
    StartUnit();
    r = Run({name});
    EXPECT_EQ(r.output, kWriteFailed) << name;
    EXPECT_EQ(r.exitCode, ExitByte(-2000)) << name;
    EXPECT_EQ(Frames("f1 | 60"), "f1 | 60") << name;
  }
}

}  // namespace
