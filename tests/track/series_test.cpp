// Reading a series: the journal decoder gives the sets of the file that the store writes, value for value, fed in
// pieces of any size, of both versions; what it does at damage and at a header it cannot read; the times of the
// sets and how sources are placed; a vexa folder's members and their order; the CSV row; the MAT output's spool.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "link/byteorder.h"
#include "matfile/matfile.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"
#include "track/track.h"

namespace {

namespace e = encode;

constexpr double kNaN = NAN;

SweepInfo Info(const std::vector<int32_t>& points) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = int32_t(points.size());
  for (size_t k = 0; k < points.size(); ++k) s.StartFrequency[k] = 10 + 10.0 * k, s.StopFrequency[k] = 19 + 10.0 * k;
  std::copy(points.begin(), points.end(), s.Points);
  SweepInfo info;
  FillSweepInfo(s, &info);
  return info;
}

// One record as a journal keeps it: its payload, when it arrived, and whether a flush stamp comes before it.
struct Record {
  std::string payload;
  int64_t arrival;
  bool stampBefore;
};

std::string Framed(uint8_t type, const std::string& body) {
  uint8_t head[5];
  const uint32_t check = FrameJournalEntry(type, reinterpret_cast<const uint8_t*>(body.data()),
                                           uint32_t(body.size()), head);
  return std::string(reinterpret_cast<char*>(head), 5) + body + e::U32(check);
}

// A journal of these records, of version 2 (arrival times) or 1 (none; the header's version is outside its check).
std::string Journal(uint8_t build, const SweepInfo& info, const std::vector<Record>& records, uint32_t version = 2,
                    int64_t start = 134411000000000000) {
  JournalHeader h{};
  h.build = build;
  h.startTime = start;
  std::strcpy(h.saveData.OriginalFilename, "t.mat");
  h.info = info;
  std::string j(kJournalHeaderBytes, '\0');
  EncodeJournalHeader(h, reinterpret_cast<uint8_t*>(&j[0]));
  j[8] = char(version);
  for (const Record& r : records) {
    if (r.stampBefore) j += Framed(kJournalStamp, e::U64(uint64_t(r.arrival - 5)));
    j += Framed(kJournalRecord, (version >= 2 ? e::U64(uint64_t(r.arrival)) : "") + r.payload);
  }
  return j;
}

// A set's values, copied out of whoever owns them.
struct Values {
  double sample;
  int64_t arrival;
  std::vector<double> freq, phase, magnitude;  // empty: the quantity is absent
  bool operator==(const Values& o) const {
    const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
      return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
    };
    return sample == o.sample && same(freq, o.freq) && same(phase, o.phase) && same(magnitude, o.magnitude);
  }
};

Values Copy(const TrackSet& s) {
  const size_t n = size_t(s.maxPoints) * size_t(s.ranges);
  const auto take = [n](const double* v) { return v == nullptr ? std::vector<double>() : std::vector<double>(v, v + n); };
  return {s.sampleNumber, s.arrival, take(s.frequencies), take(s.phase), take(s.magnitude)};
}

// The sets that the decoder gives for the journal's bytes, handed in in pieces of the sizes that `piece` draws.
std::vector<Values> Decode(const std::string& journal, const std::function<size_t()>& piece,
                           JournalStep* last = nullptr, JournalDecoder* keep = nullptr) {
  static JournalDecoder own;
  JournalDecoder* d = keep != nullptr ? keep : &own;
  StartJournalDecoder(d);
  std::vector<Values> sets;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(journal.data());
  JournalStep step = JournalStep::NeedMore;
  for (size_t at = 0; at < journal.size() && step != JournalStep::Damaged;) {
    const size_t n = std::min(piece(), journal.size() - at);
    for (size_t done = 0; done < n;) {
      size_t taken = 0;
      TrackSet set;
      step = DecodeJournal(d, bytes + at + done, n - done, &taken, &set);
      done += taken;
      if (step == JournalStep::Set) sets.push_back(Copy(set));
      if (step != JournalStep::Set && step != JournalStep::NeedMore) break;
      if (step == JournalStep::NeedMore) {
        EXPECT_EQ(done, n);
      }
    }
    at += n;
    if (step != JournalStep::Set && step != JournalStep::NeedMore) break;
  }
  if (step == JournalStep::Set) {  // the bytes ended with a set: what follows is asked for
    size_t taken = 1;
    TrackSet set;
    step = DecodeJournal(d, bytes + journal.size(), 0, &taken, &set);
    EXPECT_EQ(taken, 0u);
  }
  if (last != nullptr) *last = step;
  if (keep == nullptr) EndJournalDecoder(d);
  return sets;
}

