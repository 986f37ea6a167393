// Sweep measurement tool: command line, record store, result file, run
// control and the acquisition thread. The instrument's messages and the
// conversions live beside this in protocol.h.
//
// One source tree gives two programs, each described once in the table of
// builds below; SWEEP_SECOND_BUILD (a public compile definition of the sweep
// library target) picks its entry: 0 for qarvel, 1 for vexa.
#pragma once

#include <cstdint>
#include <iterator>

#include "sweep/protocol.h"

#ifndef SWEEP_SECOND_BUILD
#error "SWEEP_SECOND_BUILD must be defined by the build"
#endif

// ------------------------------------------------------------- the builds

// What a field of the result file's SweepInfo structure holds.
enum class InfoValue : uint8_t {
  SubSweeps,         // 1 x 1, the number of ranges
  SweepLengths,      // 1 x ranges, the points of each range
  RequestedStarts,   // 1 x ranges, Hz
  RequestedStops,    // 1 x ranges, Hz
  Frequencies,       // points x ranges, the realized frequencies in Hz
  PhasePresent,      // logical
  MagnitudePresent,  // logical
  RequestedPeriod,   // 1 x 1, s
  RealizedPeriod,    // 1 x 1, s
  Settling,          // 1 x 1, s
  Averaging,         // 1 x 1, samples averaged per point
  GloballyAveraged,  // logical
  OutputPower,       // 1 x 1, dB
  Sweeps,            // 1 x 1, the number of complete sweep sets
};

struct InfoField {
  const char* name;
  InfoValue value;
};

// The SweepInfo fields of each build, in file order.
inline constexpr InfoField kQarvelSweepInfo[] = {
    {"NumberOfSubSweeps", InfoValue::SubSweeps},
    {"SweepVectorLength", InfoValue::SweepLengths},
    {"RequestedSweepFrequencyStart", InfoValue::RequestedStarts},
    {"RequestedSweepFrequencyEnd", InfoValue::RequestedStops},
    {"RealizedSweepFrequencyVector", InfoValue::Frequencies},
    {"IsPhasePresent", InfoValue::PhasePresent},
    {"IsMagnitudePresent", InfoValue::MagnitudePresent},
    {"RequestedSamplingPeriod", InfoValue::RequestedPeriod},
    {"RealizedSamplingPeriod", InfoValue::RealizedPeriod},
    {"SettlingTime", InfoValue::Settling},
    {"SampleAveraging", InfoValue::Averaging},
    {"IsGloballyAveraged", InfoValue::GloballyAveraged},
    {"RelativeOutputPowerdB", InfoValue::OutputPower},
    {"NumberOfSweeps", InfoValue::Sweeps},
};
inline constexpr InfoField kVexaSweepInfo[] = {
    {"NumberOfSubSweeps", InfoValue::SubSweeps},
    {"SweepVectorLength", InfoValue::SweepLengths},
    {"RequestedSweepFrequencyStart", InfoValue::RequestedStarts},
    {"RequestedSweepFrequencyEnd", InfoValue::RequestedStops},
    {"RealizedSweepFrequencyVector", InfoValue::Frequencies},
    {"IsPhasePresent", InfoValue::PhasePresent},
    {"IsMagnitudePresent", InfoValue::MagnitudePresent},
    {"RequestedSamplingPeriod", InfoValue::RequestedPeriod},
    {"RealizedSamplingPeriod", InfoValue::RealizedPeriod},
    {"SettlingTime", InfoValue::Settling},
    {"Averaging", InfoValue::Averaging},
    {"RelativeOutputPowerdB", InfoValue::OutputPower},
    {"NumberOfSweeps", InfoValue::Sweeps},
};
constexpr int kMaxInfoFields = static_cast<int>(std::size(kQarvelSweepInfo));

// The usage texts, exactly as printed (cmdline.cpp).
extern const char kQarvelUsage[];
extern const char kVexaUsage[];

// One build of the sweep tool.
struct SweepVariant {
  const char* program;  // its name
  const char* usageText;
  const InfoField* sweepInfo;  // the SweepInfo structure's fields
  int sweepInfoFields;
  bool globalAverager;          // -m, the averager's sums and the averaged file
  bool numberedCycles;          // endless cycles saved as 1.mat, 2.mat, ...
  const char* noBufferMessage;  // printed when DiskBuffer cannot be reserved
};

inline constexpr SweepVariant kSweepVariants[] = {
    {"qarvel", kQarvelUsage, kQarvelSweepInfo, static_cast<int>(std::size(kQarvelSweepInfo)), true,
     false, "Can't allocate buffers."},
    {"vexa", kVexaUsage, kVexaSweepInfo, static_cast<int>(std::size(kVexaSweepInfo)), false, true,
     "Can't allocate disk buffer."},
};

