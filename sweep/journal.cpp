// The journal writer: a bounded queue filled by the acquisition thread and
// emptied by a writer thread of the journal's own.
#include "sweep/journal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "link/byteorder.h"
#include "link/console.h"
#include "link/status.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kTicksPerMs = 10000;  // system time: 100 ns units
constexpr size_t kStagingBytes = size_t{1} << 20;
// The writer looks for records, and for the end of the run, every 50 ms:
// the queue holds far more, and each wake costs processor time.
constexpr uint32_t kIdleSleepMs = 50;
// Room for the texts on stderr: a path quoted for the shell, a recovery
// command of two of them, a line of a command and two paths.
constexpr size_t kQuotedBytes = 4 * kJournalPathBytes + 16;
constexpr size_t kCommandBytes = 2 * kQuotedBytes + 64;
constexpr size_t kTextBytes = kCommandBytes + 2 * kJournalPathBytes + 400;

// The queue holds entries of [u32 length][i64 arrival time][payload], one
// producer (the acquisition thread) and one consumer (the writer): the body
// of a record entry follows its length as the journal frames it. Each side owns one
// count and publishes it with release; the other reads it with acquire.
struct Queue {
  uint8_t* bytes = nullptr;
  std::atomic<uint64_t> head{0};  // bytes queued since the start
  std::atomic<uint64_t> tail{0};  // bytes taken since the start
};

struct JournalState {
  FileHandle file = kInvalidFile;
  char path[kJournalPathBytes] = {};
  Queue queue;
  uint8_t* staging = nullptr;  // the writer's framed entries, before they are written
  size_t staged = 0;
  int64_t lastFlush = 0;
  bool unflushed = false;  // written since the last flush
  // Set by the acquisition thread once it dropped a record (the queue was
  // full); the journal takes nothing more and is marked incomplete.
  std::atomic<bool> overflowed{false};
  // Set by the writer after a failed write: nothing more is queued.
  std::atomic<bool> failed{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> writerDone{true};
  bool complete = true;  // as FinishJournal found it
};
JournalState Journal;

void Diagnose(const char* text) {
  char line[kTextBytes + 4];
  std::snprintf(line, sizeof line, "\r\n%s", text);
  PrintDiagnostic(line);
}

// Copies n bytes into the queue at position `at`, across its end.
void QueuePut(uint64_t at, const void* data, size_t n) {
  const size_t offset = static_cast<size_t>(at % kJournalQueueBytes);
  const size_t first = n < kJournalQueueBytes - offset ? n : kJournalQueueBytes - offset;
  std::memcpy(Journal.queue.bytes + offset, data, first);
  std::memcpy(Journal.queue.bytes, static_cast<const uint8_t*>(data) + first, n - first);
}

void QueueGet(uint64_t at, void* data, size_t n) {
  const size_t offset = static_cast<size_t>(at % kJournalQueueBytes);
  const size_t first = n < kJournalQueueBytes - offset ? n : kJournalQueueBytes - offset;
  std::memcpy(data, Journal.queue.bytes + offset, first);
  std::memcpy(static_cast<uint8_t*>(data) + first, Journal.queue.bytes, n - first);
}

// Marks the journal incomplete in its header. A failed write may leave no
// room for more, but the flag lies in a block that is already there.
void MarkIncomplete() {
  uint8_t flags[4];
  PutU32(flags, kJournalIncomplete);
  WriteFileAt(Journal.file, kJournalFlagsOffset, flags, sizeof flags);
  SyncFile(Journal.file);
}

// Writes the staged entries. On failure the journal takes no more.
void WriteStaged() {
  if (Journal.staged == 0 || Journal.failed.load(std::memory_order_acquire)) {
    Journal.staged = 0;
    return;
  }
  if (!WriteOutputFile(Journal.file, Journal.staging, Journal.staged)) {
    char why[160];
    LastErrorText(why, sizeof why);
    Journal.failed.store(true, std::memory_order_release);
    MarkIncomplete();
    char text[kTextBytes];
    std::snprintf(text, sizeof text,
                  "The journal %s takes no more records: %s. The measurement goes on in memory.",
                  Journal.path, why);
    Diagnose(text);
  }
  Journal.staged = 0;
  Journal.unflushed = true;
}

// Room in the staging buffer for an entry of `length` bytes: where its body
// goes.
uint8_t* StageBody(uint32_t length) {
  if (Journal.staged + kJournalEntryOverhead + length > kStagingBytes) WriteStaged();
  return Journal.staging + Journal.staged + 5;
}

// Frames the entry whose body StageBody placed.
void StageEntry(uint8_t type, uint32_t length) {
  uint8_t* at = Journal.staging + Journal.staged;
  PutU32(at + 5 + length, FrameJournalEntry(type, at + 5, length, at));
  Journal.staged += kJournalEntryOverhead + length;
}

// A stamp, then everything written is flushed to the disk.
void Flush(int64_t now) {
  uint8_t* stamp = StageBody(8);
  PutU64(stamp, static_cast<uint64_t>(now));
  StageEntry(kJournalStamp, 8);
  WriteStaged();
  if (!Journal.failed.load(std::memory_order_acquire)) SyncFile(Journal.file);
  Journal.lastFlush = now;
  Journal.unflushed = false;
}

// Moves what is queued into the staging buffer and on to the file. Returns
// whether there was anything.
bool Drain() {
  const uint64_t head = Journal.queue.head.load(std::memory_order_acquire);
  uint64_t tail = Journal.queue.tail.load(std::memory_order_relaxed);
  if (head == tail) return false;
  while (tail != head) {
    uint8_t length[4];
    QueueGet(tail, length, 4);
    const uint32_t n = GetU32(length) + kJournalArrivalBytes;
    QueueGet(tail + 4, StageBody(n), n);
    StageEntry(kJournalRecord, n);
    tail += 4 + n;
    Journal.queue.tail.store(tail, std::memory_order_release);
  }
  WriteStaged();
  return true;
}

void Writer(void*) {
  // The header and the journal's name are on the disk before any record.
  SyncFile(Journal.file);
  SyncFolderOf(Journal.path);
  for (;;) {
    const bool stopping = Journal.stopRequested.load(std::memory_order_acquire);
    const bool moved = Drain();
    const int64_t now = SystemTime();
    if (stopping && !moved) {
      Flush(now);
      break;
    }
    if (Journal.unflushed && now - Journal.lastFlush >= kJournalFlushMs * kTicksPerMs) Flush(now);
    if (!moved) SleepMs(kIdleSleepMs);
  }
  Journal.writerDone.store(true, std::memory_order_release);
}

// Whether the journal file name fits: the name with ".<n>.journal" added.
bool NameFor(const char* target, int n, char* out, size_t size) {
  const int length = n == 1 ? std::snprintf(out, size, "%s.journal", target)
                            : std::snprintf(out, size, "%s.%d.journal", target, n);
  return length > 0 && static_cast<size_t>(length) < size;
}

void ReportEarlier(const char* earlier) {
  char command[kCommandBytes];
  RecoveryCommand(earlier, command, sizeof command);
  char text[kTextBytes];
  std::snprintf(text, sizeof text,
                "The journal %s of an earlier run is kept; this run does not touch it. Recover it "
                "with: %s",
                earlier, command);
  Diagnose(text);
}

void ReportNoJournal(const char* name, const char* why) {
  char text[kTextBytes];
  std::snprintf(text, sizeof text,
                "No journal for this run: %s: %s. The measurement is kept in memory only until it "
                "is saved.",
                name, why);
  Diagnose(text);
}

// Where the last part of a path (after its folder) begins.
size_t LastPartAt(const char* path) {
  size_t at = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    if (IsPathSeparator(path[i])) at = i + 1;
  }
  return at;
}

