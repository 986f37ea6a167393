// The follower: a run's journal read as it grows, its sets fitted once each,
// and the live view written from them at each update.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "link/status.h"
#include "platform/numbers.h"
#include "sweep/averager.h"
#include "sweep/journal.h"
#include "sweep/range_matrix.h"
#include "sweep/record.h"
#include "track/track.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint32_t kPollMs = 200;  // between looks for a journal
constexpr size_t kPendingBytes = size_t{1} << 20;
// The rows of one set at most: room for them is made before a set is taken.
constexpr size_t kSetRowsBytes = kTrackRanges * kTrackRowBytes;
constexpr int kCandidates = 64;
// A journal found unheld is looked at again this often, this many times,
// before it counts as a dead run's: on Windows a run lets its journal go
// just before it removes it.
constexpr uint32_t kDeadProbeMs = 150;
constexpr int kDeadProbes = 3;

// Seconds (below 10^6, as the options take them) in ms: a 32-bit conversion,
// which 32-bit x86 does in SSE2 (a 64-bit one would take the x87 unit).
int64_t Ms(double seconds) { return static_cast<int32_t>(seconds * 1000.0); }

void Say(Follower* f, const char* text) {
  if (f->say != nullptr) f->say(text, f->sayContext);
}

// f->text, formatted, said on stderr.
// Cut short, when too long, as a message may be.
template <typename... Args>
void Format(char* out, size_t size, const char* format, Args... args) {
  if (std::snprintf(out, size, format, args...) < 0) out[0] = '\0';
}

template <typename... Args>
void SayF(Follower* f, const char* format, Args... args) {
  Format(f->text, sizeof f->text, format, args...);
  Say(f, f->text);
}

bool Later(const FolderMember& a, const FolderMember& b) {
  return a.cycle != b.cycle ? a.cycle > b.cycle : a.k > b.k;
}

struct Candidate {
  FolderMember member;
  char name[64 + kTrackPathBytes];
};

struct Listing {
  Follower* f;
  Candidate* found;
  int count;
};

// Keeps the journals of the target that come after the last one followed,
// the latest kCandidates of them.
void CollectJournal(const char* name, void* context) {
  Listing& l = *static_cast<Listing*>(context);
  Follower& f = *l.f;
  FolderMember m{0, 0};
  if (f.folder) {
    if (!ParseFolderMember(name, &m) || m.k == 0) return;
  } else if (!ParseJournalOf(name, f.base, &m.k)) {
    return;
  }
  if (f.followedAny && !Later(m, f.last)) return;
  if (std::strlen(name) >= sizeof l.found[0].name) return;
  int at = l.count;
  if (l.count == kCandidates) {
    at = 0;  // replaces the earliest, if this one is later
    for (int i = 1; i < l.count; ++i) {
      if (Later(l.found[at].member, l.found[i].member)) at = i;
    }
    if (!Later(m, l.found[at].member)) return;
  } else {
    ++l.count;
  }
  l.found[at].member = m;
  std::snprintf(l.found[at].name, sizeof l.found[at].name, "%s", name);
}

int LatestFirst(const void* a, const void* b) {
  const Candidate& x = *static_cast<const Candidate*>(a);
  const Candidate& y = *static_cast<const Candidate*>(b);
  return Later(x.member, y.member) ? -1 : Later(y.member, x.member) ? 1 : 0;
}

// Whether the regular file at path holds no byte (nothing there counts as
// not empty: it is no journal to wait for).
bool IsEmptyFile(const char* path) {
  OpenOutcome outcome;
  char why[8];
  const FileHandle file = OpenForReading(path, false, &outcome, why, sizeof why);
  if (file == kInvalidFile) return false;
  uint8_t byte;
  const bool empty = ReadFromFile(file, &byte, 1) == 0;
  CloseFile(file);
  return empty;
}

// A journal that nobody holds, looked at again: Missing when it went (its
// run saved, or had no data), RegularFile when it stays unheld (a dead
// run's), Other when a run holds it after all.
PathKind ProbeUnheld(const char* path) {
  for (int i = 0;; ++i) {
    const PathKind kind = KindOfPath(path);
    if (kind != PathKind::RegularFile) return PathKind::Missing;
    if (FileIsLocked(path)) return PathKind::Other;
    if (i == kDeadProbes) return PathKind::RegularFile;
    SleepMs(kDeadProbeMs);
  }
}

