// The live view's data: the bounded course of each range, the decimated
// traces of the last set, and the view that holds them.
#include <cmath>
#include <cstring>
#include <limits>

#include "track/track.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const CourseSpread kEmptySpread = {kNaN, kNaN, kNaN};

void AddValue(CourseSpread* spread, double value) {
  if (!std::isfinite(value)) return;
  if (std::isnan(spread->min) || value < spread->min) spread->min = value;
  if (std::isnan(spread->max) || value > spread->max) spread->max = value;
  spread->last = value;
}

// The spread of two neighbouring buckets taken as one; b is the later.
CourseSpread MergeSpreads(const CourseSpread& a, const CourseSpread& b) {
  CourseSpread merged = a;
  if (std::isnan(b.min)) return merged;
  if (std::isnan(a.min) || b.min < a.min) merged.min = b.min;
  if (std::isnan(a.max) || b.max > a.max) merged.max = b.max;
  merged.last = b.last;
  return merged;
}

// Halves the buckets in use: each pair of neighbours becomes one bucket.
void MergePairs(CourseHistory* course) {
  int kept = 0;
  for (int i = 0; i < course->count; i += 2, ++kept) {
    CourseBucket merged = course->buckets[i];
    if (i + 1 < course->count) {
      const CourseBucket& b = course->buckets[i + 1];
      merged.lastTimeS = b.lastTimeS;
      merged.sets += b.sets;
      merged.fitted += b.fitted;
      merged.f0Hz = MergeSpreads(merged.f0Hz, b.f0Hz);
      merged.q = MergeSpreads(merged.q, b.q);
      merged.peakDb = MergeSpreads(merged.peakDb, b.peakDb);
    }
    course->buckets[kept] = merged;
  }
  course->count = kept;
  course->setsPerBucket *= 2;
}

}  // namespace

const char* LiveStatusWord(LiveStatus status) {
  switch (status) {
    case LiveStatus::Waiting: return "waiting";
    case LiveStatus::Live: return "live";
    case LiveStatus::Stalled: return "stalled";
    case LiveStatus::Saved: return "saved";
    case LiveStatus::NoData: return "nodata";
    case LiveStatus::Died: return "died";
  }
  return nullptr;
}

bool LiveStatusIsFinal(LiveStatus status) {
  return status == LiveStatus::Saved || status == LiveStatus::NoData || status == LiveStatus::Died;
}

// ------------------------------------------------------------------ course

void ResetCourse(CourseHistory* course) {
  course->count = 0;
  course->setsPerBucket = 1;
  course->sets = 0;
}

void AddToCourse(CourseHistory* course, double timeS, const Resonance& fit) {
  CourseBucket* bucket = nullptr;
  if (course->count > 0 && course->buckets[course->count - 1].sets < course->setsPerBucket) {
    bucket = &course->buckets[course->count - 1];
  } else {
    if (course->count == kCourseBuckets) MergePairs(course);
    bucket = &course->buckets[course->count++];
    bucket->firstTimeS = timeS;
    bucket->firstSet = course->sets;
    bucket->sets = 0;
    bucket->fitted = 0;
    bucket->f0Hz = bucket->q = bucket->peakDb = kEmptySpread;
  }
  bucket->lastTimeS = timeS;
  ++bucket->sets;
  ++course->sets;
  if (fit.status != FitStatus::Ok && fit.status != FitStatus::Edge) return;
  if (std::isfinite(fit.f0Hz) || std::isfinite(fit.q) || std::isfinite(fit.peakDb)) {
    ++bucket->fitted;
  }
  AddValue(&bucket->f0Hz, fit.f0Hz);
  AddValue(&bucket->q, fit.q);
  AddValue(&bucket->peakDb, fit.peakDb);
}

// ------------------------------------------------------------------ traces

