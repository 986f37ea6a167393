// Recovery: a journal read from its start, entry by entry, into a
// measurement of its own, and saved.
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

// The journal read in pieces: the bytes from `at` to `end` of the buffer
// are the ones not yet taken, beginning at byte `offset` of the journal.
struct Reader {
  FileHandle file;
  uint8_t* buffer;
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
  void Take(size_t n) {
    at += n;
    offset += n;
  }
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The journal's folder, and the last part of the name the run saved under.
void DefaultOutput(const char* journal, const char* saved, char* out, size_t size) {
  size_t folder = 0;
  for (size_t i = 0; journal[i] != '\0'; ++i) {
    if (IsSeparator(journal[i])) folder = i + 1;
  }
  const char* name = saved;
  for (const char* c = saved; *c != '\0'; ++c) {
    if (IsSeparator(*c)) name = c + 1;
  }
  std::snprintf(out, size, "%.*s%s", static_cast<int>(folder), journal, name);
}

// Feeds the entries after the header to the measurement, up to the end of
// the journal or its first entry that is not whole.
void Replay(Reader& reader, const Measurement& m, RecoveryReport* report) {
  for (;;) {
    const size_t have = reader.Have(kJournalEntryOverhead + kJournalMaxBody);
    if (have == 0) return;
    JournalEntry entry;
    const JournalParse parse = ParseJournalEntry(reader.buffer + reader.at, have, &entry);
    if (parse != JournalParse::Ok) {
      report->cut = true;
      return;
    }
    if (entry.type == kJournalStamp) {
      report->lastStamp = static_cast<int64_t>(GetU64(entry.body));
    } else {
      switch (AppendToMeasurement(m, entry.body, entry.length)) {
        case AppendOutcome::Kept:
        case AppendOutcome::Malformed: break;
        // The run stopped at such a record; so does its file.
        case AppendOutcome::Refused:
        case AppendOutcome::NoMemory:
        case AppendOutcome::FileFull: return;
      }
      ++report->records;
    }
    reader.Take(entry.entryBytes);
    report->wholeBytes = reader.offset;
  }
}

RecoveryResult RecoverOpen(const RecoveryRequest& request, Reader& reader, RecoveryReport* report) {
  uint32_t flags = 0;
  size_t headerBytes = 0;
  const size_t have = reader.Have(kJournalHeaderBytes);
  if (reader.failed) return RecoveryResult::Unreadable;
  if (have == 0 || DecodeJournalHeader(reader.buffer, have, &report->header, &flags,
                                       &headerBytes) != JournalParse::Ok) {
    return RecoveryResult::NotAJournal;
  }
  report->incomplete = (flags & kJournalIncomplete) != 0;
  reader.Take(headerBytes);
  report->wholeBytes = reader.offset;

  if (request.output != nullptr) {
    std::snprintf(report->output, sizeof report->output, "%s", request.output);
  } else {
    DefaultOutput(request.journal, report->header.saveData.OriginalFilename, report->output,
                  sizeof report->output);
    if (KindOfPath(report->output) != PathKind::Missing) return RecoveryResult::OutputExists;
  }

  const SweepBuild& build = kSweepBuilds[report->header.build];
  Measurement m{};
  report->status = SetUpSaving(build);
  if (report->status == NoError) {
    report->status =
        BeginMeasurement(&m, build, report->header.info, report->header.saveData, false);
  }
  if (report->status != NoError) return RecoveryResult::SaveFailed;
  Replay(reader, m, report);
  if (reader.failed) {
    EndMeasurement(&m);
    return RecoveryResult::Unreadable;
  }
  report->status = SaveMeasurement(&m, report->header.saveData, report->output);
  uint8_t content;
  report->sets = CompletedSets(&content);
  report->fileBytes = report->status == NoError ? GetBytesWritten() : 0;
  EndMeasurement(&m);
  if (report->status == NoData) return RecoveryResult::NoData;
  return report->status == NoError ? RecoveryResult::Saved : RecoveryResult::SaveFailed;
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
    case OpenOutcome::Failed: return RecoveryResult::Unreadable;
  }
  constexpr size_t kBufferBytes = kReadBytes + 2 * kJournalMaxBody;
  Reader reader{file, static_cast<uint8_t*>(ReserveBlock(kBufferBytes)), 0, 0, 0, false, false};
  RecoveryResult result = RecoveryResult::Unreadable;
  if (reader.buffer == nullptr) {
    std::snprintf(report->why, sizeof report->why, "out of memory");
  } else {
    result = RecoverOpen(request, reader, report);
    if (result == RecoveryResult::Unreadable) LastErrorText(report->why, sizeof report->why);
  }
  ReleaseBlock(reader.buffer, kBufferBytes);
  // The journal goes only once its file is saved, and only when its run is
  // over (a snapshot reads alongside the run, and leaves it alone).
  if (result == RecoveryResult::Saved && !request.snapshot) {
    RemoveOpenFile(file, request.journal);
  } else {
    CloseFile(file);
  }
  return result;
}

void FormatSystemTime(int64_t time, char* out, size_t size) {
  // Days and seconds since 1970-01-01, then the civil date of the days.
  const int64_t unixSeconds = time / 10000000 - 11644473600LL;
  int64_t days = unixSeconds / 86400;
  int64_t seconds = unixSeconds % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  std::snprintf(out, size, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}
