// Reading a series: the journal decoder, the times of the sets, and the
// sources (result files, journals, vexa folders) read one set at a time.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "link/byteorder.h"
#include "link/status.h"
#include "platform/numbers.h"
#include "sweep/measurement.h"
#include "sweep/range_matrix.h"
#include "sweep/resultfile.h"
#include "track/track.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTicksPerSecond = 1e7;    // SystemTime's units
constexpr size_t kHeaderPrefixBytes = 20;  // magic, version, flags, description length

}  // namespace

void FitTrackSet(const TrackSet& set, Resonance fits[kTrackRanges]) {
  for (int32_t k = 0; k < kTrackRanges; ++k) {
    if (k >= set.ranges) {
      fits[k] = Resonance{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, FitStatus::NoData};
      continue;
    }
    const size_t column = static_cast<size_t>(k) * static_cast<size_t>(set.maxPoints);
    fits[k] = FitResonance(set.frequencies + column,
                           set.magnitude != nullptr ? set.magnitude + column : nullptr,
                           set.phase != nullptr ? set.phase + column : nullptr, set.points[k]);
  }
}

// ------------------------------------------------------- the journal decoder

namespace {

// How many bytes the piece at `at` (have of them so far) takes: the header,
// or an entry once its length is there. Never more than the pending buffer
// holds: a longer entry is damaged, which its first five bytes show.
size_t PieceBytes(const JournalDecoder& d, const uint8_t* at, size_t have) {
  size_t want;
  if (!d.headerRead) {
    want = have < kHeaderPrefixBytes ? kHeaderPrefixBytes : kJournalHeaderBytes;
  } else {
    want = have < 5 ? 5 : kJournalEntryOverhead + static_cast<size_t>(GetU32(at));
  }
  return want < sizeof d.pending ? want : sizeof d.pending;
}

// Reserves the set's matrices for the header's configuration and lays out
// the frequencies and the NaN fill, once.
bool TakeHeader(JournalDecoder* d) {
  const SweepInfo& info = d->header.info;
  d->maxPoints = MaxPoints(info);
  const size_t cells = static_cast<size_t>(d->maxPoints) * static_cast<size_t>(info.NumberOfRanges);
  d->blockBytes = 3 * cells * sizeof(double);
  d->block = static_cast<double*>(std::malloc(d->blockBytes));
  if (d->block == nullptr) {
    d->blockBytes = 0;
    return false;
  }
  const double fill = NaNFill();
  for (size_t i = 0; i < 3 * cells; ++i) d->block[i] = fill;
  FillFrequencyMatrix(info, d->maxPoints, d->block);
  d->lastFreq = LastFreqEntry(info);
  d->tally = SetTally{0, 0, 0, 0};
  return true;
}

// Takes one record as the store would: converted into its range's column
// when the store keeps it, counted into the tally. True when it completes a
// set, which *set then describes.
bool TakeRecord(JournalDecoder* d, const JournalEntry& entry, TrackSet* set) {
  ++d->records;
  const SweepInfo& info = d->header.info;
  const uint8_t* payload = entry.payload;
  if (CheckRecord(info, d->lastFreq, payload, entry.payloadLength) != AppendOutcome::Kept) {
    return false;
  }
  const int32_t range = SweepRangeIndex(payload);
  const uint8_t content = SweepContent(payload);
  const uint16_t points = SweepPoints(payload);
  if (range == 0) d->openSample = static_cast<double>(SweepSampleNumber(payload));

  const size_t cells = static_cast<size_t>(d->maxPoints) * static_cast<size_t>(info.NumberOfRanges);
  const size_t column = static_cast<size_t>(range) * static_cast<size_t>(d->maxPoints);
  double* phase = d->block + cells + column;
  double* magnitude = d->block + 2 * cells + column;
  const bool hasPhase = (content & kContentPhase) != 0;
  const bool hasMagnitude = (content & kContentMagnitude) != 0;
  const double fill = NaNFill();
  const uint8_t* word = payload + kSweepHeaderBytes;
  for (uint32_t i = 0; i < points; ++i) {
    if (hasPhase) {
      phase[i] = PhaseFromRaw(GetU16(word));
      word += 2;
    } else {
      phase[i] = fill;  // the file's column of a record without it
    }
    if (hasMagnitude) {
      magnitude[i] = MagnitudeFromRaw(GetU16(word));
      word += 2;
    } else {
      magnitude[i] = fill;
    }
  }

  const SetTally next = TallyAfter(d->tally, range, content, info.NumberOfRanges);
  const bool completes = next.sets > d->tally.sets;
  d->tally = next;
  if (!completes) return false;
  // The file holds the quantities of its first set's first record.
  *set = TrackSet{};
  set->ranges = info.NumberOfRanges;
  for (int32_t k = 0; k < info.NumberOfRanges; ++k) set->points[k] = info.Points[k];
  set->maxPoints = d->maxPoints;
  set->frequencies = d->block;
  set->phase = (next.firstContent & kContentPhase) != 0 ? d->block + cells : nullptr;
  set->magnitude = (next.firstContent & kContentMagnitude) != 0 ? d->block + 2 * cells : nullptr;
  set->sampleNumber = d->openSample;
  set->arrival = entry.arrival;
  set->averaged = false;
  ++d->sets;
  return true;
}

// What became of the piece at the bytes given.
enum class Piece {
  Short,         // the bytes end inside it
  Taken,         // taken whole
  CompletesSet,  // taken whole, and a set is complete
  Fails,         // the journal cannot be read on from it
};

// Acts on the piece at `at` (have bytes there): its bytes in *pieceBytes
// when it is whole, the failure in *failure when it Fails.
Piece TakePiece(JournalDecoder* d, const uint8_t* at, size_t have, size_t* pieceBytes,
                TrackSet* set, JournalStep* failure) {
  if (!d->headerRead) {
    size_t headerBytes = 0;
    const JournalParse parse = DecodeJournalHeader(at, have, &d->header, &d->version, &d->flags,
                                                   &headerBytes, &d->invalidField);
    if (parse == JournalParse::NeedMore) return Piece::Short;
    if (parse != JournalParse::Ok) {
      *failure = parse == JournalParse::Invalid ? JournalStep::Invalid : JournalStep::NotAJournal;
      return Piece::Fails;
    }
    d->headerRead = true;
    if (!TakeHeader(d)) {
      *failure = JournalStep::NoMemory;
      return Piece::Fails;
    }
    *pieceBytes = headerBytes;
    return Piece::Taken;
  }
  JournalEntry entry;
  const JournalParse parse = ParseJournalEntry(at, have, d->version, &entry);
  if (parse == JournalParse::NeedMore) return Piece::Short;
  if (parse != JournalParse::Ok) {
    *failure = JournalStep::Damaged;
    return Piece::Fails;
  }
  *pieceBytes = entry.entryBytes;
  if (entry.type == kJournalStamp) {
    d->lastStamp = static_cast<int64_t>(GetU64(entry.body));
    return Piece::Taken;
  }
  return TakeRecord(d, entry, set) ? Piece::CompletesSet : Piece::Taken;
}

}  // namespace

