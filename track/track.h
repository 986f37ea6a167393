// The resonance as data: what the sweep instrument measured, reduced to the
// numbers the scientist came for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "sweep/journal_format.h"
#include "sweep/resultfile_reader.h"
#include "sweep/store.h"

// ------------------------------------------------------------ the resonance fit
//
// The model is a single resonance seen in transmission. With
// x = 2 Q (f - f0) / f0:
//   magnitude (dB)   = peakDb - 10 log10(1 + x^2)    (|S21|^2 = A / (1 + x^2))
//   phase (degrees)  = phaseDeg - atan(x), the atan in degrees
// fitted by weighted least squares (Levenberg-Marquardt on f0, the width,
// peakDb and phaseDeg). Each quantity's residuals are divided by its noise
// level, estimated from the data's point-to-point scatter (its second
// differences, robustly), so that with both quantities the fit is a
// weighted fit of both; with one, that one alone. The fit starts from the
// magnitude's peak, or from the phase's steepest fall when there is no
// magnitude.

enum class FitStatus : uint8_t {
  Ok = 0,
  // The numbers are given but not to be trusted: f0 lies outside the range,
  // the half-power band is not wholly inside it, or the fit did not settle.
  Edge = 1,
  // No resonance stands clear of the noise: a flat range, or too few points
  // (a 2-point range always). The numbers are all NaN.
  None = 2,
  // The range has no values: all NaN.
  NoData = 3,
};

struct Resonance {
  double f0Hz;      // resonance frequency
  double fwhmHz;    // full width at half power, f0 / q
  double q;         // quality factor
  double peakDb;    // the model's magnitude at f0; NaN without magnitude
  double phaseDeg;  // the model's phase at f0; NaN without phase
  // RMS of the residuals, each in units of its quantity's noise level (so
  // dimensionless): about 1 when the model explains the data down to the
  // noise, more when it does not.
  double residual;
  FitStatus status;
};

// A quantity with fewer usable values than this is left out of the fit; a
// range where both are left out is None.
constexpr int32_t kFitMinPoints = 7;

// One range of one set: n realized frequencies (Hz, ascending) and the
// magnitude (dB) and/or phase (degrees) as the result file holds them;
// either may be null. A row whose frequency is NaN is left out, and so is
// a value that is NaN, infinite or at an end of the instrument's raw scale
// (a clipped sample is no measurement: magnitude -30 or 38.265625 dB, phase
// -90 or 114.796875 degrees). "The range" of the statuses is that of the
// frequencies of the values used. Pure: no allocation, no I/O, no global
// state; the cost is linear in n.
Resonance FitResonance(const double* freqHz, const double* magnitudeDb, const double* phaseDeg,
                       int32_t n);

// ============================================================ reading a series
//
// A series is what one or more sources measured, set after set, in the
// order given: result files (qarvel's and vexa's, -m too), journals (a dead
// run's, or a live one read as it stands, without its lock) and vexa's
// working folders (their cycles in numeric order). Every source is read as
// a stream, one set at a time, in memory reserved once for the largest
// configuration: it does not grow with the number of sets.
//
// Each set comes with the values exactly as its result file holds them (a
// journal's records converted as the record store converts them, its
// frequencies as FillFrequencyMatrix makes them, its sets counted as the
// store counts complete sets), so that a journal and the file recovered
// from it give the same fits.

constexpr int kTrackRanges = kMaxRanges;

// One set of a source, as its result file holds it. The matrices are
// maxPoints x ranges in column-major order, NaN below each range's points;
// they belong to the reader and stay valid until its next call.
struct TrackSet {
  int32_t ranges;                // 1 to 8
  int32_t points[kTrackRanges];  // of each range; 0 beyond ranges
  int32_t maxPoints;             // rows of the matrices
  const double* frequencies;     // Hz
  const double* phase;           // degrees; null when the source has no phase
  const double* magnitude;       // dB; null when the source has no magnitude
  double sampleNumber;           // of its first record, 0 to 2^32 - 1 (0 for an average)
  int64_t arrival;               // when its last record arrived (SystemTime), 0 unknown
  bool averaged;                 // the average of every set of an -m file
};

