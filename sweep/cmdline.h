// The command line of the sweep tool: "filename <range>... [options]".
#pragma once

#include <cstdint>

#include "sweep/builds.h"
#include "sweep/savedata.h"
#include "sweep/sweep_commands.h"

// Validates argv, as the given build takes it, into *sweepSet, *saveData
// and *autoStopTime (seconds, -1 when -e is absent). Returns 0 for a valid
// command line; otherwise prints the usage text or the first error's message
// and returns the exit code, kExitRejectedValue or kExitRejectedArgument.
int ParseCommandLine(const SweepBuild& build, int argc, char** argv, SweepSet* sweepSet,
                     SaveData* saveData, int32_t* autoStopTime);
