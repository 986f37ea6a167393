// Run control: the main thread's life and the state it shares with the
// acquisition thread.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "sweep/sweep.h"

namespace {

std::atomic<int32_t> RunRequest{0};
std::atomic<int32_t> SaveRequest{0};
std::atomic<int32_t> AutoStopTime{-1};
std::atomic<int32_t> GlobalAveraging{0};

// Each record is written completely before the flag that announces it is
// raised (release) and read only after the flag has been seen (acquire).
SweepSet SharedSweepSet;
SaveData SharedSaveData;
SweepInfo SharedSweepInfo;

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

// Waits for the measurement to end by itself or by the user, then asks for
// the save and waits until it is done.
void MeasureAndSave(const SaveData& saveData) {
  SetRunRequest(1);
  while (GetRunRequest() == 1 && !StopWaiting()) SleepMs(50);
  if (StopWaiting()) StopByUser();
  RequestSave(saveData);
  while (GetSaveRequest() != 0) SleepMs(1);
}

}  // namespace

int32_t GetRunRequest() { return RunRequest.load(std::memory_order_acquire); }
void SetRunRequest(int32_t value) { RunRequest.store(value, std::memory_order_release); }
int32_t GetSaveRequest() { return SaveRequest.load(std::memory_order_acquire); }
void SetSaveRequest(int32_t value) { SaveRequest.store(value, std::memory_order_release); }
int32_t GetAutoStopTime() { return AutoStopTime.load(std::memory_order_acquire); }
void SetAutoStopTime(int32_t seconds) {
  AutoStopTime.store(seconds > 0 ? seconds : -1, std::memory_order_release);
}

int32_t GetGlobalAveraging() { return GlobalAveraging.load(std::memory_order_acquire); }
void SetGlobalAveraging(int32_t averaged) {
  GlobalAveraging.store(averaged != 0 ? 1 : 0, std::memory_order_release);
}

void PublishSweepSet(const SweepSet& sweepSet) { SharedSweepSet = sweepSet; }
void TakeSweepSet(SweepSet* sweepSet) { *sweepSet = SharedSweepSet; }
void TakeSaveData(SaveData* saveData) { *saveData = SharedSaveData; }
void PublishSweepInfo(const SweepInfo& info) { SharedSweepInfo = info; }
void TakeSweepInfo(SweepInfo* info) { *info = SharedSweepInfo; }

int32_t RequestSave(const SaveData& saveData) {
  if (GetSaveRequest() != 0) {
    PrintMessage("Reentrancy error.");
    return InvalidOperation;
  }
  SharedSaveData = saveData;
  SetSaveRequest(1);
  SetRunRequest(0);
  return NoError;
}

int SweepMain(int argc, char** argv) {
  ProcessInit();
  if (AllocDiskBuffer(kDiskBufferBytes) != NoError) {
    PrintMessage(kSecondBuild ? "Can't allocate disk buffer." : "Can't allocate buffers.");
    return -100;
  }
  if (!kSecondBuild && InitAverager() != NoError) {
    PrintMessage("Can't allocate buffers.");
    return -100;
  }
  if (StartThread(AcquisitionThread, nullptr) != 0) {
    PrintMessage("Failed to create the communication thread.");
    return -101;
  }

  SweepSet sweepSet;
  SaveData saveData;
  int32_t autoStop = -1;
  SetAutoStopTime(0);
  int rc = ParseCommandLine(argc, argv, &sweepSet, &saveData, &autoStop);
  if (rc != 0) return rc;
  SetAutoStopTime(autoStop);

  KeyboardInit();
  InstallInterruptHandlers();
  PublishSweepSet(sweepSet);
  SetGlobalAveraging(saveData.IsGloballyAveraged);

  if (!kSecondBuild) {
    MeasureAndSave(saveData);
  } else {
    // Endless cycles, each saved under the next number. An interrupt saves
    // the current cycle and ends the program.
    char tiedosto[15];
    for (uint32_t counter = 1;; ++counter) {
      std::snprintf(tiedosto, sizeof tiedosto, "%u.mat", counter);
      std::strcpy(saveData.OriginalFilename, tiedosto);
      MeasureAndSave(saveData);
      if (InterruptCount() > 0) break;
    }
  }

  FreeDiskBuffer();
  FreeAverager();
  InterruptWorkDone();
  return 0;
}
