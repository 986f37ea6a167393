// The run-control state that the main thread and the acquisition thread
// share: three words and three records, handed over without locks. Flags
// are stored with release and loaded with acquire, so a record copied
// before its flag is raised is completely visible to the thread that sees
// the flag:
//   - the SweepSet and the planned save (the file the measurement will be
//     saved under, and -m) before RunRequest is raised;
//   - the SaveData of RequestSave before SaveRequest is raised.
#pragma once

#include <cstdint>

#include "sweep/savedata.h"
#include "sweep/sweep_commands.h"

int32_t GetRunRequest();
void SetRunRequest(int32_t value);
int32_t GetSaveRequest();
void SetSaveRequest(int32_t value);
int32_t GetAutoStopTime();
void SetAutoStopTime(int32_t seconds);  // stores -1 for 0 or less

void PublishSweepSet(const SweepSet& sweepSet);
void TakeSweepSet(SweepSet* sweepSet);
void PublishPlannedSave(const SaveData& saveData);
void TakePlannedSave(SaveData* saveData);
void TakeSaveData(SaveData* saveData);

// Copies saveData into the shared copy, raises SaveRequest and clears
// RunRequest. While a save is pending prints "Reentrancy error." and returns
// InvalidOperation, changing nothing.
int32_t RequestSave(const SaveData& saveData);