// Whether entry is the name of a journal of a target named `name` in the
// same folder: "<name>.journal" or "<name>.<k>.journal".
bool IsJournalOf(const char* entry, const char* name, size_t length) {
  if (std::strncmp(entry, name, length) != 0 || entry[length] != '.') return false;
  const char* rest = entry + length + 1;
  const char* digits = rest;
  while (*rest >= '0' && *rest <= '9') ++rest;
  if (rest != digits && *rest++ != '.') return false;
  return std::strcmp(rest, "journal") == 0;
}

// The journals of a target found in its folder.
struct JournalScan {
  char folder[kJournalPathBytes];
  const char* name;  // the target's last part
  size_t length;
  bool any;   // one is there
  bool live;  // a run holds one
};

void ScanEntry(const char* entry, void* context) {
  JournalScan& scan = *static_cast<JournalScan*>(context);
  if (!IsJournalOf(entry, scan.name, scan.length)) return;
  scan.any = true;
  char path[2 * kJournalPathBytes];
  const int length = std::snprintf(path, sizeof path, "%s%s", scan.folder, entry);
  if (!scan.live && length > 0 && static_cast<size_t>(length) < sizeof path) {
    scan.live = FileIsLocked(path);
  }
}

// Every journal of target, whatever its number: the names of a run's
// journals need not follow one another once some have been recovered.
JournalScan ScanJournals(const char* target) {
  JournalScan scan{};
  const size_t at = LastPartAt(target);
  std::snprintf(scan.folder, sizeof scan.folder, "%.*s", static_cast<int>(at), target);
  scan.name = target + at;
  scan.length = std::strlen(scan.name);
  VisitFolder(scan.folder, ScanEntry, &scan);
  return scan;
}

