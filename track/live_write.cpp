// The live view's two files: the JSON object, and the page that carries it.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/status.h"
#include "platform/platform.h"
#include "track/track.h"
#include "track/page_template.h"

namespace {

// Where the text goes: a caller's block, or a file through a buffer.
struct Sink {
  char* data;
  size_t size;
  size_t length = 0;
  FileHandle file = kInvalidFile;
  bool failed = false;
  uint64_t total = 0;  // bytes put
};

void Flush(Sink* sink) {
  if (sink->file != kInvalidFile && sink->length > 0) {
    if (!WriteOutputFile(sink->file, sink->data, sink->length)) sink->failed = true;
    sink->length = 0;
  }
}

void Put(Sink* sink, const char* text, size_t n) {
  sink->total += n;
  while (n > 0 && !sink->failed) {
    if (sink->length == sink->size) {
      if (sink->file == kInvalidFile) {
        sink->failed = true;  // a caller's block too small
        return;
      }
      Flush(sink);
      continue;
    }
    const size_t room = sink->size - sink->length;
    const size_t part = n < room ? n : room;
    std::memcpy(sink->data + sink->length, text, part);
    sink->length += part;
    text += part;
    n -= part;
  }
}

void Put(Sink* sink, const char* text) { Put(sink, text, std::strlen(text)); }

// Writes the decimal digits of v, at least width of them (zeros before),
// backwards from end; returns where they start.
char* Digits(uint32_t v, char* end, int width) {
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
    --width;
  } while (v != 0 || width > 0);
  return p;
}

// A number with at most `decimals` digits after the point, trailing zeros
// left out; null for NaN and the infinities. Made here rather than by
// printf, which would take most of an update's time, and without 64-bit
// integer conversions, which 32-bit x86 does in the x87 unit.
void PutFixed(Sink* sink, double value, int decimals) {
  if (!std::isfinite(value)) {
    Put(sink, "null");
    return;
  }
  const double size = value < 0 ? -value : value;  // not fabs: the x87 unit's on 32-bit x86
  if (size >= 1e15 || decimals < 0 || decimals > 6) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    for (char* c = text; *c != '\0'; ++c) {
      if (*c == ',') *c = '.';  // whatever decimal point the locale has
    }
    Put(sink, text);
    return;
  }
  static const double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
  const double scale = kScale[decimals];
  double whole = std::floor(size);
  double fraction = std::floor((size - whole) * scale + 0.5);
  if (fraction >= scale) {
    whole += 1;
    fraction = 0;
  }
  uint32_t digits = static_cast<uint32_t>(fraction);
  int shown = decimals;
  while (shown > 0 && digits % 10 == 0) {
    digits /= 10;
    --shown;
  }
  char text[40];
  char* const end = text + sizeof text;
  char* p = end;
  if (shown > 0) {
    p = Digits(digits, p, shown);
    *--p = '.';
  }
  const double high = std::floor(whole / 1e9);
  const uint32_t low = static_cast<uint32_t>(whole - high * 1e9);
  if (high > 0) {
    p = Digits(low, p, 9);
    p = Digits(static_cast<uint32_t>(high), p, 0);
  } else {
    p = Digits(low, p, 0);
  }
  if (value < 0 && (whole > 0 || shown > 0)) *--p = '-';
  Put(sink, p, static_cast<size_t>(end - p));
}

// A number with `digits` significant digits (Q, the residual).
void PutSignificant(Sink* sink, double value, int digits) {
  if (!std::isfinite(value)) {
    Put(sink, "null");
    return;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == ',') *c = '.';
  }
  Put(sink, text);
}

// Q and the like: four significant digits, never in exponent form (Q runs
// from about ten to some tens of thousands).
void PutFourDigits(Sink* sink, double value) {
  const double size = value < 0 ? -value : value;  // not fabs: the x87 unit's on 32-bit x86
  const int decimals = size >= 1000 ? 0 : size >= 100 ? 1 : size >= 10 ? 2 : 3;
  PutFixed(sink, value, decimals);
}

void PutUnsigned(Sink* sink, uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  Put(sink, text);
}

// Code points of narrow text, as this platform reads it (UTF-8 with stray
// bytes as Latin-1, or Windows' ANSI code page); a lone surrogate becomes
// U+FFFD. Calls each(code point) in order.
template <typename Each>
void ForEachCodePoint(const char* text, Each each) {
  const size_t n = std::strlen(text);
  uint16_t units[kLivePathBytes];
  const int total = NarrowToUtf16(text, n, units, static_cast<int>(kLivePathBytes));
  const int count =
      total < static_cast<int>(kLivePathBytes) ? total : static_cast<int>(kLivePathBytes);
  for (int i = 0; i < count; ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    each(cp);
  }
}