// The build these sources are compiled for.
inline constexpr const SweepVariant& kVariant = kSweepVariants[SWEEP_SECOND_BUILD];

// Exit codes of start-up failures.
constexpr int kExitNoBuffers = -100;  // DiskBuffer or the averager's sums
constexpr int kExitNoThread = -101;   // the acquisition thread

// --------------------------------------------------------------- save data

// The save request. IsGloballyAveraged is set only in a build with the
// global averager.
struct SaveData {
  char OriginalFilename[257];
  char Annotation1[81];
  char Annotation2[81];
  int32_t IsGloballyAveraged;
};

// ------------------------------------------------------------ command line

// Validates argv into *sweepSet, *saveData and *autoStopTime (seconds, -1
// when -e is absent). Returns 0 for a valid command line; otherwise prints
// the usage text or the first error's message and returns the exit code,
// kExitRejectedValue or kExitRejectedArgument.
int ParseCommandLine(int argc, char** argv, SweepSet* sweepSet, SaveData* saveData,
                     int32_t* autoStopTime);

// ------------------------------------------------------------ record store

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

// Whether a file of `sets` complete sets, the first set's first record
// carrying the content bits `content`, may still be written: the store's
// bound on the file that its records will be saved in.
using FileFits = bool (*)(const SweepInfo& info, int32_t sets, uint8_t content);

// Converts one SWEEPDATA payload of `length` bytes and appends it. lastFreq
// is the CONFFREQ entry sent last; info the configuration sent to the
// instrument; fits the bound of the file the records go to, checked before
// a record that completes a set is kept (null: only memory bounds the
// store, as for a globally averaged file, whose size does not grow with the
// records). Returns 0, or with nothing stored:
//   InvalidValue, *malformed false: no points, no content bit or a zero step
//     word (the measurement then stops);
//   InvalidValue, *malformed true: a packet that breaks the invariants
//     (shorter than its header, length other than 21 + 2 x points x kinds,
//     range index not configured, points other than the range's), which the
//     caller drops and counts as a receive error;
//   OutOfMemory: the allocation failed, or the file would no longer fit.
// malformed may be null.
int32_t AppendRecord(const uint8_t* payload, uint32_t length, const FreqEntry& lastFreq,
                     const SweepInfo& info, FileFits fits, bool* malformed);

// Frees every record and trims the heap. Returns the trim's result.
int32_t FreeRecords();

// 0 when the nsub records from `record` on have range indices 0..nsub-1,
// else InvalidValue (also for nsub outside 1..8).
int32_t IsCompleteSweepSet(const RecordNode* record, int32_t nsub);

// Walking the store: the first record at or after `from` at which a complete
// set starts (null when none), and the record after a set's nsub records.
// Visiting every set in arrival order:
//   for (p = FindCompleteSweepSet(RecordHead, n); p; p = FindCompleteSweepSet(AfterSweepSet(p, n),
//   n))
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
                           int32_t nsub, const int32_t* points, int32_t maxPoints, double* scratch,
                           bool phasePresent, bool magnitudePresent);

// Divides all 128,000 entries of both sums by the number of sets.
void FinishAverage(int32_t sets);

// ------------------------------------------------------------- result file

// Scratch for the save: 128,000 doubles and 64 bytes more, for the realized
// frequencies and for each set that the averager adds. The acquisition
// thread allocates it anew at each configuration, so that a save after a
// long measurement needs no large allocation.
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
// nsub matrix, as the file holds them: from the start word, each point one
// step word above the one before, by repeated addition; rows without a
// point hold NaNFill().
void FillFrequencyMatrix(const SweepInfo& info, int32_t maxPoints, double* matrix);

// The size in bytes of the result file that WriteResultFile writes for
// `sets` complete sets whose first record carries the content bits
// `content`. It is counted from the same field writes as the file itself.
uint64_t ResultFileBytes(const SweepInfo& info, const SaveData& saveData, int32_t sets,
                         uint8_t content);

// The largest result file written: the largest size MATLAB loads. Tests may
// lower ResultFileLimit.
constexpr int64_t kResultFileLimit = 2147483647;
extern int64_t ResultFileLimit;

// The store's bound (FileFits) for a file that is not globally averaged:
// with the longest file name and annotations, it stays within
// ResultFileLimit.
bool ResultFileFits(const SweepInfo& info, int32_t sets, uint8_t content);

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
