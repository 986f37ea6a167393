// The record store: the sub-sweeps of the measurement in arrival order,
// already converted to physical values, and the walk over its complete
// sweep sets. Used by the acquisition thread alone (and by a program that
// rebuilds a file), so it needs no lock.
//
// A complete sweep set is a run of nsub consecutive records whose range
// indices are 0, 1, ..., nsub - 1. Records outside complete sets (a set cut
// short by the stop, a lost sub-sweep, a set that began before the first
// range-0 record) stay in the list but are passed over by the walk.
//
// For a file that holds only the average of the sets (-m) the store keeps
// no more than the set still open: each set is added to the averager's sums
// as soon as it is complete, in arrival order, and its records are freed.
// The sums then come out the same bits as adding the sets up at the save:
//   - the records of an unfinished set (at most nsub - 1) are kept until it
//     completes, or until they are passed over; a set added is never taken
//     out again, since complete sets never overlap;
//   - the content bits of the first complete set decide the kinds added;
//   - each value is a double, stored in its record, before it is added, and
//     the sets are added in the same order, with no fused multiply-add;
//   - the division by the number of sets stays at the save.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sweep/sweep_commands.h"
#include "sweep/record.h"

// The record list in arrival order (null when empty).
extern RecordNode* RecordHead;
extern RecordNode* RecordTail;

// What the file that the records go to takes from the store: the most
// complete sets it may hold, by the content bits of its first set's first
// record (a record that would complete one more is not kept), and whether
// it takes only the sum of the sets.
struct FileBound {
  int32_t maxSets[4];  // by content bits: 1 phase, 2 magnitude, 3 both
  bool sumsOnly;       // -m: sets go into the averager's sums as they complete
};
constexpr int32_t kUnboundedSets = 2147483647;

// What became of a SWEEPDATA payload handed to the store.
enum class AppendOutcome {
  Kept,       // converted and appended
  Malformed,  // breaks the invariants (shorter than its header, a length other
              // than 21 + 2 x points x kinds, a range index not configured,
              // points other than the range's): dropped, the measurement goes on
  Refused,    // no points, no content bit, or a zero step word: the
              // measurement cannot go on
  NoMemory,   // the allocation failed
  FileFull,   // keeping it would take the file past its bound
};

// What the store makes of one SWEEPDATA payload of `length` bytes, checked
// against the configuration info and the CONFFREQ entry sent last, before
// the file's bound: Kept when it would take it, else why not (Malformed,
// Refused). Pure: a reader of a record of the data (a journal) takes what
// the store takes by it.
AppendOutcome CheckRecord(const SweepInfo& info, const FreqEntry& lastFreq, const uint8_t* payload,
                          uint32_t length);

// Complete sets followed as records arrive: a complete set is a run of
// range indices 0..nsub-1; two sets never overlap, so counting every such
// run gives exactly the walk's count. The store keeps one for its records;
// a reader of a record of the data keeps its own.
struct SetTally {
  int32_t run;           // length of the ascending run 0, 1, ... ending at the last record
  uint8_t runContent;    // content bits of that run's first record
  int32_t sets;          // complete sets so far
  uint8_t firstContent;  // content bits of the first set's first record
};

// The tally after one more record, of range index rangeIndex and content
// bits content, among nsub ranges. A set completes when sets grows.
SetTally TallyAfter(const SetTally& tally, int32_t rangeIndex, uint8_t content, int32_t nsub);

// Converts one SWEEPDATA payload of `length` bytes and appends it, checked
// as CheckRecord says and, before a record that completes a set is kept,
// against the file's bound. Stores nothing unless the outcome is Kept.
AppendOutcome AppendRecord(const SweepInfo& info, const FreqEntry& lastFreq, const FileBound& bound,
                           const uint8_t* payload, uint32_t length);

// The most bytes the store reserves for its records at once, as a machine
// with that much memory left would give it: a record beyond it is NoMemory.
// Tests may lower StoreMemoryLimit.
constexpr size_t kStoreMemoryUnlimited = SIZE_MAX;
extern size_t StoreMemoryLimit;

// Frees every record and trims the heap. Returns the trim's result.
int32_t FreeRecords();

// 0 when the nsub records from `record` on have range indices 0..nsub-1,
// else InvalidValue (also for nsub outside 1..8).
int32_t IsCompleteSweepSet(const RecordNode* record, int32_t nsub);

// Walking the store: the first record at or after `from` at which a complete
// set starts (null when none), and the record after a set's nsub records.
// Visiting every set in arrival order:
//   for (p = FindCompleteSweepSet(RecordHead, n); p;
//        p = FindCompleteSweepSet(AfterSweepSet(p, n), n))
RecordNode* FindCompleteSweepSet(RecordNode* from, int32_t nsub);
RecordNode* AfterSweepSet(RecordNode* set, int32_t nsub);
// Number of complete sets in the store.
int32_t CountCompleteSweepSets(int32_t nsub);

// Number of complete sets kept or added up since the store was emptied, and
// the content bits of the first one's first record (0 when there is none).
int32_t CompletedSets(uint8_t* firstContent);
