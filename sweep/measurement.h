// One measurement, from its configuration to the end of its save.
//
// The record holds what the measurement is: the build it is made for, the
// configuration sent to the instrument, the CONFFREQ entry that its records
// are checked against, the save it is meant for (the file name, -m) and the
// bound that keeps its file within what a reader loads. The acquisition
// thread begins it when the instrument has accepted START, so that it knows
// from the first record where the data will go, and ends it after the save;
// a program that rebuilds a file from a record of the data begins one the
// same way.
//
// While a measurement is begun it owns the record store's records, the
// result file's SaveBuffer and, when it keeps one, its journal:
// BeginMeasurement empties the store, reserves the buffer and opens the
// journal; EndMeasurement gives them back, and removes the journal only
// when the file is saved or there was nothing to save. Its records go in
// and its file goes out through the calls here, which hand the record's
// parts to the store, the journal and the result file.
#pragma once

#include <cstdint>

#include "sweep/builds.h"
#include "sweep/sweep_commands.h"
#include "sweep/savedata.h"
#include "sweep/store.h"

struct Measurement {
  const SweepBuild* build;  // null until a measurement begins
  SweepInfo info;           // the configuration as sent to the instrument
  FreqEntry freq;           // the CONFFREQ entry of the last range
  SaveData saveData;        // the save the measurement is meant for
  bool averaged;            // saved as one averaged set (-m)
  FileBound bound;          // what its file takes from the store
  bool journaled;           // every record kept goes to the journal
  int32_t saved;            // the outcome of its save (InvalidOperation: none yet)
  bool begun;
};

// The CONFFREQ entry of the last configured range of info, as it was sent
// last (zeros for a configuration without ranges): the one its records are
// checked against.
FreqEntry LastFreqEntry(const SweepInfo& info);

// Begins a measurement of the configuration info (as FillSweepInfo gives
// it), to be saved as saveData says: empties the record store, reserves
// SaveBuffer, zeroes the averager's sums for an averaged one, and fills *m;
// the CONFFREQ entry is the last range's words of info, the bound that of
// the result file (taken with ResultFileLimit as it is now). With journal,
// opens the journal beside saveData's file (StartJournal; a measurement
// whose journal cannot be made goes on without; one whose target a live
// run journals is saved under the next free name, which m->saveData then
// holds). Returns 0, or OutOfMemory
// when SaveBuffer or the sums cannot be had (the store is empty all the
// same, and the measurement is not begun).
int32_t BeginMeasurement(Measurement* m, const SweepBuild& build, const SweepInfo& info,
                         const SaveData& saveData, bool journal);

// Hands one SWEEPDATA payload to the store (AppendRecord) with m's
// configuration and bound; a record kept goes to the journal too.
AppendOutcome AppendToMeasurement(const Measurement& m, const uint8_t* payload, uint32_t length);

// Writes m's result file as path, its OriginalFilename that of saveData
// (WriteResultFile), once the journal holds every record on the disk.
// NoData when no measurement is begun.
int32_t SaveMeasurement(Measurement* m, const SaveData& saveData, const char* path);

// Ends the measurement: frees its records and SaveBuffer, and closes its
// journal, removing it when the save succeeded or found no data; otherwise
// the journal stays, and stderr says where and how to recover it. Does
// nothing when none is begun.
void EndMeasurement(Measurement* m);
