// The record store: every received sub-sweep in arrival order, already
// converted to physical values.
#include "sweep/store.h"

#include <cstdlib>
#include <cstring>

#include "link/status.h"
#include "platform/platform.h"
#include "sweep/averager.h"
#include "sweep/range_matrix.h"

RecordNode* RecordHead = nullptr;
RecordNode* RecordTail = nullptr;
size_t StoreMemoryLimit = kStoreMemoryUnlimited;

namespace {

// Records are carved one after another out of large chunks (ReserveBlock:
// huge pages where the system has them): the store only ever frees all its
// records at once, and a long measurement's memory then costs a fraction
// of the page faults. Chunks grow from 2 MiB to 16 MiB, so that a short
// measurement stays small and a long one wastes at most the end of its last
// chunk. Each chunk begins with this record of it.
struct Chunk {
  Chunk* next;  // the chunk filled before this one
  size_t size;  // of the block, this record included
  size_t used;
};
constexpr size_t kChunkHead = (sizeof(Chunk) + 15) & ~size_t{15};
constexpr size_t kFirstChunkBytes = kHugePageBytes;
constexpr size_t kLargestChunkBytes = 8 * kHugePageBytes;

// The store's own state besides the record list: its tally of complete
// sets, followed as records arrive so that the size of the result file is
// known before a record is kept.
struct StoreState {
  SetTally tally;
  Chunk* chunks;  // the one being filled, then the earlier ones
  size_t nextChunkBytes;
  size_t reservedBytes;  // of all the chunks
};
StoreState Store = {{0, 0, 0, 0}, nullptr, kFirstChunkBytes, 0};

// Room for a record of `bytes`, or null when no memory is left.
void* Carve(size_t bytes) {
  bytes = (bytes + 15) & ~size_t{15};
  Chunk* chunk = Store.chunks;
  if (chunk == nullptr || chunk->size - chunk->used < bytes) {
    size_t size = Store.nextChunkBytes;
    while (size < kChunkHead + bytes) size += kHugePageBytes;
    if (Store.reservedBytes > StoreMemoryLimit || size > StoreMemoryLimit - Store.reservedBytes) {
      return nullptr;
    }
    chunk = static_cast<Chunk*>(ReserveBlock(size));
    if (chunk == nullptr) return nullptr;
    Store.reservedBytes += size;
    chunk->size = size;
    chunk->used = kChunkHead;
    chunk->next = Store.chunks;
    Store.chunks = chunk;
    if (Store.nextChunkBytes < kLargestChunkBytes) Store.nextChunkBytes *= 2;
  }
  void* at = reinterpret_cast<uint8_t*>(chunk) + chunk->used;
  chunk->used += bytes;
  return at;
}

// Frees every record in the list. The chunk being filled stays for the
// records to come when keepChunk, as for a summed store, which drops its
// records set after set.
void DropRecords(bool keepChunk = false) {
  Chunk* chunk = Store.chunks;
  if (keepChunk && chunk != nullptr) {
    chunk->used = kChunkHead;
    chunk = chunk->next;
    Store.chunks->next = nullptr;
  } else {
    Store.chunks = nullptr;
    Store.nextChunkBytes = kFirstChunkBytes;
  }
  while (chunk != nullptr) {
    Chunk* next = chunk->next;
    Store.reservedBytes -= chunk->size;
    ReleaseBlock(chunk, chunk->size);
    chunk = next;
  }
  RecordHead = nullptr;
  RecordTail = nullptr;
}

}  // namespace

AppendOutcome CheckRecord(const SweepInfo& info, const FreqEntry& lastFreq, const uint8_t* payload,
                          uint32_t length) {
  if (payload == nullptr || length < static_cast<uint32_t>(kSweepHeaderBytes)) {
    return AppendOutcome::Malformed;
  }
  const uint16_t points = SweepPoints(payload);
  const uint8_t content = SweepContent(payload);
  if (points == 0 || content == 0 || lastFreq.stepWord == 0) return AppendOutcome::Refused;

  const int32_t nsub = info.NumberOfRanges;
  const int32_t range = SweepRangeIndex(payload);
  if (length != SweepDataLength(points, content)) return AppendOutcome::Malformed;
  if (nsub < 1 || nsub > kMaxRanges || range >= nsub) return AppendOutcome::Malformed;
  if (points != info.Points[range]) return AppendOutcome::Malformed;
  return AppendOutcome::Kept;
}