// The fit of every range of a set: fits[k] for range k, FitResonance on the
// values as they stand.
void FitTrackSet(const TrackSet& set, Resonance fits[kTrackRanges]);

// ------------------------------------------------------- the journal decoder
//
// A journal read incrementally from its bytes: the caller hands in the
// bytes it has read, from the start of the journal on, in pieces of any
// size (a growing journal's new bytes as they come); the decoder keeps its
// place, a piece of an entry that the bytes so far end in, and the set that
// is open, across calls. Records the store would not keep are passed over
// as it passes them over; complete sets come out one per call.

enum class JournalStep {
  Set,          // a set is complete: *set describes it, until the next call
  NeedMore,     // every byte given is taken; the journal may go on
  Damaged,      // an entry is damaged (a power cut's zeros, a failed check):
                // the journal ends before it for reading; it stays so
  NotAJournal,  // no header of a journal this version reads
  Invalid,      // a header whose description no run writes (invalidField)
  NoMemory,     // the set's buffers cannot be reserved
};

// About 70 KiB: keep it static or on the heap.
struct JournalDecoder {
  uint64_t offset;       // bytes of the journal taken as whole pieces
  bool headerRead;       // the fields below the header are valid
  JournalHeader header;  // the run: its build, -m, start time, save, configuration
  uint32_t version;      // 1 or 2: records carry their arrival time from 2 on
  uint32_t flags;        // kJournalIncomplete when the run lost records
  const char* invalidField;
  uint64_t records;   // whole records read, those passed over included
  uint64_t sets;      // sets given
  int64_t lastStamp;  // the last flush stamp (SystemTime), 0 none
  JournalStep stuck;  // Damaged, NotAJournal, Invalid or NoMemory once it failed; else Set
  // The sets, as the store counts them.
  FreqEntry lastFreq;
  SetTally tally;
  double openSample;  // sample number of the open run's first record
  int32_t maxPoints;
  double* block;  // frequencies, phase and magnitude matrices
  size_t blockBytes;
  // A piece (the header, an entry) that the bytes given so far end in.
  size_t pendingBytes;
  uint8_t pending[kJournalEntryOverhead + kJournalMaxBody];
};

// Makes d ready for a journal's first byte. Reserves nothing yet.
void StartJournalDecoder(JournalDecoder* d);

// Takes bytes[0..n), the journal's bytes that follow those given before.
// *taken says how many it took: all of them unless a set came out (call
// again with the rest). After Damaged, NotAJournal, Invalid or NoMemory it
// takes nothing more and gives the same answer.
JournalStep DecodeJournal(JournalDecoder* d, const uint8_t* bytes, size_t n, size_t* taken,
                          TrackSet* set);

// Releases what the decoder reserved. Idempotent.
void EndJournalDecoder(JournalDecoder* d);

// ------------------------------------------------------------------ times
//
// Each set's time is in seconds since its series began:
//   - a journal of version 2: when the set's last record arrived, measured;
//   - a journal of version 1, a result file: an estimate, the set's place in
//     its source by its sample number, (SampleNumber - first + 1) x the
//     realized period of one set (the instrument counts one per set; the
//     first set ends one period after the measurement began);
//   - a source whose start is on the wall clock (a journal's start time, a
//     vexa cycle's file by its modification time less its sets' duration)
//     is placed by it after an earlier such source; any other source begins
//     where the set before it ended (an estimate).
// The average of an -m file has no time. Only a measured time has a wall
// clock (utc).

struct SeriesClock {
  bool started;          // a source has begun
  bool wallOrigin;       // the series began at a known wall-clock time
  int64_t origin;        // that time (SystemTime)
  bool originEstimated;  // that time is an estimate
  double endS;           // the time of the latest set
  // The source being read.
  int64_t sourceStart;  // its start on the wall clock, when sourceWall
  bool sourceWall;
  double offsetS;  // its start, in the series' seconds
  bool placed;     // offsetS is measured, not an estimate
  bool haveFirst;
  double firstSample;
  double periodS;  // the realized period of one set
};

void StartSeriesClock(SeriesClock* clock);

// A source begins: its start on the wall clock when wall (else start is not
// used; startEstimated when it is an estimate), and its realized period of
// one set.
void BeginSourceTimes(SeriesClock* clock, bool wall, int64_t start, bool startEstimated,
                      double periodS);

