// The journal writer: keeps a measurement on disk as it arrives, beside the
// file it will be saved under, so that nothing measured is lost to a crash,
// a power cut or a failed save (the bytes: journal_format.h).
//
// One journal is open at a time, for the measurement that is begun. The
// acquisition thread hands each record the store keeps to JournalRecord,
// which only copies it into a bounded queue and never waits for the disk. A
// writer thread of the journal's own takes the records from the queue,
// writes them, and flushes them to the disk with a time stamp at least
// every kJournalFlushMs while records arrive, and once more at the end, so
// that a power cut takes at most the last second. If the queue overflows or
// a write fails, the journal takes no more records from there on: it stays
// a whole prefix of the measurement, marked incomplete, and one line on
// stderr says so; the measurement goes on in memory.
//
// While the run lives it holds the journal's lock (platform.h), by which
// every tool tells a live journal from one that a crash left behind. A
// journal is removed only when the measurement is safely saved, or holds
// nothing to save.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sweep/journal_format.h"

// How often the writer flushes while records arrive. Half a second leaves
// room for a flush that itself takes a while, and still loses at most the
// last second to a power cut.
constexpr uint32_t kJournalFlushMs = 500;

// The queue between the acquisition thread and the writer: some seconds of
// the fastest stream the instrument sends.
constexpr size_t kJournalQueueBytes = size_t{32} << 20;

constexpr size_t kJournalPathBytes = 300;

enum class JournalStart {
  Started,   // the journal is open and its writer running
  NotAFile,  // the target is not a regular file (a device, a FIFO): no journal
  Failed,    // it could not be made; the measurement goes on in memory
};

// Opens the journal of a measurement to be saved as header->saveData names,
// and starts its writer. The journal is "<target>.journal" in the target's
// folder; a journal of that name that a dead run left is never touched: the
// next free "<target>.<n>.journal" from n = 2 is taken, and each one of a
// dead run is named on stderr with a command that recovers it. While a live
// run holds any journal of the target, the measurement is saved under the
// target's next free name instead, "t.<n>.mat" from n = 2 ("name.<n>"
// without an extension; free: no file and no journal of that name), which
// is written into header->saveData and said on stderr, and journaled
// beside it; so the file and the journal carry the name the run saves
// under. A journal name that is not a regular file (a FIFO, a folder)
// gives no journal. A failure is printed on stderr with its reason, at once.
JournalStart StartJournal(JournalHeader* header);

// True while a journal is open.
bool JournalOpen();

// The open journal's name, "" when none is.
const char* JournalPath();

// Queues one payload for the journal, with the time it arrived (now, by
// SystemTime). Never waits: when the queue is full the journal stops taking
// records and is marked incomplete.
void JournalRecord(const uint8_t* payload, uint32_t length);

// Writes everything queued, a last stamp, flushes it to the disk and stops
// the writer; the journal stays open and locked. True when the journal holds
// every record it was given.
bool FinishJournal();

// Closes the journal after FinishJournal: removes it when `remove` (a
// removal that fails is said on stderr, with the reason), else keeps it and
// prints on stderr where the measurement is kept and the command that
// recovers it. Nothing when none is open.
void CloseJournal(bool remove);

// The command that recovers the journal at journalPath into a file of its
// own (so that it works whether or not the target exists by then), quoted
// for this platform's shell.
void RecoveryCommand(const char* journalPath, char* out, size_t size);
