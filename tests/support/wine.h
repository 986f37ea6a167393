// The end-to-end tests run against the Windows build under Wine too (the
// README's "The tests under Wine" says how, and what Wine does). A test
// process selects the Wine target with QARVEL_E2E_TARGET=wine; the harness
// then runs qarvel, vexa and vexasw as {wine, <build>/win64/<name>.exe} and
// shows each port folder to them as COM1..COM255, through a private prefix
// (<build>/wine-prefix) that one test process at a time uses.
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
// While the Wine target is selected, for a Windows program: the command
// that runs it under Wine, in *argv; true. Otherwise false.
bool WineProgramCommand(const std::string& name, std::vector<std::string>* argv);
// While the Wine target is selected: COM<n> of the Windows programs is
// dir/COM<n>.
void WineUsePortDir(const std::string& dir);