struct TrackTime {
  double seconds;  // since the series began; NaN unknown
  int64_t utc;     // when it was measured (SystemTime), 0 unknown
  bool estimate;   // seconds is an estimate
};
TrackTime TimeOfSet(SeriesClock* clock, const TrackSet& set);

// ------------------------------------------------------------------ series

// One set of the series, fitted: a row of the output for each range.
struct TrackedSet {
  const char* source;    // the file read: a path as given, or a folder's member name
  uint32_t sourceIndex;  // from 1: the files read that gave sets, in order
  double sampleNumber;
  TrackTime time;
  int32_t ranges;
  Resonance fits[kTrackRanges];
};

// Where a source's path leads.
enum class SourceKind { Missing, ResultFile, Journal, Folder, Other };
SourceKind KindOfSource(const char* path);

constexpr size_t kTrackPathBytes = 1100;
constexpr size_t kTrackMessageBytes = 1600;
constexpr size_t kTrackReadBytes = size_t{1} << 20;

// A cycle of a vexa folder: <n>.mat (k 0), <n>.mat.journal (k 1) or
// <n>.mat.<k>.journal.
struct FolderMember {
  uint32_t cycle;
  uint32_t k;
};

// Whether name is a member of a vexa folder, and which.
bool ParseFolderMember(const char* name, FolderMember* member);

// Whether name is a journal of the target whose file name is base: the
// run's "<base>.journal" (k 1) or "<base>.<k>.journal" (k from 2), as runs
// name them when an earlier journal of that name is a dead run's.
bool ParseJournalOf(const char* name, const char* base, uint32_t* k);

// Receives a note for stderr (a journal passed over for its cycle's file,
// a journal that ends in a damaged entry).
using SeriesNote = void (*)(const char* text, void* context);

// Reads the sets of a series, source after source. Large: keep it static
// or on the heap.
struct SeriesReader {
  SeriesNote note;  // may be null
  void* noteContext;
  SeriesClock clock;
  uint32_t sourcesWithSets;
  // The source being read.
  SourceKind kind;
  const char* path;            // as given
  char file[kTrackPathBytes];  // the file being read
  const char* name;            // what the output calls it
  bool open;                   // a file is open
  bool gaveSets;               // the file gave a set
  uint32_t sourceIndex;
  ResultReader result;
  JournalDecoder* journal;  // reserved with the read buffer
  FileHandle handle;
  uint8_t* chunk;  // kTrackReadBytes read ahead
  size_t chunkAt, chunkEnd;
  // A folder's members, in order, and the next to read.
  bool folder;
  FolderMember* members;
  size_t memberCount, memberCapacity, nextMember;
  bool haveCycleFile;  // a cycle's file was read: its journals are passed over
  uint32_t cycleFile;
  char message[kTrackMessageBytes];
};

void StartSeriesReader(SeriesReader* r, SeriesNote note, void* context);

// Begins the next source of the series at path. 0, or a failure (the
// message names the path and what is wrong): CantOpenFile (nothing there,
// or it cannot be read), InvalidValue (neither a result file, a journal
// nor a folder), OutOfMemory.
int32_t OpenSeriesSource(SeriesReader* r, const char* path);

// The next set of the source, fitted, into *set (its source's name stays
// valid until the next call): 1, 0 when the source has no more, or a
// failure with its message (ReadError, InvalidValue: the file is not what
// it should be, and where; OutOfMemory).
int32_t NextSeriesSet(SeriesReader* r, TrackedSet* set);

// Releases everything the reader holds. Idempotent.
void EndSeriesReader(SeriesReader* r);

// ------------------------------------------------------------------ output
//
// One row per set and range:
//   file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status
// numbers with the fewest digits that read back the same double, an
// unknown value as an empty field, utc as ISO 8601 (FormatIsoTime),
// ranges from 1, status ok, edge, none or nodata. A file name with a comma,
// a quote or a line end is quoted, its quotes doubled.

extern const char kTrackCsvHeader[];  // the header line, with its line end
constexpr size_t kTrackRowBytes = 2 * kTrackPathBytes + 400;