void StartJournalDecoder(JournalDecoder* d) {
  std::memset(static_cast<void*>(d), 0, offsetof(JournalDecoder, pending));
  d->stuck = JournalStep::Set;
  d->invalidField = "";
}

JournalStep DecodeJournal(JournalDecoder* d, const uint8_t* bytes, size_t n, size_t* taken,
                          TrackSet* set) {
  *taken = 0;
  if (d->stuck != JournalStep::Set) return d->stuck;
  for (;;) {
    // The next piece: in the pending buffer once part of it came before,
    // else straight from the bytes given.
    const uint8_t* at;
    size_t have;
    if (d->pendingBytes > 0) {
      for (size_t want = PieceBytes(*d, d->pending, d->pendingBytes);
           want > d->pendingBytes && *taken < n;
           want = PieceBytes(*d, d->pending, d->pendingBytes)) {
        size_t part = want - d->pendingBytes;
        if (part > n - *taken) part = n - *taken;
        std::memcpy(d->pending + d->pendingBytes, bytes + *taken, part);
        d->pendingBytes += part;
        *taken += part;
      }
      at = d->pending;
      have = d->pendingBytes;
    } else {
      at = bytes + *taken;
      have = n - *taken;
      if (have == 0) return JournalStep::NeedMore;
    }
    size_t pieceBytes = 0;
    JournalStep failure = JournalStep::Damaged;
    const Piece piece = TakePiece(d, at, have, &pieceBytes, set, &failure);
    if (piece == Piece::Fails) {
      d->stuck = failure;
      return failure;
    }
    if (piece == Piece::Short) {
      // Keep what there is of it, for the bytes that complete it.
      if (at != d->pending) {
        std::memcpy(d->pending, at, have);
        d->pendingBytes = have;
        *taken = n;
      }
      return JournalStep::NeedMore;
    }
    if (at == d->pending) {
      d->pendingBytes = 0;
    } else {
      *taken += pieceBytes;
    }
    d->offset += pieceBytes;
    if (piece == Piece::CompletesSet) return JournalStep::Set;
  }
}

