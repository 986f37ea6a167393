// The stop key on a terminal: the programs get a pty as standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "emulator/emulator.h"
#include "tests/support/legacy.h"

using namespace legacy;

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

// Job control: the program runs in a session of its own on a pty, in a
// process group of its own that is or is not the terminal's foreground.
namespace {

// What the session leader reports about the program: its exit code, 128 +
// the signal that ended it, or 192 + the signal that stopped it (it is then
// killed).
constexpr int kStoppedBase = 192;

struct Session {
  pid_t leader = -1;
  int commands = -1;  // the test writes 'f' (program to the foreground) or 'b' here
  std::string log;    // the program's standard output
};

// The leader: takes the pty as its controlling terminal, starts the program
// in a process group of its own (in the foreground or not), moves the
// foreground on command, and ends with what became of the program. Only
// async-signal-safe calls after fork.
Session StartSession(const Terminal& t, const std::vector<std::string>& args, bool foreground,
                     const std::string& work, const PortDir& ports) {
  Session s;
  s.log = work + "/stdout";
  std::vector<std::string> argv = ProgramCommand(args[0]);
  argv.insert(argv.end(), args.begin() + 1, args.end());
  std::vector<std::string> env = {"COMPORT_DIR=" + ports.dir};
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  std::vector<char*> av, ev;
  for (auto& a : argv) av.push_back(&a[0]);
  av.push_back(nullptr);
  for (auto& e : env) ev.push_back(&e[0]);
  ev.push_back(nullptr);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return s;
  s.leader = fork();
  if (s.leader == 0) {
    close(pipeFds[1]);
    signal(SIGTTOU, SIG_IGN);  // the leader hands the terminal back and forth
    setsid();
    const int tty = open(t.path.c_str(), O_RDWR);
    ioctl(tty, TIOCSCTTY, 0);
    const int out = open(s.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t child = fork();
    if (child == 0) {
      setpgid(0, 0);
      if (foreground) tcsetpgrp(tty, getpgrp());
      signal(SIGTTOU, SIG_DFL);
      const rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      dup2(tty, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      if (chdir(work.c_str()) != 0) _exit(126);
      execve(av[0], av.data(), ev.data());
      _exit(127);
    }
    setpgid(child, child);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(child, &status, WUNTRACED | WNOHANG);
      if (r == child) {
        if (WIFSTOPPED(status)) {
          const int stop = WSTOPSIG(status);
          kill(child, SIGKILL);
          waitpid(child, &status, 0);
          _exit(kStoppedBase + stop);
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
      }
      char c;
      if (read(pipeFds[0], &c, 1) == 1) tcsetpgrp(tty, c == 'f' ? child : getpgrp());
      usleep(5000);
    }
  }
  close(pipeFds[0]);
  s.commands = pipeFds[1];
  return s;
}

std::string SessionOutput(const Session& s) { return ReadFileBytes(s.log); }

bool WaitForSessionOutput(const Session& s, const std::string& text) {
  for (int i = 0; i < 3000; ++i) {
    if (SessionOutput(s).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The leader's report (see kStoppedBase); -1 on time-out, the session then
// being killed.
int EndSession(Session& s, int timeoutMs) {
  int status = 0;
  for (int waited = 0; waitpid(s.leader, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= timeoutMs) {
      kill(s.leader, SIGKILL);
      waitpid(s.leader, &status, 0);
      close(s.commands);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  close(s.commands);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A run in the background neither stops nor waits: it never takes the
// terminal, runs to its auto-stop and saves. Brought to the foreground it
// takes keys; moved to the background halfway it goes on, and the modes it
// set are put back at its exit; Ctrl+\ ends it with the modes restored.
TEST(Keyboard, JobControl) {
  struct Case {
    const char* label;
    bool foreground;   // at start
    char command;      // after "Started.": 'f', 'b' or 0
    bool key;          // a key is typed once the program has the terminal
    int quit;          // a signal sent instead of a key (0: none)
    int report;        // what the leader reports
    bool autoStopped;  // "Auto-stopped." printed
  };
  const Case cases[] = {
      {"started in the background", false, 0, false, 0, 0, true},
      {"brought to the foreground", false, 'f', true, 0, 0, false},
      {"moved to the background", true, 'b', false, 0, 0, true},
      {"quit with Ctrl+\\", true, 0, false, SIGQUIT, 128 + SIGQUIT, false},
  };
  for (const Case& c : cases) {
    Terminal t = OpenTerminal();
    const tcflag_t before = LocalModes(t);
    EmulatorConfig config;
    config.speed = 2.0;
    std::string pty;
    Emulator* emu = EmulatorStart(config, &pty);
    PortDir ports = MakePortDir();
    PublishPort(ports, 1, pty);
    const std::string work = MakeTempDir("jobs");
    Session s = StartSession(t, {"qarvel", "jobs.mat", "10:20:101", "-e5"}, c.foreground, work,
                             ports);
    EXPECT_TRUE(WaitForSessionOutput(s, "Started.")) << c.label;
    // In the background the terminal keeps its modes; in the foreground the
    // program has taken it.
    EXPECT_EQ(LocalModes(t), c.foreground ? static_cast<tcflag_t>(ISIG) : before) << c.label;
    if (c.command != 0) {
      ASSERT_EQ(write(s.commands, &c.command, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      // Brought forward, the program takes the terminal; sent back, its
      // modes stay until it ends (no shell put its own back here).
      EXPECT_EQ(LocalModes(t), static_cast<tcflag_t>(ISIG)) << c.label;
    }
    if (c.key) {
      EXPECT_EQ(write(t.master, "k", 1), 1);
    }
    if (c.quit != 0) {
      EXPECT_EQ(write(t.master, "\x1c", 1), 1);  // Ctrl+\ from the keyboard
    }
    EXPECT_EQ(EndSession(s, kLong), c.report) << c.label << SessionOutput(s);
    const std::string out = SessionOutput(s);
    if (c.quit == 0) {
      EXPECT_NE(out.find("\r\nSaved "), std::string::npos) << c.label << out;
    }
    EXPECT_EQ(out.find("Auto-stopped.") != std::string::npos, c.autoStopped) << c.label << out;
    EXPECT_EQ(LocalModes(t), before) << c.label;
    EmulatorStop(emu);
    RemoveTree(ports.dir);
    RemoveTree(work);
    close(t.slave);
    close(t.master);
  }
}
