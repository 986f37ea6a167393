// Test harness: temporary folders, files, the programs under test run as
// real processes, and emulated COM ports published where the programs look
// for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The harness as it was before the tests moved to harness.h; kept while
// they move.
namespace legacy {

// ------------------------------------------------------------ files

// A new empty folder under the build tree; removed by RemoveTree.
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);
bool FileExists(const std::string& path);
// The names in a folder, sorted ("." and ".." left out).
std::vector<std::string> ListDir(const std::string& path);
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// How often part occurs in text.
size_t CountOf(const std::string& text, const std::string& part);

// The system's Python with scipy (the Debian interpreter, not a user one),
// and whether GNU Octave is installed.
std::string SystemPython();
bool HaveOctave();

// s as one word of a shell command line.
std::string ShellQuote(const std::string& s);

// Runs a shell command; returns its exit status and, in *output, what it
// printed (stdout and stderr).
int RunShell(const std::string& command, std::string* output);

// A MAT file reader run as a process, hermetically: the script runs with a
// private, empty HOME that is removed afterwards (so nothing of the user's
// setup is read and nothing is left behind), Octave without its command
// history. Only stdout is the reader's answer; stderr is kept apart so that
// a failed comparison can show it.
struct ReaderResult {
  int status;
  std::string out;
  std::string err;
};
ReaderResult RunPythonReader(const std::string& script, const std::vector<std::string>& args);
ReaderResult RunOctaveReader(const std::string& script, const std::vector<std::string>& args);

// ------------------------------------------------------------ programs

// The command that runs one of the built programs ("qarvel", "vexa",
// "vexasw", "instrument-emulator"): the native binary in the build folder.
std::vector<std::string> ProgramCommand(const std::string& name);

struct ProcessOptions {
  std::vector<std::string> argv;  // full command, argv[0] included
  std::vector<std::string> env;   // NAME=VALUE entries added to the environment
  std::string cwd;                // empty: the test's working folder
  bool stdinPipe = false;         // true: a pipe the test writes; false: /dev/null
  std::string stdinPath;          // when set (and no pipe): this file or terminal
  long long fileSizeLimit = 0;    // when above 0: RLIMIT_FSIZE of the child, in bytes
  std::string stderrPath;         // when set: stderr goes to this new file; else /dev/null
};

struct Process;  // a running child with its captured standard output

Process* StartProcess(const ProcessOptions& options);
bool WriteStdin(Process* p, const std::string& bytes);
void CloseStdin(Process* p);
// Everything the child has written to stdout so far.
std::string Output(Process* p);
// Waits until the output contains text; false on time-out or exit without it.
bool WaitForOutput(Process* p, const std::string& text, int timeoutMs);
void SignalProcess(Process* p, int signal);
// Waits for the child to end. Returns its exit status (0..255), 1000 + the
// signal number when a signal ended it, or -1 on time-out (the child is then
// killed).
int WaitExit(Process* p, int timeoutMs);
// Kills the child if still running and frees everything.
void FreeProcess(Process* p);

struct RunResult {
  int exitCode;        // as WaitExit
  std::string output;  // stdout
};
// Starts, waits (closing stdin at once when it is a pipe) and collects.
RunResult RunProgram(const ProcessOptions& options, int timeoutMs = 30000);

// Exit codes are seen as their low 8 bits.
inline int ExitByte(int code) { return code & 0xFF; }

// ------------------------------------------------------------ ports
//
// No test may reach the machine's own serial ports (here /dev/ttyS0 is the
// system console). A test process that links this harness starts with
// COMPORT_DIR set to a folder that never exists, unless it was set already,
// so neither the link in the test process nor a program that it starts
// numbers the machine's ports; tests publish their own.

// A private folder in which emulated ports are published as COM<n> links;
// programs find them through COMPORT_DIR.
struct PortDir {
  std::string dir;
};
PortDir MakePortDir();
// Publishes ptyPath as COM<com> (replacing an earlier link).
void PublishPort(const PortDir& ports, int com, const std::string& ptyPath);
void UnpublishPort(const PortDir& ports, int com);
// The environment entries that make a program look in this folder.
std::vector<std::string> PortEnv(const PortDir& ports);
// How the programs name COM<com> of this folder in their messages: its path,
// or "COM<com>" for the Windows build.
std::string PortName(const PortDir& ports, int com);

}  // namespace legacy
