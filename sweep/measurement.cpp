// A measurement's beginning and end, and the way in and out of its data:
// what it owns is taken and given back here, and nowhere else.
#include "sweep/measurement.h"

#include "link/status.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"

int32_t BeginMeasurement(Measurement* m, const SweepBuild& build, const SweepInfo& info,
                         const SaveData& saveData) {
  FreeRecords();
  *m = Measurement{};
  m->build = &build;
  if (AllocSaveBuffer() != NoError) return OutOfMemory;
  m->info = info;
  const int32_t last = info.NumberOfRanges - 1;
  if (last >= 0 && last < kMaxRanges) {
    m->freq = FreqEntry{static_cast<uint32_t>(info.StartWord[last]),
                        static_cast<uint16_t>(info.Points[last]),
                        static_cast<uint32_t>(info.StepWord[last])};
  }
  m->saveData = saveData;
  m->averaged = build.globalAverager && saveData.IsGloballyAveraged != 0;
  m->bound = ResultFileBound(build, info, m->averaged);
  m->begun = true;
  return NoError;
}

AppendOutcome AppendToMeasurement(const Measurement& m, const uint8_t* payload, uint32_t length) {
  return AppendRecord(m.info, m.freq, m.bound, payload, length);
}

int32_t SaveMeasurement(const Measurement& m, const SaveData& saveData) {
  if (!m.begun) return NoData;
  return WriteResultFile(*m.build, m.info, m.averaged, saveData);
}

void EndMeasurement(Measurement* m) {
  if (!m->begun) return;
  FreeRecords();
  FreeSaveBuffer();
  m->begun = false;
}
