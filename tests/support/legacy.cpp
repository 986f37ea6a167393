#include "tests/support/legacy.h"
#include "tests/support/wine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace legacy {

// ------------------------------------------------------------ files

std::string MakeTempDir(const std::string& tag) {
  std::string base = std::string(QARVEL_BUILD_DIR) + "/tests/tmp";
  mkdir((std::string(QARVEL_BUILD_DIR) + "/tests").c_str(), 0777);
  mkdir(base.c_str(), 0777);
  std::string pattern = base + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return std::string(buf.data());
}

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  std::string out;
  RunShell("rm -rf '" + path + "'", &out);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string SystemPython() { return "/usr/bin/python3"; }

bool HaveOctave() {
  std::string out;
  return RunShell("command -v octave-cli", &out) == 0;
}

int RunShell(const std::string& command, std::string* output) {
  std::string full = command + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  std::string collected;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) collected.append(buf, n);
  int status = pclose(p);
  if (output != nullptr) *output = collected;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

namespace {
ReaderResult RunReader(const std::string& command, const std::string& scriptName,
                       const std::string& script, const std::vector<std::string>& args) {
  ReaderResult r{-1, "", ""};
  const std::string home = MakeTempDir("reader-home");
  const std::string scriptPath = home + "/" + scriptName;
  const std::string errPath = home + "/stderr";
  if (WriteFileBytes(scriptPath, script)) {
    std::string line = "env HOME=" + ShellQuote(home) + " " + command + " " + ShellQuote(scriptPath);
    for (const auto& a : args) line += " " + ShellQuote(a);
    FILE* p = popen((line + " 2>" + ShellQuote(errPath)).c_str(), "r");
    if (p != nullptr) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
      int status = pclose(p);
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.err = ReadFileBytes(errPath);
  }
  RemoveTree(home);
  return r;
}
}  // namespace

ReaderResult RunPythonReader(const std::string& script, const std::vector<std::string>& args) {
  return RunReader(SystemPython(), "read.py", script, args);
}

ReaderResult RunOctaveReader(const std::string& script, const std::vector<std::string>& args) {
  return RunReader("octave-cli --no-gui --no-history --norc --no-window-system --quiet",
                   "read.m", script, args);
}

// ------------------------------------------------------------ programs

std::vector<std::string> ProgramCommand(const std::string& name) {
  std::vector<std::string> argv;
  if (WineProgramCommand(name, &argv)) return argv;  // the Windows build under Wine
  return {std::string(QARVEL_BUILD_DIR) + "/" + name};
}

struct Process {
  pid_t pid = -1;
  int stdinFd = -1;
  int stdoutFd = -1;
  std::thread reader;
  std::mutex lock;
  std::condition_variable changed;
  std::string output;
  bool outputClosed = false;
  bool exited = false;
  int status = 0;
};

namespace {
void ReadOutput(Process* p) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(p->stdoutFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> g(p->lock);
    if (n <= 0) {
      p->outputClosed = true;
      p->changed.notify_all();
      return;
    }
    p->output.append(buf, static_cast<size_t>(n));
    p->changed.notify_all();
  }
}

// Reaps the child without blocking; true when it has ended.
bool Reap(Process* p) {
  if (p->exited) return true;
  int status = 0;
  pid_t r = waitpid(p->pid, &status, WNOHANG);
  if (r == p->pid) {
    p->exited = true;
    p->status = status;
  }
  return p->exited;
}
}  // namespace