namespace {

// Index of the smallest (or largest) finite value in [from, to), or -1.
int Extreme(const double* values, int from, int to, bool largest) {
  int best = -1;
  for (int i = from; i < to; ++i) {
    if (!std::isfinite(values[i])) continue;
    if (best < 0 || (largest ? values[i] > values[best] : values[i] < values[best])) best = i;
  }
  return best;
}

void KeepPoint(LiveTrace* trace, int i, const double* freqHz, const double* magnitudeDb,
               const double* phaseDeg) {
  const int at = trace->count++;
  trace->freqHz[at] = freqHz[i];
  trace->magnitudeDb[at] = magnitudeDb != nullptr ? magnitudeDb[i] : kNaN;
  trace->phaseDeg[at] = phaseDeg != nullptr ? phaseDeg[i] : kNaN;
}

}  // namespace

void SetTrace(LiveTrace* trace, const double* freqHz, const double* magnitudeDb,
              const double* phaseDeg, int n) {
  trace->count = 0;
  trace->hasMagnitude = magnitudeDb != nullptr;
  trace->hasPhase = phaseDeg != nullptr;
  if (n <= 0 || freqHz == nullptr) {
    trace->sourcePoints = 0;
    return;
  }
  trace->sourcePoints = n;
  if (n <= kTracePoints) {
    for (int i = 0; i < n; ++i) KeepPoint(trace, i, freqHz, magnitudeDb, phaseDeg);
    return;
  }
  // Each quantity keeps two points (its minimum and maximum) per column.
  const int quantities = (magnitudeDb != nullptr) + (phaseDeg != nullptr);
  const int columns = kTracePoints / (2 * (quantities > 0 ? quantities : 1));
  const double* series[2] = {magnitudeDb, phaseDeg};
  for (int c = 0; c < columns; ++c) {
    const int from = static_cast<int>(static_cast<int64_t>(n) * c / columns);
    const int to = static_cast<int>(static_cast<int64_t>(n) * (c + 1) / columns);
    int picked[4];
    int count = 0;
    for (const double* values : series) {
      if (values == nullptr) continue;
      const int low = Extreme(values, from, to, false);
      const int high = Extreme(values, from, to, true);
      if (low >= 0) picked[count++] = low;
      if (high >= 0) picked[count++] = high;
    }
    // A column with no value at all keeps its first point: the gap shows.
    if (count == 0) picked[count++] = from;
    // In the order of the points, each once.
    for (int a = 1; a < count; ++a) {
      for (int b = a; b > 0 && picked[b - 1] > picked[b]; --b) {
        const int t = picked[b];
        picked[b] = picked[b - 1];
        picked[b - 1] = t;
      }
    }
    for (int k = 0; k < count; ++k) {
      if (k == 0 || picked[k] != picked[k - 1]) {
        KeepPoint(trace, picked[k], freqHz, magnitudeDb, phaseDeg);
      }
    }
  }
}

// ------------------------------------------------------------------ view

void ResetLiveView(LiveView* view) {
  view->target[0] = view->runFile[0] = view->note[0] = '\0';
  view->status = LiveStatus::Waiting;
  view->sets = 0;
  view->elapsedS = 0;
  view->startTime = 0;
  view->cycle = 0;
  view->averaged = false;
  view->hasMagnitude = view->hasPhase = false;
  view->rangeCount = 0;
  for (LiveRange& range : view->ranges) {
    range.startHz = range.stopHz = kNaN;
    range.points = 0;
    range.latest = Resonance{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, FitStatus::NoData};
    ResetCourse(&range.course);
    range.trace.count = range.trace.sourcePoints = 0;
    range.trace.hasMagnitude = range.trace.hasPhase = false;
  }
}

void SetLiveText(char* field, size_t fieldBytes, const char* text) {
  if (fieldBytes == 0) return;
  size_t n = text != nullptr ? std::strlen(text) : 0;
  if (n >= fieldBytes) {
    n = fieldBytes - 1;
    // Not in the middle of a UTF-8 sequence: back to its first byte, left out.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  if (n > 0) std::memcpy(field, text, n);
  field[n] = '\0';
}
