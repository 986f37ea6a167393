// The end-to-end tests against the Windows build under Wine (CONTRIBUTING.md: "The tests
// under Wine"). QARVEL_E2E_TARGET=wine selects it: the harness then runs the
// programs as {wine, <build>/win64/<name>.exe}, with each port folder as their
// COM1..COM255, through a private prefix that one test process at a time uses.
// One wineserver serves the prefix for the whole suite: WineStartServer makes
// the prefix and starts it (ctest's fixture test wine:server-start), every
// test process only connects to it, and WineStopServer ends it with everything
// Wine runs (wine:server-stop). No test process starts or stops a server: one
// that stops or leaves while a program connects ends that program before it
// runs a line, with Wine's exit status 1 and nothing said.
#pragma once

#include <string>
#include <vector>

bool WineTargetSelected();
void SelectWineTarget();
// Why the Windows build cannot run here ("" when it can).
std::string WineUnavailableReason();
// Makes the prefix if it is missing, and starts its server, which stays until
// WineStopServer; 0, or -1 (the reason on stderr).
int WineStartServer();
// Ends the prefix's server and every Windows process; 0, or -1.
int WineStopServer();
// Makes the prefix ready for this process (once): 0, or -1 when it has no
// ready prefix or no running server (the reason on stderr).
int WinePrepare();
std::string WinePrefixDir();
// While the Wine target is selected, for a Windows program: true, its command in *argv.
bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv);
// While the Wine target is selected: COM<n> of the Windows programs is dir/COM<n>.
void WineUsePortDir(const std::string& dir);
// Whether argv runs a Windows program under Wine (a command of WineProgramCommand).
bool WineRunsProgram(const std::vector<std::string>& argv);
// For a Windows program that ended with exitCode after writing out and err: a
// message when Wine ended it before it wrote anything (it never ran, or the
// server ended it), with Wine's stderr; else "".
std::string WineStartFailure(int exitCode, const std::string& out, const std::string& err);
