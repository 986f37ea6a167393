// Without COMPORT_DIR the programs number the machine's own ports. Each run has a private /dev holding only null,
// the ptys and an emulated unit as /dev/ttyUSB77: nothing can reach a real port of this machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/harness.h"

// Mounts the stand-in /dev over the real one, then runs the program with COMPORT_DIR unset. Any failure (this
// needs root and util-linux's unshare) ends the script before the program runs, with its reason on stderr.
const char kOwnDev[] =
    "set -e; stage=$1 pty=$2; shift 2; mkdir \"$stage\"\n"
    "mount -t tmpfs -o mode=0755,size=1m qarvel-test-dev \"$stage\"\n"
    "touch \"$stage/null\"; mount --bind /dev/null \"$stage/null\"\n"
    "mkdir \"$stage/pts\"; mount --bind /dev/pts \"$stage/pts\"\n"
    "ln -s \"$pty\" \"$stage/ttyUSB77\"; mount --move \"$stage\" /dev\n"
    "unset COMPORT_DIR; exec \"$@\"\n";

TEST(MachinePorts, UsbAdapterIsCom1) {
  // CI runs as root with util-linux, so that a run there that fails on a skip still holds this test.
  if (geteuid() != 0) GTEST_SKIP() << "mounting a private /dev needs root";
  if (RunShell("command -v unshare >/dev/null 2>&1", nullptr) != 0) GTEST_SKIP() << "needs unshare (util-linux)";
  for (const bool silent : {false, true}) {
    EmulatorConfig config;
    config.kind = EmuSwitch;
    config.silentAfterSets = silent ? 0 : -1;
    const Rig r(config, false);
    ProcessOptions o;
    o.argv = {"/usr/bin/env", "unshare", "-m", "--propagation", "private", "sh", "-c", kOwnDev,
              "sh", r.File("dev"), r.pty, QARVEL_BUILD_DIR "/vexasw", "-o1"};
    o.stderrPath = r.File("stderr");
    const RunResult result = RunProgram(o, 20000);
    EXPECT_EQ(result.exitCode, silent ? 24 : 0);
    EXPECT_EQ(result.output, silent ? "\r\nError initializing connection: Detect error." : "");
    EXPECT_EQ(ReadFileBytes(o.stderrPath),
              silent ? "\r\n/dev/ttyUSB77: no answer to the identification query\r\nCOM2 to COM255: no such port" : "");
    EXPECT_EQ(EmulatorSwitchPort(r.emu), silent ? -1 : 1);
  }
}
