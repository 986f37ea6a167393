// Recovery: a journal read from its start, entry by entry, into a
// measurement of its own, and saved. A journal's file and a journal in
// memory go through the same replay.
#include "sweep/recovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/byteorder.h"
#include "link/status.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "sweep/builds.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"

namespace {

constexpr size_t kReadBytes = size_t{1} << 20;

// The journal's bytes, from a file read in pieces or all in memory: the
// bytes from `at` to `end` are the ones not yet taken, beginning at byte
// `offset` of the journal.
struct Reader {
  FileHandle file;       // kInvalidFile: every byte is in memory already
  uint8_t* buffer;       // a file's bytes as read
  const uint8_t* bytes;  // buffer, or the bytes in memory
  size_t at;
  size_t end;
  uint64_t offset;
  bool ended;   // the file has no more bytes, for now
  bool failed;  // a read failed

  // Makes at least `wanted` bytes available when the file has them; the
  // count available.
  size_t Have(size_t wanted) {
    while (end - at < wanted && !ended && !failed) {
      if (at > 0) {
        std::memmove(buffer, buffer + at, end - at);
        end -= at;
        at = 0;
      }
      const int64_t got = ReadFromFile(file, buffer + end, kReadBytes);
      if (got < 0) failed = true;
      if (got <= 0) ended = true;
      if (got > 0) end += static_cast<size_t>(got);
    }
    return end - at;
  }
  const uint8_t* Next() const { return bytes + at; }
  void Take(size_t n) {
    at += n;
    offset += n;
  }
};

Reader FileReader(FileHandle file, uint8_t* buffer) {
  return Reader{file, buffer, buffer, 0, 0, 0, false, false};
}

// The journal's folder, and the last part of the name the run saved under.
void DefaultOutput(const char* journal, const char* saved, char* out, size_t size) {
  size_t folder = 0;
  for (size_t i = 0; journal[i] != '\0'; ++i) {
    if (IsPathSeparator(journal[i])) folder = i + 1;
  }
  const char* name = saved;
  for (const char* c = saved; *c != '\0'; ++c) {
    if (IsPathSeparator(*c)) name = c + 1;
  }
  std::snprintf(out, size, "%.*s%s", static_cast<int>(folder), journal, name);
}

// Decodes the header at the reader's start into the report. Ok when it is
// one this version reads; else what recovery answers.
bool TakeHeader(Reader& reader, RecoveryReport* report, RecoveryResult* refusal) {
  uint32_t flags = 0;
  size_t headerBytes = 0;
  const size_t have = reader.Have(kJournalHeaderBytes);
  *refusal = RecoveryResult::NotAJournal;
  if (reader.failed) {
    *refusal = RecoveryResult::Unreadable;
    return false;
  }
  if (have == 0) return false;
  const JournalParse parse =
      DecodeJournalHeader(reader.Next(), have, &report->header, &report->version, &flags,
                          &headerBytes, &report->invalidField);
  if (parse == JournalParse::Invalid) *refusal = RecoveryResult::Invalid;
  if (parse != JournalParse::Ok) return false;
  report->incomplete = (flags & kJournalIncomplete) != 0;
  reader.Take(headerBytes);
  report->wholeBytes = reader.offset;
  return true;
}

// A record that the file does not hold.
void LeaveOut(AppendOutcome why, RecoveryReport* report) {
  if (report->leftOut++ == 0) {
    report->firstLeftOut = report->records;
    report->leftOutWhy = why;
  }
}

// Begins *m as the header says, without a journal, and feeds it the entries
// after the header, up to the end of the journal or its first entry that is
// not whole. A record the store refuses is left out; from one that finds no
// memory, or no room in the file, on, every record is, as the run would
// have stopped there. False when the measurement cannot begin.
bool Replay(Reader& reader, Measurement* m, RecoveryReport* report) {
  report->status = BeginMeasurement(m, kSweepBuilds[report->header.build], report->header.info,
                                    report->header.saveData, false);
  if (report->status != NoError) return false;
  AppendOutcome stopped = AppendOutcome::Kept;  // NoMemory or FileFull once the store takes no more
  for (;;) {
    const size_t have = reader.Have(kJournalEntryOverhead + kJournalMaxBody);
    if (have == 0) return true;
    JournalEntry entry;
    if (ParseJournalEntry(reader.Next(), have, report->version, &entry) != JournalParse::Ok) {
      report->cut = true;
      return true;
    }
    if (entry.type == kJournalStamp) {
      report->lastStamp = static_cast<int64_t>(GetU64(entry.body));
    } else {
      ++report->records;
      const AppendOutcome outcome =
          stopped == AppendOutcome::Kept
              ? AppendToMeasurement(*m, entry.payload, entry.payloadLength)
              : stopped;
      if (outcome != AppendOutcome::Kept) LeaveOut(outcome, report);
      if (outcome == AppendOutcome::NoMemory || outcome == AppendOutcome::FileFull) {
        stopped = outcome;
      }
    }
    reader.Take(entry.entryBytes);
    report->wholeBytes = reader.offset;
  }
}

RecoveryResult RecoverOpen(const RecoveryRequest& request, Reader& reader, RecoveryReport* report) {
  RecoveryResult refusal;
  if (!TakeHeader(reader, report, &refusal)) return refusal;

  if (request.output != nullptr) {
    std::snprintf(report->output, sizeof report->output, "%s", request.output);
  } else {
    DefaultOutput(request.journal, report->header.saveData.OriginalFilename, report->output,
                  sizeof report->output);
  }
  // Saving over the journal would take the measurement with it.
  if (IsSameFile(reader.file, report->output)) return RecoveryResult::OutputIsJournal;
  if (request.output == nullptr && KindOfPath(report->output) != PathKind::Missing) {
    return RecoveryResult::OutputExists;
  }

  Measurement m{};
  report->status = SetUpSaving(kSweepBuilds[report->header.build]);
  if (report->status != NoError || !Replay(reader, &m, report)) return RecoveryResult::SaveFailed;
  const bool leftOut = report->leftOut > 0;
  RecoveryResult result = RecoveryResult::LeftOut;
  if (reader.failed) {
    result = RecoveryResult::Unreadable;
  } else if (!leftOut || request.partial) {
    report->status = SaveMeasurement(&m, report->header.saveData, report->output);
    uint8_t content;
    report->sets = CompletedSets(&content);
    if (report->status == NoError) {
      report->fileBytes = GetBytesWritten();
      result = leftOut ? RecoveryResult::Partial : RecoveryResult::Saved;
    } else if (report->status == NoData) {
      result = leftOut ? RecoveryResult::LeftOut : RecoveryResult::NoData;
    } else {
      result = RecoveryResult::SaveFailed;
    }
  }
  EndMeasurement(&m);
  return result;
}

}  // namespace

