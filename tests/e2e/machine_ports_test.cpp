// Without COMPORT_DIR the programs number the machine's own serial ports.
// Each run here happens in a private mount namespace whose /dev holds only
// null, the ptys and an emulated unit published as /dev/ttyUSB77, so that
// nothing can reach a real port of this machine, whatever goes wrong.
#include <gtest/gtest.h>

#include "tests/support/harness.h"

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

TEST(MachinePorts, UsbAdapterIsCom1) {
  for (const bool silent : {false, true}) {
    EmulatorConfig config;
    config.kind = EmuSwitch;
    config.silentAfterSets = silent ? 0 : -1;
    Rig r(config, false);
    const std::string stage = r.File("dev");
    std::string out;
    ASSERT_EQ(RunShell("mkdir " + stage + " && unshare -m --propagation private sh -c "
                       "'mount -t tmpfs probe \"$1\"' sh " + stage, &out), 0)
        << "cannot give a program a private /dev (this needs root and util-linux's unshare "
           "with mount namespaces): " << out;
    ProcessOptions o;
    o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private", "sh", "-c", kOwnDev,
              "sh", stage, r.pty, QARVEL_BUILD_DIR "/vexasw", "-o1"};
    o.cwd = r.work.path;
    o.stderrPath = r.File("stderr");
    const RunResult result = RunProgram(o, 20000);
    EXPECT_EQ(result.exitCode, silent ? 24 : 0);
    EXPECT_EQ(result.output, silent ? "\r\nError initializing connection: Detect error." : "");
    EXPECT_EQ(ReadFileBytes(o.stderrPath),
              silent ? "\r\n/dev/ttyUSB77: no answer to the identification query\r\nCOM2 to COM255: no such port" : "");
    EXPECT_EQ(EmulatorSwitchPort(r.emu), silent ? -1 : 1);
  }
}

}  // namespace
