#include "tests/support/wine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/harness.h"

namespace {

const char* const kTargetVariable = "QARVEL_E2E_TARGET";

// The first of names on PATH, else fallback where it exists, else "".
std::string Find(const std::string& names, const std::string& fallback) {
  std::string out;
  RunShell("for t in " + names + "; do command -v $t && exit; done; test -x " + fallback +
               " && echo " + fallback, &out);
  return out.substr(0, out.find('\n'));
}
const std::string& Loader() { static const std::string s = Find("wine wine64", "/usr/lib/wine/wine64"); return s; }
const std::string& Server() { static const std::string s = Find("wineserver", "/usr/lib/wine/wineserver64"); return s; }
std::string BuildDir() { return std::string(QARVEL_BUILD_DIR) + "/win64"; }

// Points <prefix>/ports, through which every COM<n> goes, at target in one step.
bool SetPortsLink(const std::string& target) {
  const std::string link = WinePrefixDir() + "/ports";
  unlink((link + ".new").c_str());
  return symlink(target.c_str(), (link + ".new").c_str()) == 0 &&
         rename((link + ".new").c_str(), link.c_str()) == 0;
}

// Creates the prefix, its registry mapping COM1..COM255 before Wine first starts,
// so that the machine's own serial ports never get a number below 256.
int CreatePrefix(const std::string& prefix) {
  RunShell("rm -rf " + ShellQuote(prefix), nullptr);
  if (mkdir(prefix.c_str(), 0755) != 0) return -1;
  std::string seed = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n"
                     "#arch=win64\n\n[Software\\\\Wine\\\\Ports] 0\n";
  for (int n = 1; n <= 255; ++n) {
    seed += "\"COM" + std::to_string(n) + "\"=\"" + prefix + "/ports/COM" + std::to_string(n) +
            "\"\r\n";
  }
  std::string out;
  if (!WriteFileBytes(prefix + "/system.reg", seed) ||
      RunShell(ShellQuote(Loader()) + " wineboot -i", &out) != 0) {
    std::fprintf(stderr, "wineboot failed: %s\n", out.c_str());
    return -1;
  }
  RunShell(ShellQuote(Server()) + " -w", nullptr);
  return ReadFileBytes(prefix + "/system.reg").find("\"COM255\"=") != std::string::npos &&
                 WriteFileBytes(prefix + "/.qarvel-ready", "")
             ? 0
             : -1;
}

// The environment of every Wine command and program of the suite.
void UsePrefix(const std::string& prefix) {
  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no installer prompts
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
}

// Takes the prefix for the life of this process (the lock is not inherited by
// the wineserver), so that processes that set it up use it one after another.
bool LockPrefix(const std::string& prefix) {
  const int lock = open((prefix + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return false;
  UsePrefix(prefix);
  return true;
}

// Whether a server serves the prefix (-k0 sends it no signal, only looks).
bool ServerRunning() { return RunShell(ShellQuote(Server()) + " -k0", nullptr) == 0; }

// Ends the prefix's server, if one runs, and waits until it and its processes are gone.
void EndServer() {
  const std::string server = ShellQuote(Server());
  RunShell(server + " -k; " + server + " -w", nullptr);
}

int PrepareOnce() {
  if (!WineUnavailableReason().empty()) return -1;
  const std::string prefix = WinePrefixDir();
  if (!LockPrefix(prefix)) return -1;
  if (!FileExists(prefix + "/.qarvel-ready") || !ServerRunning()) {
    std::fprintf(stderr,
                 "no wineserver serves %s: ctest starts it with the test wine:server-start; "
                 "by hand: %s/tests/wine_server start (and stop)\n",
                 prefix.c_str(), QARVEL_BUILD_DIR);
    return -1;
  }
  return SetPortsLink(prefix + "/no-ports") ? 0 : -1;
}

}  // namespace

bool WineTargetSelected() {
  const char* target = std::getenv(kTargetVariable);
  return target != nullptr && std::strcmp(target, "wine") == 0;
}

void SelectWineTarget() { setenv(kTargetVariable, "wine", 1); }

std::string WinePrefixDir() { return std::string(QARVEL_BUILD_DIR) + "/wine-prefix"; }

std::string WineUnavailableReason() {
  if (Loader().empty() || Server().empty()) return "Wine is not installed (apt-get install wine64)";
  for (const char* name : {"qarvel", "vexa", "vexasw", "qarvel-recover"}) {
    const std::string exe = BuildDir() + "/" + name + ".exe";
    if (!FileExists(exe)) return exe + " is missing (target wine_programs needs mingw-w64)";
  }
  return "";
}

int WineStartServer() {
  const std::string prefix = WinePrefixDir();
  if (!LockPrefix(prefix)) return -1;
  if (!FileExists(prefix + "/.qarvel-ready") && CreatePrefix(prefix) != 0) return -1;
  if (!SetPortsLink(prefix + "/no-ports")) return -1;
  // A server that an interrupted run left behind goes first. Started with -p
  // the new one stays until WineStopServer, whatever the gaps between the
  // programs: a server that leaves on its own, or is stopped, while a program
  // connects ends that program with status 1 before it runs a line.
  EndServer();
  // The daemon must not hold the pipe that RunShell reads to its end.
  if (RunShell(ShellQuote(Server()) + " -p </dev/null >/dev/null 2>&1", nullptr) != 0 || !ServerRunning()) {
    std::fprintf(stderr, "cannot start the wineserver of %s\n", prefix.c_str());
    return -1;
  }
  return 0;
}

int WineStopServer() {
  if (!LockPrefix(WinePrefixDir())) return -1;
  EndServer();
  return ServerRunning() ? -1 : 0;
}

int WinePrepare() {
  static const int result = PrepareOnce();  // once per process
  return result;
}

bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv) {
  if (!WineTargetSelected() || (name != "qarvel" && name != "vexa" && name != "vexasw" &&
                                 name != "qarvel-recover" && name != "qarvel-track" &&
                                 name != "track-fit-check")) {
    return false;
  }
  WinePrepare();
  *argv = {Loader(), BuildDir() + "/" + name + ".exe"};
  return true;
}

void WineUsePortDir(const std::string& dir) {
  if (WineTargetSelected() && WinePrepare() == 0 && !SetPortsLink(dir)) std::perror("ports link");
}

bool WineRunsProgram(const std::vector<std::string>& argv) {
  return WineTargetSelected() && argv.size() > 1 && argv[0] == Loader();
}

std::string WineStartFailure(int exitCode, const std::string& out, const std::string& err) {
  // The four programs say on stderr why they end with 1; Wine's own words begin with "wine".
  const bool wineSaid = err.empty() || err.compare(0, 4, "wine") == 0 || err.find(":err:") != std::string::npos;
  if (exitCode != 1 || !out.empty() || !wineSaid) return "";
  return "Wine ended the program with status 1 before it wrote anything: it never ran, or its wineserver ended "
         "it. Wine's stderr: " +
         (err.empty() ? std::string("(nothing)") : err);
}
