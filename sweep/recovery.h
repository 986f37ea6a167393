// Recovery: the result file that a run would have saved had it been stopped
// after the last whole record of its journal, rebuilt from the journal
// alone. The records go through the same measurement, store and result
// file code as in the run, so the file is byte for byte the one the run
// writes; its OriginalFilename is the journal's, wherever it is written.
//
// Recovery never makes things worse: it removes a journal only once the
// file holds every record of it, and writes nothing when it cannot take
// every record (memory runs out, the store refuses one), unless asked for
// the part it can take.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sweep/journal_format.h"
#include "sweep/measurement.h"
#include "sweep/store.h"

struct RecoveryRequest {
  const char* journal;  // the journal's path
  const char* output;   // where to write; null: the journal's folder, under
                        // the last part of the file name the journal holds
  bool snapshot;        // read a journal that may still grow, leave it alone
  bool partial;         // when some records cannot be taken, write the others
};

enum class RecoveryResult {
  Saved,            // written with every record; the journal removed (not for a
                    // snapshot, nor when the removal failed: see removed)
  Partial,          // asked for: written without the records left out; the journal stays
  Replayed,         // ReplayJournal only: the records are in the measurement
  Missing,          // no journal of that name
  Unreadable,       // it cannot be opened or read (why says so)
  NotAFile,         // not a regular file (a FIFO, a device, a folder): nothing is read
  Live,             // its run still holds it: only a snapshot may read it
  NotAJournal,      // not a journal, or its header is damaged: nothing is written
  Invalid,          // a description that no run writes (invalidField): nothing is written
  OutputIsJournal,  // the output is the journal itself, by any name: nothing is written
  OutputExists,     // the output exists and was not named: nothing is written
  LeftOut,          // some records cannot be taken: nothing is written, the journal stays
  NoData,           // no complete sweep set: nothing is written
  SaveFailed,       // the save failed (status); the journal stays
};

struct RecoveryReport {
  JournalHeader header;
  uint32_t version;          // of the journal: 1 or 2
  char output[520];          // where the file goes
  bool incomplete;           // the run marked the journal incomplete
  bool cut;                  // the journal ends in a cut or damaged entry
  uint64_t wholeBytes;       // the bytes up to the end of the last whole entry
  uint64_t records;          // whole records read
  uint64_t leftOut;          // of those, the ones the file cannot hold
  uint64_t firstLeftOut;     // the number of the first of them, from 1
  AppendOutcome leftOutWhy;  // what the store said of it: after NoMemory or
                             // FileFull no later record is taken either
  const char* invalidField;  // for Invalid
  int32_t sets;              // complete sweep sets in the file
  int64_t lastStamp;         // wall-clock time of the last flush (0: none)
  uint64_t fileBytes;        // the size of the file written
  int32_t status;            // the save's status
  bool removed;              // the journal is gone
  char why[200];             // the system's reason, for Unreadable and for a
                             // journal that could not be removed
};

RecoveryResult Recover(const RecoveryRequest& request, RecoveryReport* report);

// Recover's replay, of a journal held in memory: decodes the header into
// report->header and, when this version reads it, begins *m for it (with no
// journal of its own) and feeds it every whole record up to the first entry
// that is not whole. Replayed leaves *m begun, to be saved and ended by the
// caller; otherwise NotAJournal, Invalid, or SaveFailed when the
// measurement cannot begin (report->status). The saving must be set up
// (SetUpSaving) for the header's build.
RecoveryResult ReplayJournal(const uint8_t* bytes, size_t n, Measurement* m,
                             RecoveryReport* report);
