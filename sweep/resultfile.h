// The result file: the structures Annotations, SweepInfo and SweepData of
// one measurement, written through the MAT writer from the record store, or
// from the averager's sums when the measurement is averaged (-m).
//
// A program that saves calls SetUpSaving once first; a measurement reserves
// its SaveBuffer when it begins. The file's size is counted, before a byte
// is written, by the same field writes that write it.
//
// A file is written for the configuration `info` as `build` lays it out;
// `averaged` (-m) makes SweepData one element averaged over all sets.
#pragma once

#include <cstdint>

#include "sweep/builds.h"
#include "sweep/sweep_commands.h"
#include "sweep/savedata.h"
#include "sweep/store.h"

// The fields of Annotations and of each SweepData element, in file order,
// as their structure headers list them (null-terminated). SweepInfo's are
// the build's (builds.h).
inline constexpr const char* kAnnotationFields[] = {"OriginalFilename", "Annotation1",
                                                    "Annotation2", "SweepPresetName", nullptr};
inline constexpr const char* kDataFields[] = {"SampleNumber", "MeasurementTime", "Phase",
                                              "Magnitude", nullptr};

// Reserves what every save needs: the MAT writer's DiskBuffer (1 MiB) and,
// for a build with the global averager, the averager's zeroed sums. Returns
// 0, or OutOfMemory at the first that cannot be reserved.
int32_t SetUpSaving(const SweepBuild& build);

// Scratch for the save: 128,000 doubles and 64 bytes more, for the realized
// frequencies. Reserved anew by each measurement when it begins, so that a
// save after a long measurement needs no large allocation.
constexpr uint32_t kSaveBufferBytes = 1024064;
extern double* SaveBuffer;
int32_t AllocSaveBuffer();  // frees any previous buffer first; 0 or OutOfMemory
void FreeSaveBuffer();

// Writes the file of the records in the store (averaged: of the sets added
// up in the averager's sums) as path, its OriginalFilename that of
// saveData. Returns 0, WriteError, NoData (no complete sweep set: no file
// is created), CantOpenFile, or InvalidOperation when the save was not set
// up (SetUpSaving, or a measurement's SaveBuffer). Afterwards
// GetBytesWritten() is the file's size. Sets the first set's first
// record's time to "not available" in the store; an averaged file divides
// the sums.
int32_t WriteResultFile(const SweepBuild& build, const SweepInfo& info, bool averaged,
                        const SaveData& saveData, const char* path);

// The realized frequencies (Hz) of the configured ranges as a maxPoints x
// nsub matrix, as the file holds them: from the start word, each point one
// step word above the one before, by repeated addition; rows without a
// point hold the NaN fill.
void FillFrequencyMatrix(const SweepInfo& info, int32_t maxPoints, double* matrix);

// The size in bytes of the result file that WriteResultFile writes for
// saveData when the store holds `sets` complete sets whose first record
// carries the content bits `content`; 0 for a configuration that cannot be
// laid out.
uint64_t ResultFileBytes(const SweepBuild& build, const SweepInfo& info, bool averaged,
                         const SaveData& saveData, int32_t sets, uint8_t content);

// The largest result file written: the largest size MATLAB loads. Tests may
// lower ResultFileLimit.
constexpr int64_t kResultFileLimit = 2147483647;
extern int64_t ResultFileLimit;

// What the file takes from the store: the most sets with which, whatever
// its file name and annotations, it stays within ResultFileLimit (as that
// is now). An averaged file holds one set however many arrive, and only
// their sums: only memory bounds the store, which keeps no more than the
// set still open.
FileBound ResultFileBound(const SweepBuild& build, const SweepInfo& info, bool averaged);
