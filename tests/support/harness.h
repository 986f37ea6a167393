// Test harness: folders, the programs run as processes, emulated COM ports and
// independent readers of the files they write. What a test makes or starts
// ends with it, pass or fail: folders, processes, ptys and rigs undo themselves
// when they go, and a test process ends at exit every program it started.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"

// ------------------------------------------------------------ files

// A new empty folder under the build tree, removed with its contents.
struct TempDir {
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;  void operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

bool FileExists(const std::string& path);
// The names in a folder, sorted ("." and ".." left out).
std::vector<std::string> ListDir(const std::string& path);
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// How often part occurs in text.
size_t CountOf(const std::string& text, const std::string& part);
// Bytes as lower-case hex pairs separated by spaces: "ff 00 1a".
std::string Hex(const std::string& bytes);
inline std::string Hex(const std::vector<uint8_t>& b) { return Hex(std::string(b.begin(), b.end())); }

std::string ShellQuote(const std::string& s);  // as one word of a command line
// Runs a shell command: its exit status, and what it printed (when asked).
int RunShell(const std::string& command, std::string* output);

// ------------------------------------------------------------ readers
// SciPy and GNU Octave read a file back (read_mat.py and .m beside this file),
// printing one dump: "<path> <class> <rows>x<cols> <values>" per value
// ("SweepData(2).Phase"), then "<probe> <value>" per probe
// ("SweepData(2).Phase(100,1)"). Each runs with a private, empty HOME.

enum class Reader { SciPy, Octave };
inline const char* ReaderName(Reader r) { return r == Reader::SciPy ? "SciPy" : "Octave"; }

struct MatDump {
  int status;
  std::string out, err;
};
MatDump ReadMat(Reader reader, const std::string& file,
                const std::vector<std::string>& probes = {});

// What the dump says of path (class, size and values), or "".
std::string Fact(const std::string& dump, const std::string& path);

// ------------------------------------------------------------ programs

// The command that runs a built program: the native binary, or the Windows
// build under Wine while the Wine target is selected.
std::vector<std::string> ProgramCommand(const std::string& name);

struct ProcessOptions {
  std::vector<std::string> argv;  // full command, argv[0] included
  std::vector<std::string> env;   // NAME=VALUE entries added to the environment
  std::string cwd;                // empty: the test's working folder
  bool stdinPipe = false;         // true: a pipe the test writes; false: /dev/null
  std::string stdinPath;          // when set (and no pipe): this file or terminal
  long long fileSizeLimit = 0;    // when above 0: RLIMIT_FSIZE of the child, in bytes
  std::string stderrPath;         // when set: stderr goes to this new file; else /dev/null
                                  // (a Windows program's to a file of the harness; see WaitExit)
};

// A running child in a process group of its own, with its captured stdout;
// the group is killed when the handle goes.
struct Process;
void EndProcess(Process* p);
using ProcessHandle = std::unique_ptr<Process, void (*)(Process*)>;
ProcessHandle StartProcess(const ProcessOptions& options);

bool WriteStdin(Process* p, const std::string& bytes);
// Everything the child has written to stdout so far.
std::string Output(Process* p);
// Waits until the output contains text; false on time-out or exit without it.
bool WaitForOutput(Process* p, const std::string& text, int timeoutMs);
void SignalProcess(Process* p, int signal);
// Waits for the child to end: its exit status (0..255), 1000 + the signal
// that ended it, or -1 on time-out (the child is then killed). A Windows
// program that Wine ended before it wrote anything fails the test, with what
// Wine said on stderr.
int WaitExit(Process* p, int timeoutMs);

// The environment entries that make a program raise sig in itself right
// after its first call of function (open of a temporary save file, fsync
// or tcsetattr) has returned: a
// preloaded library (support/raise_after.cpp) stands in for the function.
std::vector<std::string> RaiseAfter(const std::string& function, int sig);

struct RunResult {
  int exitCode;        // as WaitExit
  std::string output;  // stdout
};
// Starts, waits (closing stdin at once when it is a pipe) and collects.
RunResult RunProgram(const ProcessOptions& options, int timeoutMs = 30000);

// ------------------------------------------------------------ ports
// No test may reach the machine's own ports: a test process starts with
// COMPORT_DIR set to a folder that never exists (unless it is set already).

// A private folder of COM<n> links to emulated ports, for COMPORT_DIR.
struct PortDir {
  PortDir();
  TempDir folder;
  const std::string& dir() const { return folder.path; }
};
// Publishes ptyPath as COM<com>, replacing an earlier link.
void PublishPort(const PortDir& ports, int com, const std::string& ptyPath);
// The environment entries that make a program look in this folder.
std::vector<std::string> PortEnv(const PortDir& ports);
// How the programs name COM<com> in messages (the Windows build: "COM<com>").
std::string PortName(const PortDir& ports, int com);

// A pseudo-terminal pair, closed when the object goes.
struct Pty {
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;  void operator=(const Pty&) = delete;
  int master = -1, slave = -1;
  std::string path;  // of the slave end
};

// An end-to-end rig: an emulated instrument, published as COM1 of a private
// port folder unless told not to, and a private working folder.
struct Rig {
  explicit Rig(const EmulatorConfig& config = EmulatorConfig{}, bool publish = true);
  ~Rig();
  Rig(const Rig&) = delete;  void operator=(const Rig&) = delete;

  // Runs program with args in the working folder, seeing the rig's ports.
  // Start gives it a pipe as stdin (one byte written is a key press) unless
  // options name a stdin file; Run gives it /dev/null.
  ProcessHandle Start(const std::string& program, const std::vector<std::string>& args,
                      ProcessOptions options = ProcessOptions{}) const;
  RunResult Run(const std::string& program, const std::vector<std::string>& args,
                ProcessOptions options = ProcessOptions{}) const;
  std::string File(const std::string& name) const { return work / name; }
  // The options that run program with args in the working folder.
  ProcessOptions Options(const std::string& program, const std::vector<std::string>& args,
                         ProcessOptions options) const;

  Emulator* emu = nullptr;
  std::string pty;
  PortDir ports;
  TempDir work;
};
