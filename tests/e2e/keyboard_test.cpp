// The stop key on a terminal: the programs get a pty as standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "emulator/emulator.h"
#include "tests/support/harness.h"

namespace {

constexpr int kLong = 30000;

// A terminal for the program, and the test's own view of its modes.
struct Terminal {
  int master = -1;
  int slave = -1;
  std::string path;
};

Terminal OpenTerminal() {
  Terminal t;
  t.master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(t.master);
  unlockpt(t.master);
  t.path = ptsname(t.master);
  t.slave = open(t.path.c_str(), O_RDWR | O_NOCTTY);
  return t;
}

tcflag_t LocalModes(const Terminal& t) {
  termios tio{};
  tcgetattr(t.slave, &tio);
  return tio.c_lflag & (ICANON | ECHO | ISIG);
}

struct TerminalRun {
  Emulator* emu;
  PortDir ports;
  std::string work;
  Process* p;
};

TerminalRun StartOnTerminal(const Terminal& t, const std::string& program, const std::string& file) {
  TerminalRun r;
  EmulatorConfig c;
  c.speed = 2.0;
  std::string pty;
  r.emu = EmulatorStart(c, &pty);
  r.ports = MakePortDir();
  PublishPort(r.ports, 1, pty);
  r.work = MakeTempDir("keyboard");
  ProcessOptions o;
  o.argv = ProgramCommand(program);
  o.argv.push_back(file);
  o.argv.push_back("10:20:101");
  o.env = PortEnv(r.ports);
  o.cwd = r.work;
  o.stdinPath = t.path;
  r.p = StartProcess(o);
  return r;
}

void Finish(TerminalRun& r, Terminal& t) {
  FreeProcess(r.p);
  EmulatorStop(r.emu);
  RemoveTree(r.ports.dir);
  RemoveTree(r.work);
  close(t.slave);
  close(t.master);
}

}  // namespace

TEST(Keyboard, ArrowKeyEndsOneCycleAndTerminalIsRestored) {
  Terminal t = OpenTerminal();
  const tcflag_t before = LocalModes(t);
  ASSERT_EQ(before & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  TerminalRun r = StartOnTerminal(t, "vexa", "x.mat");
  ASSERT_TRUE(WaitForOutput(r.p, "Started.", kLong));
  // While measuring: keys are read one at a time, unechoed; Ctrl+C still works.
  EXPECT_EQ(LocalModes(t), static_cast<tcflag_t>(ISIG));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_EQ(write(t.master, "\x1b[A", 3), 3);  // one key of three bytes
  ASSERT_TRUE(WaitForOutput(r.p, "Saved ", kLong));
  // The next cycle starts and keeps running: the rest of the escape
  // sequence did not count as further keys.
  for (int i = 0; i < 400 && CountOf(Output(r.p), "Started.") < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(CountOf(Output(r.p), "Started."), 2u);
  EXPECT_EQ(CountOf(Output(r.p), "Saved "), 1u) << Output(r.p);
  SignalProcess(r.p, SIGINT);
  EXPECT_EQ(WaitExit(r.p, kLong), 0);
  EXPECT_EQ(CountOf(Output(r.p), "Saved "), 2u);
  EXPECT_TRUE(FileExists(r.work + "/1.mat"));
  EXPECT_TRUE(FileExists(r.work + "/2.mat"));
  EXPECT_EQ(LocalModes(t), before);
  Finish(r, t);
}

TEST(Keyboard, SecondInterruptEndsAtOnceWithTerminalRestored) {
  Terminal t = OpenTerminal();
  const tcflag_t before = LocalModes(t);
  TerminalRun r = StartOnTerminal(t, "qarvel", "twice.mat");
  ASSERT_TRUE(WaitForOutput(r.p, "Started.", kLong));
  SignalProcess(r.p, SIGINT);
  // The stop takes 200 ms before the save: the second interrupt lands there.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  SignalProcess(r.p, SIGINT);
  EXPECT_EQ(WaitExit(r.p, kLong), 128 + SIGINT);
  EXPECT_EQ(LocalModes(t), before);
  Finish(r, t);
}
