// Feeds arbitrary SWEEPDATA payloads to the record store and saves what it
// kept. The first bytes choose the configuration; the rest is a sequence of
// payloads, each preceded by its 16-bit length.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
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
  while (at + 2 <= size) {
    size_t length = data[at] | (data[at + 1] << 8);
    at += 2;
    if (length > size - at) length = size - at;
    // A private copy, so that reading past the payload is caught.
    uint8_t* payload = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    std::memcpy(payload, data + at, length);
    AppendRecord(payload, static_cast<uint32_t>(length), freq, info);
    std::free(payload);
    at += length;
  }

  const int32_t sets = CountCompleteSweepSets(info.NumberOfRanges);
  const int32_t status = WriteResultFile(info, save);
  if (status == NoError) {
    const RecordNode* first = FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
    if (GetBytesWritten() != ResultFileBytes(info, save, sets, SweepContent(first->header)) ||
        GetBytesWritten() > static_cast<uint64_t>(ResultFileLimit)) {
      std::abort();
    }
  } else if (status != NoData || sets != 0) {
    std::abort();
  }
  unlink(path);
  FreeRecords();
  return 0;
}
