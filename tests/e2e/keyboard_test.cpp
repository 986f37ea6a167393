// The stop key on a terminal: a pty as stdin, a plain terminal or the controlling one of the program's session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"

namespace {

constexpr tcflag_t kTaken = ISIG;  // keys one at a time, unechoed; Ctrl+C still works

tcflag_t Modes(const Pty& t) {
  termios tio{};
  tcgetattr(t.slave, &tio);
  return tio.c_lflag & (ICANON | ECHO | ISIG);
}

// The program in a process group of its own, the pty its stdin. A leader starts it, in a session on the pty (in
// the foreground or not) or with the pty as a plain terminal; moves the foreground on command ('f': to the
// program, 'b': back); and exits with the program's exit code, 128 + the signal that ended it, or 192 + the
// signal that stopped it (the program is then killed). Only plain system calls after fork.
struct Session {
  Session(const Pty& t, ProcessOptions o, bool session, bool foreground, const std::string& log) {
    o.env.insert(o.env.begin(), "/usr/bin/env");  // o.env's entries over this environment
    o.env.insert(o.env.end(), o.argv.begin(), o.argv.end());
    std::vector<char*> av;
    for (auto& a : o.env) av.push_back(&a[0]);
    av.push_back(nullptr);
    int cmd[2], rep[2];
    if (pipe(cmd) != 0 || pipe(rep) != 0 || (leader = fork()) != 0) {
      close(cmd[0]), close(rep[1]), commands = cmd[1];
      if (read(rep[0], &program, sizeof program) != sizeof program) program = -1;
      close(rep[0]);
      return;
    }
    signal(SIGTTOU, SIG_IGN);
    if (session) setsid();
    const int tty = open(t.path.c_str(), session ? O_RDWR : O_RDWR | O_NOCTTY);
    if (session) ioctl(tty, TIOCSCTTY, 0);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t child = fork();
    if (child == 0) {
      setpgid(0, 0);
      if (foreground) tcsetpgrp(tty, getpgrp());
      signal(SIGTTOU, SIG_DFL);
      const rlimit noCore = {0, 0};  // Ctrl+\ dumps no core
      setrlimit(RLIMIT_CORE, &noCore);
      dup2(tty, STDIN_FILENO), dup2(out, STDOUT_FILENO);
      if (chdir(o.cwd.c_str()) == 0) execv(av[0], av.data());
      _exit(127);
    }
    setpgid(child, child);
    if (write(rep[1], &child, sizeof child) != sizeof child) _exit(126);
    fcntl(cmd[0], F_SETFL, O_NONBLOCK);
    for (int status;; usleep(5000)) {
      char c;
      if (read(cmd[0], &c, 1) == 1) tcsetpgrp(tty, c == 'f' ? child : getpgrp());
      if (waitpid(child, &status, WUNTRACED | WNOHANG) != child) continue;
      if (!WIFSTOPPED(status)) _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
      kill(child, SIGKILL);
      _exit(192 + WSTOPSIG(status));
    }
  }
  ~Session() {
    if (program > 0) kill(-program, SIGKILL);
    if (leader > 0 && kill(leader, SIGKILL) == 0) waitpid(leader, nullptr, 0);
    close(commands);
  }
  int Wait() {  // the leader's report; -1 on time-out
    int status = 0;
    for (int waited = 0; waitpid(leader, &status, WNOHANG) == 0; waited += 10) {
      if (waited >= kLong) return -1;
      Sleep(10);
    }
    leader = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t leader = -1, program = -1;
  int commands = -1;
};

// A run in the background neither stops nor waits: it never takes the terminal and runs to its auto-stop.
// Brought to the foreground it takes keys; moved to the background halfway it goes on, and the modes it set are
// put back at its exit; Ctrl+\ and a second Ctrl+C (during the stop, before the save) end it at once. The
// terminal's modes are restored in every case.
struct JobCase {  // after "Started.": the command ('f', 'b' or 0), the keys gapMs apart, the signal
  const char *name, *program;
  bool session, foreground;  // foreground: at start
  char command;
  std::vector<std::string> keys;
  int gapMs, signal, report;  // report: the leader's
  std::string messages;
};

const std::string kRun = "Connecting...|Initializing...|Started.";
const JobCase kJobCases[] = {
    // An arrow key is one key of three bytes: vexa ends one cycle only.
    {"ArrowKeyOnAPlainTerminal", "vexa", false, true, 0, {"\x1b[A"}, 2500, SIGINT, 0,
     kRun + "|Saved|" + kRun + "|Saved"},
    {"StartedInTheBackground", "qarvel", true, false, 0, {}, 0, 0, 0, kRun + "|Auto-stopped.|Saved"},
    {"BroughtToTheForeground", "qarvel", true, false, 'f', {"k"}, 0, 0, 0, kRun + "|Saved"},
    {"MovedToTheBackground", "qarvel", true, true, 'b', {}, 0, 0, 0, kRun + "|Auto-stopped.|Saved"},
    {"QuitWithCtrlBackslash", "qarvel", true, true, 0, {"\x1c"}, 0, 0, 128 + SIGQUIT, kRun},
    {"CtrlCSaves", "qarvel", true, true, 0, {"\x03"}, 0, 0, 0, kRun + "|Saved"},
    {"SecondCtrlCEndsAtOnce", "qarvel", true, true, 0, {"\x03", "\x03"}, 60, 0, 128 + SIGINT, kRun},
};

void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }

class JobControl : public ::testing::TestWithParam<JobCase> {};

TEST_P(JobControl, Run) {
  const JobCase& c = GetParam();
#ifdef __SANITIZE_THREAD__
  if (c.keys.size() == 2) return;  // ThreadSanitizer runs handlers late: a second Ctrl+C may come after the save
#endif
  Pty t;
  const tcflag_t before = Modes(t);  // ICANON | ECHO | ISIG
  EmulatorConfig config;
  config.speed = 2;
  const Rig r(config);
  const TempDir logs("session");
  const std::string log = logs / "stdout";
  Session s(t, r.Options(c.program, {"jobs.mat", "10:20:101", "-e5"}, {}), c.session, c.foreground, log);
  ASSERT_GT(s.program, 0);
  for (int i = 0; i < 3000 && ReadFileBytes(log).find("Started.") == std::string::npos; ++i) Sleep(10);
  EXPECT_EQ(Modes(t), c.foreground ? kTaken : before);  // in the background it leaves the terminal alone
  // Brought forward, it takes the terminal; sent back, its modes stay until it ends (no shell put its own back).
  EXPECT_EQ(c.command != 0 ? write(s.commands, &c.command, 1) : 1, 1);
  Sleep(c.command != 0 ? 300 : 0);
  EXPECT_EQ(Modes(t), c.foreground || c.command != 0 ? kTaken : before);
  for (const std::string& key : c.keys) {
    EXPECT_EQ(write(t.master, key.data(), key.size()), static_cast<ssize_t>(key.size()));
    Sleep(c.gapMs);
  }
  if (c.signal != 0) kill(s.program, c.signal);
  EXPECT_EQ(s.Wait(), c.report);
  EXPECT_EQ(Messages(ReadFileBytes(log)), c.messages);
  // vexa: 1.mat, 2.mat; a run ended before its save leaves its journal.
  const std::vector<std::string> left = ListDir(r.work.path);
  EXPECT_EQ(left.size(), CountOf(c.messages, "Saved") + (c.report != 0 ? 1 : 0));
  EXPECT_TRUE(c.report == 0 || left == std::vector<std::string>{"jobs.mat.journal"});
  EXPECT_EQ(Modes(t), before);
}

INSTANTIATE_TEST_SUITE_P(Keyboard, JobControl, ::testing::ValuesIn(kJobCases));

// A signal the moment the terminal has been set finds what puts it back: Ctrl+\ ends the run at once, a Ctrl+C
// stops it as any Ctrl+C does.
TEST(Keyboard, SignalAsTheTerminalIsTaken) {
  for (const int sig : {SIGQUIT, SIGINT}) {
    Pty t;
    const tcflag_t before = Modes(t);
    const Rig r;
    const TempDir logs("session");
    ProcessOptions o;
    o.env = RaiseAfter("tcsetattr", sig);
    Session s(t, r.Options("qarvel", {"jobs.mat", "10:20:101", "-e5"}, o), true, true, logs / "stdout");
    ASSERT_GT(s.program, 0);
    EXPECT_EQ(s.Wait(), sig == SIGQUIT ? 128 + SIGQUIT : 0) << sig;
    EXPECT_EQ(Modes(t), before) << sig;
  }
}

// "qarvel ... | less": both share the foreground. The program takes the terminal once, as it becomes the
// foreground; modes that the other one sets are its own, and are left alone. Once it puts back the modes it found
// (the program's), the program's exit restores those from before its start.
TEST(Keyboard, AnotherProgramInTheForeground) {
  Pty t;
  const tcflag_t before = Modes(t);
  const Rig r;
  const TempDir logs("session");
  const std::string log = logs / "stdout";
  Session s(t, r.Options("qarvel", {"jobs.mat", "10:20:101", "-e5"}, {}), true, true, log);
  ASSERT_GT(s.program, 0);
  for (int i = 0; i < 3000 && ReadFileBytes(log).find("Started.") == std::string::npos; ++i) Sleep(10);
  termios taken{}, theirs{};
  ASSERT_EQ(tcgetattr(t.slave, &taken), 0);
  EXPECT_EQ(taken.c_lflag & (ICANON | ECHO | ISIG), kTaken);
  theirs = taken;
  theirs.c_lflag |= ECHO;
  theirs.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(t.slave, TCSANOW, &theirs), 0);
  Sleep(300);
  EXPECT_EQ(Modes(t), kTaken | ECHO);  // not taken again
  ASSERT_EQ(tcsetattr(t.slave, TCSANOW, &taken), 0);
  EXPECT_EQ(write(t.master, "k", 1), 1);
  EXPECT_EQ(s.Wait(), 0);
  EXPECT_EQ(Messages(ReadFileBytes(log)), kRun + "|Saved");
  EXPECT_EQ(Modes(t), before);
}

}  // namespace
