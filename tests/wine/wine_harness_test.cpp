// A program that Wine itself cannot run fails its test with a message that says so and with Wine's own words,
// not only with the empty output and the status 1 that Wine leaves.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "tests/support/harness.h"

TEST(WineHarness, ProgramThatWineCannotRunIsReportedWithWinesStderr) {
  const TempDir dir("wine-harness");
  ASSERT_TRUE(WriteFileBytes(dir / "prefix", ""));  // a prefix that is a file: the loader stops before the program
  ProcessOptions o;
  o.argv = ProgramCommand("vexasw");
  o.env = {"WINEPREFIX=" + (dir / "prefix")};
  RunResult r{};
  EXPECT_NONFATAL_FAILURE(r = RunProgram(o),
                          "vexasw.exe: Wine ended the program with status 1 before it wrote anything: it never ran, "
                          "or its wineserver ended it. Wine's stderr: wine: cannot use directory");
  EXPECT_EQ(r.exitCode, 1);
}