bool NamedDead(const Follower& f, const char* path) {
  for (int i = 0; i < f.deadCount; ++i) {
    if (std::strcmp(f.dead[i], path) == 0) return true;
  }
  return false;
}

void ResetAverage(Follower* f) {
  f->averagedSets = 0;
  f->averageStale = false;
  if (f->phaseSums != nullptr) {
    std::memset(f->phaseSums, 0, kMaxSweepValues * sizeof(double));
    std::memset(f->magnitudeSums, 0, kMaxSweepValues * sizeof(double));
  }
}

// Begins following the journal at path (name within the folder), of the
// member m. False when it cannot be opened (it went meanwhile).
bool BeginJournal(Follower* f, const char* name, const FolderMember& m) {
  char path[kTrackPathBytes];
  const int n = std::snprintf(path, sizeof path, "%s%s", f->folderPath, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;
  OpenOutcome outcome;
  char why[160];
  const FileHandle handle = OpenForReading(path, false, &outcome, why, sizeof why);
  if (handle == kInvalidFile) return false;
  f->handle = handle;
  std::snprintf(f->journal, sizeof f->journal, "%s", path);
  // The file its run saves: the journal's name without ".journal" and
  // without the ".<k>" that a dead run's journal of the same name made.
  std::snprintf(f->runFile, sizeof f->runFile, "%s", path);
  char* end = f->runFile + std::strlen(f->runFile) - std::strlen(".journal");
  *end = '\0';
  if (m.k >= 2) *std::strrchr(f->runFile, '.') = '\0';
  f->runName = f->runFile + std::strlen(f->folderPath);
  if (!FileModifiedTime(path, &f->journalSeen)) f->journalSeen = 0;
  StartJournalDecoder(f->decoder);
  f->chunkAt = f->chunkEnd = 0;
  f->sourceBegun = false;
  f->following = true;
  f->followedAny = true;
  f->member = m;
  f->last = m;
  f->lastSetAt = MonotonicMs();  // a new cycle clears a stall
  f->runSets = 0;
  ResetAverage(f);
  LiveView& v = *f->view;
  SetLiveText(v.runFile, sizeof v.runFile, f->runFile);
  v.cycle = f->folder ? m.cycle : 0;
  v.note[0] = '\0';
  if (v.status == LiveStatus::Waiting || v.status == LiveStatus::Stalled)
    v.status = LiveStatus::Live;
  return true;
}

// Looks for the newest journal of the target that a run holds, and begins
// following it. Dead journals are remembered for the end.
void LookForRun(Follower* f) {
  static Candidate found[kCandidates];
  Listing listing{f, found, 0};
  if (!VisitFolder(f->folderPath, CollectJournal, &listing)) return;
  std::qsort(found, static_cast<size_t>(listing.count), sizeof(Candidate), LatestFirst);
  f->empty[0] = '\0';
  for (int i = 0; i < listing.count; ++i) {
    char path[kTrackPathBytes];
    const int n = std::snprintf(path, sizeof path, "%s%s", f->folderPath, found[i].name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue;
    if (KindOfPath(path) != PathKind::RegularFile || NamedDead(*f, path)) continue;
    if (IsEmptyFile(path)) {
      // Never probed: a run makes its journal, then locks it. One still
      // empty when the wait is over is looked at then.
      if (f->empty[0] == '\0') {
        std::snprintf(f->empty, sizeof f->empty, "%s", path);
        f->emptyMember = found[i].member;
      }
      continue;
    }
    if (FileIsLocked(path)) {
      if (BeginJournal(f, found[i].name, found[i].member)) return;
      continue;
    }
    if (f->deadCount < kFollowDeadNames) {
      std::snprintf(f->dead[f->deadCount++], kTrackPathBytes, "%s", path);
    }
  }
}

// ------------------------------------------------------------------ the CSV

// Writes the rows waiting; false when the file takes them not all (what it
// took is dropped from the buffer, the rest waits).
bool WritePending(Follower* f) {
  if (f->o.csvPath == nullptr || f->pendingBytes == 0) return true;
  if (f->csv == nullptr) {
    f->csv = std::fopen(f->o.csvPath, "wb");
    if (f->csv == nullptr) return false;
    std::setvbuf(static_cast<FILE*>(f->csv), nullptr, _IONBF, 0);
  }
  FILE* csv = static_cast<FILE*>(f->csv);
  const size_t written = std::fwrite(f->pending, 1, f->pendingBytes, csv);
  std::memmove(f->pending, f->pending + written, f->pendingBytes - written);
  f->pendingBytes -= written;
  if (f->pendingBytes > 0) {
    std::clearerr(csv);
    return false;
  }
  return true;
}

void AddRows(Follower* f, const TrackedSet& set) {
  if (f->o.csvPath == nullptr) return;
  if (!f->csvHeader) {
    const size_t n = std::strlen(kTrackCsvHeader);
    std::memcpy(f->pending + f->pendingBytes, kTrackCsvHeader, n);
    f->pendingBytes += n;
    f->csvHeader = true;
  }
  for (int32_t k = 0; k < set.ranges; ++k) {
    f->pendingBytes +=
        FormatTrackRow(set, k, f->pending + f->pendingBytes, kPendingBytes - f->pendingBytes);
  }
}

// ----------------------------------------------------------------- the sets

// Fills the view's ranges from the journal's configuration, once.
void TakeConfiguration(Follower* f) {
  LiveView& v = *f->view;
  const JournalHeader& h = f->decoder->header;
  const SweepInfo& info = h.info;
  if (v.startTime == 0) v.startTime = h.startTime;
  v.averaged = h.averaged;
  if (v.rangeCount != info.NumberOfRanges) {
    // A cycle of another configuration: its course begins anew.
    v.rangeCount = info.NumberOfRanges;
    for (int k = 0; k < kLiveRanges; ++k) ResetCourse(&v.ranges[k].course);
  }
  for (int k = 0; k < info.NumberOfRanges; ++k) {
    LiveRange& r = v.ranges[k];
    r.startHz = info.RequestedStart[k];
    r.stopHz = info.RequestedStop[k];
    r.points = info.Points[k];
  }
}

void TakeSet(Follower* f, const TrackSet& set) {
  LiveView& v = *f->view;
  if (!f->sourceBegun) {
    f->sourceBegun = true;
    f->sourceIndex += 1;
    const JournalHeader& h = f->decoder->header;
    BeginSourceTimes(&f->clock, true, h.startTime, false, h.info.RealizedPeriod);
  }
  TrackedSet tracked;
  tracked.source = f->runName;
  tracked.sourceIndex = f->sourceIndex;
  tracked.sampleNumber = set.sampleNumber;
  tracked.time = TimeOfSet(&f->clock, set);
  tracked.ranges = set.ranges;
  FitTrackSet(set, tracked.fits);
  AddRows(f, tracked);
  v.hasMagnitude = set.magnitude != nullptr;
  v.hasPhase = set.phase != nullptr;
  for (int32_t k = 0; k < set.ranges && k < kLiveRanges; ++k) {
    AddToCourse(&v.ranges[k].course, tracked.time.seconds, tracked.fits[k]);
  }
  v.sets += 1;
  f->runSets += 1;
  f->lastSetAt = MonotonicMs();
  if (v.status == LiveStatus::Stalled || v.status == LiveStatus::Waiting)
    v.status = LiveStatus::Live;

  if (f->decoder->header.averaged && f->phaseSums != nullptr) {
    // The sum as the store makes it at each complete set: the set's ranges
    // as records, added by the averager.
    if (f->averagedSets == 0) {
      f->averagePhase = set.phase != nullptr;
      f->averageMagnitude = set.magnitude != nullptr;
    }
    RecordNode nodes[kTrackRanges];
    for (int32_t k = 0; k < set.ranges; ++k) {
      const size_t column = static_cast<size_t>(k) * static_cast<size_t>(set.maxPoints);
      nodes[k].next = k + 1 < set.ranges ? &nodes[k + 1] : nullptr;
      nodes[k].phase = set.phase != nullptr ? const_cast<double*>(set.phase) + column : nullptr;
      nodes[k].magnitude =
          set.magnitude != nullptr ? const_cast<double*>(set.magnitude) + column : nullptr;
      nodes[k].valueCount = static_cast<uint32_t>(set.maxPoints);
    }
    AccumulateSweepSet(f->phaseSums, f->magnitudeSums, nodes, set.ranges, set.points, set.maxPoints,
                       f->averagePhase, f->averageMagnitude);
    f->averagedSets += 1;
    f->averageStale = true;
    return;
  }
  for (int32_t k = 0; k < set.ranges && k < kLiveRanges; ++k) {
    const size_t column = static_cast<size_t>(k) * static_cast<size_t>(set.maxPoints);
    v.ranges[k].latest = tracked.fits[k];
    SetTrace(&v.ranges[k].trace, set.frequencies + column,
             set.magnitude != nullptr ? set.magnitude + column : nullptr,
             set.phase != nullptr ? set.phase + column : nullptr, set.points[k]);
  }
}

// The running average of an -m run, divided as the file divides it, fitted
// and drawn.
void FitAverage(Follower* f) {
  if (!f->averageStale) return;
  f->averageStale = false;
  std::memcpy(PhaseSum, f->phaseSums, kMaxSweepValues * sizeof(double));
  std::memcpy(MagnitudeSum, f->magnitudeSums, kMaxSweepValues * sizeof(double));
  FinishAverage(static_cast<int32_t>(f->averagedSets));
  const SweepInfo& info = f->decoder->header.info;
  const int32_t maxPoints = MaxPoints(info);
  const double* frequencies = f->decoder->block;  // laid out once, for every set
  LiveView& v = *f->view;
  v.hasMagnitude = f->averageMagnitude;
  v.hasPhase = f->averagePhase;
  for (int32_t k = 0; k < info.NumberOfRanges && k < kLiveRanges; ++k) {
    const size_t column = static_cast<size_t>(k) * static_cast<size_t>(maxPoints);
    const double* magnitude = f->averageMagnitude ? MagnitudeSum + column : nullptr;
    const double* phase = f->averagePhase ? PhaseSum + column : nullptr;
    v.ranges[k].latest = FitResonance(frequencies + column, magnitude, phase, info.Points[k]);
    SetTrace(&v.ranges[k].trace, frequencies + column, magnitude, phase, info.Points[k]);
  }
}

enum class ReadEnd { End, Blocked, Failed };

// Reads what the journal gained and takes its complete sets: End at the end
// of what was written so far; Blocked when the CSV's rows wait for the file
// (the journal waits for them); Failed when it cannot be read on (damaged,
// or not a journal), said on stderr.
ReadEnd ReadJournal(Follower* f) {
  JournalDecoder* d = f->decoder;
  for (;;) {
    if (f->o.csvPath != nullptr && kPendingBytes - f->pendingBytes < kSetRowsBytes + 1024) {
      if (!WritePending(f) && kPendingBytes - f->pendingBytes < kSetRowsBytes + 1024) {
        return ReadEnd::Blocked;
      }
    }
    if (f->chunkAt == f->chunkEnd) {
      if (f->handle == kInvalidFile) return ReadEnd::End;  // read to its end, and let go
      const int64_t got = ReadFromFile(f->handle, f->chunk, kTrackReadBytes);
      if (got <= 0) return ReadEnd::End;
      f->chunkAt = 0;
      f->chunkEnd = static_cast<size_t>(got);
    }
    size_t taken = 0;
    TrackSet set;
    const bool hadHeader = d->headerRead;
    const JournalStep step =
        DecodeJournal(d, f->chunk + f->chunkAt, f->chunkEnd - f->chunkAt, &taken, &set);
    f->chunkAt += taken;
    if (!hadHeader && d->headerRead) TakeConfiguration(f);
    switch (step) {
      case JournalStep::Set: TakeSet(f, set); continue;
      case JournalStep::NeedMore: continue;
      case JournalStep::Damaged:
        SayF(f, "%s holds a damaged entry after byte %llu; it is followed no further", f->journal,
             static_cast<unsigned long long>(d->offset));
        return ReadEnd::Failed;
      case JournalStep::NotAJournal:
        SayF(f, "%s is not a journal, or its header is damaged", f->journal);
        return ReadEnd::Failed;
      case JournalStep::Invalid:
        SayF(f, "%s is not a journal this version can read (its %s)", f->journal, d->invalidField);
        return ReadEnd::Failed;
      case JournalStep::NoMemory:
        SayF(f, "%s: no memory for its sets", f->journal);
        return ReadEnd::Failed;
    }
  }
}

void EndJournal(Follower* f) {
  if (!f->following) return;
  if (f->handle != kInvalidFile) CloseFile(f->handle);
  f->handle = kInvalidFile;
  EndJournalDecoder(f->decoder);
  f->following = false;
}

// The line of an update: the status, the run's file and its sets (vexa:
// this cycle's), and each range's latest f0.
void PrintLine(Follower* f, LiveStatus status) {
  const LiveView& v = *f->view;
  char clock[16] = "00:00:00";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now))
    std::strftime(clock, sizeof clock, "%H:%M:%S", local);
  char line[64 + kTrackPathBytes + kLiveRanges * 24];
  int n = std::snprintf(line, sizeof line, "%s %s %s %llu", clock, LiveStatusWord(status),
                        f->runName != nullptr ? f->runName : f->o.target,
                        static_cast<unsigned long long>(f->runSets));
  for (int k = 0; k < v.rangeCount && n > 0 && static_cast<size_t>(n) < sizeof line; ++k) {
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %.6f",
                       v.ranges[k].latest.f0Hz / 1e6);
  }
  std::printf("%s\n", line);
  std::fflush(stdout);
}

