// The result file read back: a qarvel or vexa file (an averaged -m file
// too) as the MAT reader's stream, first what the file is (its build, the
// Annotations texts and the SweepInfo values), then one SweepData element
// per call. Memory does not grow with the number of sets: the reader
// reserves, once, the frequency matrix and one set's Phase and Magnitude.
//
// Anything that our programs do not write is refused, as the MAT reader
// refuses (matfile.h): InvalidValue and a message that says what was
// expected, at which byte, and what was found ("expected
// SweepData(3).Phase as a 101x2 double at byte 5120, found a 100x2
// double"). Beyond the MAT layout it checks the names and order of the
// three structures and of their fields (SweepInfo's are those of one
// build), every field's class and dimensions, the counts (1 to 8 ranges of
// 1 to 16,000 points, as many SweepData elements as NumberOfSweeps, one
// when globally averaged) and the NaN fill below each range's points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "matfile/matfile.h"
#include "sweep/builds.h"
#include "sweep/sweep_commands.h"
#include "sweep/savedata.h"

// A text of the file (UTF-16 there) as UTF-8 of at most `units` units; a
// lone surrogate becomes U+FFFD.
constexpr size_t ResultTextBytes(size_t units) { return 3 * units + 1; }
constexpr size_t kResultFilenameUnits = sizeof(SaveData::OriginalFilename) - 1;
constexpr size_t kResultAnnotationUnits = sizeof(SaveData::Annotation1) - 1;
constexpr size_t kResultPresetUnits = sizeof(SweepInfo::PresetName) - 1;

// What a result file is: everything before its sets.
struct ResultFileInfo {
  const SweepBuild* build;  // the row of kSweepBuilds whose SweepInfo fields the file has
  char originalFilename[ResultTextBytes(kResultFilenameUnits)];
  char annotation1[ResultTextBytes(kResultAnnotationUnits)];
  char annotation2[ResultTextBytes(kResultAnnotationUnits)];
  char presetName[ResultTextBytes(kResultPresetUnits)];
  int32_t ranges;                     // 1 to 8
  int32_t points[kMaxRanges];         // of each range, 1 to 16,000; 0 beyond ranges
  int32_t maxPoints;                  // rows of every range matrix: the most points
  double requestedStart[kMaxRanges];  // Hz; 0 beyond ranges
  double requestedStop[kMaxRanges];   // Hz; 0 beyond ranges
  // The realized frequencies in Hz, maxPoints x ranges in column-major
  // order, NaN below each range's points; owned by the reader.
  const double* frequencies;
  bool phasePresent;
  bool magnitudePresent;
  double requestedPeriod;  // s
  double realizedPeriod;   // s
  double settlingTime;     // s
  double averaging;        // samples averaged per point
  bool globallyAveraged;   // -m: one set, the average of all (false in vexa's files)
  double outputPower;      // dB
  int32_t sweeps;          // NumberOfSweeps: complete sets measured, at least 1
  int32_t sets;            // SweepData's elements: sweeps, or 1 when globally averaged
};

// One element of SweepData.
struct ResultSet {
  int32_t index;           // 0 for the first
  double sampleNumber;     // a whole number, 0 to 4,294,967,295 (0 when globally averaged)
  double measurementTime;  // s, or NaN when not available (always so for the first set)
  // The set's range matrices, maxPoints x ranges as the frequencies, NaN
  // below each range's points; null when the file has no such quantity.
  // Owned by the reader and overwritten by its next ReadResultSet.
  const double* phase;
  const double* magnitude;
};

// The caller owns the record; the reader owns what it reserves until
// CloseResultFile.
struct ResultReader {
  MatReader mat;
  ResultFileInfo info;
  double* values;  // frequencies, then one set's phase and magnitude
  int32_t setsRead;
};

// Opens the result file at path and reads what it is into reader->info,
// up to its first set. Returns 0; CantOpenFile, ReadError or InvalidValue
// (the file is not what our programs write), OutOfMemory; the message says
// which and where. CloseResultFile must follow in every case.
int32_t OpenResultFile(ResultReader* reader, const char* path);

// The same for size bytes of memory, which must stay as they are until
// the reader is closed.
int32_t OpenResultBytes(ResultReader* reader, const void* bytes, size_t size);

// True while the file is open without a failure and sets are left to read.
bool ResultSetsLeft(const ResultReader* reader);

// Reads the next set. The call that reads the last one also checks that the
// file ends there. Returns 0, or the failure as OpenResultFile does
// (InvalidOperation when no set is left): the set is then not to be used,
// nor is the file.
int32_t ReadResultSet(ResultReader* reader, ResultSet* set);

// Closes the file and releases what the reader reserved. Idempotent.
void CloseResultFile(ResultReader* reader);

// The message of the failure, or "" while there is none.
inline const char* ResultReaderMessage(const ResultReader* reader) {
  return MatReaderMessage(&reader->mat);
}
