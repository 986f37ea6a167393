// The Windows build under Wine against the emulators: the Win32 serial port
// on a pty, the console output bytes, the stop key from a pipe, Ctrl+C, the
// files, and the full COM port scan of a prefix with no device.
#include <gtest/gtest.h>

#include <signal.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "emulator/emulator.h"
#include "tests/support/harness.h"
#include "tests/support/wine.h"

namespace {

class WineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = MakeTempDir("wine-work");
    ports_ = MakePortDir();
  }

  void TearDown() override {
    if (device_ != nullptr) EmulatorStop(device_);
    RemoveTree(work_);
    RemoveTree(ports_.dir);
  }

  void StartDevice(const EmulatorConfig& config, int com) {
    std::string pty;
    device_ = EmulatorStart(config, &pty);
    ASSERT_NE(device_, nullptr);
    PublishPort(ports_, com, pty);
  }

  ProcessOptions Program(const std::string& name, const std::vector<std::string>& args) {
    ProcessOptions options;
    EXPECT_TRUE(WineProgramCommand(name, &options.argv));
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = PortEnv(ports_);
    options.cwd = work_;
    return options;
  }

  std::string Path(const std::string& file) const { return work_ + "/" + file; }

  std::string work_;
  PortDir ports_;
  Emulator* device_ = nullptr;
};

// The messages appear in this order, each as "\r\n" + text, and the bytes
// carry no "\r\r\n" (stdout in binary mode).
void ExpectMessagesInOrder(const std::string& output, const std::vector<std::string>& messages) {
  size_t at = 0;
  for (const auto& m : messages) {
    size_t found = output.find("\r\n" + m, at);
    ASSERT_NE(found, std::string::npos) << "missing \"" << m << "\" in: " << output;
    at = found + m.size();
  }
  EXPECT_EQ(output.find("\r\r\n"), std::string::npos) << output;
}

std::string Double(double v) {
  std::string bytes(8, '\0');
  std::memcpy(&bytes[0], &v, 8);
  return bytes;
}

// One variable of the vexasw temperature file: 20-byte header, name, value.
std::string Level4Scalar(const char* name, const std::string& value) {
  const int32_t header[5] = {0, 1, 1, 0, 13};
  std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
  bytes.append(name, 13);
  return bytes + value;
}

// "key value" lines of the result-file reader (scipy.io.loadmat).
std::string InspectResult(const std::string& file) {
  const ReaderResult r =
      RunPythonReader(ReadFileBytes(QARVEL_SOURCE_DIR "/tests/e2e/read_result.py"), {file});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

int NumberOfSweeps(const std::string& file) {
  std::string facts = InspectResult(file);
  size_t at = facts.find("NumberOfSweeps ");
  return at == std::string::npos ? -1 : std::atoi(facts.c_str() + at + std::strlen("NumberOfSweeps "));
}

TEST(WineHarness, ProgramCommandRunsTheWindowsBuild) {
  std::vector<std::string> wine;
  ASSERT_TRUE(WineProgramCommand("vexasw", &wine));
  EXPECT_EQ(ProgramCommand("vexasw"), wine);
  EXPECT_EQ(ProgramCommand("instrument-emulator"),
            std::vector<std::string>{std::string(QARVEL_BUILD_DIR) + "/instrument-emulator"});
}

struct SwitchCase {
  std::vector<std::string> args;
  int port;         // switch port afterwards, -1 untouched
  bool writesFile;  // t.mat written
};

TEST_F(WineRun, VexaswSetsTheSwitchAndReadsTemperatures) {
  const SwitchCase cases[] = {
      {{"t.mat"}, -1, true},
      {{"-o1"}, 1, false},
      {{"t.mat", "-O0"}, 0, true},
  };
  EmulatorConfig config;
  config.kind = EmuSwitch;
  config.internalRaw = 0;
  config.externalRaw = 253;
  StartDevice(config, 3);  // COM1 and COM2 map to nothing
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    unlink(Path("t.mat").c_str());
    RunResult r = RunProgram(Program("vexasw", c.args));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(EmulatorSwitchPort(device_), c.port);
    ASSERT_EQ(FileExists(Path("t.mat")), c.writesFile);
    if (c.writesFile) {
      uint64_t nanBits = 0x7FFFFFFFFFFFFFFFull;
      std::string nan(reinterpret_cast<const char*>(&nanBits), 8);
      EXPECT_EQ(ReadFileBytes(Path("t.mat")),
                Level4Scalar("InternalTemp", nan) + Level4Scalar("ExternalTemp", Double(253 * 0.1)));
    }
  }
}

