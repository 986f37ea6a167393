// Feeds SWEEPDATA payloads to the record store and saves what it kept: the
// configuration from the first four bytes, then 21-byte headers.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "matfile/matfile.h"
#include "sweep/averager.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  static const bool ready = SetUpSaving(build) == NoError;
  if (!ready || InitAverager() != NoError) std::abort();
  if (size < 4) return 0;
  SweepInfo info{};  // 1..8 ranges of 1..16 points, -m, a low size limit
  info.NumberOfRanges = 1 + data[0] % 8;
  for (int k = 0; k < info.NumberOfRanges; ++k) info.Points[k] = 1 + (data[1] + k) % 16, info.StepWord[k] = data[2];
  SaveData save{};
  std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "/tmp/sweep_store_fuzz_%d.mat", getpid());
  save.IsGloballyAveraged = data[3] & 1;
  ResultFileLimit = (data[3] & 2) ? 3000 + 64 * data[2] : kResultFileLimit;
  Measurement m{};
  if (BeginMeasurement(&m, build, info, save, false) != NoError) std::abort();
  m.freq.stepWord = data[3] >> 2;
  for (size_t at = 4; at + kSweepHeaderBytes <= size; at += kSweepHeaderBytes) {
    // Range, points and length made to fit, unless bits 0..3 of byte 0 break one.
    std::vector<uint8_t> p(data + at, data + at + kSweepHeaderBytes);
    const uint8_t mode = p[0];
    p[2] = static_cast<uint8_t>(p[2] % (info.NumberOfRanges + (mode & 1)));
    const int points = info.Points[p[2] % info.NumberOfRanges] + ((mode >> 1) & 1);
    p[13] = static_cast<uint8_t>(points), p[14] = 0;
    const size_t fit = SweepDataLength(static_cast<uint16_t>(points), SweepContent(p.data()));
    p.resize((mode & 8) ? mode >> 4 : fit + ((mode >> 2) & 1), mode);
    const std::vector<uint8_t> payload(p);  // a block of its own: reading past it is caught
    AppendToMeasurement(m, payload.data(), static_cast<uint32_t>(payload.size()));
  }
  // The sets followed as they arrived are the sets a walk finds (averaged, none are kept: the sums hold them); the
  // file is as large as sized, and within the limit unless averaged; no set, no file.
  uint8_t content = 0;
  const int32_t sets = CompletedSets(&content);
  if (!m.averaged && sets != CountCompleteSweepSets(info.NumberOfRanges)) std::abort();
  const int32_t status = SaveMeasurement(&m, save, save.OriginalFilename);
  if (status == NoError ? GetBytesWritten() != ResultFileBytes(build, info, m.averaged, save, sets, content) ||
                              (!m.averaged && GetBytesWritten() > static_cast<uint64_t>(ResultFileLimit))
                        : status != NoData || sets != 0)
    std::abort();
  unlink(save.OriginalFilename);
  EndMeasurement(&m);
  return 0;
}