// The end of a run whose journal went: saved when its file is newer than
// the journal was when it was found.
void JournalWent(Follower* f) {
  // What it wrote last, through the handle still open; rows that wait for
  // the CSV keep the end for a later update.
  if (ReadJournal(f) == ReadEnd::Blocked) return;
  FitAverage(f);
  LiveView& v = *f->view;
  int64_t modified = 0;
  const bool saved =
      f->decoder->sets > 0 && FileModifiedTime(f->runFile, &modified) && modified >= f->journalSeen;
  EndJournal(f);
  if (saved) {
    f->saves += 1;
    if (!f->folder) {
      v.status = LiveStatus::Saved;
      f->exitCode = kFollowSaved;
    } else {
      f->waitSince = MonotonicMs();                          // for the next cycle
      if (f->o.printLines) PrintLine(f, LiveStatus::Saved);  // this cycle's file
    }
    return;
  }
  SayF(f, "the run of %s ended without saving it (no data)", f->runFile);
  if (!f->folder) {
    v.status = LiveStatus::NoData;
    SetLiveText(v.note, sizeof v.note, "the run ended without data");
    f->exitCode = kFollowNoRun;
  } else {
    f->waitSince = MonotonicMs();
  }
}

void RunDied(Follower* f, bool read) {
  if (read && ReadJournal(f) == ReadEnd::Blocked) return;
  FitAverage(f);
  char command[3 * kTrackPathBytes];
  RecoveryCommand(f->journal, command, sizeof command);
  SayF(f,
       "the run of %s has ended without saving it; its measurement is in the journal %s. "
       "Recover it with: %s",
       f->runFile, f->journal, command);
  LiveView& v = *f->view;
  char note[kLiveNoteBytes];
  Format(note, sizeof note, "The run died. Recover it with: %s", command);
  SetLiveText(v.note, sizeof v.note, note);
  v.status = LiveStatus::Died;
  EndJournal(f);
  f->exitCode = kFollowDied;
}