void PutUnitEscape(Sink* sink, uint32_t unit) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(unit));
  Put(sink, text, 6);
}

// A JSON string of pure ASCII: everything outside printable ASCII, and the
// characters that mean something to HTML (< > &) or end the string, as
// escapes. It cannot end a <script> element nor the string it stands in.
void PutJsonString(Sink* sink, const char* text) {
  Put(sink, "\"");
  ForEachCodePoint(text, [sink](uint32_t cp) {
    if (cp == '"' || cp == '\\') {
      const char escaped[2] = {'\\', static_cast<char>(cp)};
      Put(sink, escaped, 2);
    } else if (cp >= 0x20 && cp < 0x7F && cp != '<' && cp != '>' && cp != '&') {
      const char c = static_cast<char>(cp);
      Put(sink, &c, 1);
    } else if (cp >= 0x10000) {
      PutUnitEscape(sink, 0xD800 + ((cp - 0x10000) >> 10));
      PutUnitEscape(sink, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      PutUnitEscape(sink, cp);
    }
  });
  Put(sink, "\"");
}

// Text for an HTML element's content or an attribute: markup characters
// and everything outside printable ASCII as character references.
void PutHtmlText(Sink* sink, const char* text) {
  ForEachCodePoint(text, [sink](uint32_t cp) {
    if (cp >= 0x20 && cp < 0x7F && std::strchr("<>&\"'", static_cast<int>(cp)) == nullptr) {
      const char c = static_cast<char>(cp);
      Put(sink, &c, 1);
    } else {
      // Control characters are not allowed even as references.
      char ref[16];
      const uint32_t shown = cp < 0x20 || (cp >= 0x7F && cp < 0xA0) ? 0xFFFD : cp;
      std::snprintf(ref, sizeof ref, "&#x%x;", static_cast<unsigned>(shown));
      Put(sink, ref);
    }
  });
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

// A SystemTime value as ISO 8601 UTC to the second, or null for 0.
void PutUtc(Sink* sink, int64_t time) {
  if (time <= 0) {
    Put(sink, "null");
    return;
  }
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kEpochOffsetSeconds = 11644473600LL;  // 1601 to 1970
  const int64_t seconds = time / kTicksPerSecond - kEpochOffsetSeconds;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "\"%04" PRId64 "-%02u-%02uT%02u:%02u:%02uZ\"", year, month, day,
                static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                static_cast<unsigned>(rest % 60));
  Put(sink, text);
}

void PutBool(Sink* sink, bool value) { Put(sink, value ? "true" : "false"); }

// "name":[v,v,...] of one column of values.
template <typename Value>
void PutColumn(Sink* sink, const char* name, int count, Value value) {
  Put(sink, "\"");
  Put(sink, name);
  Put(sink, "\":[");
  for (int i = 0; i < count; ++i) {
    if (i > 0) Put(sink, ",");
    value(i);
  }
  Put(sink, "]");
}

// The whole-hertz value that the course's f0 column is written against, so
// that each point needs only the digits of its offset: the latest f0, else
// the first in the course, else 0.
double CourseReference(const LiveRange& range) {
  if (std::isfinite(range.latest.f0Hz)) return std::floor(range.latest.f0Hz + 0.5);
  for (int i = 0; i < range.course.count; ++i) {
    const double f0 = range.course.buckets[i].f0Hz.last;
    if (std::isfinite(f0)) return std::floor(f0 + 0.5);
  }
  return 0;
}

void PutCourse(Sink* sink, const CourseHistory& course, double reference) {
  const CourseBucket* b = course.buckets;
  const int n = course.count;
  Put(sink, "{\"sets_per_point\":");
  PutUnsigned(sink, course.setsPerBucket);
  Put(sink, ",");
  PutColumn(sink, "t_s", n, [&](int i) { PutFixed(sink, b[i].lastTimeS, 1); });
  Put(sink, ",\"f0_ref_hz\":");
  PutFixed(sink, reference, 0);
  Put(sink, ",");
  PutColumn(sink, "df0_hz", n, [&](int i) { PutFixed(sink, b[i].f0Hz.last - reference, 2); });
  Put(sink, ",");
  PutColumn(sink, "df0_min_hz", n, [&](int i) { PutFixed(sink, b[i].f0Hz.min - reference, 2); });
  Put(sink, ",");
  PutColumn(sink, "df0_max_hz", n, [&](int i) { PutFixed(sink, b[i].f0Hz.max - reference, 2); });
  Put(sink, ",");
  PutColumn(sink, "q", n, [&](int i) { PutFourDigits(sink, b[i].q.last); });
  Put(sink, ",");
  PutColumn(sink, "q_min", n, [&](int i) { PutFourDigits(sink, b[i].q.min); });
  Put(sink, ",");
  PutColumn(sink, "q_max", n, [&](int i) { PutFourDigits(sink, b[i].q.max); });
  Put(sink, ",");
  PutColumn(sink, "peak_db", n, [&](int i) { PutFixed(sink, b[i].peakDb.last, 2); });
  Put(sink, "}");
}

void PutTrace(Sink* sink, const LiveTrace& trace) {
  Put(sink, "{\"points\":");
  PutUnsigned(sink, static_cast<uint64_t>(trace.sourcePoints > 0 ? trace.sourcePoints : 0));
  Put(sink, ",");
  PutColumn(sink, "f_hz", trace.count, [&](int i) { PutFixed(sink, trace.freqHz[i], 0); });
  if (trace.hasMagnitude) {
    Put(sink, ",");
    PutColumn(sink, "magnitude_db", trace.count,
              [&](int i) { PutFixed(sink, trace.magnitudeDb[i], 2); });
  }
  if (trace.hasPhase) {
    Put(sink, ",");
    PutColumn(sink, "phase_deg", trace.count, [&](int i) { PutFixed(sink, trace.phaseDeg[i], 1); });
  }
  Put(sink, "}");
}

void PutRange(Sink* sink, const LiveRange& range) {
  const Resonance& fit = range.latest;
  Put(sink, "{\"start_hz\":");
  PutFixed(sink, range.startHz, 2);
  Put(sink, ",\"stop_hz\":");
  PutFixed(sink, range.stopHz, 2);
  Put(sink, ",\"points\":");
  PutUnsigned(sink, static_cast<uint64_t>(range.points > 0 ? range.points : 0));
  Put(sink, ",\"f0_hz\":");
  PutFixed(sink, fit.f0Hz, 2);
  Put(sink, ",\"fwhm_hz\":");
  PutFixed(sink, fit.fwhmHz, 2);
  Put(sink, ",\"q\":");
  PutSignificant(sink, fit.q, 6);
  Put(sink, ",\"peak_db\":");
  PutFixed(sink, fit.peakDb, 3);
  Put(sink, ",\"phase_deg\":");
  PutFixed(sink, fit.phaseDeg, 2);
  Put(sink, ",\"residual\":");
  PutSignificant(sink, fit.residual, 4);
  Put(sink, ",\"fit\":\"");
  Put(sink, FitStatusWord(fit.status));
  Put(sink, "\",\"course_points\":");
  PutUnsigned(sink, static_cast<uint64_t>(range.course.count));
  Put(sink, ",\"course\":");
  PutCourse(sink, range.course, CourseReference(range));
  Put(sink, ",\"trace\":");
  PutTrace(sink, range.trace);
  Put(sink, "}");
}

void PutJson(Sink* sink, const LiveView& view, double everyS, int64_t writtenTime) {
  const char* status = LiveStatusWord(view.status);
  Put(sink, "{\"target\":");
  PutJsonString(sink, view.target);
  Put(sink, ",\"file\":");
  PutJsonString(sink, view.runFile);
  Put(sink, ",\"note\":");
  PutJsonString(sink, view.note);
  Put(sink, ",\"status\":\"");
  Put(sink, status != nullptr ? status : "waiting");
  Put(sink, "\",\"sets\":");
  PutUnsigned(sink, view.sets);
  Put(sink, ",\"elapsed_s\":");
  PutFixed(sink, view.elapsedS, 2);
  Put(sink, ",\"start_utc\":");
  PutUtc(sink, view.startTime);
  Put(sink, ",\"cycle\":");
  if (view.cycle > 0) {
    PutUnsigned(sink, view.cycle);
  } else {
    Put(sink, "null");
  }
  Put(sink, ",\"averaged\":");
  PutBool(sink, view.averaged);
  Put(sink, ",\"magnitude\":");
  PutBool(sink, view.hasMagnitude);
  Put(sink, ",\"phase\":");
  PutBool(sink, view.hasPhase);
  Put(sink, ",\"every_s\":");
  PutFixed(sink, everyS, 3);
  Put(sink, ",\"written_utc\":");
  PutUtc(sink, writtenTime);
  Put(sink, ",\"ranges\":[");
  const int ranges = view.rangeCount < 0             ? 0
                     : view.rangeCount > kLiveRanges ? kLiveRanges
                                                     : view.rangeCount;
  for (int r = 0; r < ranges; ++r) {
    if (r > 0) Put(sink, ",");
    PutRange(sink, view.ranges[r]);
  }
  Put(sink, "]}");
}

constexpr size_t kFileBufferBytes = 32 * 1024;

// Writes a file through fill(sink) under a temporary name and renames it
// over path, without flushing it to the disk.
template <typename Fill>
int WriteViewFile(const char* path, Fill fill) {
  char buffer[kFileBufferBytes];
  Sink sink{buffer, sizeof buffer};
  sink.file = CreateOutputFile(path);
  if (sink.file == kInvalidFile) return CantOpenFile;
  fill(&sink);
  Flush(&sink);
  if (sink.failed) {
    DiscardOutputFile(sink.file);
    return WriteError;
  }
  return ReplaceOutputFileUnsynced(sink.file) ? NoError : WriteError;
}

// The page template's two places for the view: its title, and its data.
constexpr const char kTitleMark[] = "@QARVEL_TITLE@";
constexpr const char kDataMark[] = "@QARVEL_DATA@";

int WritePage(const LiveView& view, const char* json, size_t length, const char* path) {
  char dataPath[kLivePathBytes * 4];
  const int n = std::snprintf(dataPath, sizeof dataPath, "%s%s", path, kLiveDataSuffix);
  if (n < 0 || static_cast<size_t>(n) >= sizeof dataPath) return CantOpenFile;
  const char* page = kLivePageTemplate;
  const char* title = std::strstr(page, kTitleMark);
  const char* data = title != nullptr ? std::strstr(title, kDataMark) : nullptr;
  if (data == nullptr) return InvalidOperation;
  const int status = WriteViewFile(path, [&](Sink* sink) {
    Put(sink, page, static_cast<size_t>(title - page));
    PutHtmlText(sink, view.target);
    const char* middle = title + sizeof kTitleMark - 1;
    Put(sink, middle, static_cast<size_t>(data - middle));
    Put(sink, json, length);
    Put(sink, data + sizeof kDataMark - 1);
  });
  if (status != NoError) return status;
  // The open page loads this script to update itself: it hands the page's
  // qarvelLive the same object.
  return WriteViewFile(dataPath, [&](Sink* sink) {
    Put(sink, "qarvelLive(");
    Put(sink, json, length);
    Put(sink, ");\n");
  });
}

}  // namespace

