// The record store: every sub-sweep of the measurement in arrival order,
// already converted to physical values, and the walk over its complete
// sweep sets. Used by the acquisition thread alone (and by a program that
// rebuilds a file), so it needs no lock.
//
// A complete sweep set is a run of nsub consecutive records whose range
// indices are 0, 1, ..., nsub - 1. Records outside complete sets (a set cut
// short by the stop, a lost sub-sweep, a set that began before the first
// range-0 record) stay in the list but are passed over by the walk.
#pragma once

#include <cstdint>

#include "sweep/protocol.h"

// One stored sub-sweep: node and values in one allocation.
struct RecordNode {
  RecordNode* next;
  uint8_t header[21];   // bytes 0..20 of the SWEEPDATA payload
  double* phase;        // P phase values, or null
  double* magnitude;    // P magnitude values, or null
  uint32_t valueCount;  // P: values stored per present kind
};

// The record list in arrival order (null when empty).
extern RecordNode* RecordHead;
extern RecordNode* RecordTail;

// The bound of the file that the records will be saved in: the most
// complete sets it may hold, by the content bits of its first set's first
// record. A record that would complete one set more is not kept.
struct SetBound {
  int32_t maxSets[4];  // by content bits: 1 phase, 2 magnitude, 3 both
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

// Converts one SWEEPDATA payload of `length` bytes and appends it, checked
// against the configuration info, the CONFFREQ entry sent last and, before
// a record that completes a set is kept, the file's bound. Stores nothing
// unless the outcome is Kept.
AppendOutcome AppendRecord(const SweepInfo& info, const FreqEntry& lastFreq,
                           const SetBound& bound, const uint8_t* payload, uint32_t length);

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