// No live run within the wait: the end, with what was passed over.
void NoRun(Follower* f) {
  LiveView& v = *f->view;
  if (f->saves > 0) {
    v.status = LiveStatus::Saved;
    f->exitCode = kFollowSaved;
    return;
  }
  v.status = f->followedAny ? LiveStatus::NoData : LiveStatus::Waiting;
  f->exitCode = kFollowNoRun;
  if (f->followedAny) return;  // said when its journal went
  // One message: what was looked for, and what was found instead.
  size_t n = 0;
  auto add = [&](const char* format, const char* a, const char* b) {
    if (n >= sizeof f->text) return;
    const int added = std::snprintf(f->text + n, sizeof f->text - n, format, a, b);
    if (added > 0) n += static_cast<size_t>(added);
  };
  char wait[32];
  Format(wait, sizeof wait, "%g", f->o.waitS);
  add("no live run of %s appeared within %s s", f->o.target, wait);
  if (f->empty[0] != '\0') add("\n  %s is empty and no run holds it%s", f->empty, "");
  for (int i = 0; i < f->deadCount; ++i) {
    char command[3 * kTrackPathBytes];
    RecoveryCommand(f->dead[i], command, sizeof command);
    add("\n  %s is a journal that an earlier run left; recover it with: %s", f->dead[i], command);
  }
  Say(f, f->text);
  SetLiveText(v.note, sizeof v.note, "no live run appeared");
}

