// Without COMPORT_DIR the programs number the machine's own serial ports.
// Each run here happens in a private mount namespace whose /dev holds only
// null, the ptys and an emulated unit published as /dev/ttyUSB77, so that
// nothing can reach a real port of this machine, whatever goes wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/legacy.h"

using namespace legacy;

namespace {

// Mounts the stand-in /dev over the real one, then runs the program with
// COMPORT_DIR unset. Any failure ends the script before the program runs.
const char kOwnDev[] =
    "set -e\n"
    "stage=$1 pty=$2\n"
    "shift 2\n"
    "mount -t tmpfs -o mode=0755,size=1m qarvel-test-dev \"$stage\"\n"
    "touch \"$stage/null\"\n"
    "mount --bind /dev/null \"$stage/null\"\n"
    "mkdir \"$stage/pts\"\n"
    "mount --bind /dev/pts \"$stage/pts\"\n"
    "ln -s \"$pty\" \"$stage/ttyUSB77\"\n"
    "mount --move \"$stage\" /dev\n"
    "unset COMPORT_DIR\n"
    "exec \"$@\"\n";

class MachinePorts : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = MakeTempDir("machine-ports");
    stage_ = work_ + "/dev";
    std::string out;
    ASSERT_EQ(RunShell("mkdir '" + stage_ + "' && unshare -m --propagation private sh -c "
                       "'mount -t tmpfs probe \"$1\"' sh '" + stage_ + "'", &out), 0)
        << "cannot give a program a private /dev (this needs root and util-linux's unshare "
           "with mount namespaces): " << out;
  }
  void TearDown() override {
    EmulatorStop(emu_);
    RemoveTree(work_);
  }

  // vexasw with args, in the private /dev with a unit of this config.
  RunResult Run(const EmulatorConfig& config, const std::vector<std::string>& args) {
    EmulatorStop(emu_);
    std::string pty;
    emu_ = EmulatorStart(config, &pty);
    EXPECT_NE(emu_, nullptr);
    ProcessOptions o;
    o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private",
              "sh", "-c", kOwnDev, "sh", stage_, pty};
    for (const std::string& part : ProgramCommand("vexasw")) o.argv.push_back(part);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.cwd = work_;
    o.stderrPath = work_ + "/stderr.log";
    RunResult r = RunProgram(o, 20000);
    errors_ = ReadFileBytes(o.stderrPath);
    return r;
  }

  std::string work_;
  std::string stage_;
  Emulator* emu_ = nullptr;
  std::string errors_;
};

TEST_F(MachinePorts, UsbAdapterIsCom1) {
  EmulatorConfig config;
  config.kind = EmuSwitch;
  RunResult r = Run(config, {"-o1"});
  EXPECT_EQ(r.exitCode, 0) << errors_;
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(EmulatorSwitchPort(emu_), 1);

  config.silentAfterSets = 0;
  r = Run(config, {"-o1"});
  EXPECT_EQ(r.exitCode, ExitByte(-1000));
  EXPECT_EQ(r.output, "\r\nError initializing connection: Detect error.");
  EXPECT_EQ(errors_,
            "\r\n/dev/ttyUSB77: no answer to the identification query\r\nCOM2 to COM255: no such port");
  EXPECT_EQ(EmulatorSwitchPort(emu_), -1);
}

}  // namespace