// Writes the row of range k (from 0) of set into out; returns its length,
// line end included, or 0 when it does not fit.
size_t FormatTrackRow(const TrackedSet& set, int32_t k, char* out, size_t size);

// "ok", "edge", "none" or "nodata".
const char* FitStatusWord(FitStatus status);

// The MAT output: sets x ranges matrices F0, FWHM, Q, PeakdB, PhaseDeg,
// Residual, Status (0 ok, 1 edge, 2 none, 3 nodata), Time and
// SampleNumber; SourceIndex and TimeIsEstimate (sets x 1, doubles: the
// writer takes no more than 1,024 logical values); Sources, a 1 x K
// structure whose Name is each file's name. NaN where a value is unknown
// and in the columns of ranges a set does not have. The rows are spooled
// to a scratch file beside the output while the series is read, so that
// memory does not grow with it; the file is written at the end, atomically.
struct TrackMat {
  const char* path;
  int32_t onlyRange;  // 0: every range; else the one range (from 1) kept
  FileHandle spool;   // the rows, in blocks
  FileHandle names;   // the sources' names
  double* block;      // the block being filled
  uint32_t blockSets;
  int32_t blockRanges;
  uint64_t spoolBytes;
  uint64_t namesBytes;
  uint32_t lastSource;  // the sourceIndex of the last name kept
  int64_t sets;
  int32_t ranges;            // the most of any set
  uint64_t nameMatrixBytes;  // the Name fields, as the writer counts them
  uint32_t sources;
  char message[kTrackMessageBytes];
};

// The largest MAT output written: what MATLAB loads from a level 5 file
// (sweep/resultfile.h's limit). Tests may lower it.
extern int64_t TrackMatLimit;

// Begins a MAT output at path; its scratch files go beside it. 0 or
// CantOpenFile / OutOfMemory with the message.
int32_t BeginTrackMat(TrackMat* mat, const char* path, int32_t onlyRange);  // keeps path as given

// Adds the rows of one set. 0; or OutOfMemory when the file would be larger
// than TrackMatLimit, or a source's name is longer than a MAT text of the
// writer (512 characters); WriteError when the scratch file cannot take it.
// The message says which.
int32_t AddTrackMatSet(TrackMat* mat, const TrackedSet& set);

// Writes the file (atomically: an earlier file of that name stays as it was
// unless this succeeds) and releases the rest. InvalidValue when no set was
// added. The MAT writer's DiskBuffer must be reserved.
int32_t FinishTrackMat(TrackMat* mat);

// Releases everything without writing. Idempotent.
void AbandonTrackMat(TrackMat* mat);

// The bytes of the MAT output of `sets` sets of `ranges` columns, whose
// sources' Name fields take nameMatrixBytes.
uint64_t TrackMatBytes(int64_t sets, int32_t ranges, uint64_t nameMatrixBytes);

// ============================================================== the live view
//
// The live view of a run: what a follower keeps of it in bounded memory (the
// course of every range's resonance over the whole run, the last set's
// traces), and the two files it writes from that view at each update: the
// JSON object alone (--json) and the live page (--html), one HTML file that
// draws itself with the embedded uPlot.
//
// Memory is fixed: a LiveView holds everything in arrays of constant size,
// whatever the length of the run. The writers keep nothing between calls.

// ------------------------------------------------------------------ status

enum class LiveStatus : uint8_t { Waiting, Live, Stalled, Saved, NoData, Died };

// "waiting", "live", "stalled", "saved", "nodata", "died"; null for a value
// outside the six.
const char* LiveStatusWord(LiveStatus status);

// True for the statuses after which the run gives nothing more: saved,
// nodata and died. A page whose status is final stops updating itself.
bool LiveStatusIsFinal(LiveStatus status);

// ------------------------------------------------------------------ course
//
// The course of one range's resonance over the whole run in at most
// kCourseBuckets buckets. Each bucket covers setsPerBucket consecutive sets
// (the last bucket may hold fewer) and keeps the minimum, maximum and last
// value of f0, Q and peak among them, and the times of its first and last
// set. When every bucket is in use, neighbours merge pairwise and the span
// per bucket doubles: the whole run stays covered, and no excursion is
// hidden by the decimation. Adding is O(1) amortised.

constexpr int kCourseBuckets = 1024;