// The sets of the file that the store saves from the same records.
std::vector<Values> Saved(uint8_t build, const SweepInfo& info, const std::vector<Record>& records,
                          const std::string& path) {
  const SweepBuild& b = kSweepBuilds[build];
  EXPECT_EQ(SetUpSaving(b), NoError);
  Measurement m{};
  SaveData save{};
  std::strcpy(save.OriginalFilename, "t.mat");
  EXPECT_EQ(BeginMeasurement(&m, b, info, save, false), NoError);
  for (const Record& r : records) {
    AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(r.payload.data()), uint32_t(r.payload.size()));
  }
  const int32_t saved = SaveMeasurement(&m, save, path.c_str());
  EndMeasurement(&m);
  std::vector<Values> sets;
  if (saved == NoData) return sets;
  EXPECT_EQ(saved, NoError);
  ResultReader reader{};
  EXPECT_EQ(OpenResultFile(&reader, path.c_str()), NoError) << ResultReaderMessage(&reader);
  while (ResultSetsLeft(&reader)) {
    ResultSet s;
    EXPECT_EQ(ReadResultSet(&reader, &s), NoError) << ResultReaderMessage(&reader);
    TrackSet t{};
    t.ranges = reader.info.ranges;
    t.maxPoints = reader.info.maxPoints;
    t.frequencies = reader.info.frequencies;
    t.phase = s.phase;
    t.magnitude = s.magnitude;
    t.sampleNumber = s.sampleNumber;
    sets.push_back(Copy(t));
  }
  CloseResultFile(&reader);
  return sets;
}

// Records at random as the instrument and the link give them: ranges in and out of order (lost sub-sweeps, sets cut
// short, records before the first range 0), now and then one that the store drops (a range or points not
// configured) or refuses (no content), a record of other content than the first set's, and flush stamps between.
std::vector<Record> RandomRecords(std::mt19937& random, const std::vector<int32_t>& points, size_t count) {
  std::vector<Record> records;
  const int32_t ranges = int32_t(points.size());
  uint8_t range = uint8_t(random() % ranges);
  const uint8_t content = uint8_t(1 + random() % 3);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t roll = random() % 100;
    if (roll < 70) {
      range = uint8_t((range + 1) % ranges);  // in order
    } else if (roll < 85) {
      range = uint8_t(random() % ranges);
    }
    uint8_t c = roll == 85 ? uint8_t(1 + random() % 3) : content;
    uint16_t n = uint16_t(points[range]);
    uint8_t r = range;
    if (roll == 86) r = uint8_t(ranges);      // a range not configured
    if (roll == 87) n = uint16_t(n + 1);      // points not the range's
    if (roll == 88) c = 0;                    // no content
    records.push_back({e::SweepData(r, c, n, uint32_t(1000 + i), uint16_t(9 + i % 50),
                                    uint16_t(random() % 60000), uint16_t(random() % 60000)),
                       int64_t(134411000000000000 + 1000003 * i), random() % 10 == 0});
  }
  return records;
}