void EndJournalDecoder(JournalDecoder* d) {
  std::free(d->block);
  d->block = nullptr;
  d->blockBytes = 0;
}
// ------------------------------------------------------------------ times

void StartSeriesClock(SeriesClock* clock) {
  *clock = SeriesClock{};
  clock->origin = 0;
  clock->endS = 0;
}

void BeginSourceTimes(SeriesClock* clock, bool wall, int64_t start, bool startEstimated,
                      double periodS) {
  const bool first = !clock->started;
  clock->started = true;
  if (first && wall) {
    clock->wallOrigin = true;
    clock->origin = start;
    clock->originEstimated = startEstimated;
  }
  clock->sourceWall = wall;
  clock->sourceStart = start;
  if (wall && clock->wallOrigin) {
    clock->offsetS = ToDouble(start - clock->origin) / kTicksPerSecond;
    // Measured when both starts are: the origin, as any source's own start,
    // is where its own times count from.
    clock->placed = first || (!clock->originEstimated && !startEstimated);
  } else {
    // Right after the set before it; the first source is where the series
    // begins.
    clock->offsetS = clock->endS;
    clock->placed = first;
  }
  clock->haveFirst = false;
  clock->firstSample = 0;
  clock->periodS = periodS > 0 && std::isfinite(periodS) ? periodS : kNaN;
}

TrackTime TimeOfSet(SeriesClock* clock, const TrackSet& set) {
  TrackTime time{kNaN, 0, false};
  if (set.averaged) return time;  // the average of the whole run has no one time
  if (set.arrival != 0 && clock->sourceWall) {
    time.seconds = clock->offsetS + ToDouble(set.arrival - clock->sourceStart) / kTicksPerSecond;
    time.utc = set.arrival;
    time.estimate = !clock->placed;
  } else {
    if (!clock->haveFirst) {
      clock->haveFirst = true;
      clock->firstSample = set.sampleNumber;
    }
    // The instrument's count of sets, which wraps at 2^32.
    double sets = set.sampleNumber - clock->firstSample;
    if (sets < 0) sets += 4294967296.0;
    time.seconds = clock->offsetS + (sets + 1) * clock->periodS;
    time.estimate = true;
  }
  if (std::isfinite(time.seconds)) clock->endS = time.seconds;
  return time;
}

// ------------------------------------------------------------------ sources