// Minimum, maximum and last finite value of one quantity; all NaN while the
// bucket has none.
struct CourseSpread {
  double min, max, last;
};

struct CourseBucket {
  double firstTimeS, lastTimeS;  // seconds since the series began
  uint64_t firstSet;             // index of its first set in the series, from 0
  uint32_t sets;                 // sets it covers, fitted or not
  uint32_t fitted;               // of those, the sets that gave values
  CourseSpread f0Hz, q, peakDb;
};

struct CourseHistory {
  CourseBucket buckets[kCourseBuckets];
  int count;               // buckets in use
  uint32_t setsPerBucket;  // 1, 2, 4, ...
  uint64_t sets;           // sets added so far
};

void ResetCourse(CourseHistory* course);

// Counts one set that completed timeS seconds after the series began. A fit
// of status none or nodata adds no value but still counts its set; of an ok
// or edge fit, each finite quantity counts. Times are taken as they come
// (they should not decrease).
void AddToCourse(CourseHistory* course, double timeS, const Resonance& fit);

// ------------------------------------------------------------------ traces
//
// The last set's magnitude and phase of one range, decimated for drawing:
// a range of kTracePoints points or fewer is kept whole; a longer one is cut
// into columns of consecutive points, and each column keeps its extremes
// (the points of the minimum and maximum of each quantity present), in
// their order, so that no peak or dip vanishes. At most kTracePoints points
// are kept.

constexpr int kTracePoints = 2000;

struct LiveTrace {
  int count;         // points kept
  int sourcePoints;  // points of the range before decimation
  bool hasMagnitude, hasPhase;
  double freqHz[kTracePoints];
  double magnitudeDb[kTracePoints];  // NaN where unknown
  double phaseDeg[kTracePoints];
};

// Sets the trace from n points of one range: the realized frequencies, and
// the magnitude and/or phase (null when the run does not measure it). NaN
// values are kept as gaps, never chosen as an extreme over a number. n < 0
// or no frequencies clear the trace.
void SetTrace(LiveTrace* trace, const double* freqHz, const double* magnitudeDb,
              const double* phaseDeg, int n);

// ------------------------------------------------------------------ view

constexpr int kLiveRanges = 8;
constexpr size_t kLivePathBytes = 1024;
constexpr size_t kLiveNoteBytes = 256;

struct LiveRange {
  double startHz, stopHz;  // as requested
  int points;              // as requested
  Resonance latest;        // the latest fit (of the running average in an -m run)
  CourseHistory course;
  LiveTrace trace;
};

struct LiveView {
  char target[kLivePathBytes];   // the run's file or folder as given
  char runFile[kLivePathBytes];  // the file the run saves (vexa: this cycle's), "" unknown
  char note[kLiveNoteBytes];     // one line for the reader, "" none
  LiveStatus status;
  uint64_t sets;      // sets so far (the sets averaged in an -m run)
  double elapsedS;    // seconds since the series began
  int64_t startTime;  // wall clock of the start (SystemTime units), 0 unknown
  uint32_t cycle;     // vexa's cycle number, 0 for qarvel
  bool averaged;      // an -m run: the traces are the running average
  bool hasMagnitude, hasPhase;
  int rangeCount;
  LiveRange ranges[kLiveRanges];
};

// An empty view: status waiting, no sets, no ranges, every fit unknown.
// A LiveView is large (about 1.2 MB): keep it static or on the heap.
void ResetLiveView(LiveView* view);

// Copies text into one of the view's fields (target, runFile, note),
// shortened to fit at a character boundary when too long.
void SetLiveText(char* field, size_t fieldBytes, const char* text);

// -------------------------------------------------------------- writers
//
// Both files are views, not data: each is written whole under a temporary
// name beside it and renamed over the earlier one (a reader sees the old or
// the new file, never a mixture), but not flushed to the disk. Strings from
// outside (the target's path) come out as pure ASCII, escaped so that no
// name can break out of the JSON, the script element or the HTML; numbers
// carry the digits they need (f0 to 0.01 Hz, Q to four digits, magnitude to
// 0.01 dB, phase to 0.1 degree, times to 0.1 s); NaN is null. The largest
// view (8 ranges of 16000 points, full courses) makes a page under 1 MiB.

