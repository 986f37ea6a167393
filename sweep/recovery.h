// Recovery: the result file that a run would have saved had it been stopped
// after the last whole record of its journal, rebuilt from the journal
// alone. The records go through the same measurement, store and result
// file code as in the run, so the file is byte for byte the one the run
// writes; its OriginalFilename is the journal's, wherever it is written.
#pragma once

#include <cstdint>

#include "sweep/journal_format.h"

struct RecoveryRequest {
  const char* journal;  // the journal's path
  const char* output;   // where to write; null: the journal's folder, under
                        // the last part of the file name the journal holds
  bool snapshot;        // read a journal that may still grow, leave it alone
};

enum class RecoveryResult {
  Saved,         // written; the journal removed (not for a snapshot)
  Missing,       // no journal of that name
  Unreadable,    // it cannot be opened or read (why says so)
  Live,          // its run still holds it: only a snapshot may read it
  NotAJournal,   // not a journal, or its header is damaged: nothing is written
  OutputExists,  // the output exists and was not named: nothing is written
  NoData,        // no complete sweep set: nothing is written
  SaveFailed,    // the save failed (status); the journal stays
};

struct RecoveryReport {
  JournalHeader header;
  char output[520];     // where the file goes
  bool incomplete;      // the run marked the journal incomplete
  bool cut;             // the journal ends in a cut or damaged entry
  uint64_t wholeBytes;  // the bytes up to the end of the last whole entry
  uint64_t records;     // whole records read
  int32_t sets;         // complete sweep sets in the file
  int64_t lastStamp;    // wall-clock time of the last flush (0: none)
  uint64_t fileBytes;   // the size of the file written
  int32_t status;       // the save's status
  char why[200];        // the system's reason, for Unreadable
};

RecoveryResult Recover(const RecoveryRequest& request, RecoveryReport* report);

// A wall-clock time in 100 ns units since 1601-01-01 UTC as
// "YYYY-MM-DD hh:mm:ss UTC".
void FormatSystemTime(int64_t time, char* out, size_t size);
