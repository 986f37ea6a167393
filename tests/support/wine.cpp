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

constexpr int kLastCom = 255;
const char* const kTargetVariable = "QARVEL_E2E_TARGET";
const char* const kReadyMarker = "/.qarvel-ready";
const char* const kPortsLink = "/ports";
const char* const kNoPorts = "/no-ports";  // never created

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// The first of names found on PATH, else the first existing fallback path.
std::string FindTool(std::initializer_list<const char*> names,
                     std::initializer_list<const char*> fallbacks) {
  const char* path = std::getenv("PATH");
  for (const char* name : names) {
    std::string dirs = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string dir = dirs.substr(start, end - start);
      if (!dir.empty() && IsExecutable(dir + "/" + name)) return dir + "/" + name;
      start = end + 1;
    }
  }
  for (const char* candidate : fallbacks) {
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

std::string WineServer() {
  return FindTool({"wineserver"}, {"/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"});
}

bool IsWindowsProgram(const std::string& name) {
  return name == "qarvel" || name == "vexa" || name == "vexasw";
}

// A string value in the syntax of .reg files and Wine's registry files.
std::string RegString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// "COM<n>"="<target(n)>" lines for COM1..COM255.
template <typename Target>
std::string PortValues(Target target) {
  std::string lines;
  for (int n = 1; n <= kLastCom; ++n) {
    lines += "\"COM" + std::to_string(n) + "\"=" + RegString(target(n)) + "\r\n";
  }
  return lines;
}

// Every COM<n> through the ports link of the prefix.
std::string FolderPortValues() {
  std::string link = WinePrefixDir() + kPortsLink;
  return PortValues([&](int n) { return link + "/COM" + std::to_string(n); });
}

// Points the ports link at target, replacing it in one step.
bool SetPortsLink(const std::string& target) {
  std::string link = WinePrefixDir() + kPortsLink;
  std::string fresh = link + ".new";
  unlink(fresh.c_str());
  return symlink(target.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link.c_str()) == 0;
}

// Stops the prefix's wineserver, waits until it is gone, and starts a new
// one, which creates the COM devices from the registry. The new server
// stays for a while after its last program has ended: a server that Wine
// starts on demand leaves after a few idle seconds, and a program that
// connects while it is leaving fails at once ("wine client error ...
// Connection reset by peer").
void RestartWineServer() {
  std::string server = ShellQuote(WineServer());
  RunShell(server + " -k", nullptr);
  RunShell(server + " -w", nullptr);
  RunShell(server + " -p30 </dev/null >/dev/null 2>&1", nullptr);
}

// Creates the prefix. Its registry is written before Wine first starts, so
// that the COM ports are mapped from the very first boot and the machine's
// serial ports never get a low COM number, even for a moment.
int CreatePrefix() {
  std::string prefix = WinePrefixDir();
  RunShell("rm -rf " + ShellQuote(prefix), nullptr);
  if (mkdir(prefix.c_str(), 0755) != 0) return -1;
  std::string seed = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
                     "[Software\\\\Wine\\\\Ports] 0\n" + FolderPortValues();
  if (!WriteFileBytes(prefix + "/system.reg", seed)) return -1;
  std::string out;
  int rc = RunShell(ShellQuote(WineLoader()) + " wineboot -i", &out);
  RunShell(ShellQuote(WineServer()) + " -w", nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "wineboot failed (%d): %s\n", rc, out.c_str());
    return -1;
  }
  if (ReadFileBytes(prefix + "/system.reg").find("\"COM255\"=") == std::string::npos) {
    std::fprintf(stderr, "the new Wine prefix lost its COM port mapping\n");
    return -1;
  }
  return WriteFileBytes(prefix + kReadyMarker, "") ? 0 : -1;
}

int PrepareOnce() {
  if (!WineUnavailableReason().empty()) return -1;
  std::string prefix = WinePrefixDir();
  // Held (never closed) for the life of this process; not inherited, so that
  // a wineserver started by this process does not keep it.
  int lock = open((prefix + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    std::perror("wine prefix lock");
    return -1;
  }

  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  // No Mono or Gecko installer prompts while the prefix is created, and no
  // windows: the programs are console programs.
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");

  if (!FileExists(prefix + kReadyMarker) && CreatePrefix() != 0) return -1;
  if (!SetPortsLink(prefix + kNoPorts)) {
    std::perror("wine ports link");
    return -1;
  }
  // A server of this process's own, which no earlier test leaves half-gone,
  // and which ends with this process: no test leaves a process behind.
  RestartWineServer();
  std::atexit([] { RunShell(ShellQuote(WineServer()) + " -k", nullptr); });
  return 0;
}

}  // namespace

bool WineTargetSelected() {
  const char* target = std::getenv(kTargetVariable);
  return target != nullptr && std::strcmp(target, "wine") == 0;
}

void SelectWineTarget() { setenv(kTargetVariable, "wine", 1); }

std::string WineLoader() { return FindTool({"wine", "wine64"}, {"/usr/lib/wine/wine64"}); }

std::string WineBuildDir() {
  const char* dir = std::getenv("QARVEL_WIN64_DIR");
  return dir != nullptr && *dir != '\0' ? dir : std::string(QARVEL_BUILD_DIR) + "/win64";
}

std::string WinePrefixDir() { return std::string(QARVEL_BUILD_DIR) + "/wine-prefix"; }

std::string WineUnavailableReason() {
  if (WineLoader().empty()) return "Wine is not installed (apt-get install wine64)";
  if (WineServer().empty()) return "wineserver is not installed";
  for (const char* name : {"qarvel", "vexa", "vexasw"}) {
    std::string exe = WineBuildDir() + "/" + name + ".exe";
    if (!FileExists(exe)) return exe + " is missing (build the target wine_programs, which needs mingw-w64)";
  }
  return "";
}

int WinePrepare() {
  static const int result = PrepareOnce();
  return result;
}

bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv) {
  if (!WineTargetSelected() || !IsWindowsProgram(name)) return false;
  WinePrepare();
  *argv = {WineLoader(), WineBuildDir() + "/" + name + ".exe"};
  return true;
}

void WineUsePortDir(const std::string& dir) {
  if (!WineTargetSelected() || WinePrepare() != 0) return;
  if (!SetPortsLink(dir)) std::perror("wine ports link");
}
