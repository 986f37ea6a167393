// Replays a journal from bytes into a measurement, by the replay that qarvel-recover runs on a journal's file, and
// writes its file to /dev/null (written as it stands: no temporary file, no flush to the disk). Whatever the bytes,
// nothing is read or written out of bounds, every record read is in the store or counted as left out, and the file
// is as large as counted beforehand. The seeds (journal_seeds/) are small journals of real qarvel and vexa runs, of
// both versions (records with their arrival times from version 2 on), some of them torn as a power cut tears them.
// qarvel-track's journal decoder reads the same bytes, handed in in pieces that the input decides: whenever the
// replay took every record, it gives exactly the store's complete sets, value for value.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/byteorder.h"
#include "matfile/matfile.h"
#include "sweep/recovery.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"
#include "track/track.h"

namespace {

// Compares the decoder's sets of the bytes with the complete sets in the store.
void CompareWithDecoder(const std::vector<uint8_t>& bytes, const SweepInfo& info) {
  static JournalDecoder d;
  StartJournalDecoder(&d);
  const int32_t nsub = info.NumberOfRanges;
  RecordNode* expected = FindCompleteSweepSet(RecordHead, nsub);
  const size_t piece = bytes.empty() ? 1 : 1 + bytes[bytes.size() / 2] % 97;
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min(piece, bytes.size() - at);
    size_t taken = 0;
    TrackSet set;
    const JournalStep step = DecodeJournal(&d, bytes.data() + at, n, &taken, &set);
    if (taken > n || (step == JournalStep::NeedMore && taken != n)) std::abort();
    at += taken;
    if (step == JournalStep::Set) {
      if (expected == nullptr || set.sampleNumber != SweepSampleNumber(expected->header)) std::abort();
      const RecordNode* r = expected;
      for (int32_t k = 0; k < nsub; ++k, r = r->next) {
        const size_t column = static_cast<size_t>(k) * static_cast<size_t>(set.maxPoints);
        for (const auto& [values, kept] : {std::make_pair(set.phase, r->phase), std::make_pair(set.magnitude, r->magnitude)}) {
          if (values == nullptr || kept == nullptr) continue;
          if (std::memcmp(values + column, kept, r->valueCount * sizeof(double)) != 0) std::abort();
        }
      }
      expected = FindCompleteSweepSet(AfterSweepSet(expected, nsub), nsub);
    } else if (step != JournalStep::NeedMore) {
      break;
    }
  }
  if (expected != nullptr) std::abort();
  EndJournalDecoder(&d);
}

// The bytes with every check that can be made good made good: the header's, and each entry's while the lengths
// hold. A mutation then reaches the description and the records, instead of ending at a check.
std::vector<uint8_t> Checked(const uint8_t* data, size_t size) {
  std::vector<uint8_t> b(data, data + size);
  if (size < kJournalHeaderBytes) return b;
  PutU32(&b[kJournalHeaderBytes - 4], Crc32(0, &b[16], kJournalHeaderBytes - 20));
  for (size_t at = kJournalHeaderBytes; at + kJournalEntryOverhead <= size;) {
    const uint32_t n = GetU32(&b[at]);
    if (n > kJournalMaxBody || at + kJournalEntryOverhead + n > size) break;
    PutU32(&b[at + 5 + n], FrameJournalEntry(b[at + 4], &b[at + 5], n, &b[at]));
    at += kJournalEntryOverhead + n;
  }
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The qarvel build's saving serves both: the writer's buffer and the averager's sums.
  static const bool ready = SetUpSaving(kSweepBuilds[kQarvelBuild]) == NoError;
  if (!ready) std::abort();
  // The process-wide limits as a fresh process has them; one input in four finds no memory for records. One in
  // four is taken as it is, checks and all; the others with their checks made good.
  ResultFileLimit = kResultFileLimit;
  StoreMemoryLimit = size % 4 == 3 ? 0 : kStoreMemoryUnlimited;
  const std::vector<uint8_t> bytes = size % 4 == 0 ? std::vector<uint8_t>(data, data + size) : Checked(data, size);
  Measurement m{};
  RecoveryReport report;
  const RecoveryResult result = ReplayJournal(bytes.data(), bytes.size(), &m, &report);
  if (result != RecoveryResult::Replayed) {
    if (m.begun || (result != RecoveryResult::NotAJournal && result != RecoveryResult::Invalid)) std::abort();
    return 0;
  }
  const JournalHeader& h = report.header;
  const SweepBuild& build = kSweepBuilds[h.build];
  if (report.leftOut > report.records || (report.leftOut > 0) != (report.firstLeftOut > 0) ||
      report.firstLeftOut > report.records)
    std::abort();
  uint8_t content = 0;
  const int32_t sets = CompletedSets(&content);
  if (!m.averaged && sets != CountCompleteSweepSets(h.info.NumberOfRanges)) std::abort();
  if (!m.averaged && report.leftOut == 0) CompareWithDecoder(bytes, h.info);
  const int32_t status = SaveMeasurement(&m, h.saveData, "/dev/null");
  if (status == NoError ? GetBytesWritten() != ResultFileBytes(build, h.info, m.averaged, h.saveData, sets, content)
                        : status != NoData || sets != 0)
    std::abort();
  EndMeasurement(&m);
  return 0;
}