// The decoder gives exactly the sets of the file saved from the same records, values bit for bit (NaN where the
// file has NaN, no quantity where it has none), whatever the pieces the bytes come in, for journals of both versions;
// a set of a version-2 journal carries its last record's arrival.
TEST(JournalDecoder, GivesTheSetsOfTheFileTheStoreSaves) {
  const TempDir dir("decoder");
  std::mt19937 random(7);
  const std::vector<std::vector<int32_t>> configurations = {{5}, {4, 7}, {3, 2, 6}, {2, 2, 2, 2, 2, 2, 2, 2}};
  int compared = 0;
  for (int round = 0; round < 60; ++round) {
    const std::vector<int32_t>& points = configurations[round % configurations.size()];
    const SweepInfo info = Info(points);
    const std::vector<Record> records = RandomRecords(random, points, 5 + random() % 60);
    const uint8_t build = round % 2 ? kVexaBuild : kQarvelBuild;
    const std::vector<Values> saved = Saved(build, info, records, dir / "t.mat");
    for (const uint32_t version : {1u, 2u}) {
      const std::string journal = Journal(build, info, records, version);
      const std::vector<std::function<size_t()>> pieces = {
          [] { return size_t(1); }, [&] { return size_t(1 + random() % 300); }, [] { return SIZE_MAX; }};
      for (const auto& piece : pieces) {
        JournalStep last;
        const std::vector<Values> decoded = Decode(journal, piece, &last);
        SCOPED_TRACE("round " + std::to_string(round) + ", version " + std::to_string(version));
        EXPECT_EQ(last, JournalStep::NeedMore);
        ASSERT_EQ(decoded.size(), saved.size());
        for (size_t i = 0; i < saved.size(); ++i) {
          EXPECT_TRUE(decoded[i] == saved[i]) << "set " << i;
          compared += decoded[i] == saved[i];
        }
      }
      // Each set's arrival: that of the record that completed it, its last, of the last range (record i has
      // sample number 1000 + i and arrives at 1000003 i).
      for (const Values& v : Decode(journal, [] { return SIZE_MAX; })) {
        if (version == 1) {
          EXPECT_EQ(v.arrival, 0);
          continue;
        }
        const int64_t first = int64_t(v.sample) - 1000, last = (v.arrival - 134411000000000000) / 1000003;
        ASSERT_EQ(v.arrival, 134411000000000000 + 1000003 * last);
        ASSERT_GE(last, first + int64_t(points.size()) - 1);
        ASSERT_LT(last, int64_t(records.size()));
        EXPECT_EQ(records[size_t(last)].payload[2], char(points.size() - 1));
      }
    }
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace

namespace {

// A journal ends for reading at its first damaged entry (a flipped byte, a power cut's zeros): the sets before it come
// out, then Damaged, for good. A journal cut inside an entry waits for the rest. What is not a journal of a version
// this code reads, or describes what no run writes, is refused at once.
TEST(JournalDecoder, DamageAndHeadersItCannotRead) {
  const SweepInfo info = Info({4, 3});
  std::vector<Record> records;
  for (uint32_t i = 0; i < 12; ++i) {
    records.push_back({e::SweepData(uint8_t(i % 2), 3, uint16_t(i % 2 ? 3 : 4), i), int64_t(1000 + i), i == 5});
  }
  const std::string whole = Journal(kQarvelBuild, info, records);
  // Where each record's entry begins, after the header: the stamp before record 5 is 17 bytes.
  std::vector<size_t> at;
  for (size_t p = kJournalHeaderBytes, i = 0; i < records.size(); ++i) {
    p += records[i].stampBefore ? 17 : 0;
    at.push_back(p);
    p += kJournalEntryOverhead + kJournalArrivalBytes + records[i].payload.size();
  }
  const struct { const char* what; std::string bytes; size_t sets; JournalStep last; } cases[] = {
      {"whole", whole, 6, JournalStep::NeedMore},
      {"cut inside record 7", whole.substr(0, at[7] + 20), 3, JournalStep::NeedMore},
      {"record 7 damaged", whole.substr(0, at[7] + 20) + "x" + whole.substr(at[7] + 21), 3, JournalStep::Damaged},
      {"zeros after record 9", whole.substr(0, at[10]) + std::string(300, '\0'), 5, JournalStep::Damaged},
      {"a header cut short", whole.substr(0, kJournalHeaderBytes - 1), 0, JournalStep::NeedMore},
      {"empty", "", 0, JournalStep::NeedMore},
      {"a result file", std::string("MATLAB level 5 format resonance measurement data.") + whole, 0,
       JournalStep::NotAJournal},
      {"version 3", whole.substr(0, 8) + '\3' + whole.substr(9), 0, JournalStep::NotAJournal},
      {"version 0", whole.substr(0, 8) + '\0' + whole.substr(9), 0, JournalStep::NotAJournal},
  };
  for (const auto& c : cases) {
    for (const size_t piece : {size_t(1), size_t(64), SIZE_MAX}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      static JournalDecoder d;
      JournalStep last;
      EXPECT_EQ(Decode(c.bytes, [=] { return piece; }, &last, &d).size(), c.sets);
      EXPECT_EQ(last, c.last);
      // It stays so: nothing more is taken.
      size_t taken = 7;
      TrackSet set;
      const JournalStep again = DecodeJournal(&d, reinterpret_cast<const uint8_t*>(whole.data()), whole.size(),
                                              &taken, &set);
      if (c.last != JournalStep::NeedMore) {
        EXPECT_EQ(again, c.last);
        EXPECT_EQ(taken, 0u);
      }
      EndJournalDecoder(&d);
    }
  }
  // A header whose check holds but whose description no run writes: Invalid, naming the field.
  SweepInfo none = info;
  none.NumberOfRanges = 0;
  static JournalDecoder d;
  JournalStep last;
  EXPECT_TRUE(Decode(Journal(kQarvelBuild, none, records), [] { return SIZE_MAX; }, &last, &d).empty());
  EXPECT_EQ(last, JournalStep::Invalid);
  EXPECT_STREQ(d.invalidField, "NumberOfRanges");
  EndJournalDecoder(&d);
}

// Times in seconds since the series began: measured arrivals of a version-2 journal; estimates from the sample
// number and the period of one set elsewhere; a source placed after the one before by its wall-clock start, or
// right after the last set before it; the average of an -m file has none.
TEST(SeriesTimes, SetsAndSourcesArePlaced) {
  constexpr int64_t T0 = 134411000000000000, S = 10000000;  // a start, and one second
  struct Source { bool wall; int64_t start; bool estimated; double period; };
  struct Set { size_t source; double sample; int64_t arrival; bool averaged; double seconds; bool estimate; };
  const struct { const char* what; std::vector<Source> sources; std::vector<Set> sets; } cases[] = {
      {"a journal of version 2", {{true, T0, false, 0.5}},
       {{0, 7, T0 + 2 * S, false, 2, false}, {0, 9, T0 + 3 * S, false, 3, false}}},
      {"a result file", {{false, 0, false, 0.25}},
       {{0, 40, 0, false, 0.25, true}, {0, 41, 0, false, 0.5, true}, {0, 44, 0, false, 1.25, true}}},
      {"sample numbers that wrap", {{false, 0, false, 2}},
       {{0, 4294967295.0, 0, false, 2, true}, {0, 1, 0, false, 6, true}}},
      {"two journals, by their starts", {{true, T0, false, 1}, {true, T0 + 100 * S, false, 1}},
       {{0, 1, T0 + S, false, 1, false}, {1, 1, T0 + 101 * S, false, 101, false}}},
      {"a journal, then a file after it", {{true, T0, false, 1}, {false, 0, false, 0.5}},
       {{0, 1, T0 + 4 * S, false, 4, false}, {1, 3, 0, false, 4.5, true}, {1, 4, 0, false, 5, true}}},
      {"a file, then a journal right after it", {{false, 0, false, 1}, {true, T0, false, 1}},
       {{0, 1, 0, false, 1, true}, {0, 2, 0, false, 2, true}, {1, 5, T0 + 3 * S, false, 5, true}}},
      {"cycles placed by estimated starts", {{true, T0, true, 1}, {true, T0 + 60 * S, true, 1}, {true, T0 + 90 * S, false, 1}},
       {{0, 1, 0, false, 1, true}, {1, 1, 0, false, 61, true}, {2, 1, T0 + 95 * S, false, 95, true}}},
      {"a version-1 journal", {{true, T0, false, 0.1}}, {{0, 12, 0, false, 0.1, true}, {0, 13, 0, false, 0.2, true}}},
      {"an average", {{false, 0, false, 1}}, {{0, 0, 0, true, kNaN, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SeriesClock clock;
    StartSeriesClock(&clock);
    size_t source = SIZE_MAX;
    for (const Set& s : c.sets) {
      if (s.source != source) {
        source = s.source;
        const Source& b = c.sources[source];
        BeginSourceTimes(&clock, b.wall, b.start, b.estimated, b.period);
      }
      TrackSet set{};
      set.sampleNumber = s.sample;
      set.arrival = s.arrival;
      set.averaged = s.averaged;
      const TrackTime t = TimeOfSet(&clock, set);
      if (std::isnan(s.seconds)) {
        EXPECT_TRUE(std::isnan(t.seconds));
      } else {
        EXPECT_NEAR(t.seconds, s.seconds, 1e-9) << s.sample;
      }
      EXPECT_EQ(t.estimate, s.estimate) << s.sample;
      EXPECT_EQ(t.utc, s.arrival) << s.sample;
    }
  }
}

}  // namespace

namespace {

const std::string kFixtures = QARVEL_SOURCE_DIR "/tests/sweep_store/journal_v1/";

struct Read {
  std::vector<std::string> sources;  // each set's
  std::vector<TrackedSet> sets;
  std::vector<std::string> notes;
  std::string failure;
};

void Noted(const char* text, void* context) { static_cast<Read*>(context)->notes.push_back(text); }

// Every set of the series of these sources, as the reader gives them; the first failure ends it.
Read ReadSeries(const std::vector<std::string>& paths) {
  Read read;
  static SeriesReader r;
  StartSeriesReader(&r, Noted, &read);
  for (const std::string& path : paths) {
    int32_t got = OpenSeriesSource(&r, path.c_str());
    TrackedSet set;
    while (got == 0 && (got = NextSeriesSet(&r, &set)) > 0) {
      read.sources.push_back(set.source);
      read.sets.push_back(set);
      got = 0;
    }
    if (got < 0) {
      read.failure = r.message;
      break;
    }
  }
  EndSeriesReader(&r);
  return read;
}

bool SameFits(const TrackedSet& a, const TrackedSet& b) {
  if (a.ranges != b.ranges || a.sampleNumber != b.sampleNumber) return false;
  for (int32_t k = 0; k < a.ranges; ++k) {
    const Resonance& x = a.fits[k];
    const Resonance& y = b.fits[k];
    const double u[] = {x.f0Hz, x.fwhmHz, x.q, x.peakDb, x.phaseDeg, x.residual};
    const double v[] = {y.f0Hz, y.fwhmHz, y.q, y.peakDb, y.phaseDeg, y.residual};
    if (x.status != y.status || std::memcmp(u, v, sizeof u) != 0) return false;
  }
  return true;
}

// A journal and the file saved or recovered from it give the same fits, set for set: a version-1 journal kept in
// the tree and the file its run saved; version-2 journals of records at random and the files the store saves.
TEST(Series, AJournalAndItsFileGiveTheSameFits) {
  const TempDir dir("series-fits");
  std::vector<std::pair<std::string, std::string>> pairs = {{kFixtures + "run.mat.journal", kFixtures + "run.mat"},
                                                            {kFixtures + "3.mat.journal", kFixtures + "3.mat"}};
  std::mt19937 random(11);
  for (int i = 0; i < 4; ++i) {
    const std::vector<int32_t> points = {41, 17, 61};
    const std::vector<Record> records = RandomRecords(random, points, 150);
    const std::string name = "r" + std::to_string(i);
    ASSERT_TRUE(WriteFileBytes(dir / (name + ".journal"), Journal(kQarvelBuild, Info(points), records)));
    Saved(kQarvelBuild, Info(points), records, dir / (name + ".mat"));
    pairs.push_back({dir / (name + ".journal"), dir / (name + ".mat")});
  }
  size_t sets = 0;
  for (const auto& [journal, file] : pairs) {
    SCOPED_TRACE(journal);
    const Read a = ReadSeries({journal}), b = ReadSeries({file});
    ASSERT_EQ(a.failure + b.failure, "");
    ASSERT_EQ(a.sets.size(), b.sets.size());
    for (size_t i = 0; i < a.sets.size(); ++i) EXPECT_TRUE(SameFits(a.sets[i], b.sets[i])) << "set " << i;
    sets += a.sets.size();
  }
  EXPECT_GT(sets, 60u);
}

// A journal that a dead run left cut inside an entry, or damaged, is read up to there, and a note says so; a cut
// journal that its run holds is one still being written, and is read as it stands without a word.
TEST(Series, AJournalCutOrDamagedIsSaidOf) {
  const TempDir dir("series-cut");
  const std::string journal = ReadFileBytes(kFixtures + "run.mat.journal");
  const size_t cut = journal.size() - 100;  // in its last record, that of a set cut short; the entry before ends at 4775
  std::string damaged = journal;
  damaged[cut] = char(damaged[cut] ^ 0x20);
  const struct { const char* name; std::string bytes; const char* note; size_t sets; } cases[] = {
      {"cut.journal", journal.substr(0, cut), "cut.journal ends in a cut entry after byte 4775; every whole record "
                                              "before it was read", 10},
      {"damaged.journal", damaged, "damaged.journal ends in a damaged entry after byte 4775; every whole record "
                                   "before it was read", 10},
      {"whole.journal", journal, nullptr, 10},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFileBytes(dir / c.name, c.bytes));
    const Read read = ReadSeries({dir / c.name});
    EXPECT_EQ(read.failure, "");
    EXPECT_EQ(read.sets.size(), c.sets) << c.name;
    EXPECT_EQ(read.notes, c.note == nullptr ? std::vector<std::string>{} : std::vector<std::string>{dir / c.note});
  }
}

// A vexa folder: its members alone (<n>.mat, <n>.mat.journal, <n>.mat.<k>.journal), in numeric order; a cycle's file
// is read and its journals are passed over, each named; an empty journal (a run that has just begun) gives no set.
TEST(Series, AVexaFolderInNumericOrder) {
  const TempDir dir("series-folder");
  const std::string file = ReadFileBytes(kFixtures + "3.mat"), journal = ReadFileBytes(kFixtures + "3.mat.journal"),
                    two = ReadFileBytes(kFixtures + "run.mat.journal");
  const std::pair<const char*, std::string> members[] = {
      {"1.mat", file},       {"2.mat.journal", journal}, {"2.mat.3.journal", two},     {"9.mat.journal", ""},
      {"10.mat", file},      {"10.mat.journal", journal}, {"10.mat.2.journal", two},   {"01.mat", "not read"},
      {"1.mat.1.journal", "not read"}, {"a.mat", "not read"}, {"1.2.mat", "not read"}, {"3.mat.journal.bak", "not read"},
      {"4.MAT", "not read"}, {"5.mat.01.journal", "not read"}};
  for (const auto& [name, bytes] : members) ASSERT_TRUE(WriteFileBytes(dir / name, bytes));
  const Read read = ReadSeries({dir.path});
  ASSERT_EQ(read.failure, "");
  std::vector<std::string> order;
  for (size_t i = 0; i < read.sets.size(); ++i) {
    if (i == 0 || read.sources[i] != read.sources[i - 1]) order.push_back(read.sources[i]);
    EXPECT_EQ(read.sets[i].sourceIndex, order.size());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1.mat", "2.mat.journal", "2.mat.3.journal", "10.mat"}));
  EXPECT_EQ(read.sets.size(), 12u + 12u + 10u + 12u);
  EXPECT_EQ(read.notes, (std::vector<std::string>{dir / "10.mat.journal is passed over: the cycle's file 10.mat is read",
                                                  dir / "10.mat.2.journal is passed over: the cycle's file 10.mat is read"}));
  // The sets of 10.mat are those of the file on its own, and it comes after the others in time.
  const Read alone = ReadSeries({dir / "10.mat"});
  for (size_t i = 0; i < alone.sets.size(); ++i) EXPECT_TRUE(SameFits(alone.sets[i], read.sets[34 + i]));
  for (const TrackedSet& s : read.sets) EXPECT_TRUE(s.time.estimate);  // files, and version-1 journals
}

}  // namespace

namespace {

TrackedSet Tracked(const char* source, double sample, TrackTime time, std::vector<Resonance> fits,
                   uint32_t sourceIndex = 1) {
  TrackedSet s{};
  s.source = source;
  s.sourceIndex = sourceIndex;
  s.sampleNumber = sample;
  s.time = time;
  s.ranges = int32_t(fits.size());
  for (size_t k = 0; k < fits.size(); ++k) s.fits[k] = fits[k];
  return s;
}

// A row of the CSV: the file as one field (quoted when it must be), numbers with the fewest digits that read back
// the same, an unknown as an empty field, the UTC of a measured time, ranges from 1, the status as a word.
TEST(TrackOutput, CsvRows) {
  const Resonance ok{15405097.123456789, 154051.0, 100.00000000000001, 30.02, -12.5, 0.98, FitStatus::Ok};
  const Resonance edge{1e7, 2e5, 50, kNaN, 3.25, 1.5, FitStatus::Edge};
  const Resonance none{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, FitStatus::None};
  const Resonance nodata{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, FitStatus::NoData};
  const struct { TrackedSet set; int32_t k; const char* row; } rows[] = {
      {Tracked("a.mat", 41, {0.1, 0, true}, {ok}), 0,
       "a.mat,41,0.1,,1,15405097.12345679,154051,100.00000000000001,30.02,-12.5,0.98,ok\n"},
      {Tracked("run/3.mat.journal", 4294967295.0, {1.0 / 3, 134411223091234567, false}, {none, edge}), 1,
       "run/3.mat.journal,4294967295,0.3333333333333333,2026-12-07T13:05:09.123Z,2,10000000,200000,50,,3.25,1.5,"
       "edge\n"},
      {Tracked("we,ird \"x\".mat", 0, {kNaN, 0, false}, {none}), 0, "\"we,ird \"\"x\"\".mat\",0,,,1,,,,,,,none\n"},
      {Tracked("line\nend", 2, {1e-7, 0, true}, {nodata, nodata, nodata}), 2, "\"line\nend\",2,1e-07,,3,,,,,,,nodata\n"},
  };
  for (const auto& r : rows) {
    char out[kTrackRowBytes];
    const size_t n = FormatTrackRow(r.set, r.k, out, sizeof out);
    EXPECT_EQ(std::string(out, n), r.row);
    // Too small a buffer: nothing.
    EXPECT_EQ(FormatTrackRow(r.set, r.k, out, std::strlen(r.row) - 1), 0u);
    EXPECT_EQ(FormatTrackRow(r.set, r.k, out, std::strlen(r.row)), std::strlen(r.row));
  }
  EXPECT_STREQ(kTrackCsvHeader,
               "file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status\n");
  // Any double reads back the same, and with no more digits than it needs.
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t bits = random();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    if (i % 2) v = std::ldexp(double(random() % 100000000), -int(random() % 30));
    char out[kTrackRowBytes];
    const size_t n = FormatTrackRow(Tracked("x", v, {kNaN, 0, false}, {none}), 0, out, sizeof out);
    const std::string field = std::string(out, n).substr(2, std::string(out, n).find(',', 2) - 2);
    EXPECT_EQ(std::strtod(field.c_str(), nullptr), v) << field;
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.14g", v);
    if (std::strtod(shorter, nullptr) == v) {
      EXPECT_LE(field.size(), std::strlen(shorter)) << field;
    }
  }
}

// A matrix of the MAT output, read back with the strict reader.
struct Matrix {
  std::string name;
  int32_t rows, columns;
  std::vector<double> values;
  double at(int64_t row, int32_t column) const { return values[size_t(column) * size_t(rows) + size_t(row)]; }
};

std::vector<Matrix> ReadBack(const std::string& path, std::vector<std::string>* names) {
  MatReader r{};
  std::vector<Matrix> matrices;
  EXPECT_EQ(OpenMatReader(&r, path.c_str()), NoError) << MatReaderMessage(&r);
  for (int i = 0; i < 11; ++i) {
    MatMatrixHead head;
    EXPECT_EQ(ReadMatrixHead(&r, &head), NoError) << MatReaderMessage(&r);
    Matrix m{head.name, head.rows, head.columns, std::vector<double>(head.dataBytes / 8)};
    EXPECT_EQ(head.kind, Double);
    EXPECT_EQ(ReadMatrixData(&r, m.values.data(), head.dataBytes), NoError) << MatReaderMessage(&r);
    matrices.push_back(m);
  }
  MatStructHead sources;
  EXPECT_EQ(ReadStructHead(&r, &sources), NoError) << MatReaderMessage(&r);
  EXPECT_STREQ(sources.name, "Sources");
  EXPECT_EQ(sources.fieldCount, 1);
  EXPECT_STREQ(sources.fieldNames[0], "Name");
  for (int32_t i = 0; i < sources.count; ++i) {
    MatMatrixHead head;
    EXPECT_EQ(ReadMatrixHead(&r, &head), NoError) << MatReaderMessage(&r);
    std::vector<uint16_t> units(size_t(head.columns));
    EXPECT_EQ(ReadMatrixData(&r, units.data(), head.dataBytes), NoError);
    names->push_back(std::string(units.begin(), units.end()));
  }
  EXPECT_EQ(ReadMatEnd(&r), NoError) << MatReaderMessage(&r);
  CloseMatReader(&r);
  return matrices;
}

// The MAT output of more sets than a block of the spool holds, sets of one and of three ranges: every matrix read
// back holds each set's values in its row, NaN in the columns of ranges a set does not have; --range keeps one
// column. An output beyond the limit, or a name longer than a MAT text, is refused and nothing is written.
TEST(TrackOutput, MatThroughTheSpool) {
  const TempDir dir("track-mat");
  ASSERT_EQ(AllocDiskBuffer(kDiskBufferBytes), NoError);
  const int64_t kSets = 9000;
  const char* const names[] = {"first.mat", "second,run.journal", "3.mat"};
  const auto fit = [](int64_t i, int32_t k) {
    return Resonance{1e7 + double(i) + 0.25 * k, 1e5 + k, 100 + double(i % 7), 30.0 - k, double(i % 90), 0.5 * k,
                     FitStatus(i % 4)};
  };
  const auto set = [&](int64_t i) {
    const int32_t ranges = i < 5000 ? 1 : 3;
    std::vector<Resonance> fits;
    for (int32_t k = 0; k < ranges; ++k) fits.push_back(fit(i, k));
    const uint32_t source = i < 3000 ? 1 : i < 6000 ? 2 : 3;
    return Tracked(names[source - 1], double(i * 2), {0.5 * double(i), 0, i % 3 == 0}, fits, source);
  };
  for (const int32_t only : {0, 2}) {
    SCOPED_TRACE("range " + std::to_string(only));
    static TrackMat mat;
    const std::string path = dir / "out.mat";
    ASSERT_EQ(BeginTrackMat(&mat, path.c_str(), only), NoError) << mat.message;
    for (int64_t i = 0; i < kSets; ++i) {
      if (only > set(i).ranges) continue;
      ASSERT_EQ(AddTrackMatSet(&mat, set(i)), NoError) << mat.message;
    }
    ASSERT_EQ(FinishTrackMat(&mat), NoError) << mat.message;
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"out.mat"});  // no scratch file left
    std::vector<std::string> sources;
    const std::vector<Matrix> m = ReadBack(path, &sources);
    ASSERT_EQ(m.size(), 11u);
    const std::vector<std::string> order = {"F0", "FWHM", "Q", "PeakdB", "PhaseDeg", "Residual", "Status", "Time",
                                            "SampleNumber", "SourceIndex", "TimeIsEstimate"};
    const int64_t first = only == 0 ? 0 : 5000;
    for (size_t v = 0; v < m.size(); ++v) {
      EXPECT_EQ(m[v].name, order[v]);
      EXPECT_EQ(m[v].rows, kSets - first);
      EXPECT_EQ(m[v].columns, v < 9 ? (only == 0 ? 3 : 1) : 1) << m[v].name;
    }
    EXPECT_EQ(sources, (only == 0 ? std::vector<std::string>(names, names + 3)
                                  : std::vector<std::string>{"second,run.journal", "3.mat"}));
    for (int64_t i = first; i < kSets; ++i) {
      const int64_t row = i - first;
      for (int32_t c = 0; c < m[0].columns; ++c) {
        const int32_t k = only == 0 ? c : only - 1;
        const bool has = k < set(i).ranges;
        const Resonance f = fit(i, k);
        const double expected[] = {f.f0Hz, f.fwhmHz, f.q, f.peakDb, f.phaseDeg, f.residual, double(int(f.status))};
        for (int q = 0; q < 7; ++q) {
          const double got = m[size_t(q)].at(row, c);
          if (has) {
            ASSERT_EQ(got, expected[q]) << m[size_t(q)].name << " " << i << " " << c;
          } else {
            ASSERT_TRUE(std::isnan(got)) << m[size_t(q)].name << " " << i << " " << c;
          }
        }
        ASSERT_EQ(m[7].at(row, c), 0.5 * double(i));
        ASSERT_EQ(m[8].at(row, c), double(2 * i));
      }
      ASSERT_EQ(m[9].at(row, 0), i < 3000 ? 1 : i < 6000 ? (only == 0 ? 2 : 1) : (only == 0 ? 3 : 2));
      ASSERT_EQ(m[10].at(row, 0), i % 3 == 0 ? 1.0 : 0.0);
    }
    std::remove(path.c_str());
  }

  // Refusals: nothing is written, no scratch file stays, an earlier file of the name is kept.
  ASSERT_TRUE(WriteFileBytes(dir / "out.mat", "earlier"));
  const std::string longName(513, 'n');
  const int64_t limit = int64_t(TrackMatBytes(100, 3, MatrixBytes(Char, nullptr, 1, 9, names[0])));
  const struct { const char* what; int64_t limit; const char* name; int64_t sets; const char* message; } refusals[] = {
      {"the limit", limit, names[0], 101, "101 sets of 3 ranges make a MAT file of more than * bytes, the most that "
                                          "MATLAB loads from one; nothing was written (CSV, or --range N, takes them)"},
      {"a long name", kResultFileLimit, longName.c_str(), 1,
       "the name n* is longer than the 512 characters that a text of the MAT output holds; nothing was written *"},
      {"no sets", kResultFileLimit, names[0], 0, "nothing to write into */out.mat"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    static TrackMat mat;
    TrackMatLimit = r.limit;
    const std::string path = dir / "out.mat";  // the writer keeps the name as given
    ASSERT_EQ(BeginTrackMat(&mat, path.c_str(), 0), NoError);
    int32_t status = NoError;
    for (int64_t i = 0; i < r.sets && status == NoError; ++i) {
      status = AddTrackMatSet(&mat, Tracked(r.name, 1, {1, 0, false}, {fit(i, 0), fit(i, 1), fit(i, 2)}));
      if (i + 1 < r.sets) {
        ASSERT_EQ(status, NoError);
      }
    }
    if (status == NoError) status = FinishTrackMat(&mat);
    AbandonTrackMat(&mat);
    TrackMatLimit = kResultFileLimit;
    EXPECT_NE(status, NoError);
    EXPECT_TRUE(fnmatch(r.message, mat.message, 0) == 0) << mat.message;
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"out.mat"});
    EXPECT_EQ(ReadFileBytes(dir / "out.mat"), "earlier");
  }
  FreeDiskBuffer();
}

}  // namespace
