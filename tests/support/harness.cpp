#include "tests/support/harness.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/wine.h"

extern char** environ;

// ------------------------------------------------------------ files

TempDir::TempDir(const std::string& tag) {
  const std::string base = std::string(QARVEL_BUILD_DIR) + "/tests/tmp";
  std::filesystem::create_directories(base);
  std::string pattern = base + "/" + tag + "-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& e : std::filesystem::directory_iterator(path, ignored)) names.push_back(e.path().filename());
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

std::string Hex(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, out.empty() ? "%02x" : " %02x", b);
    out += pair;
  }
  return out;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

namespace {
// What a popen'ed command prints, and its exit status (-1 when it did not exit).
int Collect(const std::string& command, std::string* output) {
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  std::string collected;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) collected.append(buf, n);
  const int status = pclose(p);
  if (output != nullptr) *output = collected;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

int RunShell(const std::string& command, std::string* output) {
  return Collect(command + " 2>&1", output);
}

// ------------------------------------------------------------ readers

MatDump ReadMat(Reader reader, const std::string& file, const std::vector<std::string>& probes) {
  MatDump d;
  const TempDir home("reader-home");
  std::string line = "env HOME=" + ShellQuote(home.path) + " ";
  line += reader == Reader::SciPy
              ? "/usr/bin/python3 " QARVEL_SOURCE_DIR "/tests/support/read_mat.py"
              : "octave-cli --no-gui --no-history --norc --no-window-system --quiet "
                QARVEL_SOURCE_DIR "/tests/support/read_mat.m";
  line += " " + ShellQuote(file);
  for (const std::string& p : probes) line += " " + ShellQuote(p);
  d.status = Collect(line + " 2>" + ShellQuote(home / "stderr"), &d.out);
  d.err = ReadFileBytes(home / "stderr");
  return d;
}

std::string Fact(const std::string& dump, const std::string& path) {
  const std::string key = path + " ";
  for (size_t at = 0, end; at < dump.size(); at = end + 1) {
    end = std::min(dump.find('\n', at), dump.size());
    if (dump.compare(at, key.size(), key) == 0) return dump.substr(at + key.size(), end - at - key.size());
  }
  return "";
}

// ------------------------------------------------------------ programs

std::vector<std::string> ProgramCommand(const std::string& name) {
  std::vector<std::string> argv;
  if (WineProgramCommand(name, &argv)) return argv;
  return {std::string(QARVEL_BUILD_DIR) + "/" + name};
}

struct Process {
  pid_t pid = -1;
  std::string windowsProgram;           // the program Wine runs, else ""
  std::string stderrPath;               // where the child's stderr goes, when it is kept
  std::unique_ptr<TempDir> stderrDir;   // for a Windows program's, when the test keeps none
  int stdinFd = -1, stdoutFd = -1;
  std::thread reader;
  std::mutex lock;
  std::condition_variable changed;
  std::string output;
  bool outputClosed = false, exited = false;
  int status = 0;
};

namespace {

// The process groups of the children still running: ended when the test
// process exits, whatever became of the test that started them.
std::mutex childrenLock;
std::set<pid_t> children;
[[maybe_unused]] const int kEndChildrenAtExit = std::atexit([] {
  for (pid_t pid : children) kill(-pid, SIGKILL);
});

// Pointers to the strings, then a null: an argv or envp.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

void ReadOutput(Process* p) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(p->stdoutFd, buf, sizeof buf);
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
  if (!p->exited && waitpid(p->pid, &p->status, WNOHANG) == p->pid) p->exited = true;
  return p->exited;
}

// Kills the child's whole process group and reaps it.
void Kill(Process* p) {
  kill(-p->pid, SIGKILL);
  if (!p->exited) waitpid(p->pid, &p->status, 0);
  p->exited = true;
}

void CloseStdin(Process* p) {
  if (p->stdinFd >= 0) close(p->stdinFd);
  p->stdinFd = -1;
}

}  // namespace

void EndProcess(Process* p) {
  if (p == nullptr) return;
  Kill(p);
  {
    std::lock_guard<std::mutex> g(childrenLock);
    children.erase(p->pid);
  }
  CloseStdin(p);
  if (p->reader.joinable()) p->reader.join();
  close(p->stdoutFd);
  delete p;
}