namespace {

constexpr uint8_t kJournalMagic[8] = {'Q', 'R', 'V', 'J', 'R', 'N', 'L', 0x1A};

bool EndsWith(const char* text, const char* end) {
  const size_t length = std::strlen(text), n = std::strlen(end);
  return length >= n && std::strcmp(text + length - n, end) == 0;
}

// A decimal number as vexa writes one: digits without a leading zero, within
// 32 bits. *end is where it stops.
bool ParseNumber(const char* text, uint32_t* value, const char** end) {
  if (text[0] < '0' || text[0] > '9' || (text[0] == '0' && text[1] >= '0' && text[1] <= '9')) {
    return false;
  }
  uint64_t v = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  *end = p;
  return true;
}

// Whether name is a member of a vexa folder, and which: "<n>.mat" (k 0),
// "<n>.mat.journal" (k 1), "<n>.mat.<k>.journal" (k from 2, as runs number
// them).
bool ParseMember(const char* name, FolderMember* member) {
  const char* rest;
  if (!ParseNumber(name, &member->cycle, &rest) || std::strncmp(rest, ".mat", 4) != 0) return false;
  rest += 4;
  if (rest[0] == '\0') {
    member->k = 0;
    return true;
  }
  if (std::strcmp(rest, ".journal") == 0) {
    member->k = 1;
    return true;
  }
  const char* after;
  if (rest[0] != '.' || !ParseNumber(rest + 1, &member->k, &after) || member->k < 2) return false;
  return std::strcmp(after, ".journal") == 0;
}

void MemberName(const FolderMember& m, char* out, size_t size) {
  if (m.k == 0) {
    std::snprintf(out, size, "%lu.mat", static_cast<unsigned long>(m.cycle));
  } else if (m.k == 1) {
    std::snprintf(out, size, "%lu.mat.journal", static_cast<unsigned long>(m.cycle));
  } else {
    std::snprintf(out, size, "%lu.mat.%lu.journal", static_cast<unsigned long>(m.cycle),
                  static_cast<unsigned long>(m.k));
  }
}

int CompareMembers(const void* a, const void* b) {
  const FolderMember& x = *static_cast<const FolderMember*>(a);
  const FolderMember& y = *static_cast<const FolderMember*>(b);
  if (x.cycle != y.cycle) return x.cycle < y.cycle ? -1 : 1;
  return x.k < y.k ? -1 : x.k > y.k ? 1 : 0;
}

void CollectMember(const char* name, void* context) {
  SeriesReader& r = *static_cast<SeriesReader*>(context);
  FolderMember member;
  if (!ParseMember(name, &member)) return;
  if (r.memberCount == r.memberCapacity) {
    const size_t capacity = r.memberCapacity == 0 ? 64 : 2 * r.memberCapacity;
    void* grown = std::realloc(r.members, capacity * sizeof(FolderMember));
    if (grown == nullptr) {
      r.memberCapacity = SIZE_MAX;  // says that a member was lost
      return;
    }
    r.members = static_cast<FolderMember*>(grown);
    r.memberCapacity = capacity;
  }
  r.members[r.memberCount++] = member;
}

// Seconds (0 to 2^31) as SystemTime's ticks, in 32-bit conversions: a
// 64-bit one would take the x87 unit on 32-bit x86. 0 for anything else.
int64_t Ticks(double seconds) {
  if (!(seconds >= 0 && seconds < 2147483647.0)) return 0;
  const int32_t whole = static_cast<int32_t>(seconds);
  return int64_t{whole} * 10000000 + static_cast<int32_t>((seconds - whole) * kTicksPerSecond);
}

int32_t Fail(SeriesReader* r, int32_t status, const char* format, const char* a = "",
             const char* b = "") {
  std::snprintf(r->message, sizeof r->message, format, a, b);
  return status;
}

void Note(SeriesReader* r, const char* text) {
  if (r->note != nullptr) r->note(text, r->noteContext);
}

void CloseSourceFile(SeriesReader* r) {
  if (!r->open) return;
  if (r->kind == SourceKind::Journal) {
    CloseFile(r->handle);
    r->handle = kInvalidFile;
    EndJournalDecoder(r->journal);
  } else {
    CloseResultFile(&r->result);
  }
  r->open = false;
}

// Opens r->file as a source file of the kind given.
int32_t OpenSourceFile(SeriesReader* r, SourceKind kind) {
  r->kind = kind;
  r->gaveSets = false;
  if (kind == SourceKind::Journal) {
    if (r->journal == nullptr) {
      r->journal = static_cast<JournalDecoder*>(std::malloc(sizeof(JournalDecoder)));
      r->chunk = static_cast<uint8_t*>(std::malloc(kTrackReadBytes));
      if (r->journal == nullptr || r->chunk == nullptr) {
        return Fail(r, OutOfMemory, "%s: no memory to read it", r->file);
      }
    }
    OpenOutcome outcome;
    char why[160] = "";
    // Without its lock: a live run's journal is read as it stands.
    r->handle = OpenForReading(r->file, false, &outcome, why, sizeof why);
    if (outcome == OpenOutcome::NotRegular) {
      return Fail(r, CantOpenFile, "%s is not a regular file; nothing was read", r->file);
    }
    if (r->handle == kInvalidFile) return Fail(r, CantOpenFile, "cannot open %s: %s", r->file, why);
    StartJournalDecoder(r->journal);
    r->chunkAt = r->chunkEnd = 0;
    r->open = true;
    return NoError;
  }
  r->open = true;
  const int32_t status = OpenResultFile(&r->result, r->file);
  if (status == CantOpenFile) return Fail(r, status, "%s", ResultReaderMessage(&r->result));
  if (status != NoError) {
    return Fail(r, status, "%s: %s", r->file, ResultReaderMessage(&r->result));
  }
  return NoError;
}

// Opens the folder's next member that is read, passing over (and naming)
// the journals of a cycle whose file is there. False when none is left.
bool NextMember(SeriesReader* r, int32_t* status) {
  *status = NoError;
  while (r->nextMember < r->memberCount) {
    const FolderMember member = r->members[r->nextMember++];
    char name[48];
    MemberName(member, name, sizeof name);
    const size_t length = std::strlen(r->path);
    const char* separator = length > 0 && IsPathSeparator(r->path[length - 1]) ? "" : "/";
    if (member.k > 0 && r->haveCycleFile && r->cycleFile == member.cycle) {
      char text[kTrackPathBytes + 200];
      std::snprintf(text, sizeof text, "%s%s%s is passed over: the cycle's file %lu.mat is read",
                    r->path, separator, name, static_cast<unsigned long>(member.cycle));
      Note(r, text);
      continue;
    }
    if (member.k == 0) {
      r->haveCycleFile = true;
      r->cycleFile = member.cycle;
    }
    const int n = std::snprintf(r->file, sizeof r->file, "%s%s%s", r->path, separator, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof r->file) {
      *status = Fail(r, CantOpenFile, "%s: a name in it is too long", r->path);
      return false;
    }
    r->name = r->file + n - std::strlen(name);
    *status = OpenSourceFile(r, member.k == 0 ? SourceKind::ResultFile : SourceKind::Journal);
    return *status == NoError;
  }
  return false;
}

// The source's start on the wall clock, for its times: a journal's start;
// a vexa cycle's file's modification time less its sets' duration.
void BeginTimes(SeriesReader* r) {
  if (r->kind == SourceKind::Journal) {
    const JournalHeader& h = r->journal->header;
    BeginSourceTimes(&r->clock, true, h.startTime, false, h.info.RealizedPeriod);
    return;
  }
  const ResultFileInfo& info = r->result.info;
  int64_t modified = 0;
  if (r->folder && FileModifiedTime(r->file, &modified)) {
    // Saved about when its last set arrived.
    BeginSourceTimes(&r->clock, true, modified - Ticks(info.sweeps * info.realizedPeriod), true,
                     info.realizedPeriod);
  } else {
    BeginSourceTimes(&r->clock, false, 0, false, info.realizedPeriod);
  }
}

// The set of the open source's next set, or 0 at its end.
int32_t ReadSourceSet(SeriesReader* r, TrackSet* set) {
  if (r->kind == SourceKind::ResultFile) {
    if (!ResultSetsLeft(&r->result)) return 0;
    ResultSet read;
    const int32_t status = ReadResultSet(&r->result, &read);
    if (status != NoError) {
      return Fail(r, status, "%s: %s", r->file, ResultReaderMessage(&r->result));
    }
    const ResultFileInfo& info = r->result.info;
    *set = TrackSet{};
    set->ranges = info.ranges;
    for (int32_t k = 0; k < kTrackRanges; ++k) set->points[k] = info.points[k];
    set->maxPoints = info.maxPoints;
    set->frequencies = info.frequencies;
    set->phase = read.phase;
    set->magnitude = read.magnitude;
    set->sampleNumber = read.sampleNumber;
    set->arrival = 0;
    set->averaged = info.globallyAveraged;
    return 1;
  }
  JournalDecoder* d = r->journal;
  for (;;) {
    if (r->chunkAt == r->chunkEnd) {
      const int64_t got = ReadFromFile(r->handle, r->chunk, kTrackReadBytes);
      if (got < 0) {
        char why[160];
        LastErrorText(why, sizeof why);
        return Fail(r, ReadError, "%s: cannot be read: %s", r->file, why);
      }
      if (got == 0) break;
      r->chunkAt = 0;
      r->chunkEnd = static_cast<size_t>(got);
    }
    size_t taken = 0;
    const JournalStep step =
        DecodeJournal(d, r->chunk + r->chunkAt, r->chunkEnd - r->chunkAt, &taken, set);
    r->chunkAt += taken;
    switch (step) {
      case JournalStep::Set: return 1;
      case JournalStep::NeedMore: continue;
      case JournalStep::Damaged: {
        char text[kTrackPathBytes + 200];
        std::snprintf(text, sizeof text,
                      "%s ends in a damaged entry after byte %llu; every whole record before it "
                      "was read",
                      r->file, static_cast<unsigned long long>(d->offset));
        Note(r, text);
        return 0;
      }
      case JournalStep::NotAJournal:
        return Fail(r, InvalidValue, "%s is not a journal, or its header is damaged", r->file);
      case JournalStep::Invalid:
        return Fail(r, InvalidValue, "%s is not a journal this version can read (its %s)", r->file,
                    d->invalidField);
      case JournalStep::NoMemory:
        return Fail(r, OutOfMemory, "%s: no memory for its sets", r->file);
    }
  }
  // The end of what has been written so far.
  if (!d->headerRead && d->pendingBytes > 0) {
    return Fail(r, InvalidValue, "%s is not a journal, or its header is damaged", r->file);
  }
  if (d->headerRead && d->pendingBytes > 0 && !FileIsLocked(r->file)) {
    char text[kTrackPathBytes + 200];
    std::snprintf(text, sizeof text,
                  "%s ends in a cut entry after byte %llu; every whole record before it was read",
                  r->file, static_cast<unsigned long long>(d->offset));
    Note(r, text);
  }
  return 0;
}

}  // namespace

