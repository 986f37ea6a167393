// Feeds arbitrary SWEEPDATA payloads to the record store and saves what it
// kept. The first bytes choose the configuration; the rest is a sequence of
// payloads: raw ones of any length, or ones shaped to pass or barely fail
// the store's checks.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/status.h"
#include "matfile/matfile.h"
#include "sweep/sweep.h"

namespace {

bool Prepare() {
  if (AllocDiskBuffer(kDiskBufferBytes) != NoError || AllocSaveBuffer() != NoError ||
      InitAverager() != NoError) {
    std::abort();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Prepare();
  static char path[64];
  if (path[0] == '\0') std::snprintf(path, sizeof path, "/tmp/sweep_store_fuzz_%d.mat", getpid());
  (void)ready;
  if (size < 4) return 0;

  // Configuration: 1..8 ranges of 1..64 points, sweep type, -m and the limit.
  SweepInfo info;
  std::memset(&info, 0, sizeof info);
  info.NumberOfRanges = 1 + data[0] % 8;
  for (int k = 0; k < info.NumberOfRanges; ++k) {
    info.Points[k] = 1 + (data[1] + 7 * k) % 64;
    info.StartWord[k] = 171798690.0 + k;
    info.StepWord[k] = data[2];
  }
  std::memcpy(info.PresetName, "CLI", 4);
  SaveData save;
  std::memset(&save, 0, sizeof save);
  std::strcpy(save.OriginalFilename, path);
  save.IsGloballyAveraged = data[3] & 1;
  ResultFileLimit = (data[3] & 2) ? 4000 + 64 * data[2] : kResultFileLimit;
  FreqEntry freq{1, 1, static_cast<uint32_t>(data[3] >> 2)};

  FreeRecords();
  size_t at = 4;
  std::vector<uint8_t> payload;
  while (at < size) {
    const uint8_t mode = data[at++];
    if (mode & 0x80) {
      // Raw bytes of any length.
      size_t length = at + 2 <= size ? (data[at] | (data[at + 1] << 8)) : 0;
      at += 2;
      if (at > size) break;
      if (length > size - at) length = size - at;
      payload.assign(data + at, data + at + length);
      at += length;
    } else {
      // A payload that is mostly well formed: the points of its range and
      // the length its content bits call for, unless the mode bits break
      // one of them.
      payload.assign(kSweepHeaderBytes, 0);
      for (int i = 0; i < kSweepHeaderBytes && at < size; ++i) payload[i] = data[at++];
      payload[2] = static_cast<uint8_t>(payload[2] % (info.NumberOfRanges + (mode & 1)));
      uint16_t points = static_cast<uint16_t>(info.Points[payload[2] % info.NumberOfRanges] +
                                              ((mode & 2) ? 1 : 0));
      payload[13] = static_cast<uint8_t>(points);
      payload[14] = static_cast<uint8_t>(points >> 8);
      const size_t length = SweepDataLength(points, SweepContent(payload.data())) +
                            ((mode & 4) ? 1 : 0);
      while (payload.size() < length) payload.push_back(at < size ? data[at++] : 0);
    }
    // A private copy of exactly the payload, so that reading past it is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(payload.empty() ? 1 : payload.size()));
    if (!payload.empty()) std::memcpy(copy, payload.data(), payload.size());
    AppendRecord(copy, static_cast<uint32_t>(payload.size()), freq, info,
                 save.IsGloballyAveraged != 0 ? nullptr : ResultFileFits, nullptr);
    std::free(copy);
  }

  const int32_t sets = CountCompleteSweepSets(info.NumberOfRanges);
  const int32_t status = WriteResultFile(info, save);
  if (status == NoError) {
    const RecordNode* first = FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
    // A globally averaged file holds one set, whatever the store holds: only
    // memory bounds it, not the limit.
    if (GetBytesWritten() != ResultFileBytes(info, save, sets, SweepContent(first->header)) ||
        (!save.IsGloballyAveraged && GetBytesWritten() > static_cast<uint64_t>(ResultFileLimit))) {
      std::abort();
    }
  } else if (status != NoData || sets != 0) {
    std::abort();
  }
  unlink(path);
  FreeRecords();
  return 0;
}
