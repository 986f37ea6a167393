// Sweep measurement tool: command line, record store, result file, run
// control and the acquisition thread. The instrument's messages and the
// conversions live beside this in protocol.h.
//
// One source tree gives two programs. SWEEP_SECOND_BUILD (a public compile
// definition of the sweep library target) is 0 for qarvel (one measurement,
// one file, global averager) and 1 for vexa (endless cycles saved as 1.mat,
// 2.mat, ..., no averager, its own texts and field names).
#pragma once

#include <cstdint>

#include "sweep/protocol.h"

#ifndef SWEEP_SECOND_BUILD
#error "SWEEP_SECOND_BUILD must be defined by the build"
#endif
constexpr bool kSecondBuild = SWEEP_SECOND_BUILD != 0;

// --------------------------------------------------------------- save data

// The save request. In the second build IsGloballyAveraged is never set.
struct SaveData {
  char OriginalFilename[257];
  char Annotation1[81];
  char Annotation2[81];
  int32_t IsGloballyAveraged;
};

// ------------------------------------------------------------ command line

// Validates argv into *sweepSet, *saveData and *autoStopTime (seconds, -1
// when -e is absent). Returns 0 for a valid command line; otherwise prints
// the usage text or the first error's message and returns the exit code
// (-1 or -2).
int ParseCommandLine(int argc, char** argv, SweepSet* sweepSet, SaveData* saveData,
                     int32_t* autoStopTime);

// The usage text of this build, exactly as printed.
const char* UsageText();

// ------------------------------------------------------------ record store

// One stored sub-sweep: node and values in one allocation.
struct RecordNode {
  RecordNode* next;
  uint8_t header[21];    // bytes 0..20 of the SWEEPDATA payload
  double* phase;         // P phase values, or null
  double* magnitude;     // P magnitude values, or null
  uint32_t valueCount;   // P: values stored per present kind
};

// The record list in arrival order (null when empty).
extern RecordNode* RecordHead;
extern RecordNode* RecordTail;

// The store refuses a record once keeping it would take the result file past
// this many bytes (the largest size MATLAB loads). Tests may lower it.
constexpr int64_t kResultFileLimit = 2147483647;
extern int64_t ResultFileLimit;

// Converts one SWEEPDATA payload of `length` bytes and appends it. lastFreq is
// the CONFFREQ entry sent last; info the configuration sent to the
// instrument; globallyAveraged tells that the measurement is saved as one
// averaged set (-m), a file whose size does not grow with the records, so
// that only memory bounds the store. Returns 0; InvalidValue for a payload with no points, no
// content bit or a zero step word (the measurement then stops), or one that
// breaks the packet invariants (shorter than its header, length other than
// 21 + 2 x points x kinds, range index not configured, points other than
// the range's: the caller drops it and counts a receive error); OutOfMemory
// when the allocation fails or the result file would grow past
// ResultFileLimit (counted with the longest file name and annotations).
// Nothing is stored on failure.
int32_t AppendRecord(const uint8_t* payload, uint32_t length, const FreqEntry& lastFreq,
                     const SweepInfo& info, bool globallyAveraged);

// True when `status` is the InvalidValue that the latest AppendRecord call
// returned for a packet that breaks the invariants (as opposed to the
// refusals that end a measurement).
bool IsMalformedRecordStatus(int32_t status);

// Frees every record and trims the heap. Returns the trim's result.
int32_t FreeRecords();

// 0 when the nsub records from `record` on have range indices 0..nsub-1,
// else InvalidValue (also for nsub outside 1..8).
int32_t IsCompleteSweepSet(const RecordNode* record, int32_t nsub);

// Walking the store: the first record at or after `from` at which a complete
// set starts (null when none), and the record after a set's nsub records.
// Visiting every set in arrival order:
//   for (p = FindCompleteSweepSet(RecordHead, n); p; p = FindCompleteSweepSet(AfterSweepSet(p, n), n))
// Records outside complete sets are passed over one at a time.
RecordNode* FindCompleteSweepSet(RecordNode* from, int32_t nsub);
RecordNode* AfterSweepSet(RecordNode* set, int32_t nsub);
// Number of complete sets in the store.
int32_t CountCompleteSweepSets(int32_t nsub);

// The double with bit pattern 0x7FFFFFFFFFFFFFFF: the fill of matrix rows
// that hold no value.
double NaNFill();