bool ParseFolderMember(const char* name, FolderMember* member) { return ParseMember(name, member); }

bool ParseJournalOf(const char* name, const char* base, uint32_t* k) {
  const size_t length = std::strlen(base);
  if (length == 0 || std::strncmp(name, base, length) != 0) return false;
  const char* rest = name + length;
  if (std::strcmp(rest, ".journal") == 0) {
    *k = 1;
    return true;
  }
  const char* after;
  if (rest[0] != '.' || !ParseNumber(rest + 1, k, &after) || *k < 2) return false;
  return std::strcmp(after, ".journal") == 0;
}

SourceKind KindOfSource(const char* path) {
  if (IsFolder(path)) return SourceKind::Folder;
  const PathKind kind = KindOfPath(path);
  if (kind == PathKind::Missing) return SourceKind::Missing;
  if (kind == PathKind::Other) return SourceKind::Other;
  if (EndsWith(path, ".journal")) return SourceKind::Journal;
  // A journal by any other name: its magic.
  OpenOutcome outcome;
  char why[8];
  const FileHandle file = OpenForReading(path, false, &outcome, why, sizeof why);
  if (outcome == OpenOutcome::NotRegular) return SourceKind::Other;
  uint8_t magic[sizeof kJournalMagic] = {};
  const bool journal =
      file != kInvalidFile &&
      ReadFromFile(file, magic, sizeof magic) == static_cast<int64_t>(sizeof magic) &&
      std::memcmp(magic, kJournalMagic, sizeof magic) == 0;
  CloseFile(file);
  return journal ? SourceKind::Journal : SourceKind::ResultFile;
}

