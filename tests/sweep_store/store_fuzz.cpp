// Feeds arbitrary SWEEPDATA payloads to the record store and saves what it
// kept. The first four bytes choose the configuration; then each payload is a
// length byte and that many bytes.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define SWEEP_SECOND_BUILD 0  // qarvel's store, with the averager
#include "matfile/matfile.h"
#include "sweep/sweep.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = AllocDiskBuffer(kDiskBufferBytes) == NoError && AllocSaveBuffer() == NoError;
  if (!ready || InitAverager() != NoError) std::abort();
  if (size < 4) return 0;
  SweepInfo info{};  // 1..8 ranges of 1..16 points, -m, a low size limit
  info.NumberOfRanges = 1 + data[0] % 8;
  for (int k = 0; k < info.NumberOfRanges; ++k) info.Points[k] = 1 + (data[1] + k) % 16, info.StepWord[k] = data[2];
  SaveData save{};
  std::snprintf(save.OriginalFilename, sizeof save.OriginalFilename, "/tmp/sweep_store_fuzz_%d.mat", getpid());
  save.IsGloballyAveraged = data[3] & 1;
  ResultFileLimit = (data[3] & 2) ? 3000 + 64 * data[2] : kResultFileLimit;
  const FreqEntry freq{1, 1, static_cast<uint32_t>(data[3] >> 2)};

  FreeRecords();
  for (size_t at = 4; at < size;) {
    const size_t length = std::min<size_t>(data[at], size - at - 1);
    // Exactly the payload, in a block of its own: reading past it is caught.
    const std::vector<uint8_t> payload(data + at + 1, data + at + 1 + length);
    at += 1 + length;
    AppendRecord(payload.data(), static_cast<uint32_t>(length), freq, info,
                 save.IsGloballyAveraged ? nullptr : ResultFileFits, nullptr);
  }
  // The file is as large as sized, and one not averaged within the limit; no
  // complete set, no file.
  const int32_t sets = CountCompleteSweepSets(info.NumberOfRanges);
  const int32_t status = WriteResultFile(info, save);
  const RecordNode* first = FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
  if (status == NoError ? GetBytesWritten() != ResultFileBytes(info, save, sets, SweepContent(first->header)) ||
                              (!save.IsGloballyAveraged && GetBytesWritten() > static_cast<uint64_t>(ResultFileLimit))
                        : status != NoData || sets != 0)
    std::abort();
  unlink(save.OriginalFilename);
  return 0;
}