RecoveryResult Recover(const RecoveryRequest& request, RecoveryReport* report) {
  *report = RecoveryReport{};
  OpenOutcome opened;
  const FileHandle file =
      OpenForReading(request.journal, !request.snapshot, &opened, report->why, sizeof report->why);
  switch (opened) {
    case OpenOutcome::Opened: break;
    case OpenOutcome::Missing: return RecoveryResult::Missing;
    case OpenOutcome::Locked: return RecoveryResult::Live;
    case OpenOutcome::NotRegular: return RecoveryResult::NotAFile;
    case OpenOutcome::Failed: return RecoveryResult::Unreadable;
  }
  constexpr size_t kBufferBytes = kReadBytes + 2 * kJournalMaxBody;
  Reader reader = FileReader(file, static_cast<uint8_t*>(ReserveBlock(kBufferBytes)));
  RecoveryResult result = RecoveryResult::Unreadable;
  if (reader.buffer == nullptr) {
    std::snprintf(report->why, sizeof report->why, "out of memory");
  } else {
    result = RecoverOpen(request, reader, report);
    if (result == RecoveryResult::Unreadable) LastErrorText(report->why, sizeof report->why);
  }
  ReleaseBlock(reader.buffer, kBufferBytes);
  // The journal goes only once its file holds every record of it, and only
  // when its run is over (a snapshot reads alongside the run, and leaves it
  // alone).
  if (result == RecoveryResult::Saved && !request.snapshot) {
    report->removed = RemoveOpenFile(file, request.journal);
    if (!report->removed) LastErrorText(report->why, sizeof report->why);
  } else {
    CloseFile(file);
  }
  return result;
}

RecoveryResult ReplayJournal(const uint8_t* bytes, size_t n, Measurement* m,
                             RecoveryReport* report) {
  *report = RecoveryReport{};
  Reader reader{kInvalidFile, nullptr, bytes, 0, n, 0, true, false};
  RecoveryResult refusal;
  if (!TakeHeader(reader, report, &refusal)) return refusal;
  return Replay(reader, m, report) ? RecoveryResult::Replayed : RecoveryResult::SaveFailed;
}