void StartSeriesReader(SeriesReader* r, SeriesNote note, void* context) {
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->note = note;
  r->noteContext = context;
  r->handle = kInvalidFile;
  StartSeriesClock(&r->clock);
}

int32_t OpenSeriesSource(SeriesReader* r, const char* path) {
  CloseSourceFile(r);
  std::free(r->members);
  r->members = nullptr;
  r->memberCount = r->memberCapacity = r->nextMember = 0;
  r->folder = false;
  r->haveCycleFile = false;
  r->message[0] = '\0';
  r->path = path;
  const SourceKind kind = KindOfSource(path);
  switch (kind) {
    case SourceKind::Missing: return Fail(r, CantOpenFile, "%s: no such file or folder", path);
    case SourceKind::Other:
      return Fail(r, CantOpenFile, "%s is neither a regular file nor a folder; nothing was read",
                  path);
    case SourceKind::Folder: {
      char folder[kTrackPathBytes];
      const size_t length = std::strlen(path);
      std::snprintf(folder, sizeof folder, "%s%s", path,
                    length > 0 && IsPathSeparator(path[length - 1]) ? "" : "/");
      if (!VisitFolder(folder, CollectMember, r)) {
        char why[160];
        LastErrorText(why, sizeof why);
        return Fail(r, CantOpenFile, "cannot read the folder %s: %s", path, why);
      }
      if (r->memberCapacity == SIZE_MAX)
        return Fail(r, OutOfMemory, "%s: no memory to list it", path);
      if (r->memberCount > 0) {
        std::qsort(r->members, r->memberCount, sizeof(FolderMember), CompareMembers);
      }
      r->kind = SourceKind::Folder;
      r->folder = true;
      return NoError;
    }
    case SourceKind::ResultFile:
    case SourceKind::Journal: {
      if (std::strlen(path) >= sizeof r->file)
        return Fail(r, CantOpenFile, "%.512s...: the name is too long", path);
      std::snprintf(r->file, sizeof r->file, "%s", path);
      r->name = path;
      return OpenSourceFile(r, kind);
    }
  }
  return InvalidValue;
}

int32_t NextSeriesSet(SeriesReader* r, TrackedSet* out) {
  TrackSet set;
  for (;;) {
    if (!r->open) {
      int32_t status = NoError;
      if (!r->folder || !NextMember(r, &status)) return status;
    }
    const int32_t got = ReadSourceSet(r, &set);
    if (got < 0) return got;
    if (got > 0) break;
    CloseSourceFile(r);
    if (!r->folder) return 0;
  }
  if (!r->gaveSets) {
    r->gaveSets = true;
    r->sourceIndex = ++r->sourcesWithSets;
    BeginTimes(r);
  }
  out->source = r->name;
  out->sourceIndex = r->sourceIndex;
  out->sampleNumber = set.sampleNumber;
  out->time = TimeOfSet(&r->clock, set);
  out->ranges = set.ranges;
  FitTrackSet(set, out->fits);
  return 1;
}

void EndSeriesReader(SeriesReader* r) {
  CloseSourceFile(r);
  std::free(r->members);
  std::free(r->journal);
  std::free(r->chunk);
  r->members = nullptr;
  r->journal = nullptr;
  r->chunk = nullptr;
  r->memberCount = r->memberCapacity = r->nextMember = 0;
}
