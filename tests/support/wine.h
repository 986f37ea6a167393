// The end-to-end tests against the Windows build under Wine (README: "The tests
// under Wine"). QARVEL_E2E_TARGET=wine selects it: the harness then runs the
// programs as {wine, <build>/win64/<name>.exe}, with each port folder as their
// COM1..COM255, through a private prefix that one test process at a time uses.
#pragma once

#include <string>
#include <vector>

bool WineTargetSelected();
void SelectWineTarget();
// Why the Windows build cannot run here ("" when it can).
std::string WineUnavailableReason();
// Makes the prefix ready for this process (once); 0, or -1 on failure.
int WinePrepare();
std::string WinePrefixDir();
// While the Wine target is selected, for a Windows program: true, its command in *argv.
bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv);
// While the Wine target is selected: COM<n> of the Windows programs is dir/COM<n>.
void WineUsePortDir(const std::string& dir);
