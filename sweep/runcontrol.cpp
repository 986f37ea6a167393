// Run control: the main thread's life. It steers the acquisition thread
// through the shared state only.
#include "sweep/runcontrol.h"

#include <cstdio>
#include <cstring>

#include "link/console.h"
#include "link/status.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "sweep/acquisition.h"
#include "sweep/averager.h"
#include "sweep/cmdline.h"
#include "sweep/resultfile.h"
#include "sweep/shared_state.h"

namespace {

// A key press or an interrupt (Ctrl+C, SIGTERM, console close) stops the
// measurement the same way.
bool StopWaiting() { return KeyWaiting() || InterruptCount() > 0; }

// Stops the measurement on the user's request: no "Auto-stopped." follows.
void StopByUser() {
  SetAutoStopTime(-1);
  SetRunRequest(0);
  if (KeyWaiting()) {
    int key = KeyRead();
    // Function and arrow keys arrive as two codes; the second must not stop
    // the next cycle.
    if ((key == 0 || key == 0xE0) && KeyWaiting()) KeyRead();
  }
}

// Starts a measurement meant for saveData's file, waits for it to end by
// itself or by the user, then asks for the save and waits until it is done.
void MeasureAndSave(const SaveData& saveData) {
  PublishPlannedSave(saveData);
  SetRunRequest(1);
  while (GetRunRequest() == 1 && !StopWaiting()) SleepMs(50);
  if (StopWaiting()) StopByUser();
  RequestSave(saveData);
  while (GetSaveRequest() != 0) SleepMs(1);
}

}  // namespace

int SweepMain(const SweepBuild& build, int argc, char** argv) {
  ProcessInit();
  if (SetUpSaving(build) != NoError) {
    PrintMessage(build.noBufferMessage);
    return kExitNoBuffers;
  }
  if (StartThread(AcquisitionThread, const_cast<SweepBuild*>(&build)) != 0) {
    PrintMessage("Failed to create the communication thread.");
    return kExitNoThread;
  }

  SweepSet sweepSet;
  SaveData saveData;
  int32_t autoStop = -1;
  SetAutoStopTime(0);
  int rc = ParseCommandLine(build, argc, argv, &sweepSet, &saveData, &autoStop);
  if (rc != 0) return rc;
  SetAutoStopTime(autoStop);

  // The handlers first: from the moment the terminal is taken, an interrupt
  // finds what puts it back.
  InstallInterruptHandlers();
  KeyboardInit();
  PublishSweepSet(sweepSet);

  if (build.numberedCycles) {
    // Endless cycles, each saved under the next number. An interrupt saves
    // the current cycle and ends the program.
    char tiedosto[15];
    for (uint32_t counter = 1;; ++counter) {
      std::snprintf(tiedosto, sizeof tiedosto, "%u.mat", counter);
      std::strcpy(saveData.OriginalFilename, tiedosto);
      MeasureAndSave(saveData);
      if (InterruptCount() > 0) break;
    }
  } else {
    MeasureAndSave(saveData);
  }

  FreeDiskBuffer();
  FreeAverager();
  InterruptWorkDone();
  return 0;
}
