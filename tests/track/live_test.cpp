// The live view: the bounded course against a plain reckoning of the same
// sets, the decimated traces, the JSON read back by a strict reader, hostile
// names, the size bound, and the files' writes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/status.h"
#include "tests/support/harness.h"
#include "tests/track/synthetic.h"
#include "track/track.h"

namespace {

// ------------------------------------------------------------ JSON, as python3 reads it

// Every value of a JSON text by its path ("ranges.0.f0_hz"; an array's
// length as "<path>.length"), as python3's json module reads it strictly
// (read_json.py beside this file).
struct Json {
  std::map<std::string, std::string> values;
  std::string operator[](const std::string& path) const {
    const auto it = values.find(path);
    return it == values.end() ? "<missing>" : it->second;
  }
  double Num(const std::string& path) const {
    const std::string v = (*this)[path];
    return v == "null" || v == "<missing>" ? NAN : std::stod(v);
  }
};

::testing::AssertionResult ParseJson(const std::string& text, Json* out) {
  out->values.clear();
  const TempDir dir("json");
  std::string printed;
  if (!WriteFileBytes(dir / "view.json", text) ||
      RunShell("/usr/bin/python3 " QARVEL_SOURCE_DIR "/tests/track/read_json.py " +
                   ShellQuote(dir / "view.json"),
               &printed) != 0) {
    return ::testing::AssertionFailure() << "no JSON: " << printed.substr(0, 400);
  }
  for (size_t at = 0, end; (end = printed.find('\0', at)) != std::string::npos; at = end + 1) {
    const size_t tab = printed.find('\t', at);
    out->values[printed.substr(at, tab - at)] = printed.substr(tab + 1, end - tab - 1);
  }
  return ::testing::AssertionSuccess();
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

bool Same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

std::string FormatJson(const LiveView& view, double every = 2) {
  std::string out(4 << 20, '\0');
  const int64_t n = FormatLiveJson(view, every, &out[0], out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::unique_ptr<LiveView> NewView(const SyntheticRun* run = nullptr) {
  auto view = std::make_unique<LiveView>();
  ResetLiveView(view.get());
  if (run != nullptr) FillSyntheticView(view.get(), *run);
  return view;
}

Resonance Fit(double f0, double q, double peak, FitStatus status = FitStatus::Ok) {
  return Resonance{f0, f0 / q, q, peak, -90, 0.01, status};
}

// ------------------------------------------------------------ course

// Each bucket against the sets it says it covers: contiguous, full but the
// last, and holding their times and the min, max and last of each value.
void CheckAgainstReckoning(const CourseHistory& c, const std::vector<double>& times,
                           const std::vector<Resonance>& fits) {
  ASSERT_LE(c.count, kCourseBuckets);
  ASSERT_EQ(c.sets, fits.size());
  uint64_t next = 0;
  for (int b = 0; b < c.count; ++b) {
    SCOPED_TRACE("bucket " + std::to_string(b));
    const CourseBucket& k = c.buckets[b];
    ASSERT_EQ(k.firstSet, next);
    ASSERT_TRUE(b + 1 < c.count ? k.sets == c.setsPerBucket : k.sets >= 1 && k.sets <= c.setsPerBucket);
    EXPECT_EQ(k.firstTimeS, times[next]);
    EXPECT_EQ(k.lastTimeS, times[next + k.sets - 1]);
    double min[3] = {NAN, NAN, NAN}, max[3] = {NAN, NAN, NAN}, last[3] = {NAN, NAN, NAN};
    uint32_t fitted = 0;
    for (uint64_t s = next; s < next + k.sets; ++s) {
      const Resonance& f = fits[s];
      if (f.status != FitStatus::Ok && f.status != FitStatus::Edge) continue;
      const double v[3] = {f.f0Hz, f.q, f.peakDb};
      bool any = false;
      for (int q = 0; q < 3; ++q) {
        if (std::isnan(v[q])) continue;
        any = true;
        min[q] = std::isnan(min[q]) ? v[q] : std::min(min[q], v[q]);
        max[q] = std::isnan(max[q]) ? v[q] : std::max(max[q], v[q]);
        last[q] = v[q];
      }
      fitted += any;
    }
    EXPECT_EQ(k.fitted, fitted);
    const CourseSpread* got[3] = {&k.f0Hz, &k.q, &k.peakDb};
    for (int q = 0; q < 3; ++q) {
      EXPECT_TRUE(Same(got[q]->min, min[q]) && Same(got[q]->max, max[q]) && Same(got[q]->last, last[q]))
          << "quantity " << q;
    }
    next += k.sets;
  }
}

TEST(Course, StaysBoundedAndMatchesAPlainReckoningOfEverySet) {
  const struct {
    const char* label;
    uint64_t sets;
    int otherEvery;  // every n-th set is none, nodata or edge (without Q); 0 never
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
    SCOPED_TRACE(k.label);
    auto course = std::make_unique<CourseHistory>();
    ResetCourse(course.get());
    std::vector<double> times;
    std::vector<Resonance> fits;
    for (uint64_t s = 0; s < k.sets; ++s) {
      times.push_back((times.empty() ? 0 : times.back()) + 0.25 + 0.01 * (s % 3));
      fits.push_back(Fit(25e6 + 100 * noise(random), 2000 + noise(random), -3 + 0.1 * noise(random)));
      if (k.otherEvery > 0 && s % k.otherEvery == 0) {
        static const FitStatus kOther[] = {FitStatus::None, FitStatus::NoData, FitStatus::Edge};
        fits.back().status = kOther[(s / k.otherEvery) % 3];
        if (fits.back().status == FitStatus::Edge) fits.back().q = NAN;
      }
      if (s == k.sets / 2) fits.back() = Fit(25.1e6, 2000, -3);  // one excursion
      AddToCourse(course.get(), times.back(), fits.back());
    }
    CheckAgainstReckoning(*course, times, fits);
    // Merging halves the buckets only once all are full; the excursion stays.
    EXPECT_TRUE(k.sets <= kCourseBuckets || course->count > kCourseBuckets / 2);
    double highest = 0;
    for (int b = 0; b < course->count; ++b) highest = std::fmax(highest, course->buckets[b].f0Hz.max);
    EXPECT_EQ(highest, 25.1e6);
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
    // Spikes up and down, each in a column of its own, and a stretch with
    // no values at all, which must stay a gap.
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
    EXPECT_TRUE(trace->hasMagnitude == k.magnitude && trace->hasPhase == k.phase);
    ASSERT_LE(trace->count, kTracePoints);
    EXPECT_GE(trace->count, k.n <= kTracePoints ? k.n : kTracePoints * 9 / 10);  // no thinner
    std::vector<bool> kept(k.n, false);
    bool gapKept = false;
    for (int j = 0; j < trace->count; ++j) {
      const int i = static_cast<int>(std::lround((trace->freqHz[j] - 10e6) / 1000.0));
      ASSERT_TRUE(i >= 0 && i < k.n && f[i] == trace->freqHz[j]);
      ASSERT_TRUE(j == 0 || trace->freqHz[j] > trace->freqHz[j - 1]) << "out of order at " << j;
      kept[i] = true;
      EXPECT_TRUE(Same(trace->magnitudeDb[j], k.magnitude ? m[i] : NAN)) << j;
      EXPECT_TRUE(Same(trace->phaseDeg[j], k.phase ? p[i] : NAN)) << j;
      gapKept = gapKept || std::isnan(m[i]);
    }
    for (const int s : spikes) EXPECT_TRUE(kept[s]) << "spike at " << s;
    EXPECT_TRUE(gapKept);
  }
  // Nothing to keep: no points, or no frequencies.
  auto trace = std::make_unique<LiveTrace>();
  const double f[2] = {1, 2};
  SetTrace(trace.get(), f, f, nullptr, 2);
  SetTrace(trace.get(), f, f, nullptr, 0);
  EXPECT_EQ(trace->count, 0);
  SetTrace(trace.get(), nullptr, f, f, 2);
  EXPECT_EQ(trace->count + trace->sourcePoints, 0);
}

// ------------------------------------------------------------ JSON

TEST(LiveJson, ReadsBackWithEveryField) {
  SyntheticRun run;
  run.ranges = 3;
  run.sets = 3 * kCourseBuckets + 17;
  auto view = NewView(&run);
  view->ranges[1].latest = Fit(NAN, NAN, NAN, FitStatus::None);
  view->cycle = 4;
  view->averaged = true;
  SetLiveText(view->note, sizeof view->note, "a note");
  Json j;
  ASSERT_TRUE(ParseJson(FormatJson(*view, 0.5), &j));
  EXPECT_EQ(j["target"] + "|" + j["file"] + "|" + j["note"] + "|" + j["status"] + "|" +
                j["start_utc"] + "|" + j["averaged"] + j["magnitude"] + j["phase"],
            "run/out.mat|out.mat|a note|live|2025-08-18T14:13:20Z|truetruetrue");
  EXPECT_EQ(j.Num("sets"), static_cast<double>(run.sets));
  EXPECT_NEAR(j.Num("elapsed_s"), view->elapsedS, 0.005);
  EXPECT_TRUE(j.Num("cycle") == 4 && j.Num("every_s") == 0.5 && j["written_utc"].size() == 20);
  ASSERT_EQ(j["ranges.length"], "3");
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE(r);
    const LiveRange& range = view->ranges[r];
    const std::string o = "ranges." + std::to_string(r) + ".";
    EXPECT_TRUE(j.Num(o + "start_hz") == range.startHz && j.Num(o + "points") == run.points);
    EXPECT_EQ(j[o + "fit"], r == 1 ? "none" : "ok");
    EXPECT_TRUE(Same(j.Num(o + "f0_hz"), std::round(range.latest.f0Hz * 100) / 100));
    EXPECT_TRUE(r == 1 ? j[o + "q"] == "null" : std::fabs(j.Num(o + "q") - range.latest.q) < 1e-3);
    EXPECT_TRUE(Same(j.Num(o + "peak_db"), range.latest.peakDb));
    const std::string c = o + "course.";
    const int points = range.course.count;
    EXPECT_TRUE(j.Num(o + "course_points") == points && j[c + "q_max.length"] == std::to_string(points) &&
                j.Num(c + "sets_per_point") == range.course.setsPerBucket);
    const double ref = j.Num(c + "f0_ref_hz");
    for (int b = 0; b < points; ++b) {
      const CourseBucket& k = range.course.buckets[b];
      const std::string at = "." + std::to_string(b);
      EXPECT_NEAR(j.Num(c + "t_s" + at), k.lastTimeS, 0.05);
      const double f0[3] = {k.f0Hz.last, k.f0Hz.min, k.f0Hz.max}, q[3] = {k.q.last, k.q.min, k.q.max};
      const char* names[3][2] = {{"df0_hz", "q"}, {"df0_min_hz", "q_min"}, {"df0_max_hz", "q_max"}};
      for (int v = 0; v < 3; ++v) {
        // f0 to the hundredth of a hertz, Q to four digits; null for none.
        const double df0 = j.Num(c + names[v][0] + at), qv = j.Num(c + names[v][1] + at);
        EXPECT_TRUE(std::isnan(f0[v]) ? std::isnan(df0) : std::fabs(ref + df0 - f0[v]) <= 0.0051)
            << names[v][0] << at;
        EXPECT_TRUE(std::isnan(q[v]) ? std::isnan(qv) : std::fabs(qv - q[v]) <= q[v] * 6e-4)
            << names[v][1] << at;
      }
      EXPECT_TRUE(Same(j.Num(c + "peak_db" + at), std::round(k.peakDb.last * 100) / 100));
    }
    const std::string t = o + "trace.";
    EXPECT_TRUE(j.Num(t + "points") == run.points &&
                j[t + "phase_deg.length"] == std::to_string(range.trace.count));
    for (int i = 0; i < range.trace.count; ++i) {
      const std::string at = "." + std::to_string(i);
      EXPECT_NEAR(j.Num(t + "f_hz" + at), range.trace.freqHz[i], 0.5);
      EXPECT_NEAR(j.Num(t + "magnitude_db" + at), range.trace.magnitudeDb[i], 0.005);
      EXPECT_NEAR(j.Num(t + "phase_deg" + at), range.trace.phaseDeg[i], 0.05);
    }
  }
}

TEST(LiveJson, StatusesTimesNumbersAndAbsentParts) {
  auto view = NewView();
  Json j;
  const char* words[] = {"waiting", "live", "stalled", "saved", "nodata", "died"};
  for (int s = 0; s < 6; ++s) {
    view->status = static_cast<LiveStatus>(s);
    EXPECT_EQ(LiveStatusIsFinal(view->status), s >= 3) << words[s];
    ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
    EXPECT_EQ(j["status"], words[s]);
  }
  EXPECT_EQ(LiveStatusWord(static_cast<LiveStatus>(6)), nullptr);
  // A new view has no start, no cycle and no ranges.
  EXPECT_EQ(j["start_utc"] + j["cycle"] + j["ranges.length"], "nullnull0");
  // Starts across leap days and centuries, the fraction of a second dropped.
  const std::pair<int64_t, const char*> starts[] = {{116444736000000000LL, "1970-01-01T00:00:00Z"},
                                                    {125911583990000000LL, "1999-12-31T23:59:59Z"},
                                                    {133536836960000000LL, "2024-02-29T12:34:56Z"},
                                                    {139454784000000000LL, "2042-12-01T00:00:00Z"}};
  for (const auto& [time, utc] : starts) {
    view->startTime = time + 9999999;
    ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
    EXPECT_EQ(j["start_utc"], utc);
  }
  // Numbers with the digits asked for (elapsed_s: two decimals), rounded,
  // never "-0"; what JSON cannot hold is null.
  const std::pair<double, const char*> numbers[] = {
      {0, "0"},         {-0.001, "0"},   {-7.1, "-7.1"},       {0.996, "1"},
      {-2.345678, "-2.35"}, {25540580.12, "25540580.12"}, {999999999.999, "1000000000"},
      {1234567890123.45, "1234567890123.45"}, {-3.5e20, "-3.5e+20"}, {INFINITY, "null"}};
  for (const auto& [value, text] : numbers) {
    view->elapsedS = value;
    EXPECT_NE(FormatJson(*view).find(std::string("\"elapsed_s\":") + text + ","), std::string::npos)
        << value;
  }
  // A phase-only run has no magnitude column; a block too small is no JSON.
  SyntheticRun run;
  run.magnitude = false;
  FillSyntheticView(view.get(), run);
  ASSERT_TRUE(ParseJson(FormatJson(*view), &j));
  EXPECT_EQ(j["magnitude"] + j["ranges.0.trace.magnitude_db.length"] +
                j["ranges.0.trace.phase_deg.length"],
            "false<missing>201");
  char small[64];
  EXPECT_EQ(FormatLiveJson(*view, 2, small, sizeof small), -1);
}

// Names that try to break out of the JSON, the script element or the HTML,
// or are no valid UTF-8: the JSON is ASCII and reads back the characters.
TEST(LiveJson, HostileNamesStayInsideTheirStrings) {
  const std::pair<const char*, const char*> names[] = {
      {"</script><script>alert(1)</script>", "</script><script>alert(1)</script>"},
      {"a\"b\\c'd&e<!--f-->", "a\"b\\c'd&e<!--f-->"},
      {"line\nfeed\ttab\x01\x1f\x7f", "line\nfeed\ttab\x01\x1f\x7f"},
      {"Gr\xc3\xb6\xc3\x9f" "e \xe2\x80\xa8 \xf0\x9f\x94\xac \xf4\x8f\xbf\xbf",
       "Gr\xc3\xb6\xc3\x9f" "e \xe2\x80\xa8 \xf0\x9f\x94\xac \xf4\x8f\xbf\xbf"},
      {"bad \xff\xfe utf8 \xc3", "bad \xc3\xbf\xc3\xbe utf8 \xc3\x83"},  // stray bytes as Latin-1
  };
  SyntheticRun run;
  for (const auto& [name, reads] : names) {
    run.target = name;
    const std::string text = FormatJson(*NewView(&run));
    EXPECT_TRUE(IsAscii(text) && text.find_first_of("<\n") == std::string::npos) << name;
    Json j;
    ASSERT_TRUE(ParseJson(text, &j)) << name;
    EXPECT_EQ(j["target"], reads);
  }
}

// ------------------------------------------------------------ files

// Texts too long for their field are cut before the character that does
// not fit whole.
TEST(LiveView, TextsCutAtACharacter) {
  const struct {
    const char* text;
    size_t bytes;
    const char* kept;
  } cases[] = {{"short", 8, "short"},
               {"exactly8", 8, "exactly"},
               {"ab\xc3\xa9" "cd", 4, "ab"},
               {"\xf0\x9f\x94\xac" "x", 4, ""},
               {"anything", 0, "untouched"}};
  for (const auto& c : cases) {
    char field[16] = "untouched";
    SetLiveText(field, c.bytes, c.text);
    EXPECT_STREQ(field, c.kept) << c.text << " in " << c.bytes;
  }
}

TEST(LivePage, CarriesTheJsonAndEscapesTheName) {
  const TempDir dir("live");
  SyntheticRun run;
  const std::string page = dir / "live.html";
  ASSERT_EQ(WriteLivePage(*NewView(&run), 2, page.c_str()), NoError);
  const size_t scripts = CountOf(ReadFileBytes(page), "</script");
  run.target = "x</title></script><script>alert(1)</script>\"'&\xff";
  ASSERT_EQ(WriteLivePage(*NewView(&run), 2, page.c_str()), NoError);
  const std::string html = ReadFileBytes(page);
  EXPECT_TRUE(IsAscii(html));
  EXPECT_EQ(CountOf(html, "</script"), scripts);
  EXPECT_NE(html.find("<title>qarvel live: x&#x3c;/title&#x3e;&#x3c;/script&#x3e;&#x3c;script"
                      "&#x3e;alert(1)&#x3c;/script&#x3e;&#x22;&#x27;&#x26;&#xff;</title>"),
            std::string::npos);
  // The JSON element holds the object that the data script beside it hands on.
  const std::string open = "<script type=\"application/json\" id=\"qarvel-live\">";
  const size_t from = html.find(open) + open.size();
  ASSERT_NE(from, std::string::npos + open.size());
  const std::string json = html.substr(from, html.find("</script>", from) - from);
  Json j;
  ASSERT_TRUE(ParseJson(json, &j));
  EXPECT_EQ(j["target"], "x</title></script><script>alert(1)</script>\"'&\xc3\xbf");
  EXPECT_EQ(ReadFileBytes(page + kLiveDataSuffix), "qarvelLive(" + json + ");\n");
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"live.html", "live.html.data.js"}));
}

