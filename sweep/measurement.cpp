// A measurement's beginning and end, and the way in and out of its data:
// what it owns is taken and given back here, and nowhere else.
#include "sweep/measurement.h"

#include "link/status.h"
#include "platform/platform.h"
#include "sweep/averager.h"
#include "sweep/journal.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"

FreqEntry LastFreqEntry(const SweepInfo& info) {
  if (info.NumberOfRanges < 1 || info.NumberOfRanges > kMaxRanges) return FreqEntry{0, 0, 0};
  const int32_t last = info.NumberOfRanges - 1;
  return FreqEntry{static_cast<uint32_t>(info.StartWord[last]),
                   static_cast<uint16_t>(info.Points[last]),
                   static_cast<uint32_t>(info.StepWord[last])};
}

int32_t BeginMeasurement(Measurement* m, const SweepBuild& build, const SweepInfo& info,
                         const SaveData& saveData, bool journal) {
  EndMeasurement(m);
  FreeRecords();
  *m = Measurement{};
  m->build = &build;
  m->averaged = build.globalAverager && saveData.IsGloballyAveraged != 0;
  if (AllocSaveBuffer() != NoError || (m->averaged && InitAverager() != NoError)) {
    return OutOfMemory;
  }
  m->info = info;
  m->freq = LastFreqEntry(info);
  m->saveData = saveData;
  m->bound = ResultFileBound(build, info, m->averaged);
  m->saved = InvalidOperation;
  if (journal) {
    JournalHeader header{build.id, m->averaged, SystemTime(), saveData, info};
    m->journaled = StartJournal(&header) == JournalStart::Started;
    m->saveData = header.saveData;  // the name it is saved under, when another run has the target
  }
  m->begun = true;
  return NoError;
}

AppendOutcome AppendToMeasurement(const Measurement& m, const uint8_t* payload, uint32_t length) {
  const AppendOutcome outcome = AppendRecord(m.info, m.freq, m.bound, payload, length);
  if (outcome == AppendOutcome::Kept && m.journaled) JournalRecord(payload, length);
  return outcome;
}

int32_t SaveMeasurement(Measurement* m, const SaveData& saveData, const char* path) {
  if (!m->begun) return NoData;
  if (m->journaled) FinishJournal();
  m->saved = WriteResultFile(*m->build, m->info, m->averaged, saveData, path);
  return m->saved;
}

void EndMeasurement(Measurement* m) {
  if (!m->begun) return;
  if (m->journaled) CloseJournal(m->saved == NoError || m->saved == NoData);
  FreeRecords();
  FreeSaveBuffer();
  m->begun = false;
}
