// The record store: every received sub-sweep in arrival order, already
// converted to physical values, and the global averager's sums.
#include <cstdlib>
#include <cstring>

#include "link/status.h"
#include "platform/platform.h"
#include "sweep/sweep.h"

RecordNode* RecordHead = nullptr;
RecordNode* RecordTail = nullptr;
double* PhaseSum = nullptr;
double* MagnitudeSum = nullptr;

namespace {

// Complete sets among the stored records, followed as records arrive, so
// that the size of the result file is known before a record is kept. A
// complete set is a run of range indices 0..nsub-1; two sets never overlap,
// so counting every such run gives exactly the writer's count.
struct SetTally {
  int32_t run;           // length of the ascending run 0, 1, ... ending at the tail
  uint8_t runContent;    // content bits of that run's first record
  int32_t sets;          // complete sets so far
  uint8_t firstContent;  // content bits of the first set's first record
};

// The store's own state besides the record list.
struct StoreState {
  SetTally tally;
};
StoreState Store = {{0, 0, 0, 0}};

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

int32_t Refuse(bool* malformed, bool isMalformed) {
  if (malformed != nullptr) *malformed = isMalformed;
  return InvalidValue;
}

}  // namespace

int32_t AppendRecord(const uint8_t* payload, uint32_t length, const FreqEntry& lastFreq,
                     const SweepInfo& info, FileFits fits, bool* malformed) {
  if (malformed != nullptr) *malformed = false;
  if (payload == nullptr || length < static_cast<uint32_t>(kSweepHeaderBytes)) {
    return Refuse(malformed, true);
  }
  const uint16_t points = SweepPoints(payload);
  const uint8_t content = SweepContent(payload);
  if (points == 0 || content == 0 || lastFreq.stepWord == 0) return Refuse(malformed, false);

  const int32_t nsub = info.NumberOfRanges;
  const int32_t range = SweepRangeIndex(payload);
  if (length != SweepDataLength(points, content)) return Refuse(malformed, true);
  if (nsub < 1 || nsub > kMaxRanges || range >= nsub) return Refuse(malformed, true);
  if (points != info.Points[range]) return Refuse(malformed, true);

  const SetTally next = TallyAfter(Store.tally, range, content, nsub);
  if (fits != nullptr && next.sets > Store.tally.sets &&
      !fits(info, next.sets, next.firstContent)) {
    return OutOfMemory;
  }

  const bool hasPhase = (content & kContentPhase) != 0;
  const bool hasMagnitude = (content & kContentMagnitude) != 0;
  const size_t kinds = static_cast<size_t>(ContentKinds(content));
  void* block = std::malloc(sizeof(RecordNode) + kinds * points * sizeof(double));
  if (block == nullptr) return OutOfMemory;

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
  return NoError;
}

int32_t FreeRecords() {
  RecordNode* node = RecordHead;
  while (node != nullptr) {
    RecordNode* next = node->next;
    std::free(node);
    node = next;
  }
  RecordHead = nullptr;
  RecordTail = nullptr;
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

int32_t CountCompleteSweepSets(int32_t nsub) {
  int32_t sets = 0;
  for (RecordNode* p = FindCompleteSweepSet(RecordHead, nsub); p != nullptr;
       p = FindCompleteSweepSet(AfterSweepSet(p, nsub), nsub)) {
    ++sets;
  }
  return sets;
}

double NaNFill() {
  const uint64_t bits = 0x7FFFFFFFFFFFFFFFull;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void FillRangeColumn(double* column, const double* values, uint32_t stored, int32_t points,
                     int32_t maxPoints) {
  int32_t n = 0;
  if (values != nullptr && points > 0) {
    n = points < maxPoints ? points : maxPoints;
    if (static_cast<uint32_t>(n) > stored) n = static_cast<int32_t>(stored);
    std::memcpy(column, values, static_cast<size_t>(n) * sizeof(double));
  }
  const double fill = NaNFill();
  for (int32_t i = n; i < maxPoints; ++i) column[i] = fill;
}

// ---------------------------------------------------------- global averager

int32_t InitAverager() {
  double** sums[2] = {&PhaseSum, &MagnitudeSum};
  for (double** sum : sums) {
    if (*sum == nullptr) {
      *sum = static_cast<double*>(std::calloc(kMaxSweepValues, sizeof(double)));
      if (*sum == nullptr) return OutOfMemory;
    } else {
      std::memset(*sum, 0, kMaxSweepValues * sizeof(double));
    }
  }
  return NoError;
}

void FreeAverager() {
  std::free(PhaseSum);
  std::free(MagnitudeSum);
  PhaseSum = nullptr;
  MagnitudeSum = nullptr;
}

int32_t AccumulateSweepSet(double* phaseSum, double* magnitudeSum, const RecordNode* first,
                           int32_t nsub, const int32_t* points, int32_t maxPoints, double* scratch,
                           bool phasePresent, bool magnitudePresent) {
  if (nsub < 1 || maxPoints < 0 ||
      static_cast<int64_t>(nsub) * maxPoints > static_cast<int64_t>(kMaxSweepValues)) {
    return OutOfMemory;
  }
  const int32_t count = nsub * maxPoints;
  for (int kind = 0; kind < 2; ++kind) {
    double* sum = kind == 0 ? phaseSum : magnitudeSum;
    if (!(kind == 0 ? phasePresent : magnitudePresent) || sum == nullptr) continue;
    const RecordNode* record = first;
    for (int32_t k = 0; k < nsub && record != nullptr; ++k, record = record->next) {
      FillRangeColumn(scratch + static_cast<size_t>(k) * maxPoints,
                      kind == 0 ? record->phase : record->magnitude, record->valueCount, points[k],
                      maxPoints);
    }
    for (int32_t i = 0; i < count; ++i) sum[i] += scratch[i];
  }
  return NoError;
}

void FinishAverage(int32_t sets) {
  const double divisor = static_cast<double>(sets);
  double* sums[2] = {PhaseSum, MagnitudeSum};
  for (double* sum : sums) {
    if (sum == nullptr) continue;
    for (int32_t i = 0; i < kMaxSweepValues; ++i) sum[i] /= divisor;
  }
}