// The largest configuration with every course full, numbers at their
// longest, and long names of characters that each take an escape.
TEST(LivePage, StaysUnderOneMebibyte) {
  const TempDir dir("live");
  auto view = NewView();
  std::string name;
  while (name.size() + 2 < kLivePathBytes) name += "\xc3\xa9";
  for (char* field : {view->target, view->runFile, view->note}) {
    SetLiveText(field, field == view->note ? kLiveNoteBytes : kLivePathBytes, name.c_str());
  }
  view->sets = 123456789012ULL;
  view->elapsedS = 987654.321;
  view->cycle = 4294967295u;
  view->hasMagnitude = view->hasPhase = true;
  view->rangeCount = kLiveRanges;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(0, 1);
  const int n = 16000;
  std::vector<double> f(n), m(n), p(n);
  for (LiveRange& range : view->ranges) {
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
      AddToCourse(&range.course, 100000.0 + s * 1.23,
                  Fit(99e6 - 1e6 * unit(random) + 0.37, 10000 + unit(random) * 89999,
                      -100 - unit(random) * 10));
    }
    ASSERT_EQ(range.course.count, kCourseBuckets);
    range.latest = Fit(99123456.78, 12345.6789, -123.456);
  }
  const std::string page = dir / "live.html";
  ASSERT_EQ(WriteLivePage(*view, 2, page.c_str()), NoError);
  const size_t pageBytes = ReadFileBytes(page).size();
  std::printf("largest page: %zu bytes\n", pageBytes);
  EXPECT_LT(pageBytes, size_t{1} << 20);
  EXPECT_LT(ReadFileBytes(page + kLiveDataSuffix).size(), pageBytes);
}

