// Run control: the whole program of a build, on the main thread.
#pragma once

#include "sweep/builds.h"

// Exit codes of start-up failures.
constexpr int kExitNoBuffers = -100;  // DiskBuffer or the averager's sums
constexpr int kExitNoThread = -101;   // the acquisition thread

// Start-up, measurement(s), save(s). Returns the exit code.
int SweepMain(const SweepBuild& build, int argc, char** argv);
