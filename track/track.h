// The resonance as data: what the sweep instrument measured, reduced to the
// numbers the scientist came for.
#pragma once

#include <cstddef>
#include <cstdint>

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
