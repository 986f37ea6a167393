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
// While a measurement is begun it owns the record store's records and the
// result file's SaveBuffer: BeginMeasurement empties the store and reserves
// the buffer, EndMeasurement gives both back. Its records go in and its file
// goes out through the calls here, which hand the record's parts to the
// store and the result file.
#pragma once

#include <cstdint>

#include "sweep/builds.h"
#include "sweep/protocol.h"
#include "sweep/savedata.h"
#include "sweep/store.h"

struct Measurement {
  const SweepBuild* build;  // null until a measurement begins
  SweepInfo info;           // the configuration as sent to the instrument
  FreqEntry freq;           // the CONFFREQ entry of the last range
  SaveData saveData;        // the save the measurement is meant for
  bool averaged;            // saved as one averaged set (-m)
  SetBound bound;           // the sets its file may hold
  bool begun;
};

// Begins a measurement of the configuration info (as FillSweepInfo gives
// it), to be saved as saveData says: empties the record store, reserves
// SaveBuffer and fills *m; the CONFFREQ entry is the last range's words of
// info, the bound that of the result file (taken with ResultFileLimit as it
// is now). Returns 0, or OutOfMemory when SaveBuffer cannot be reserved (the
// store is empty all the same, and the measurement is not begun).
int32_t BeginMeasurement(Measurement* m, const SweepBuild& build, const SweepInfo& info,
                         const SaveData& saveData);

// Hands one SWEEPDATA payload to the store (AppendRecord) with m's
// configuration and bound.
AppendOutcome AppendToMeasurement(const Measurement& m, const uint8_t* payload, uint32_t length);

// Writes m's result file under saveData's name (WriteResultFile). NoData
// when no measurement is begun.
int32_t SaveMeasurement(const Measurement& m, const SaveData& saveData);

// Ends the measurement: frees its records and SaveBuffer. Does nothing when
// none is begun.
void EndMeasurement(Measurement* m);
