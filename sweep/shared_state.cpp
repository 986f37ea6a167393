// The run-control state that the main thread and the acquisition thread
// share: three words and three records, handed over without locks. Each
// record is written completely before the flag that announces it is raised
// (release) and read only after the flag has been seen (acquire).
#include "sweep/shared_state.h"

#include <atomic>

#include "link/console.h"
#include "link/status.h"

namespace {

std::atomic<int32_t> RunRequest{0};
std::atomic<int32_t> SaveRequest{0};
std::atomic<int32_t> AutoStopTime{-1};
SweepSet SharedSweepSet;
SaveData SharedPlannedSave;
SaveData SharedSaveData;

}  // namespace

int32_t GetRunRequest() { return RunRequest.load(std::memory_order_acquire); }
void SetRunRequest(int32_t value) { RunRequest.store(value, std::memory_order_release); }
int32_t GetSaveRequest() { return SaveRequest.load(std::memory_order_acquire); }
void SetSaveRequest(int32_t value) { SaveRequest.store(value, std::memory_order_release); }
int32_t GetAutoStopTime() { return AutoStopTime.load(std::memory_order_acquire); }
void SetAutoStopTime(int32_t seconds) {
  AutoStopTime.store(seconds > 0 ? seconds : -1, std::memory_order_release);
}

void PublishSweepSet(const SweepSet& sweepSet) { SharedSweepSet = sweepSet; }
void TakeSweepSet(SweepSet* sweepSet) { *sweepSet = SharedSweepSet; }
void PublishPlannedSave(const SaveData& saveData) { SharedPlannedSave = saveData; }
void TakePlannedSave(SaveData* saveData) { *saveData = SharedPlannedSave; }
void TakeSaveData(SaveData* saveData) { *saveData = SharedSaveData; }

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