ProcessHandle StartProcess(const ProcessOptions& options) {
  ProcessHandle none(nullptr, EndProcess);
  int out[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return none;
  if (options.stdinPipe && pipe2(in, O_CLOEXEC) != 0) return none;

  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const bool overridden = std::any_of(options.env.begin(), options.env.end(), [&](auto& add) {
      return entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
    });
    if (!overridden) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), options.env.begin(), options.env.end());
  std::vector<std::string> args = options.argv;
  // Under Wine stderr is always kept, so that a program Wine did not run can be reported with what Wine said.
  const bool underWine = WineRunsProgram(args);
  std::unique_ptr<TempDir> stderrDir;
  std::string stderrPath = options.stderrPath;
  if (stderrPath.empty() && underWine) {
    stderrDir = std::make_unique<TempDir>("stderr");
    stderrPath = *stderrDir / "stderr";
  }
  const std::vector<char*> envp = Pointers(envStrings), argv = Pointers(args);

  std::lock_guard<std::mutex> g(childrenLock);
  const pid_t pid = fork();
  if (pid < 0) return none;
  if (pid == 0) {
    setpgid(0, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    const int devnull = open("/dev/null", O_RDWR);
    const int input = options.stdinPipe           ? in[0]
                      : options.stdinPath.empty() ? devnull
                                                  : open(options.stdinPath.c_str(), O_RDWR | O_NOCTTY);
    dup2(input < 0 ? devnull : input, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    const int errors =
        stderrPath.empty() ? devnull : open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(errors < 0 ? devnull : errors, STDERR_FILENO);
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
  setpgid(pid, pid);
  children.insert(pid);
  auto* p = new Process;
  p->pid = pid;
  if (underWine) p->windowsProgram = args[1];
  p->stderrPath = stderrPath;
  p->stderrDir = std::move(stderrDir);
  close(out[1]);
  p->stdoutFd = out[0];
  if (options.stdinPipe) {
    close(in[0]);
    p->stdinFd = in[1];
  }
  p->reader = std::thread(ReadOutput, p);
  return ProcessHandle(p, EndProcess);
}

bool WriteStdin(Process* p, const std::string& bytes) {
  return p->stdinFd >= 0 &&
         write(p->stdinFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
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
  if (!Reap(p)) kill(p->pid, signal);
}

int WaitExit(Process* p, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(p)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      Kill(p);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (p->reader.joinable()) p->reader.join();
  const int code =
      WIFEXITED(p->status) ? WEXITSTATUS(p->status) : WIFSIGNALED(p->status) ? 1000 + WTERMSIG(p->status) : -1;
  const std::string why =
      p->windowsProgram.empty() ? "" : WineStartFailure(code, Output(p), ReadFileBytes(p->stderrPath));
  if (!why.empty()) ADD_FAILURE() << p->windowsProgram << ": " << why;
  return code;
}

std::vector<std::string> RaiseAfter(const std::string& function, int sig) {
  // AddressSanitizer wants its runtime first among the libraries; the
  // preloaded one comes before it.
  const char* asan = getenv("ASAN_OPTIONS");
  return {"LD_PRELOAD=" QARVEL_RAISE_AFTER_LIB, "QARVEL_RAISE_AFTER=" + function + ":" + std::to_string(sig),
          std::string("ASAN_OPTIONS=verify_asan_link_order=0") + (asan != nullptr ? std::string(":") + asan : "")};
}

RunResult RunProgram(const ProcessOptions& options, int timeoutMs) {
  ProcessHandle p = StartProcess(options);
  if (!p) return {-1, ""};
  CloseStdin(p.get());
  const int code = WaitExit(p.get(), timeoutMs);
  return {code, Output(p.get())};
}

// ------------------------------------------------------------ ports

PortDir::PortDir() : folder("ports") {
  WineUsePortDir(folder.path);  // the Windows build's COM1..COM255 (Wine target only)
}

void PublishPort(const PortDir& ports, int com, const std::string& ptyPath) {
  const std::string link = ports.dir() + "/COM" + std::to_string(com);
  unlink(link.c_str());
  if (symlink(ptyPath.c_str(), link.c_str()) != 0) std::perror("symlink");
}

std::vector<std::string> PortEnv(const PortDir& ports) { return {"COMPORT_DIR=" + ports.dir()}; }

std::string PortName(const PortDir& ports, int com) {
  return (WineTargetSelected() ? "" : ports.dir() + "/") + "COM" + std::to_string(com);
}

Pty::Pty() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  path = ptsname(master);
  slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Pty::~Pty() {
  for (int fd : {slave, master}) if (fd >= 0) close(fd);
}

Rig::Rig(const EmulatorConfig& config, bool publish) : work("work") {
  emu = EmulatorStart(config, &pty);
  if (emu != nullptr && publish) PublishPort(ports, 1, pty);
}

Rig::~Rig() { EmulatorStop(emu); }

ProcessOptions Rig::Options(const std::string& program, const std::vector<std::string>& args,
                            ProcessOptions options) const {
  options.argv = ProgramCommand(program);
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env.push_back("COMPORT_DIR=" + ports.dir());
  options.cwd = work.path;
  return options;
}

ProcessHandle Rig::Start(const std::string& program, const std::vector<std::string>& args,
                         ProcessOptions options) const {
  if (options.stdinPath.empty()) options.stdinPipe = true;
  return StartProcess(Options(program, args, options));
}

RunResult Rig::Run(const std::string& program, const std::vector<std::string>& args,
                   ProcessOptions options) const {
  return RunProgram(Options(program, args, options));
}

// Never the machine's own ports: unless a folder is set, one that never exists.
[[maybe_unused]] static const int kNoMachinePorts = setenv(
    "COMPORT_DIR", QARVEL_BUILD_DIR "/tests/no-ports", getenv("COMPORT_DIR") == nullptr || *getenv("COMPORT_DIR") == '\0');