// The JSON object of the view:
//   target, file, note, status (one of the six words), sets, elapsed_s,
//   start_utc (ISO 8601, or null), cycle (or null), averaged, magnitude,
//   phase, every_s, written_utc (when this was written), and ranges: one
//   object per range with start_hz, stop_hz, points, the latest fit (f0_hz,
//   fwhm_hz, q, peak_db, phase_deg, residual, fit: "ok", "edge", "none" or
//   "nodata"), course_points, course {sets_per_point, t_s, f0_ref_hz,
//   df0_hz, df0_min_hz, df0_max_hz, q, q_min, q_max, peak_db} (f0 of each
//   point is f0_ref_hz + df0_hz; t_s is the time of its last set) and trace
//   {points (of the range), f_hz, magnitude_db, phase_deg}.
// Writes it into out (at most size bytes, no terminator) and returns its
// length, or -1 when it does not fit.
int64_t FormatLiveJson(const LiveView& view, double everyS, char* out, size_t size);

// Writes the files of one update from one formatting of the JSON: the page
// at pagePath with its data script, and the JSON alone at jsonPath (either
// may be null). Each file is attempted; returns 0 when all were written,
// else the first failure: CantOpenFile (the file cannot be made: a missing
// folder, a path too long), WriteError (a full disk) or OutOfMemory. A page
// that fails leaves its data script as it was.
//
// The page loads its data script, pagePath + kLiveDataSuffix, every everyS
// seconds to update itself in place (a page from file:// may load scripts,
// not fetch files): the script hands the page's qarvelLive the same object.
// The page holds that object in <script type="application/json"
// id="qarvel-live">, so that a copy of it is complete on its own.
int WriteLiveFiles(const LiveView& view, double everyS, const char* pagePath, const char* jsonPath);

// The JSON alone (with a line end), or the page alone with its data script.
int WriteLiveJson(const LiveView& view, double everyS, const char* path);
int WriteLivePage(const LiveView& view, double everyS, const char* path);

constexpr const char* kLiveDataSuffix = ".data.js";

// ============================================================ following a run
//
// The follower (qarvel-track --follow TARGET) watches the run that will save
// TARGET, or, when TARGET is a folder, vexa's cycles in it one after the
// other as one series. It takes no lock and writes nothing the run needs:
//
//   - It finds the run by its journal: TARGET's "<TARGET>.journal" or
//     "<TARGET>.<k>.journal" (a folder: "<n>.mat.journal",
//     "<n>.mat.<k>.journal"), the newest that a run holds locked. A run that
//     saves under another name (because a live run held TARGET) is that
//     name's run, not TARGET's. A journal that nobody holds is a dead run's:
//     passed over while waiting, named at the end. An empty journal is never
//     probed (a run creates its journal before it locks it); one still empty
//     and unheld after --wait is dead.
//   - It reads the journal incrementally: at each update only the bytes
//     added since the last, through the journal decoder; a follower started
//     late catches up once. Each set is fitted once, as it completes, and
//     counted into the bounded course; only what the view shows is kept.
//     In an -m run the view's latest fit and traces are those of the running
//     average, made by the averager's own code (AccumulateSweepSet,
//     FinishAverage) as the file makes it; the course and the CSV rows are
//     each set's own fits.
//   - Status: waiting (no live run yet), live, stalled (no set for --stall
//     seconds while the run holds its journal, or, between vexa's cycles,
//     while no next cycle has begun; a set or a new cycle clears it), saved
//     (the journal went and the run's file is newer than it), nodata (the
//     journal went without a set, or without the file), died (the journal
//     stays and nobody holds it).
//   - Every --every seconds it writes the page and its data script (--html)
//     and the JSON (--json), each of a bounded size, and prints one line on
//     standard output: "HH:MM:SS STATUS NAME SETS MHZ..." (local time, the
//     run's file name and its sets, each range's latest f0 in MHz), once
//     the run has a set; for vexa also one "saved" line for each cycle's
//     file as it is saved.
//     With -o OUT.csv it appends each set's rows (FormatTrackRow's columns)
//     as they come; that file grows only by the rows asked for.
//   - A write that fails is said on stderr at once and tried again only at
//     the next update; after kFollowFailureLimit failed updates in a row the
//     follower gives up (exit 1). Rows that could not be written wait, in a
//     bounded buffer, and the journal is read no further until they are.

