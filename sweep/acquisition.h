// The acquisition thread: owns the instrument, the measurement and the
// writing of its file. One endless state machine; the main thread steers it
// only through the shared state (shared_state.h).
#pragma once

// The thread's procedure, for StartThread: build is the program's
// const SweepBuild*. Never returns.
void AcquisitionThread(void* build);