// ---------------------------------------------------------------- an update

// Writes the files of an update; says a failure at once.
bool WriteUpdate(Follower* f) {
  LiveView& v = *f->view;
  if (!LiveStatusIsFinal(v.status) && v.startTime != 0) {
    v.elapsedS = ToDouble(SystemTime() - v.startTime) / 1e7;
  } else if (LiveStatusIsFinal(v.status) && f->clock.started) {
    v.elapsedS = f->clock.endS;
  }
  bool ok = true;
  if (f->o.pagePath != nullptr || f->o.jsonPath != nullptr) {
    const int status = WriteLiveFiles(v, f->o.everyS, f->o.pagePath, f->o.jsonPath);
    if (status != NoError) {
      char why[160];
      LastErrorText(why, sizeof why);
      SayF(f, "cannot write %s%s%s: %s", f->o.pagePath != nullptr ? f->o.pagePath : "",
           f->o.pagePath != nullptr && f->o.jsonPath != nullptr ? " and " : "",
           f->o.jsonPath != nullptr ? f->o.jsonPath : "",
           status == OutOfMemory ? "no memory" : why);
      ok = false;
    }
  }
  if (!WritePending(f)) {
    char why[160];
    LastErrorText(why, sizeof why);
    SayF(f, "cannot write %s: %s", f->o.csvPath, why);
    ok = false;
  }
  if (f->o.printLines && (f->runSets > 0 || LiveStatusIsFinal(v.status))) {
    PrintLine(f, v.status);
  }
  return ok;
}

}  // namespace