// The n-th name of a target: "t.<n>.mat", or "name.<n>" for a name without
// an extension. False when it does not fit.
bool NumberedName(const char* target, int n, char* out, size_t size) {
  const char* name = target + LastPartAt(target);
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr || dot == name) dot = name + std::strlen(name);
  const int length =
      std::snprintf(out, size, "%.*s.%d%s", static_cast<int>(dot - target), target, n, dot);
  return length > 0 && static_cast<size_t>(length) < size;
}

enum class Made { Created, LiveRun, NotAFile, NoRoomForName, NameTooLong, Failed };

// Creates and locks the journal of target: "<target>.journal", or the next
// free "<target>.<k>.journal" past the journals that dead runs left (each
// named on stderr). At a journal that a run holds: LiveRun when
// stopAtLive, else the next name.
Made CreateJournalOf(const char* target, bool stopAtLive, char* name, size_t size, FileHandle* file,
                     char* why, size_t whySize) {
  for (int k = 1;; ++k) {
    if (!NameFor(target, k, name, size)) return Made::NoRoomForName;
    CreateOutcome outcome;
    *file = CreateLockedFile(name, &outcome, why, whySize);
    if (outcome == CreateOutcome::Created) return Made::Created;
    if (outcome == CreateOutcome::NameTooLong) return Made::NameTooLong;
    if (outcome != CreateOutcome::Exists) return Made::Failed;
    if (KindOfPath(name) == PathKind::Other) return Made::NotAFile;
    if (!FileIsLocked(name)) {
      ReportEarlier(name);
    } else if (stopAtLive) {
      return Made::LiveRun;
    }
  }
}

}  // namespace

JournalStart StartJournal(JournalHeader* header) {
  char* target = header->saveData.OriginalFilename;
  const size_t targetSize = sizeof header->saveData.OriginalFilename;
  if (JournalOpen()) CloseJournal(false);
  if (KindOfPath(target) == PathKind::Other) return JournalStart::NotAFile;

  // While another run journals the target, this run takes the next name
  // that neither exists nor has a journal, so that neither run replaces the
  // other's file.
  char given[sizeof header->saveData.OriginalFilename];
  std::memcpy(given, target, sizeof given);
  char name[kJournalPathBytes];
  char why[160];
  FileHandle file = kInvalidFile;
  Made made = Made::LiveRun;
  bool fits = true;
  for (int n = 1; made == Made::LiveRun; ++n) {
    if (n > 1 && !NumberedName(given, n, target, targetSize)) {
      std::memcpy(target, given, targetSize);
      fits = false;
    } else if (n == 1 ? ScanJournals(target).live
                      : KindOfPath(target) != PathKind::Missing || ScanJournals(target).any) {
      continue;
    }
    made = CreateJournalOf(target, fits, name, sizeof name, &file, why, sizeof why);
  }

  char text[kTextBytes];
  if (!fits) {
    std::snprintf(text, sizeof text,
                  "Another run is measuring into %s, and no numbered name fits beside it: this "
                  "run saves to it too.",
                  given);
    Diagnose(text);
  } else if (std::strcmp(target, given) != 0) {
    std::snprintf(text, sizeof text,
                  "Another run is measuring into %s; this run saves to %s instead%s%s.", given,
                  target, made == Made::Created ? ", journaled in " : "",
                  made == Made::Created ? name : "");
    Diagnose(text);
  }
  switch (made) {
    case Made::Created:
    case Made::LiveRun: break;
    case Made::NotAFile:
      ReportNoJournal(name, "it is not a regular file");
      return JournalStart::Failed;
    case Made::NoRoomForName:
      ReportNoJournal(target, "the name is too long for a journal beside it");
      return JournalStart::Failed;
    case Made::NameTooLong:
      ReportNoJournal(name, "the name is too long for the file system");
      return JournalStart::Failed;
    case Made::Failed: ReportNoJournal(name, why); return JournalStart::Failed;
  }

  uint8_t bytes[kJournalHeaderBytes];
  EncodeJournalHeader(*header, bytes);
  if (Journal.queue.bytes == nullptr) {
    Journal.queue.bytes = static_cast<uint8_t*>(std::malloc(kJournalQueueBytes));
    Journal.staging = static_cast<uint8_t*>(std::malloc(kStagingBytes));
  }
  std::snprintf(why, sizeof why, "out of memory");
  if (Journal.queue.bytes == nullptr || Journal.staging == nullptr ||
      !WriteOutputFile(file, bytes, sizeof bytes)) {
    if (Journal.queue.bytes != nullptr) LastErrorText(why, sizeof why);
    RemoveOpenFile(file, name);
    ReportNoJournal(name, why);
    return JournalStart::Failed;
  }

  Journal.file = file;
  std::snprintf(Journal.path, sizeof Journal.path, "%s", name);
  Journal.queue.head.store(0, std::memory_order_relaxed);
  Journal.queue.tail.store(0, std::memory_order_relaxed);
  Journal.staged = 0;
  Journal.lastFlush = SystemTime();
  Journal.unflushed = true;
  Journal.overflowed.store(false, std::memory_order_relaxed);
  Journal.failed.store(false, std::memory_order_relaxed);
  Journal.stopRequested.store(false, std::memory_order_relaxed);
  Journal.complete = true;
  Journal.writerDone.store(false, std::memory_order_release);
  if (StartBackgroundThread(Writer, nullptr) != 0) {
    Journal.writerDone.store(true, std::memory_order_release);
    Journal.file = kInvalidFile;
    Journal.path[0] = '\0';
    RemoveOpenFile(file, name);
    ReportNoJournal(name, "its writer thread cannot be started");
    return JournalStart::Failed;
  }
  return JournalStart::Started;
}

