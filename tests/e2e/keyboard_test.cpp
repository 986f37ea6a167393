// The stop key on a terminal: the programs get a pty as standard input, as
// a plain terminal or as the controlling terminal of a session of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
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

#include "tests/support/harness.h"

extern char** environ;

namespace {

constexpr int kLong = 30000;
constexpr tcflag_t kRaw = ISIG;  // keys one at a time, unechoed; Ctrl+C still works

tcflag_t Modes(const Pty& t) {
  termios tio{};
  tcgetattr(t.slave, &tio);
  return tio.c_lflag & (ICANON | ECHO | ISIG);
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(Keyboard, ArrowKeyEndsOneCycleAndTerminalIsRestored) {
  Pty t;
  EmulatorConfig c;
  c.speed = 2;
  Rig r(c);
  const tcflag_t before = Modes(t);
  ASSERT_EQ(before & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  ProcessOptions o;
  o.stdinPath = t.path;
  ProcessHandle p = r.Start("vexa", {"x.mat", "10:20:101"}, o);
  ASSERT_TRUE(WaitForOutput(p.get(), "Started.", kLong));
  EXPECT_EQ(Modes(t), kRaw);
  Sleep(400);
  ASSERT_EQ(write(t.master, "\x1b[A", 3), 3);  // one key of three bytes
  ASSERT_TRUE(WaitForOutput(p.get(), "Saved ", kLong));
  // The next cycle starts and keeps running: the rest of the sequence was
  // not taken for more keys.
  for (int i = 0; i < 400 && CountOf(Output(p.get()), "Started.") < 2; ++i) Sleep(25);
  Sleep(1500);
  EXPECT_EQ(CountOf(Output(p.get()), "Started."), 2u);
  EXPECT_EQ(CountOf(Output(p.get()), "Saved "), 1u) << Output(p.get());
  SignalProcess(p.get(), SIGINT);
  EXPECT_EQ(WaitExit(p.get(), kLong), 0);
  EXPECT_EQ(CountOf(Output(p.get()), "Saved "), 2u);
  EXPECT_EQ(ListDir(r.work.path), (std::vector<std::string>{"1.mat", "2.mat"}));
  EXPECT_EQ(Modes(t), before);
}

// The program in a process group of its own in a session on the pty. The
// leader starts it in the foreground or not, moves the foreground on
// command ('f': to the program, 'b': back), and exits with the program's
// exit code, 128 + the signal that ended it, or 192 + the signal that
// stopped it (the program is then killed). Only async-signal-safe calls
// after fork.
struct Session {
  Session(const Pty& t, ProcessOptions o, bool foreground, const std::string& log) {
    for (char** e = environ; *e != nullptr; ++e) o.env.push_back(*e);  // o.env's come first
    std::vector<char*> av, ev;
    for (auto& a : o.argv) av.push_back(&a[0]);
    for (auto& e : o.env) ev.push_back(&e[0]);
    av.push_back(nullptr);
    ev.push_back(nullptr);
    int cmd[2], rep[2];
    if (pipe(cmd) != 0 || pipe(rep) != 0) return;
    leader = fork();
    if (leader == 0) {
      signal(SIGTTOU, SIG_IGN);
      setsid();
      const int tty = open(t.path.c_str(), O_RDWR);
      ioctl(tty, TIOCSCTTY, 0);
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const pid_t child = fork();
      if (child == 0) {
        setpgid(0, 0);
        if (foreground) tcsetpgrp(tty, getpgrp());
        signal(SIGTTOU, SIG_DFL);
        const rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(tty, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        if (chdir(o.cwd.c_str()) == 0) execve(av[0], av.data(), ev.data());
        _exit(127);
      }
      setpgid(child, child);
      if (write(rep[1], &child, sizeof child) != sizeof child) _exit(126);
      fcntl(cmd[0], F_SETFL, O_NONBLOCK);
      for (int status;;) {
        if (waitpid(child, &status, WUNTRACED | WNOHANG) == child) {
          if (!WIFSTOPPED(status)) _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
          kill(child, SIGKILL);
          _exit(192 + WSTOPSIG(status));
        }
        char c;
        if (read(cmd[0], &c, 1) == 1) tcsetpgrp(tty, c == 'f' ? child : getpgrp());
        usleep(5000);
      }
    }
    close(cmd[0]);
    close(rep[1]);
    commands = cmd[1];
    if (read(rep[0], &program, sizeof program) != sizeof program) program = -1;
    close(rep[0]);
  }
  ~Session() {
    if (program > 0) kill(-program, SIGKILL);
    if (leader > 0 && Wait(0) == -1) waitpid(leader, nullptr, 0);
    close(commands);
  }
  // The leader's report; -1 on time-out, the leader then being killed.
  int Wait(int timeoutMs) {
    int status = 0;
    for (int waited = 0; waitpid(leader, &status, WNOHANG) == 0; waited += 10) {
      if (waited >= timeoutMs) {
        kill(leader, SIGKILL);
        return -1;
      }
      Sleep(10);
    }
    leader = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t leader = -1, program = -1;
  int commands = -1;
};

// A run in the background neither stops nor waits: it never takes the
// terminal and runs to its auto-stop. Brought to the foreground it takes
// keys; moved to the background halfway it goes on, and the modes it set
// are put back at its exit; Ctrl+\ and a second Ctrl+C (during the stop,
// before the save) end it at once, modes restored.
struct JobCase {
  const char* name;
  bool foreground;                // at start
  char command;                   // after "Started.": 'f', 'b' or 0
  std::vector<std::string> keys;  // typed then, 60 ms apart
  int report;
  const char* messages;  // what follows "Started."
};

const JobCase kJobCases[] = {
    {"StartedInTheBackground", false, 0, {}, 0, "\r\nAuto-stopped.\r\nSaved"},
    {"BroughtToTheForeground", false, 'f', {"k"}, 0, "\r\nSaved"},
    {"MovedToTheBackground", true, 'b', {}, 0, "\r\nAuto-stopped.\r\nSaved"},
    {"QuitWithCtrlBackslash", true, 0, {"\x1c"}, 128 + SIGQUIT, ""},
    {"CtrlCSaves", true, 0, {"\x03"}, 0, "\r\nSaved"},
    {"SecondCtrlCEndsAtOnce", true, 0, {"\x03", "\x03"}, 128 + SIGINT, ""},
};

void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }

class JobControl : public ::testing::TestWithParam<JobCase> {};

TEST_P(JobControl, Run) {
  const JobCase& c = GetParam();
  Pty t;
  const tcflag_t before = Modes(t);
  EmulatorConfig config;
  config.speed = 2;
  Rig r(config);
  const TempDir logs("session");
  Session s(t, r.Options("qarvel", {"jobs.mat", "10:20:101", "-e5"}, {}), c.foreground,
            logs / "stdout");
  ASSERT_GT(s.program, 0);
  for (int i = 0; i < 3000 && ReadFileBytes(logs / "stdout").find("Started.") == std::string::npos; ++i) {
    Sleep(10);
  }
  // In the background the terminal keeps its modes; in the foreground the
  // program has taken it.
  EXPECT_EQ(Modes(t), c.foreground ? kRaw : before);
  if (c.command != 0) {
    ASSERT_EQ(write(s.commands, &c.command, 1), 1);
    Sleep(300);
    // Brought forward, the program takes the terminal; sent back, its modes
    // stay until it ends (no shell put its own back here).
    EXPECT_EQ(Modes(t), kRaw);
  }
  for (const std::string& key : c.keys) {
    EXPECT_EQ(write(t.master, key.data(), key.size()), static_cast<ssize_t>(key.size()));
    Sleep(60);
  }
  EXPECT_EQ(s.Wait(kLong), c.report);
  const std::string out = ReadFileBytes(logs / "stdout");
  const size_t started = out.find("\r\nStarted.");
  ASSERT_NE(started, std::string::npos) << out;
  // The messages after "Started.", progress lines ("\r") aside.
  std::string after;
  for (size_t at = out.find("\r\n", started + 2); at != std::string::npos; at = out.find("\r\n", at + 2)) {
    after += out.substr(at, out.find('\r', at + 2) - at);
  }
  if (after.find("\r\nSaved ") != std::string::npos) after.resize(after.find("\r\nSaved ") + 7);
  EXPECT_EQ(after, c.messages);
  EXPECT_EQ(Modes(t), before);
}

INSTANTIATE_TEST_SUITE_P(Keyboard, JobControl, ::testing::ValuesIn(kJobCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
