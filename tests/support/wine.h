// Running the Windows build of qarvel, vexa and vexasw under Wine, so that
// the end-to-end tests written against harness.h exercise the Win32 backends
// too.
//
// The Wine target is selected for a test process by QARVEL_E2E_TARGET=wine in
// its environment (SelectWineTarget sets it). Then the harness:
//   - runs the three programs as {wine, <build>/win64/<name>.exe}
//     (WineProgramCommand); the emulator stays a native program;
//   - shows every port folder made by MakePortDir to the Windows programs as
//     their COM1..COM255 (WineUsePortDir), so publishing, removing and
//     re-publishing COM<n> links works as it does through COMPORT_DIR.
//
// The prefix lives in <build>/wine-prefix and is created on first use (about
// 10 s). Its registry maps COM<n> to <prefix>/ports/COM<n> for every n from 1
// to 255, and <prefix>/ports is a symbolic link to the port folder of the
// current test (or to nothing). Wine puts the machine's own serial ports
// (/dev/ttyS*, the system console here) on the first COM number the registry
// leaves free; with all 255 taken they land on COM256, which no program
// tries, and nothing ever opens them.
//
// One test process at a time uses the prefix: WinePrepare takes a lock on
// <build>/wine-prefix.lock that is held until the process ends, so ctest -j
// runs the Wine tests one after another.
//
// What Wine 8 does with the programs (checked here with wine64 8.0):
//   - a pty mapped as a COM port opens and takes the link's DCB and
//     COMMTIMEOUTS (ReadIntervalTimeout MAXDWORD reads return at once);
//   - a COM port whose mapping points at nothing still opens, but
//     GetCommState then fails (ERROR_INVALID_FUNCTION), so OpenComPort fails;
//   - opening without sharing is not enforced: a second CreateFileA of an
//     open COM port succeeds, and Wine takes no lock on the pty;
//   - a piped stdin reaches the program; PeekNamedPipe on it fails (error 50),
//     a ReadFile on a thread works; /dev/null as stdin is a character file on
//     which GetConsoleMode fails and ReadFile reports end of file;
//   - the exit status is the low 8 bits of the exit code (-1000 shows as 24);
//   - SIGINT to the process runs the console control handler with
//     CTRL_C_EVENT; SIGTERM and SIGHUP end the process at once.
#pragma once

#include <string>
#include <vector>

// True when this process runs the e2e tests against the Windows build.
bool WineTargetSelected();
// Selects the Windows build for this process and the processes it starts.
void SelectWineTarget();

// Why the Windows build cannot be run here, or "" when it can: Wine missing,
// or an x86_64 program missing from the Windows build folder.
std::string WineUnavailableReason();

// The Wine loader ("wine" on PATH, else wine64) and the Windows build folder
// of the x86_64 programs (QARVEL_WIN64_DIR, default <build>/win64, which the
// target wine_programs cross-builds).
std::string WineLoader();
std::string WineBuildDir();
std::string WinePrefixDir();

// Makes the prefix ready for this process: takes the prefix lock (waiting
// for another test process to finish), creates the prefix when needed, and
// sets WINEPREFIX, WINEDEBUG=-all and the other Wine variables in this
// process's environment, so every program started afterwards inherits them.
// The ports link is reset to point at nothing. Runs once per process; later
// calls return the first result. 0, or -1 when the prefix cannot be made.
int WinePrepare();

// For qarvel, vexa and vexasw while the Wine target is selected: stores
// {wine, <WineBuildDir>/<name>.exe} in *argv (preparing the prefix) and returns
// true. Otherwise returns false and leaves *argv alone.
bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv);

// While the Wine target is selected: makes the COM<n> links in dir the
// Windows programs' COM ports. Does nothing otherwise.
void WineUsePortDir(const std::string& dir);