// Writes one range's column of a maxPoints-row matrix: the first
// min(stored, points) values (none when values is null), then NaNFill() down
// to row maxPoints - 1. Never reads more than `stored` values.
void FillRangeColumn(double* column, const double* values, uint32_t stored, int32_t points,
                     int32_t maxPoints);

// ---------------------------------------------------------- global averager

constexpr int32_t kMaxSweepValues = 128000;  // 8 ranges x 16000 points

extern double* PhaseSum;
extern double* MagnitudeSum;

// Reserves and zeroes PhaseSum and MagnitudeSum (128,000 doubles each).
// OutOfMemory at the first failure (a buffer already reserved stays).
int32_t InitAverager();
void FreeAverager();

// Adds the set starting at `first` into the sums, column k of range k at
// entries k x maxPoints onward, by way of scratch (at least nsub x maxPoints
// doubles): each present kind's values are laid out there with NaNFill()
// below each range's points, then added element by element. OutOfMemory when
// nsub x maxPoints exceeds 128,000 (nothing is added).
int32_t AccumulateSweepSet(double* phaseSum, double* magnitudeSum, const RecordNode* first,
                           int32_t nsub, const int32_t* points, int32_t maxPoints,
                           double* scratch, bool phasePresent, bool magnitudePresent);

// Divides all 128,000 entries of both sums by the number of sets.
void FinishAverage(int32_t sets);

// ------------------------------------------------------------- result file

// Scratch for the global averager's save: 128,000 doubles and 64 bytes more,
// where each set is laid out before it is added. The acquisition thread
// allocates it anew at each configuration, so that a save after a long
// measurement needs no large allocation.
constexpr uint32_t kSaveBufferBytes = 1024064;
extern double* SaveBuffer;
int32_t AllocSaveBuffer();  // frees any previous buffer first; 0 or OutOfMemory
void FreeSaveBuffer();

// Writes Annotations, SweepInfo and SweepData for the records in the store.
// Returns 0, WriteError, NoData (no complete sweep set: no file is created)
// or CantOpenFile. Afterwards GetBytesWritten() is the file's size.
// Sets the first set's first record's time to "not available" in the store.
int32_t WriteResultFile(const SweepInfo& info, const SaveData& saveData);

// The realized frequencies (Hz) of the configured ranges as a maxPoints x
// nsub matrix: from the start word, each point one step word above the one
// before, by repeated addition; rows without a point hold NaNFill().
void FillFrequencyMatrix(const SweepInfo& info, int32_t maxPoints, double* matrix);

// The size in bytes of the result file that WriteResultFile writes for
// `sets` complete sets whose first record carries the content bits
// `content`.
uint64_t ResultFileBytes(const SweepInfo& info, const SaveData& saveData, int64_t sets,
                         uint8_t content);

// ------------------------------------------------------------ run control

// The state shared by the main thread and the acquisition thread. Flags are
// stored with release and loaded with acquire, so a record copied before its
// flag is raised is completely visible to the thread that sees the flag.
int32_t GetRunRequest();
void SetRunRequest(int32_t value);
int32_t GetSaveRequest();
void SetSaveRequest(int32_t value);
int32_t GetAutoStopTime();
void SetAutoStopTime(int32_t seconds);  // stores -1 for 0 or less
// Whether the measurement will be saved globally averaged (-m): set by the
// main thread with the SweepSet, before RunRequest is raised, so that the
// record store bounds the file that will actually be written.
int32_t GetGlobalAveraging();
void SetGlobalAveraging(int32_t averaged);

void PublishSweepSet(const SweepSet& sweepSet);
void TakeSweepSet(SweepSet* sweepSet);
void TakeSaveData(SaveData* saveData);
void PublishSweepInfo(const SweepInfo& info);
void TakeSweepInfo(SweepInfo* info);

// Copies saveData into the shared copy, raises SaveRequest and clears
// RunRequest. While a save is pending prints "Reentrancy error." and returns
// InvalidOperation, changing nothing.
int32_t RequestSave(const SaveData& saveData);

// The acquisition thread's procedure; never returns.
void AcquisitionThread(void* unused);

// The whole program: start-up, measurement(s), save(s). Returns the exit
// code.
int SweepMain(int argc, char** argv);