bool JournalOpen() { return Journal.file != kInvalidFile; }

const char* JournalPath() { return Journal.path; }

void JournalRecord(const uint8_t* payload, uint32_t length) {
  if (!JournalOpen() || length > kJournalMaxPayload ||
      Journal.overflowed.load(std::memory_order_relaxed) ||
      Journal.failed.load(std::memory_order_acquire)) {
    return;
  }
  const int64_t arrival = SystemTime();
  const uint64_t head = Journal.queue.head.load(std::memory_order_relaxed);
  const uint64_t tail = Journal.queue.tail.load(std::memory_order_acquire);
  if (kJournalQueueBytes - (head - tail) < 4u + kJournalArrivalBytes + length) {
    Journal.overflowed.store(true, std::memory_order_release);
    char text[kTextBytes];
    std::snprintf(text, sizeof text,
                  "The journal %s takes no more records: they arrive faster than the disk takes "
                  "them. The measurement goes on in memory.",
                  Journal.path);
    Diagnose(text);
    return;
  }
  uint8_t framing[4 + kJournalArrivalBytes];
  PutU32(framing, length);
  PutU64(framing + 4, static_cast<uint64_t>(arrival));
  QueuePut(head, framing, sizeof framing);
  QueuePut(head + sizeof framing, payload, length);
  Journal.queue.head.store(head + sizeof framing + length, std::memory_order_release);
}

bool FinishJournal() {
  if (!JournalOpen()) return false;
  if (!Journal.writerDone.load(std::memory_order_acquire)) {
    Journal.stopRequested.store(true, std::memory_order_release);
    while (!Journal.writerDone.load(std::memory_order_acquire)) SleepMs(1);
    const bool overflowed = Journal.overflowed.load(std::memory_order_acquire);
    const bool failed = Journal.failed.load(std::memory_order_acquire);
    if (overflowed && !failed) MarkIncomplete();  // a failed write marked it already
    Journal.complete = !overflowed && !failed;
  }
  return Journal.complete;
}

void CloseJournal(bool remove) {
  if (!JournalOpen()) return;
  FinishJournal();
  const FileHandle file = Journal.file;
  Journal.file = kInvalidFile;
  if (remove) {
    if (!RemoveOpenFile(file, Journal.path)) {
      char why[160];
      LastErrorText(why, sizeof why);
      char text[kTextBytes];
      std::snprintf(text, sizeof text, "The journal %s could not be removed: %s.", Journal.path,
                    why);
      Diagnose(text);
    }
  } else {
    CloseFile(file);
    char command[kCommandBytes];
    RecoveryCommand(Journal.path, command, sizeof command);
    char text[kTextBytes];
    std::snprintf(text, sizeof text,
                  "The measurement is kept in the journal %s. Recover it with: %s", Journal.path,
                  command);
    Diagnose(text);
  }
  Journal.path[0] = '\0';
}

void RecoveryCommand(const char* journalPath, char* out, size_t size) {
  // The journal's name without ".journal", and ".mat" made ".recovered.mat".
  char recovered[kJournalPathBytes + 32];
  std::snprintf(recovered, sizeof recovered, "%s", journalPath);
  for (const char* suffix : {".journal", ".mat"}) {
    const size_t length = std::strlen(recovered), cut = std::strlen(suffix);
    if (length >= cut && std::strcmp(recovered + length - cut, suffix) == 0) {
      recovered[length - cut] = '\0';
    }
  }
  std::strncat(recovered, ".recovered.mat", sizeof recovered - std::strlen(recovered) - 1);
  char journal[kQuotedBytes];
  char file[kQuotedBytes];
  QuoteForShell(journalPath, journal, sizeof journal);
  QuoteForShell(recovered, file, sizeof file);
  std::snprintf(out, size, "qarvel-recover %s -o %s", journal, file);
}