int64_t FormatLiveJson(const LiveView& view, double everyS, char* out, size_t size) {
  Sink sink{out, size};
  PutJson(&sink, view, everyS, SystemTime());
  return sink.failed ? -1 : static_cast<int64_t>(sink.length);
}

int WriteLiveFiles(const LiveView& view, double everyS, const char* pagePath,
                   const char* jsonPath) {
  // The JSON once, for every file: a block of a mebibyte holds the largest
  // view; should it not, one of the size the first pass counted does.
  const int64_t now = SystemTime();
  size_t size = size_t{1} << 20;
  char* json = nullptr;
  Sink sink{nullptr, 0};
  for (int pass = 0; pass < 2; ++pass) {
    std::free(json);
    json = static_cast<char*>(std::malloc(size));
    if (json == nullptr) return OutOfMemory;
    sink = Sink{json, size};
    PutJson(&sink, view, everyS, now);
    if (!sink.failed) break;
    size = static_cast<size_t>(sink.total);
  }
  int status = sink.failed ? OutOfMemory : NoError;
  if (status == NoError && pagePath != nullptr)
    status = WritePage(view, json, sink.length, pagePath);
  if (!sink.failed && jsonPath != nullptr) {
    const int written = WriteViewFile(jsonPath, [&](Sink* file) {
      Put(file, json, sink.length);
      Put(file, "\n");
    });
    if (status == NoError) status = written;
  }
  std::free(json);
  return status;
}

int WriteLiveJson(const LiveView& view, double everyS, const char* path) {
  return WriteLiveFiles(view, everyS, nullptr, path);
}

int WriteLivePage(const LiveView& view, double everyS, const char* path) {
  return WriteLiveFiles(view, everyS, path, nullptr);
}