int32_t StartFollower(Follower* f, const FollowOptions& o, FollowSay say, void* context) {
  std::memset(static_cast<void*>(f), 0, sizeof *f);
  f->o = o;
  f->say = say;
  f->sayContext = context;
  f->handle = kInvalidFile;
  f->exitCode = kFollowGoing;
  StartSeriesClock(&f->clock);
  const size_t length = std::strlen(o.target);
  if (length == 0 || length + 2 >= kTrackPathBytes) return InvalidValue;
  f->folder = IsFolder(o.target);
  if (f->folder) {
    std::snprintf(f->folderPath, sizeof f->folderPath, "%s%s", o.target,
                  IsPathSeparator(o.target[length - 1]) ? "" : "/");
  } else {
    size_t cut = length;
    while (cut > 0 && !IsPathSeparator(o.target[cut - 1])) --cut;
    if (cut == length) return InvalidValue;  // a folder's name with a separator, not a file
    std::snprintf(f->folderPath, sizeof f->folderPath, "%.*s", static_cast<int>(cut), o.target);
    std::snprintf(f->base, sizeof f->base, "%s", o.target + cut);
  }
  f->view = static_cast<LiveView*>(std::malloc(sizeof(LiveView)));
  f->decoder = static_cast<JournalDecoder*>(std::malloc(sizeof(JournalDecoder)));
  f->chunk = static_cast<uint8_t*>(std::malloc(kTrackReadBytes));
  if (o.csvPath != nullptr) f->pending = static_cast<char*>(std::malloc(kPendingBytes));
  // The sums of an -m run, and the averager's own for the divided copy.
  f->phaseSums = static_cast<double*>(std::calloc(kMaxSweepValues, sizeof(double)));
  f->magnitudeSums = static_cast<double*>(std::calloc(kMaxSweepValues, sizeof(double)));
  if (f->view == nullptr || f->decoder == nullptr || f->chunk == nullptr ||
      (o.csvPath != nullptr && f->pending == nullptr) || f->phaseSums == nullptr ||
      f->magnitudeSums == nullptr || InitAverager() != NoError) {
    EndFollower(f);
    return OutOfMemory;
  }
  StartJournalDecoder(f->decoder);
  ResetLiveView(f->view);
  SetLiveText(f->view->target, sizeof f->view->target, o.target);
  f->waitSince = MonotonicMs();
  f->lastSetAt = f->waitSince;
  return NoError;
}