SetTally TallyAfter(const SetTally& t, int32_t rangeIndex, uint8_t content, int32_t nsub) {
  SetTally n = t;
  if (rangeIndex == 0) {
    n.run = 1;
    n.runContent = content;
  } else {
    n.run = (t.run == rangeIndex) ? rangeIndex + 1 : 0;
  }
  if (n.run == nsub) {
    if (n.sets == 0) n.firstContent = n.runContent;
    ++n.sets;
    n.run = 0;
  }
  return n;
}

AppendOutcome AppendRecord(const SweepInfo& info, const FreqEntry& lastFreq, const FileBound& bound,
                           const uint8_t* payload, uint32_t length) {
  const AppendOutcome checked = CheckRecord(info, lastFreq, payload, length);
  if (checked != AppendOutcome::Kept) return checked;
  const uint16_t points = SweepPoints(payload);
  const uint8_t content = SweepContent(payload);
  const int32_t nsub = info.NumberOfRanges;
  const int32_t range = SweepRangeIndex(payload);

  const SetTally next = TallyAfter(Store.tally, range, content, nsub);
  if (next.sets > bound.maxSets[next.firstContent]) return AppendOutcome::FileFull;
  const bool completes = next.sets > Store.tally.sets;
  // Summed, the list holds the open set alone: a record that does not go on
  // from it passes it over, and is passed over itself unless it opens a set.
  const bool passesOver = bound.sumsOnly && (range == 0 || range != Store.tally.run);
  if (passesOver) {
    DropRecords(true);
    Store.tally.run = 0;
  }
  if (bound.sumsOnly && next.run == 0 && !completes) {
    Store.tally = next;
    return AppendOutcome::Kept;
  }

  const bool hasPhase = (content & kContentPhase) != 0;
  const bool hasMagnitude = (content & kContentMagnitude) != 0;
  const size_t kinds = static_cast<size_t>(ContentKinds(content));
  void* block = Carve(sizeof(RecordNode) + kinds * points * sizeof(double));
  if (block == nullptr) return AppendOutcome::NoMemory;

  RecordNode* node = static_cast<RecordNode*>(block);
  node->next = nullptr;
  std::memcpy(node->header, payload, kSweepHeaderBytes);
  node->valueCount = points;
  double* values = reinterpret_cast<double*>(node + 1);
  node->phase = hasPhase ? values : nullptr;
  node->magnitude = hasMagnitude ? values + (hasPhase ? points : 0) : nullptr;

  const uint8_t* word = payload + kSweepHeaderBytes;
  for (uint32_t i = 0; i < points; ++i) {
    if (hasPhase) {
      node->phase[i] = PhaseFromRaw(GetU16(word));
      word += 2;
    }
    if (hasMagnitude) {
      node->magnitude[i] = MagnitudeFromRaw(GetU16(word));
      word += 2;
    }
  }

  if (RecordTail == nullptr) {
    RecordHead = node;
  } else {
    RecordTail->next = node;
  }
  RecordTail = node;
  Store.tally = next;
  if (bound.sumsOnly && completes) {
    AccumulateSweepSet(PhaseSum, MagnitudeSum, RecordHead, nsub, info.Points, MaxPoints(info),
                       (next.firstContent & kContentPhase) != 0,
                       (next.firstContent & kContentMagnitude) != 0);
    DropRecords(true);
  }
  return AppendOutcome::Kept;
}

int32_t FreeRecords() {
  DropRecords();
  Store.tally = SetTally{0, 0, 0, 0};
  return HeapTrim();
}

int32_t IsCompleteSweepSet(const RecordNode* record, int32_t nsub) {
  if (nsub < 1 || nsub > kMaxRanges) return InvalidValue;
  for (int32_t i = 0; i < nsub; ++i) {
    if (record == nullptr || SweepRangeIndex(record->header) != i) return InvalidValue;
    record = record->next;
  }
  return NoError;
}

RecordNode* FindCompleteSweepSet(RecordNode* from, int32_t nsub) {
  while (from != nullptr && IsCompleteSweepSet(from, nsub) != NoError) from = from->next;
  return from;
}

RecordNode* AfterSweepSet(RecordNode* set, int32_t nsub) {
  for (int32_t i = 0; i < nsub && set != nullptr; ++i) set = set->next;
  return set;
}

int32_t CompletedSets(uint8_t* firstContent) {
  *firstContent = Store.tally.firstContent;
  return Store.tally.sets;
}

int32_t CountCompleteSweepSets(int32_t nsub) {
  int32_t sets = 0;
  for (RecordNode* p = FindCompleteSweepSet(RecordHead, nsub); p != nullptr;
       p = FindCompleteSweepSet(AfterSweepSet(p, nsub), nsub)) {
    ++sets;
  }
  return sets;
}
