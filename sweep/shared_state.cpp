// The run-control state that the main thread and the acquisition thread
// share: four words and three records, handed over without locks. Each
// record is written completely before the flag that announces it is raised
// (release) and read only after the flag has been seen (acquire).
#include <atomic>

#include "link/status.h"
#include "sweep/sweep.h"

namespace {

std::atomic<int32_t> RunRequest{0};
std::atomic<int32_t> SaveRequest{0};
std::atomic<int32_t> AutoStopTime{-1};
std::atomic<int32_t> GlobalAveraging{0};
SweepSet SharedSweepSet;
SaveData SharedSaveData;
SweepInfo SharedSweepInfo;

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
