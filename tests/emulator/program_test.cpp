// The instrument-emulator program: publishes its port, serves discovery,
// cleans up on a signal.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

TEST(EmulatorProgram, PublishedPortIsDiscoverable) {
  PortFolder folder;
  ProcessOptions options;
  options.argv = ProgramCommand("instrument-emulator");
  options.argv.insert(options.argv.end(), {"sweep", "--com", "2", "--speed", "5"});
  options.env = PortEnv(folder.ports);
  Process* p = StartProcess(options);
  ASSERT_TRUE(WaitForOutput(p, "Serving the sweep instrument", 5000)) << Output(p);
  const std::string link = folder.ports.dir + "/COM2";
  EXPECT_NE(Output(p).find(link), std::string::npos);

  LastComPort = 0;
  PortHandle port = kInvalidPort;
  ASSERT_EQ(DetectDevice(&port), NoError);
  EXPECT_EQ(LastComPort, 2);
  ClosePort(port);

  SignalProcess(p, SIGTERM);
  EXPECT_EQ(WaitExit(p, 5000), 0);
  EXPECT_NE(Output(p).find("Stopped after"), std::string::npos);
  char target[256];
  EXPECT_EQ(readlink(link.c_str(), target, sizeof target), -1) << "link removed";
  FreeProcess(p);
}

TEST(EmulatorProgram, RejectsBadCommandLines) {
  PortFolder folder;
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"oven"},
      {"sweep", "--com", "256"},
      {"sweep", "--com"},
      {"switch", "--speed", "0"},
      {"sweep", "--refuse", "0x11=abc"},
      {"sweep", "--bogus"},
  };
  for (const std::vector<std::string>& args : bad) {
    ProcessOptions options;
    options.argv = ProgramCommand("instrument-emulator");
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = PortEnv(folder.ports);
    RunResult r = RunProgram(options, 5000);
    EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args.back());
  }
  ProcessOptions help;
  help.argv = ProgramCommand("instrument-emulator");
  help.argv.push_back("--help");
  RunResult r = RunProgram(help, 5000);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("--vanish-after"), std::string::npos);
}

}  // namespace