TEST(LiveFiles, AtomicWritesThatSayWhenTheyFail) {
  const TempDir dir("live");
  SyntheticRun run;
  auto view = NewView(&run);
  const std::string json = dir / "live.json";
  ASSERT_TRUE(WriteFileBytes(json, "old"));
  ASSERT_EQ(WriteLiveJson(*view, 2, json.c_str()), NoError);
  const std::string text = ReadFileBytes(json);
  Json j;
  EXPECT_TRUE(text.back() == '\n' && ParseJson(text, &j) && j.Num("sets") == 10);
  // A missing folder, or a target that is a folder: a failure, and nothing
  // left behind.
  EXPECT_EQ(WriteLiveFiles(*view, 2, (dir / "no/live.html").c_str(), json.c_str()), CantOpenFile);
  EXPECT_EQ(WriteLiveFiles(*view, 2, nullptr, (dir / "no/live.json").c_str()), CantOpenFile);
  ASSERT_EQ(mkdir((dir / "folder.html").c_str(), 0755), 0);
  EXPECT_EQ(WriteLivePage(*view, 2, (dir / "folder.html").c_str()), CantOpenFile);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"folder.html", "live.json"}));
  // A page is rewritten every few seconds for days: it costs the disk no
  // syncs. The fixture writes the three files with fsync raising SIGKILL.
  ProcessOptions options;
  options.argv = {std::string(QARVEL_BUILD_DIR) + "/tests/live_page_fixture", dir / "live.html",
                  "--json", json};
  options.env = RaiseAfter("fsync", SIGKILL);
  EXPECT_EQ(RunProgram(options).exitCode, 0);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"folder.html", "live.html",
                                                         "live.html.data.js", "live.json"}));
}

}  // namespace