Process* StartProcess(const ProcessOptions& options) {
  int out[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
  if (options.stdinPipe && pipe2(in, O_CLOEXEC) != 0) return nullptr;

  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool overridden = false;
    for (const auto& add : options.env) {
      auto eq = add.find('=');
      if (entry.compare(0, eq + 1, add, 0, eq + 1) == 0) overridden = true;
    }
    if (!overridden) envStrings.push_back(entry);
  }
  for (const auto& add : options.env) envStrings.push_back(add);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    int devnull = open("/dev/null", O_RDWR);
    int input = options.stdinPipe ? in[0]
                : options.stdinPath.empty() ? devnull
                                            : open(options.stdinPath.c_str(), O_RDWR | O_NOCTTY);
    dup2(input < 0 ? devnull : input, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    int errors = options.stderrPath.empty()
                     ? devnull
                     : open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(errors < 0 ? devnull : errors, STDERR_FILENO);
    setpgid(0, 0);
    if (options.fileSizeLimit > 0) {
      const rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                            static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      // A Windows program cannot ignore SIGXFSZ itself; its host must.
      if (WineTargetSelected()) signal(SIGXFSZ, SIG_IGN);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  auto* p = new Process;
  p->pid = pid;
  close(out[1]);
  p->stdoutFd = out[0];
  if (options.stdinPipe) {
    close(in[0]);
    p->stdinFd = in[1];
  }
  p->reader = std::thread(ReadOutput, p);
  return p;
}

bool WriteStdin(Process* p, const std::string& bytes) {
  if (p->stdinFd < 0) return false;
  return write(p->stdinFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void CloseStdin(Process* p) {
  if (p->stdinFd >= 0) close(p->stdinFd);
  p->stdinFd = -1;
}

std::string Output(Process* p) {
  std::lock_guard<std::mutex> g(p->lock);
  return p->output;
}

bool WaitForOutput(Process* p, const std::string& text, int timeoutMs) {
  std::unique_lock<std::mutex> g(p->lock);
  return p->changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
    return p->output.find(text) != std::string::npos || p->outputClosed;
  }) && p->output.find(text) != std::string::npos;
}

void SignalProcess(Process* p, int signal) {
  if (!p->exited) kill(p->pid, signal);
}

int WaitExit(Process* p, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(p)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(p->pid, SIGKILL);
      waitpid(p->pid, &p->status, 0);
      p->exited = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (p->reader.joinable()) p->reader.join();
  if (WIFEXITED(p->status)) return WEXITSTATUS(p->status);
  if (WIFSIGNALED(p->status)) return 1000 + WTERMSIG(p->status);
  return -1;
}

void FreeProcess(Process* p) {
  if (p == nullptr) return;
  if (!Reap(p)) {
    kill(p->pid, SIGKILL);
    waitpid(p->pid, &p->status, 0);
    p->exited = true;
  }
  CloseStdin(p);
  if (p->reader.joinable()) p->reader.join();
  close(p->stdoutFd);
  delete p;
}

RunResult RunProgram(const ProcessOptions& options, int timeoutMs) {
  Process* p = StartProcess(options);
  if (p == nullptr) return {-1, ""};
  CloseStdin(p);
  int code = WaitExit(p, timeoutMs);
  RunResult r{code, Output(p)};
  FreeProcess(p);
  return r;
}

// ------------------------------------------------------------ ports

PortDir MakePortDir() {
  PortDir ports{MakeTempDir("ports")};
  WineUsePortDir(ports.dir);  // the Windows build's COM1..COM255 (Wine target only)
  return ports;
}

void PublishPort(const PortDir& ports, int com, const std::string& ptyPath) {
  std::string link = ports.dir + "/COM" + std::to_string(com);
  unlink(link.c_str());
  if (symlink(ptyPath.c_str(), link.c_str()) != 0) std::perror("symlink");
}

void UnpublishPort(const PortDir& ports, int com) {
  unlink((ports.dir + "/COM" + std::to_string(com)).c_str());
}

std::vector<std::string> PortEnv(const PortDir& ports) { return {"COMPORT_DIR=" + ports.dir}; }

std::string PortName(const PortDir& ports, int com) {
  return (WineTargetSelected() ? "" : ports.dir + "/") + "COM" + std::to_string(com);
}

namespace {
[[maybe_unused]] const bool kNoMachinePorts = [] {
  const char* dir = std::getenv("COMPORT_DIR");
  if (dir == nullptr || *dir == '\0') {
    setenv("COMPORT_DIR", QARVEL_BUILD_DIR "/tests/no-ports", 1);
  }
  return true;
}();
}  // namespace

}  // namespace legacy