int FollowStep(Follower* f) {
  LiveView& v = *f->view;
  const LiveStatus before = v.status;
  const uint64_t setsBefore = v.sets;
  if (f->exitCode == kFollowGoing) {
    if (!f->following) LookForRun(f);
    if (f->following) {
      if (ReadJournal(f) == ReadEnd::Failed) {
        // A journal that cannot be read on is a run's that cannot be followed.
        RunDied(f, false);
      } else if (FileIsLocked(f->journal)) {
        FitAverage(f);
      } else {
        PathKind kind = ProbeUnheld(f->journal);
        if (kind == PathKind::RegularFile) {
          // Unheld, and its name still there: everything the run wrote is
          // in it. Read it all, then let it go and look again, since a
          // system may keep a removed file's name while a handle holds it
          // open (Wine does). Rows that wait for the CSV put this off.
          if (ReadJournal(f) == ReadEnd::Blocked) {
            kind = PathKind::Other;
          } else {
            CloseFile(f->handle);
            f->handle = kInvalidFile;
            if (KindOfPath(f->journal) != PathKind::RegularFile) kind = PathKind::Missing;
          }
        }
        if (kind == PathKind::Missing) {
          JournalWent(f);
        } else if (kind == PathKind::RegularFile) {
          RunDied(f, true);
        }
      }
    } else if (MonotonicMs() - f->waitSince >= Ms(f->o.waitS)) {
      // The wait is over: an empty journal is looked at now.
      if (f->empty[0] != '\0' && FileIsLocked(f->empty) &&
          BeginJournal(f, f->empty + std::strlen(f->folderPath), f->emptyMember)) {
        f->waitSince = MonotonicMs();
      } else {
        NoRun(f);
      }
    }
    const int64_t now = MonotonicMs();
    const bool running = f->following || (f->folder && f->saves > 0);
    if (f->exitCode == kFollowGoing && running && v.status == LiveStatus::Live &&
        now - f->lastSetAt >= Ms(f->o.stallS)) {
      v.status = LiveStatus::Stalled;
      char note[kLiveNoteBytes];
      std::snprintf(note, sizeof note, "No set has come for %g s.", f->o.stallS);
      SetLiveText(v.note, sizeof v.note, note);
    } else if (v.status == LiveStatus::Live && v.note[0] != '\0' && v.sets > setsBefore) {
      v.note[0] = '\0';
    }
  }
  const int64_t now = MonotonicMs();
  const bool due = !f->wroteOnce || v.status != before || f->exitCode != kFollowGoing ||
                   now - f->lastWriteAt >= Ms(f->o.everyS);
  if (!due) return kFollowGoing;
  f->lastWriteAt = now;
  f->wroteOnce = true;
  if (WriteUpdate(f)) {
    f->failures = 0;
    return f->exitCode;
  }
  if (++f->failures >= kFollowFailureLimit) {
    SayF(f, "giving up after %d updates in a row that could not be written", kFollowFailureLimit);
    return kFollowNoRun;
  }
  return kFollowGoing;
}

uint32_t FollowPauseMs(const Follower& f) {
  if (f.exitCode != kFollowGoing) return static_cast<uint32_t>(Ms(f.o.everyS));  // a write to retry
  if (!f.following) return kPollMs;
  const int64_t every = Ms(f.o.everyS);
  const int64_t left = every - (MonotonicMs() - f.lastWriteAt);
  return static_cast<uint32_t>(left < 10 ? 10 : left > every ? every : left);
}

void EndFollower(Follower* f) {
  EndJournal(f);
  if (f->csv != nullptr) std::fclose(static_cast<FILE*>(f->csv));
  f->csv = nullptr;
  std::free(f->view);
  std::free(f->decoder);
  std::free(f->chunk);
  std::free(f->pending);
  std::free(f->phaseSums);
  std::free(f->magnitudeSums);
  f->view = nullptr;
  f->decoder = nullptr;
  f->chunk = nullptr;
  f->pending = nullptr;
  f->phaseSums = f->magnitudeSums = nullptr;
  FreeAverager();
}

int RunFollower(const FollowOptions& o, FollowSay say, void* context) {
  static Follower f;
  const int32_t started = StartFollower(&f, o, say, context);
  if (started != NoError) {
    if (started == OutOfMemory) {
      SayF(&f, "no memory to follow the run of %s", o.target);
    } else {
      SayF(&f, "%s is neither a folder nor a file's name: nothing to follow", o.target);
    }
    EndFollower(&f);
    return kFollowNoRun;
  }
  int code;
  while ((code = FollowStep(&f)) == kFollowGoing) SleepMs(FollowPauseMs(f));
  if (f.csv != nullptr && std::fclose(static_cast<FILE*>(f.csv)) != 0 && code == kFollowSaved) {
    char why[160];
    LastErrorText(why, sizeof why);
    SayF(&f, "cannot write %s: %s", o.csvPath, why);
    code = kFollowNoRun;
  }
  f.csv = nullptr;
  EndFollower(&f);
  return code;
}