// The registry mapping straight to the pty (no port folder), as a user would
// map a serial device in a prefix of their own.
TEST_F(WineRun, VexaswFindsAPortMappedInTheRegistry) {
  EmulatorConfig config;
  config.kind = EmuSwitch;
  std::string pty;
  device_ = EmulatorStart(config, &pty);
  ASSERT_NE(device_, nullptr);
  ASSERT_EQ(WineMapPorts({{9, pty}}), 0);
  RunResult r = RunProgram(Program("vexasw", {"-o1"}));
  WineUsePortDir(ports_.dir);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(EmulatorSwitchPort(device_), 1);
}

TEST_F(WineRun, VexaswWithoutUnitScansEveryPortAndFails) {
  auto start = std::chrono::steady_clock::now();
  RunResult r = RunProgram(Program("vexasw", {"t.mat"}));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.output, "\r\nError initializing connection: Detect error.");
  EXPECT_EQ(r.exitCode, ExitByte(-1000));
  EXPECT_FALSE(FileExists(Path("t.mat")));
  EXPECT_LT(seconds, 15.0) << "ports that map to nothing must fail at once";
}

TEST_F(WineRun, QarvelWithoutDeviceSavesNothing) {
  RunResult r = RunProgram(Program("qarvel", {"out.mat", "10:20:101"}));
  ExpectMessagesInOrder(r.output, {"Connecting...", "Can't find device.", "Init failed.", "No data."});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(FileExists(Path("out.mat")));
}

TEST_F(WineRun, QarvelAutoStopsAndSavesWithStdinAtEndOfFile) {
  StartDevice(EmulatorConfig(), 2);
  RunResult r = RunProgram(Program("qarvel", {"out.mat", "10:20:101", "25:26:51", "-e5"}));
  ExpectMessagesInOrder(r.output, {"Connecting...", "Initializing...", "Started.", "Auto-stopped.", "Saved "});
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_TRUE(FileExists(Path("out.mat")));
  EXPECT_GT(NumberOfSweeps(Path("out.mat")), 0);
}

// A run stopped from outside: by one byte on a piped stdin, or by Ctrl+C
// (SIGINT, which Wine hands to the console control handler). The measurement
// is saved either way and the instrument told to stop.
TEST_F(WineRun, QarvelStopsOnKeyFromPipeOrCtrlC) {
  StartDevice(EmulatorConfig(), 1);
  for (bool ctrlC : {false, true}) {
    SCOPED_TRACE(ctrlC ? "Ctrl+C" : "key");
    unlink(Path("out.mat").c_str());
    ProcessOptions options = Program("qarvel", {"out.mat", "10:20:101"});
    options.stdinPipe = true;
    Process* p = StartProcess(options);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(WaitForOutput(p, "received.", 20000)) << Output(p);
    if (ctrlC) {
      SignalProcess(p, SIGINT);
    } else {
      WriteStdin(p, "x");
    }
    int code = WaitExit(p, 20000);
    std::string output = Output(p);
    FreeProcess(p);
    EXPECT_EQ(code, 0);
    ExpectMessagesInOrder(output, {"Started.", "Saved "});
    EXPECT_EQ(output.find("Auto-stopped."), std::string::npos);
    EXPECT_FALSE(EmulatorStreaming(device_));
    EXPECT_GT(NumberOfSweeps(Path("out.mat")), 0);
  }
}

TEST_F(WineRun, VexaSavesNumberedCyclesUntilCtrlC) {
  StartDevice(EmulatorConfig(), 4);
  Process* p = StartProcess(Program("vexa", {"ignored.mat", "10:20:101", "-e5"}));
  ASSERT_NE(p, nullptr);
  // Ctrl+C once the second cycle has started: that cycle is saved as 2.mat.
  bool secondCycle = WaitForOutput(p, "Saved ", 30000);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (secondCycle && CountOf(Output(p), "Started.") < 2) {
    secondCycle = std::chrono::steady_clock::now() < deadline;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string first = Output(p);
  SignalProcess(p, SIGINT);
  int code = WaitExit(p, 20000);
  std::string output = Output(p);
  FreeProcess(p);
  ASSERT_TRUE(secondCycle) << first;
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(FileExists(Path("1.mat")));
  EXPECT_TRUE(FileExists(Path("2.mat"))) << output;
  EXPECT_FALSE(FileExists(Path("3.mat")));
  EXPECT_FALSE(FileExists(Path("ignored.mat")));
  EXPECT_GT(NumberOfSweeps(Path("1.mat")), 0);
}

}  // namespace
