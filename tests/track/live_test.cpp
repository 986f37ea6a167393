// The live view: the bounded course against a plain reckoning of the same
// sets, the decimated traces, the JSON read back by a strict parser, hostile
// names in the JSON and the page, the size bound, and the atomic writes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/status.h"
#include "tests/support/harness.h"
#include "tests/track/synthetic.h"
#include "track/live.h"

namespace {

// ------------------------------------------------------------ a strict JSON reader

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool b = false;
  double n = 0;
  std::string s;
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  const Json& operator[](const std::string& k) const {
    static const Json missing;
    auto it = fields.find(k);
    return it == fields.end() ? missing : it->second;
  }
  bool Has(const std::string& k) const { return fields.count(k) != 0; }
};

struct Parser {
  const std::string& t;
  size_t i = 0;
  std::string error;

  void Space() {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\n' || t[i] == '\t' || t[i] == '\r')) ++i;
  }
  bool Fail(const std::string& why) {
    if (error.empty()) error = why + " at " + std::to_string(i);
    return false;
  }
  bool Literal(const char* word) {
    const size_t n = std::strlen(word);
    if (t.compare(i, n, word) != 0) return Fail(std::string("expected ") + word);
    i += n;
    return true;
  }
  static void PutUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (cp >> 18));
      *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t* v) {
    if (i + 4 > t.size()) return Fail("short \\u");
    *v = static_cast<uint32_t>(std::stoul(t.substr(i, 4), nullptr, 16));
    i += 4;
    return true;
  }
  bool Str(std::string* out) {
    if (t[i] != '"') return Fail("expected a string");
    for (++i; i < t.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(t[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return Fail("raw control character in a string");
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      const char e = t[++i];
      const char* simple = std::strchr("\"\\/bfnrt", e);
      if (simple != nullptr && e != '\0') {
        *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
        continue;
      }
      if (e != 'u') return Fail("bad escape");
      ++i;
      uint32_t cp = 0, low = 0;
      if (!Hex4(&cp)) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (t.compare(i, 2, "\\u") != 0) return Fail("lone high surrogate");
        i += 2;
        if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return Fail("bad low surrogate");
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return Fail("lone low surrogate");
      }
      PutUtf8(out, cp);
      --i;
    }
    return Fail("unterminated string");
  }
  bool Value(Json* v) {
    Space();
    if (i >= t.size()) return Fail("end of text");
    const char c = t[i];
    if (c == '{') {
      v->kind = Json::Object;
      ++i;
      Space();
      if (t[i] == '}') return ++i, true;
      for (;;) {
        Space();
        std::string key;
        if (!Str(&key)) return false;
        Space();
        if (t[i++] != ':') return Fail("expected :");
        if (v->fields.count(key) != 0) return Fail("duplicate key " + key);
        if (!Value(&v->fields[key])) return false;
        Space();
        if (t[i] == ',') {
          ++i;
          continue;
        }
        if (t[i++] == '}') return true;
        return Fail("expected , or }");
      }
    }
    if (c == '[') {
      v->kind = Json::Array;
      ++i;
      Space();
      if (t[i] == ']') return ++i, true;
      for (;;) {
        v->items.emplace_back();
        if (!Value(&v->items.back())) return false;
        Space();
        if (t[i] == ',') {
          ++i;
          continue;
        }
        if (t[i++] == ']') return true;
        return Fail("expected , or ]");
      }
    }
    if (c == '"') {
      v->kind = Json::String;
      return Str(&v->s);
    }
    if (c == 't' || c == 'f') {
      v->kind = Json::Bool;
      v->b = c == 't';
      return Literal(v->b ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    // JSON's number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    const size_t start = i;
    if (t[i] == '-') ++i;
    if (i < t.size() && t[i] == '0') {
      ++i;
    } else if (i < t.size() && t[i] >= '1' && t[i] <= '9') {
      while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    } else {
      return Fail("bad value");
    }
    if (i < t.size() && t[i] == '.') {
      if (++i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return Fail("bad fraction");
      while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
      ++i;
      if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
      if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return Fail("bad exponent");
      while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    }
    v->kind = Json::Number;
    v->n = std::strtod(t.substr(start, i - start).c_str(), nullptr);
    return true;
  }
};

// The text parsed whole, or a failure naming where it broke.
::testing::AssertionResult ParseJson(const std::string& text, Json* out) {
  *out = Json();
  Parser p{text, 0, {}};
  if (!p.Value(out)) return ::testing::AssertionFailure() << p.error;
  p.Space();
  if (p.i != text.size()) return ::testing::AssertionFailure() << "text after the value at " << p.i;
  return ::testing::AssertionSuccess();
}

double Num(const Json& v) { return v.kind == Json::Number ? v.n : NAN; }

bool IsAscii(const std::string& s) {
  for (const unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string FormatJson(const LiveView& view, double every = 2) {
  std::string out(4 << 20, '\0');
  const int64_t n = FormatLiveJson(view, every, &out[0], out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::unique_ptr<LiveView> NewView() {
  auto view = std::make_unique<LiveView>();
  ResetLiveView(view.get());
  return view;
}

Resonance Fit(double f0, double q, double peak, FitStatus status = FitStatus::Ok) {
  return Resonance{f0, f0 / q, q, peak, -90, 0.01, status};
}

// ------------------------------------------------------------ course

// What one bucket must hold, reckoned from the sets it says it covers.
struct Expected {
  double firstTime, lastTime;
  uint32_t fitted = 0;
  double min[3], max[3], last[3];
};

void CheckAgainstReckoning(const CourseHistory& c, const std::vector<double>& times,
                           const std::vector<Resonance>& fits, const std::string& label) {
  SCOPED_TRACE(label);
  ASSERT_LE(c.count, kCourseBuckets);
  ASSERT_EQ(c.sets, fits.size());
  uint64_t next = 0;
  for (int b = 0; b < c.count; ++b) {
    const CourseBucket& k = c.buckets[b];
    ASSERT_EQ(k.firstSet, next) << "bucket " << b;
    // Every bucket but the last is full; the last holds at least one set.
    if (b + 1 < c.count) {
      ASSERT_EQ(k.sets, c.setsPerBucket) << "bucket " << b;
    } else {
      ASSERT_GE(k.sets, 1u);
      ASSERT_LE(k.sets, c.setsPerBucket);
    }
    Expected e{times[next], times[next + k.sets - 1], 0, {NAN, NAN, NAN}, {NAN, NAN, NAN},
               {NAN, NAN, NAN}};
    for (uint64_t s = next; s < next + k.sets; ++s) {
      const Resonance& f = fits[s];
      if (f.status != FitStatus::Ok && f.status != FitStatus::Edge) continue;
      const double v[3] = {f.f0Hz, f.q, f.peakDb};
      bool any = false;
      for (int q = 0; q < 3; ++q) {
        if (!std::isfinite(v[q])) continue;
        any = true;
        if (!(v[q] >= e.min[q])) e.min[q] = v[q];
        if (!(v[q] <= e.max[q])) e.max[q] = v[q];
        e.last[q] = v[q];
      }
      e.fitted += any;
    }
    EXPECT_EQ(k.firstTimeS, e.firstTime) << "bucket " << b;
    EXPECT_EQ(k.lastTimeS, e.lastTime) << "bucket " << b;
    EXPECT_EQ(k.fitted, e.fitted) << "bucket " << b;
    const CourseSpread* got[3] = {&k.f0Hz, &k.q, &k.peakDb};
    for (int q = 0; q < 3; ++q) {
      const auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
      EXPECT_TRUE(same(got[q]->min, e.min[q])) << "bucket " << b << " quantity " << q;
      EXPECT_TRUE(same(got[q]->max, e.max[q])) << "bucket " << b << " quantity " << q;
      EXPECT_TRUE(same(got[q]->last, e.last[q])) << "bucket " << b << " quantity " << q;
    }
    next += k.sets;
  }
  EXPECT_EQ(next, fits.size());
}

TEST(Course, StaysBoundedAndMatchesAPlainReckoningOfEverySet) {
  const struct {
    const char* label;
    uint64_t sets;
    int statusEvery;  // every n-th set is none or nodata, or edge; 0 never
  } cases[] = {
      {"one set", 1, 0},
      {"just full", kCourseBuckets, 0},
      {"first merge", kCourseBuckets + 1, 5},
      {"odd length, three merges", 7 * kCourseBuckets + 3, 3},
      {"long run, mostly unfitted", 40000, 2},
  };
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 1);
  for (const auto& k : cases) {
    auto course = std::make_unique<CourseHistory>();
    ResetCourse(course.get());
    std::vector<double> times;
    std::vector<Resonance> fits;
    double t = 0;
    for (uint64_t s = 0; s < k.sets; ++s) {
      t += 0.25 + 0.01 * (s % 3);
      Resonance f = Fit(25e6 + 100 * noise(random), 2000 + noise(random), -3 + 0.1 * noise(random));
      if (k.statusEvery > 0 && s % k.statusEvery == 0) {
        static const FitStatus kOther[] = {FitStatus::None, FitStatus::NoData, FitStatus::Edge};
        f.status = kOther[(s / k.statusEvery) % 3];
        if (f.status == FitStatus::Edge) f.q = NAN;  // an edge fit may know f0 alone
      }
      if (s == k.sets / 2) f.f0Hz += 1e5;  // one excursion, which must survive every merge
      times.push_back(t);
      fits.push_back(f);
      AddToCourse(course.get(), t, f);
    }
    CheckAgainstReckoning(*course, times, fits, k.label);
    if (k.sets > kCourseBuckets) {
      // Merging halves the buckets only when all are full.
      EXPECT_GT(course->count, kCourseBuckets / 2) << k.label;
    }
    double highest = -1;
    for (int b = 0; b < course->count; ++b) highest = std::fmax(highest, course->buckets[b].f0Hz.max);
    if (fits[k.sets / 2].status == FitStatus::Ok) {
      EXPECT_GT(highest, 25e6 + 5e4) << k.label;
    }
  }
}

TEST(Course, UnfittedSetsCountWithoutValues) {
  auto course = std::make_unique<CourseHistory>();
  ResetCourse(course.get());
  AddToCourse(course.get(), 1, Fit(NAN, NAN, NAN, FitStatus::None));
  AddToCourse(course.get(), 2, Fit(1e7, 50, -1, FitStatus::NoData));
  ASSERT_EQ(course->count, 2);
  EXPECT_EQ(course->sets, 2u);
  for (int b = 0; b < 2; ++b) {
    EXPECT_EQ(course->buckets[b].fitted, 0u);
    EXPECT_TRUE(std::isnan(course->buckets[b].f0Hz.last));
    EXPECT_TRUE(std::isnan(course->buckets[b].q.max));
  }
}

// ------------------------------------------------------------ traces

TEST(Trace, DecimationKeepsEveryExtremeInOrderWithinTheBound) {
  const struct {
    const char* label;
    int n;
    bool magnitude, phase;
  } cases[] = {
      {"short range kept whole", 201, true, true},
      {"exactly the bound", kTracePoints, true, false},
      {"one over, phase only", kTracePoints + 1, false, true},
      {"long, both", 16000, true, true},
      {"long, magnitude only", 16000, true, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    std::vector<double> f(k.n), m(k.n), p(k.n);
    std::mt19937 random(k.n);
    for (int i = 0; i < k.n; ++i) {
      f[i] = 10e6 + 1000.0 * i;
      m[i] = -20 + std::sin(i / 500.0) + 0.01 * (random() % 100);
      p[i] = 30 * std::cos(i / 300.0) + 0.01 * (random() % 100);
    }
    // Isolated spikes up and down, far enough apart to fall in columns of
    // their own, and a stretch with no values at all.
    const int gap = k.n / 3;
    std::vector<int> spikes;
    for (int s = 0; s < 40; ++s) {
      const int at = s * (k.n / 40) + static_cast<int>(random() % (k.n / 80));
      if (at < gap - 1 || at > gap + 100) spikes.push_back(at);
    }
    for (size_t s = 0; s < spikes.size(); ++s) {
      m[spikes[s]] += s % 2 ? 30 : -30;
      p[spikes[s]] += s % 2 ? -90 : 90;
    }
    for (int i = gap; i < gap + 100 && i < k.n; ++i) m[i] = p[i] = NAN;
    auto trace = std::make_unique<LiveTrace>();
    SetTrace(trace.get(), f.data(), k.magnitude ? m.data() : nullptr, k.phase ? p.data() : nullptr,
             k.n);
    EXPECT_EQ(trace->sourcePoints, k.n);
    EXPECT_EQ(trace->hasMagnitude, k.magnitude);
    EXPECT_EQ(trace->hasPhase, k.phase);
    ASSERT_LE(trace->count, kTracePoints);
    // Not thinned more than it must be.
    EXPECT_GE(trace->count, k.n <= kTracePoints ? k.n : kTracePoints * 9 / 10);
    std::vector<bool> kept(k.n, false);
    bool nanKept = false;
    for (int j = 0; j < trace->count; ++j) {
      const int i = static_cast<int>(std::lround((trace->freqHz[j] - 10e6) / 1000.0));
      ASSERT_TRUE(i >= 0 && i < k.n && f[i] == trace->freqHz[j]);
      if (j > 0) {
        ASSERT_GT(trace->freqHz[j], trace->freqHz[j - 1]) << "out of order at " << j;
      }
      kept[i] = true;
      const auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
      EXPECT_TRUE(same(trace->magnitudeDb[j], k.magnitude ? m[i] : NAN)) << j;
      EXPECT_TRUE(same(trace->phaseDeg[j], k.phase ? p[i] : NAN)) << j;
      nanKept = nanKept || std::isnan(trace->freqHz[j] * 0 + (k.magnitude ? m[i] : p[i]));
    }
    for (const int s : spikes) EXPECT_TRUE(kept[s]) << "spike at " << s;
    EXPECT_TRUE(nanKept) << "the stretch without values vanished";
  }
}

TEST(Trace, NothingToKeep) {
  auto trace = std::make_unique<LiveTrace>();
  const double f[2] = {1, 2};
  SetTrace(trace.get(), f, f, nullptr, 2);
  ASSERT_EQ(trace->count, 2);
  SetTrace(trace.get(), f, nullptr, nullptr, 0);
  EXPECT_EQ(trace->count, 0);
  SetTrace(trace.get(), nullptr, f, f, 2);
  EXPECT_EQ(trace->count, 0);
  EXPECT_EQ(trace->sourcePoints, 0);
}

// ------------------------------------------------------------ JSON

TEST(LiveJson, ReadsBackWithEveryField) {
  auto view = NewView();
  SyntheticRun run;
  run.ranges = 3;
  run.sets = 3 * kCourseBuckets + 17;
  FillSyntheticView(view.get(), run);
  view->ranges[1].latest = Fit(NAN, NAN, NAN, FitStatus::None);
  view->cycle = 4;
  view->averaged = true;
  SetLiveText(view->note, sizeof view->note, "a note");
  const std::string text = FormatJson(*view, 0.5);
  Json j;
  ASSERT_TRUE(ParseJson(text, &j)) << text.substr(0, 400);
  EXPECT_EQ(j["target"].s, "run/out.mat");
  EXPECT_EQ(j["file"].s, "out.mat");
  EXPECT_EQ(j["note"].s, "a note");
  EXPECT_EQ(j["status"].s, "live");
  EXPECT_EQ(Num(j["sets"]), static_cast<double>(run.sets));
  EXPECT_NEAR(Num(j["elapsed_s"]), view->elapsedS, 0.005);
  EXPECT_EQ(j["start_utc"].s, "2025-08-18T14:13:20Z");
  EXPECT_EQ(Num(j["cycle"]), 4);
  EXPECT_TRUE(j["averaged"].b);
  EXPECT_TRUE(j["magnitude"].b && j["phase"].b);
  EXPECT_EQ(Num(j["every_s"]), 0.5);
  EXPECT_EQ(j["written_utc"].s.size(), 20u);
  ASSERT_EQ(j["ranges"].items.size(), 3u);
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE(r);
    const LiveRange& range = view->ranges[r];
    const Json& o = j["ranges"].items[r];
    EXPECT_EQ(Num(o["start_hz"]), range.startHz);
    EXPECT_EQ(Num(o["points"]), run.points);
    if (r == 1) {
      EXPECT_EQ(o["f0_hz"].kind, Json::Null);
      EXPECT_EQ(o["q"].kind, Json::Null);
      EXPECT_EQ(o["fit"].s, "none");
    } else {
      EXPECT_NEAR(Num(o["f0_hz"]), range.latest.f0Hz, 0.005);
      EXPECT_NEAR(Num(o["fwhm_hz"]), range.latest.fwhmHz, 0.005);
      EXPECT_NEAR(Num(o["q"]), range.latest.q, range.latest.q * 1e-5);
      EXPECT_NEAR(Num(o["peak_db"]), range.latest.peakDb, 0.0005);
      EXPECT_EQ(o["fit"].s, "ok");
    }
    const int points = range.course.count;
    EXPECT_EQ(Num(o["course_points"]), points);
    const Json& c = o["course"];
    EXPECT_EQ(Num(c["sets_per_point"]), range.course.setsPerBucket);
    for (const char* column : {"t_s", "df0_hz", "df0_min_hz", "df0_max_hz", "q", "q_min", "q_max",
                               "peak_db"}) {
      ASSERT_EQ(c[column].items.size(), static_cast<size_t>(points)) << column;
    }
    const double ref = Num(c["f0_ref_hz"]);
    for (int b = 0; b < points; ++b) {
      const CourseBucket& k = range.course.buckets[b];
      EXPECT_NEAR(Num(c["t_s"].items[b]), k.lastTimeS, 0.05);
      const double f0[3] = {k.f0Hz.last, k.f0Hz.min, k.f0Hz.max};
      const char* names[3] = {"df0_hz", "df0_min_hz", "df0_max_hz"};
      for (int q = 0; q < 3; ++q) {
        const Json& v = c[names[q]].items[b];
        if (std::isnan(f0[q])) {
          EXPECT_EQ(v.kind, Json::Null);
        } else {
          EXPECT_NEAR(ref + Num(v), f0[q], 0.0051) << names[q] << " " << b;
        }
      }
      // Q to four digits.
      EXPECT_NEAR(Num(c["q_max"].items[b]), k.q.max, k.q.max * 6e-4);
      EXPECT_NEAR(Num(c["q_min"].items[b]), k.q.min, k.q.min * 6e-4);
      EXPECT_NEAR(Num(c["q"].items[b]), k.q.last, k.q.last * 6e-4);
    }
    const Json& t = o["trace"];
    EXPECT_EQ(Num(t["points"]), run.points);
    ASSERT_EQ(t["f_hz"].items.size(), static_cast<size_t>(range.trace.count));
    ASSERT_EQ(t["magnitude_db"].items.size(), static_cast<size_t>(range.trace.count));
    ASSERT_EQ(t["phase_deg"].items.size(), static_cast<size_t>(range.trace.count));
    for (int i = 0; i < range.trace.count; i += 37) {
      EXPECT_NEAR(Num(t["f_hz"].items[i]), range.trace.freqHz[i], 0.5);
      EXPECT_NEAR(Num(t["magnitude_db"].items[i]), range.trace.magnitudeDb[i], 0.005);
      EXPECT_NEAR(Num(t["phase_deg"].items[i]), range.trace.phaseDeg[i], 0.05);
    }
  }
}

TEST(LiveJson, StatusesTimesAndAbsentParts) {
  auto view = NewView();
  const char* words[] = {"waiting", "live", "stalled", "saved", "nodata", "died"};
  for (int s = 0; s < 6; ++s) {
    view->status = static_cast<LiveStatus>(s);
    EXPECT_STREQ(LiveStatusWord(view->status), words[s]);
    EXPECT_EQ(LiveStatusIsFinal(view->status), s >= 3) << words[s];
    Json j;
    ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
    EXPECT_EQ(j["status"].s, words[s]);
  }
  EXPECT_EQ(LiveStatusWord(static_cast<LiveStatus>(6)), nullptr);
  // A new view: no start, no cycle, no ranges.
  Json j;
  ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
  EXPECT_EQ(j["start_utc"].kind, Json::Null);
  EXPECT_EQ(j["cycle"].kind, Json::Null);
  EXPECT_EQ(j["ranges"].kind, Json::Array);
  EXPECT_TRUE(j["ranges"].items.empty());
  // Wall-clock starts across leap days and centuries.
  const struct {
    int64_t time;
    const char* utc;
  } times[] = {
      {116444736000000000LL, "1970-01-01T00:00:00Z"},
      {125911583990000000LL, "1999-12-31T23:59:59Z"},
      {133536836960000000LL, "2024-02-29T12:34:56Z"},
      {139454784000000000LL, "2042-12-01T00:00:00Z"},
  };
  for (const auto& t : times) {
    view->startTime = t.time + 9999999;  // the fraction of a second is dropped
    ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
    EXPECT_EQ(j["start_utc"].s, t.utc);
  }
  // A range measuring phase alone has no magnitude column.
  SyntheticRun run;
  run.magnitude = false;
  FillSyntheticView(view.get(), run);
  ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
  EXPECT_FALSE(j["magnitude"].b);
  EXPECT_FALSE(j["ranges"].items[0]["trace"].Has("magnitude_db"));
  EXPECT_TRUE(j["ranges"].items[0]["trace"].Has("phase_deg"));
  // Numbers that no JSON can hold are null; a block too small is no JSON.
  view->elapsedS = INFINITY;
  view->ranges[0].latest.q = -INFINITY;
  ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
  EXPECT_EQ(j["elapsed_s"].kind, Json::Null);
  EXPECT_EQ(j["ranges"].items[0]["q"].kind, Json::Null);
  char small[64];
  EXPECT_EQ(FormatLiveJson(*view, 2, small, sizeof small), -1);
}

// Numbers with the digits asked for and no more, rounded, never "-0".
TEST(LiveJson, NumbersAsWritten) {
  const struct {
    double value;
    const char* text;  // elapsed_s, to two decimals
  } numbers[] = {
      {0, "0"},
      {-0.001, "0"},
      {-7.1, "-7.1"},
      {12.5, "12.5"},
      {0.996, "1"},
      {-2.345678, "-2.35"},
      {25540580.12, "25540580.12"},
      {999999999.999, "1000000000"},
      {1234567890123.45, "1234567890123.45"},
      {1e16, "10000000000000000"},
      {-3.5e20, "-3.5e+20"},
      {NAN, "null"},
  };
  auto view = NewView();
  for (const auto& n : numbers) {
    view->elapsedS = n.value;
    const std::string text = FormatJson(*view);
    EXPECT_NE(text.find(std::string("\"elapsed_s\":") + n.text + ","), std::string::npos)
        << n.value << " in " << text.substr(0, 160);
  }
}

// Names that try to break out of the JSON, the script element or the HTML,
// or that are no valid UTF-8: each reads back as the character it was.
TEST(LiveJson, HostileNamesStayInsideTheirStrings) {
  const struct {
    const char* name;
    const char* reads;  // as UTF-8
  } names[] = {
      {"</script><script>alert(1)</script>", "</script><script>alert(1)</script>"},
      {"a\"b\\c'd&e<!--f-->", "a\"b\\c'd&e<!--f-->"},
      {"line\nfeed\ttab\x01\x1f\x7f", "line\nfeed\ttab\x01\x1f\x7f"},
      {"Gr\xc3\xb6\xc3\x9f" "e \xe2\x80\xa8 \xf0\x9f\x94\xac", "Gr\xc3\xb6\xc3\x9f" "e \xe2\x80\xa8 \xf0\x9f\x94\xac"},
      {"bad \xff\xfe utf8 \xc3", "bad \xc3\xbf\xc3\xbe utf8 \xc3\x83"},  // stray bytes read as Latin-1
  };
  auto view = NewView();
  SyntheticRun run;
  for (const auto& n : names) {
    SCOPED_TRACE(n.name);
    run.target = n.name;
    FillSyntheticView(view.get(), run);
    const std::string text = FormatJson(*view);
    EXPECT_TRUE(IsAscii(text));
    EXPECT_EQ(text.find('<'), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    Json j;
    ASSERT_TRUE(ParseJson(text, &j));
    EXPECT_EQ(j["target"].s, n.reads);
  }
}

// ------------------------------------------------------------ files

TEST(LivePage, CarriesTheJsonAndEscapesTheName) {
  const TempDir dir("live");
  auto view = NewView();
  SyntheticRun run;
  const std::string page = dir / "live.html";
  // The page as it is for a plain name: its script elements and their ends.
  FillSyntheticView(view.get(), run);
  ASSERT_EQ(WriteLivePage(*view, 2, page.c_str()), NoError);
  const std::string plain = ReadFileBytes(page);
  const size_t scripts = CountOf(plain, "</script");
  run.target = "x</title></script><script>alert(1)</script>\"'&\xff";
  FillSyntheticView(view.get(), run);
  ASSERT_EQ(WriteLivePage(*view, 2, page.c_str()), NoError);
  const std::string html = ReadFileBytes(page);
  EXPECT_TRUE(IsAscii(html));
  EXPECT_EQ(CountOf(html, "</script"), scripts);
  EXPECT_EQ(CountOf(html, "</title>"), 1u);
  EXPECT_NE(html.find("<title>qarvel live: x&#x3c;/title&#x3e;&#x3c;/script&#x3e;"),
            std::string::npos);
  EXPECT_NE(html.find("&#x22;&#x27;&#x26;&#xff;</title>"), std::string::npos);
  // The JSON element holds the same object as the data script beside it.
  const std::string open = "<script type=\"application/json\" id=\"qarvel-live\">";
  const size_t from = html.find(open);
  ASSERT_NE(from, std::string::npos);
  const size_t to = html.find("</script>", from);
  const std::string json = html.substr(from + open.size(), to - from - open.size());
  Json j;
  ASSERT_TRUE(ParseJson(json, &j));
  EXPECT_EQ(j["target"].s, "x</title></script><script>alert(1)</script>\"'&\xc3\xbf");
  const std::string data = ReadFileBytes(page + kLiveDataSuffix);
  EXPECT_EQ(data, "qarvelLive(" + json + ");\n");
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"live.html", "live.html.data.js"}));
}

// The largest configuration with a full history, numbers at their longest
// and a long name of characters that each take an escape.
TEST(LivePage, StaysUnderOneMebibyte) {
  const TempDir dir("live");
  auto view = NewView();
  std::string name;
  while (name.size() + 2 < kLivePathBytes) name += "\xc3\xa9";  // U+00E9: "\u00e9", "&#xe9;"
  SetLiveText(view->target, sizeof view->target, name.c_str());
  SetLiveText(view->runFile, sizeof view->runFile, name.c_str());
  SetLiveText(view->note, sizeof view->note, name.c_str());
  view->status = LiveStatus::Stalled;
  view->sets = 123456789012ULL;
  view->elapsedS = 987654.321;
  view->startTime = 134000000000000000LL;
  view->cycle = 4294967295u;
  view->hasMagnitude = view->hasPhase = true;
  view->rangeCount = kLiveRanges;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(0, 1);
  const int n = 16000;
  std::vector<double> f(n), m(n), p(n);
  for (int r = 0; r < kLiveRanges; ++r) {
    LiveRange& range = view->ranges[r];
    range.startHz = 10e6 + 1.37;
    range.stopHz = 99999999.99;
    range.points = n;
    for (int i = 0; i < n; ++i) {
      f[i] = range.startHz + (range.stopHz - range.startHz) * i / (n - 1) + 0.5;
      m[i] = -100 - unit(random) * 10;
      p[i] = -100 - unit(random) * 79;
    }
    SetTrace(&range.trace, f.data(), m.data(), p.data(), n);
    for (int s = 0; s < 2 * kCourseBuckets - 1; ++s) {
      // f0 wandering over a megahertz, at a hundredth of a hertz.
      AddToCourse(&range.course, 100000.0 + s * 1.23,
                  Fit(99e6 - 1e6 * unit(random) + 0.37, 10000 + unit(random) * 89999,
                      -100 - unit(random) * 10));
    }
    ASSERT_EQ(range.course.count, kCourseBuckets);
    range.latest = Fit(99123456.78, 12345.6789, -123.456);
    range.latest.fwhmHz = 12345678.91;
  }
  const std::string page = dir / "live.html";
  ASSERT_EQ(WriteLivePage(*view, 2, page.c_str()), NoError);
  const size_t pageBytes = ReadFileBytes(page).size();
  const size_t dataBytes = ReadFileBytes(page + kLiveDataSuffix).size();
  std::printf("largest page: %zu bytes, its data script: %zu bytes\n", pageBytes, dataBytes);
  EXPECT_LT(pageBytes, size_t{1} << 20);
  EXPECT_LT(dataBytes, pageBytes);
}

TEST(LiveFiles, AtomicWritesThatSayWhenTheyFail) {
  const TempDir dir("live");
  auto view = NewView();
  SyntheticRun run;
  FillSyntheticView(view.get(), run);
  const std::string json = dir / "live.json";
  ASSERT_TRUE(WriteFileBytes(json, "old"));
  ASSERT_EQ(WriteLiveJson(*view, 2, json.c_str()), NoError);
  const std::string text = ReadFileBytes(json);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  Json j;
  EXPECT_TRUE(ParseJson(text.substr(0, text.size() - 1), &j));
  EXPECT_EQ(Num(j["sets"]), 10);
  EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"live.json"});
  // A folder that is not there, or a target that is a folder: a failure,
  // and nothing left behind.
  EXPECT_NE(WriteLiveJson(*view, 2, (dir / "missing/live.json").c_str()), NoError);
  EXPECT_NE(WriteLivePage(*view, 2, (dir / "missing/live.html").c_str()), NoError);
  ASSERT_EQ(mkdir((dir / "folder.html").c_str(), 0755), 0);
  EXPECT_NE(WriteLivePage(*view, 2, (dir / "folder.html").c_str()), NoError);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"folder.html", "live.json"}));
  EXPECT_EQ(ReadFileBytes(json), text);
}

// A page is rewritten every few seconds for days: it must cost the disk no
// syncs (a save's fsync). The fixture writes a page and its JSON with fsync
// raising SIGKILL.
TEST(LiveFiles, NeverSyncedToTheDisk) {
  const TempDir dir("live");
  {
    const char* call = "fsync";
    ProcessOptions options;
    options.argv = {std::string(QARVEL_BUILD_DIR) + "/tests/live_page_fixture", dir / "live.html",
                    "--json", dir / "live.json"};
    options.env = RaiseAfter(call, SIGKILL);
    const RunResult result = RunProgram(options);
    EXPECT_EQ(result.exitCode, 0) << call;
    EXPECT_EQ(ListDir(dir.path),
              (std::vector<std::string>{"live.html", "live.html.data.js", "live.json"}));
  }
}

}  // namespace