constexpr int kFollowSaved =
    0;  // the run saved its file (vexa: a cycle did, and no next one began)
constexpr int kFollowNoRun = 1;   // no live run, no data, or the files could not be written
constexpr int kFollowUsage = 2;   // for the program's command line
constexpr int kFollowDied = 3;    // the run died and left its journal (the recovery command said)
constexpr int kFollowGoing = -1;  // FollowStep: not over yet
constexpr int kFollowFailureLimit = 5;
constexpr int kFollowDeadNames = 8;

struct FollowOptions {
  const char* target;    // the run's file, or vexa's folder
  const char* pagePath;  // --html, or null
  const char* jsonPath;  // --json, or null
  const char* csvPath;   // -o OUT.csv, or null
  double everyS;         // seconds between updates (2)
  double waitS;          // seconds to wait for a run, or for vexa's next cycle (30)
  double stallS;         // seconds without a set that make a live run stalled (10)
  bool printLines;       // the "HH:MM:SS ..." line at each update
};

// Receives each line for stderr.
using FollowSay = void (*)(const char* text, void* context);

// The follower's state: bounded, about 1.3 MB and a 1 MiB read buffer
// (keep it static or on the heap); its blocks are reserved once.
struct Follower {
  FollowOptions o;
  FollowSay say;
  void* sayContext;
  bool folder;                       // TARGET is vexa's folder
  char folderPath[kTrackPathBytes];  // TARGET's folder, "" or ending in a separator
  char base[kTrackPathBytes];        // TARGET's file name (qarvel)
  // The journal followed.
  bool following;
  char journal[kTrackPathBytes];
  char runFile[kTrackPathBytes];  // the file its run saves
  const char* runName;            // runFile's name, for the lines and the CSV's file column
  FolderMember member;            // vexa: the cycle followed (k 1 for qarvel's "<TARGET>.journal")
  bool followedAny;
  FolderMember last;  // the last journal followed: vexa's next cycle comes after it
  FileHandle handle;
  int64_t journalSeen;  // the journal's modification time when it was first seen
  JournalDecoder* decoder;
  uint8_t* chunk;
  size_t chunkAt, chunkEnd;
  bool sourceBegun;  // the journal gave a set: its times are placed
  uint64_t runSets;  // the sets of the journal followed
  uint32_t sourceIndex;
  SeriesClock clock;
  // Liveness and the clocks (MonotonicMs).
  int64_t waitSince;
  int64_t lastSetAt;
  int64_t lastWriteAt;
  bool wroteOnce;
  int saves;
  char dead[kFollowDeadNames][kTrackPathBytes];
  int deadCount;
  char empty[kTrackPathBytes];  // an empty journal nobody was seen to hold, "" none
  FolderMember emptyMember;
  // -m: each set's values summed, and the divided copy in the averager's sums.
  double* phaseSums;
  double* magnitudeSums;
  bool averagePhase, averageMagnitude;
  uint64_t averagedSets;
  bool averageStale;
  // The CSV, and the rows not yet written.
  void* csv;  // FILE*
  char* pending;
  size_t pendingBytes;
  bool csvHeader;
  int failures;  // failed updates in a row
  int exitCode;  // kFollowGoing until the run is over
  LiveView* view;
  char text[kTrackMessageBytes + kTrackPathBytes];
};

// Prepares f for o (o's strings are kept, not copied). 0, or OutOfMemory.
int32_t StartFollower(Follower* f, const FollowOptions& o, FollowSay say, void* context);

// One look at the run: finds or probes its journal, reads what was added,
// fits the new sets and, when an update is due (every everyS, at a change of
// status, and at the end), writes the files and the line. kFollowGoing, or
// the exit code once the run is over and its last update written.
int FollowStep(Follower* f);

// How long to wait before the next FollowStep, in ms.
uint32_t FollowPauseMs(const Follower& f);

// Releases everything f holds (closes the CSV). Idempotent.
void EndFollower(Follower* f);

// StartFollower, FollowStep until the end, EndFollower: the exit code.
int RunFollower(const FollowOptions& o, FollowSay say, void* context);
