// The journal and its recovery in process, for both builds in one program: the recovered file is the file the
// run saves, a journal cut or damaged anywhere gives back every whole record before, what recovery refuses, runs
// without a journal, a failed write, and an averaged store that holds no more than the open set. Recovery that
// cannot take every record, a description that no run writes, times of a wrong clock, an output that is the
// journal, a FIFO, and a second run on a target that a live run journals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "link/byteorder.h"
#include "matfile/matfile.h"
#include "platform/platform.h"
#include "platform/time_text.h"
#include "sweep/journal.h"
#include "sweep/measurement.h"
#include "sweep/recovery.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

namespace e = encode;

// These ranges of these points, both kinds; the defaults for the rest.
SweepInfo Info(const std::vector<int32_t>& points) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = static_cast<int32_t>(points.size());
  for (size_t k = 0; k < points.size(); ++k) s.StartFrequency[k] = 10 + 10.0 * k, s.StopFrequency[k] = 19 + 10.0 * k;
  std::copy(points.begin(), points.end(), s.Points);
  SweepInfo info;
  FillSweepInfo(s, &info);
  return info;
}

SaveData Save(const std::string& name, bool averaged) {
  SaveData save{{}, {}, {}, averaged ? 1 : 0};
  std::strncpy(save.OriginalFilename, name.c_str(), sizeof save.OriginalFilename - 1);
  std::strcpy(save.Annotation1, "kept bit for bit");
  return save;
}

// The record entries of a journal: where each one begins and ends.
std::vector<std::pair<size_t, size_t>> RecordEntries(const std::string& journal) {
  std::vector<std::pair<size_t, size_t>> entries;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(journal.data());
  JournalEntry entry;
  for (size_t at = kJournalHeaderBytes;
       ParseJournalEntry(bytes + at, journal.size() - at, kJournalVersion, &entry) == JournalParse::Ok; at += entry.entryBytes) {
    if (entry.type == kJournalRecord) entries.push_back({at, at + entry.entryBytes});
  }
  return entries;
}

class Journal : public ::testing::Test {
 protected:
  // Begins a journaled measurement of these ranges, saved as dir/t.mat; appends the records (range, sample) of
  // every kind the ranges have, no faster than a disk takes them; saves as dir/direct.mat and keeps a copy of the
  // whole journal before it goes.
  void Measure(const SweepBuild& build, const std::vector<int32_t>& points, bool averaged,
               const std::vector<std::pair<uint8_t, uint32_t>>& records) {
    ASSERT_EQ(SetUpSaving(build), NoError);
    ASSERT_EQ(BeginMeasurement(&m, build, Info(points), Save(dir / "t.mat", averaged), true), NoError);
    ASSERT_TRUE(JournalOpen());
    for (const auto& r : records) {
      const std::string p = e::SweepData(r.first, 3, static_cast<uint16_t>(points[r.first]), r.second, 9,
                                         static_cast<uint16_t>(28000 + 77 * r.second), static_cast<uint16_t>(r.second));
      ASSERT_EQ(AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size())),
                AppendOutcome::Kept);
      if (r.second % 200 == 0) usleep(1000);
    }
    ASSERT_EQ(SaveMeasurement(&m, m.saveData, (dir / "direct.mat").c_str()), NoError);
    ASSERT_TRUE(WriteFileBytes(dir / "copy.journal", ReadFileBytes(dir / "t.mat.journal")));
    EndMeasurement(&m);
    EXPECT_FALSE(FileExists(dir / "t.mat.journal"));  // saved: gone
  }
  RecoveryResult Recover(const std::string& journal, const char* output = nullptr, bool snapshot = false,
                         bool partial = false) {
    const std::string out = output != nullptr ? dir / output : "";
    return ::Recover({journal.c_str(), output != nullptr ? out.c_str() : nullptr, snapshot, partial}, &report);
  }
  void TearDown() override { StoreMemoryLimit = kStoreMemoryUnlimited; }
  Measurement m{};
  RecoveryReport report{};
  TempDir dir{"journal"};
};

// One entry framed as the writer frames it, its check valid.
std::string Entry(uint8_t type, const std::string& body) {
  uint8_t head[5];
  const uint32_t check =
      FrameJournalEntry(type, reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()), head);
  return std::string(reinterpret_cast<char*>(head), 5) + body + e::U32(check);
}

// The check of every entry: CRC-32C, with the processor's instruction and from tables alike, against a bit by
// bit reference, in pieces or at once.
TEST(JournalFormat, Crc32c) {
  const auto reference = [](const std::string& bytes) {
    uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : bytes)
      for (int i = 0; i < 8; ++i, b >>= 1) c = ((c ^ b) & 1) ? (c >> 1) ^ 0x82F63B78 : c >> 1;
    return ~c;
  };
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 131 + (i >> 3));
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xE3069283u);
  for (const size_t n : {0, 1, 7, 8, 9, 63, 1000}) {
    const std::string part = bytes.substr(0, n);
    EXPECT_EQ(Crc32(0, part.data(), n), reference(part)) << n;
    EXPECT_EQ(Crc32Portable(0, part.data(), n), reference(part)) << n;
    EXPECT_EQ(Crc32(Crc32(0, part.data(), n / 3), part.data() + n / 3, n - n / 3), reference(part)) << n;
  }
}

// With two ranges: passed over before the first set, a set cut short, and a lost sub-sweep, `times` times over;
// with one, that many records, each a set.
std::vector<std::pair<uint8_t, uint32_t>> Records(size_t ranges, uint32_t times) {
  std::vector<std::pair<uint8_t, uint32_t>> records;
  for (uint32_t i = 1; i <= times; ++i) {
    const auto two = {std::make_pair(1, 0), {0, 1}, {1, 1}, {0, 2}, {0, 3}, {1, 3}, {1, 4}};
    if (ranges == 1) records.push_back({0, i});
    for (const auto& r : two) ranges == 2 ? records.push_back({uint8_t(r.first), r.second}) : void();
  }
  return records;
}

TEST_F(Journal, RecoveryWritesTheFileTheRunSaves) {
  // The last two: a journal that the reader takes in several pieces, and one that goes round the queue.
  const struct { uint8_t build; std::vector<int32_t> points; bool averaged; uint32_t times; } cases[] = {
      {kQarvelBuild, {101, 51}, false, 1}, {kQarvelBuild, {101, 51}, true, 1}, {kVexaBuild, {7}, false, 3},
      {kQarvelBuild, {16000, 16000}, false, 3}, {kQarvelBuild, {101}, true, 100000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.build) + (c.averaged ? " averaged" : "") + " " + std::to_string(c.points[0]));
    const auto records = Records(c.points.size(), c.times);
    Measure(kSweepBuilds[c.build], c.points, c.averaged, records);
    // The same replay from the journal's bytes in memory.
    const std::string bytes = ReadFileBytes(dir / "copy.journal");
    ASSERT_EQ(ReplayJournal(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &m, &report),
              RecoveryResult::Replayed);
    EXPECT_EQ(SaveMeasurement(&m, report.header.saveData, (dir / "memory.mat").c_str()), NoError);
    EndMeasurement(&m);
    EXPECT_TRUE(ReadFileBytes(dir / "memory.mat") == ReadFileBytes(dir / "direct.mat"));
    ASSERT_EQ(Recover(dir / "copy.journal", "recovered.mat"), RecoveryResult::Saved);
    EXPECT_TRUE(ReadFileBytes(dir / "recovered.mat") == ReadFileBytes(dir / "direct.mat"));
    EXPECT_EQ(report.fileBytes, ReadFileBytes(dir / "recovered.mat").size());
    EXPECT_EQ(report.sets, static_cast<int32_t>(c.points.size() == 1 ? c.times : 2 * c.times));
    EXPECT_EQ(report.records, records.size());
    EXPECT_FALSE(report.cut || report.incomplete);
    EXPECT_STREQ(report.header.saveData.Annotation1, "kept bit for bit");
    EXPECT_FALSE(FileExists(dir / "copy.journal"));
  }
}

// Version-1 journals, which runs wrote before records carried their arrival time, recover the files their runs
// saved, byte for byte: one of a qarvel run of two ranges (a record passed over before the first set, a lost
// sub-sweep, a set cut short), one of a vexa cycle of magnitude alone.
TEST_F(Journal, VersionOneJournalsRecoverTheFilesTheirRunsSaved) {
  for (const std::string name : {"run.mat", "3.mat"}) {
    const std::string kept = QARVEL_SOURCE_DIR "/tests/sweep_store/journal_v1/" + name;
    ASSERT_TRUE(WriteFileBytes(dir / "v1.journal", ReadFileBytes(kept + ".journal")));
    ASSERT_EQ(Recover(dir / "v1.journal", "v1.mat"), RecoveryResult::Saved) << name;
    EXPECT_EQ(report.version, 1u);
    EXPECT_TRUE(ReadFileBytes(dir / "v1.mat") == ReadFileBytes(kept)) << name;
    EXPECT_FALSE(report.cut || report.incomplete) << name;
  }
}

// Each record carries the time it arrived: on the clock of the stamps, in arrival order, no earlier than the
// measurement's start and no later than the stamp that flushed it.
TEST_F(Journal, RecordsCarryTheirArrivalTimes) {
  std::vector<std::pair<uint8_t, uint32_t>> records;
  for (uint32_t i = 1; i <= 400; ++i) records.push_back({0, i});
  const int64_t before = SystemTime();
  Measure(kSweepBuilds[kVexaBuild], {5}, false, records);
  const int64_t after = SystemTime();
  const std::string journal = ReadFileBytes(dir / "copy.journal");
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(journal.data());
  JournalHeader header;
  uint32_t version, flags;
  size_t at;
  ASSERT_EQ(DecodeJournalHeader(bytes, journal.size(), &header, &version, &flags, &at), JournalParse::Ok);
  EXPECT_EQ(version, 2u);
  EXPECT_LE(before, header.startTime);
  int64_t last = header.startTime, stamped = header.startTime;
  size_t seen = 0, stamps = 0;
  for (JournalEntry e; ParseJournalEntry(bytes + at, journal.size() - at, version, &e) == JournalParse::Ok;
       at += e.entryBytes) {
    if (e.type == kJournalStamp) {
      const int64_t stamp = static_cast<int64_t>(GetU64(e.body));
      EXPECT_GE(stamp, last);
      stamped = stamp;
      ++stamps;
      continue;
    }
    EXPECT_GE(e.arrival, last);
    EXPECT_GE(e.arrival, stamped - 10000000);  // not long before the flush that wrote it: records come as sent
    last = e.arrival;
    EXPECT_EQ(SweepSampleNumber(e.payload), ++seen);
    EXPECT_EQ(e.payloadLength, SweepDataLength(5, 3));
  }
  EXPECT_EQ(seen, records.size());
  EXPECT_GE(stamps, 1u);
  EXPECT_LE(last, after);
  EXPECT_GT(last, header.startTime);
}

TEST_F(Journal, ACutOrDamageGivesBackEveryWholeRecordBeforeIt) {
  std::vector<std::pair<uint8_t, uint32_t>> records;
  for (uint32_t i = 1; i <= 6; ++i) records.push_back({0, i});
  Measure(kSweepBuilds[kQarvelBuild], {40}, false, records);
  const std::string whole = ReadFileBytes(dir / "copy.journal");
  const auto entries = RecordEntries(whole);
  ASSERT_EQ(entries.size(), records.size());
  // Cut at, just after and just before each record entry's end, and halfway through it; or one byte of it changed.
  for (size_t n = 0; n < entries.size(); ++n) {
    const size_t begin = entries[n].first, end = entries[n].second;
    for (const size_t at : {end, end + 1, end - 1, (begin + end) / 2}) {
      for (const bool damage : {false, true}) {
        std::string bytes = whole;
        damage ? void(bytes[at - 1] ^= 0x10) : bytes.resize(std::min(at, bytes.size()));
        const size_t kept = n + ((damage ? at - 1 : at) >= end ? 1 : 0);  // entry n whole, or not
        SCOPED_TRACE(std::to_string(at) + (damage ? " damaged" : " cut"));
        ASSERT_TRUE(WriteFileBytes(dir / "cut.journal", bytes));
        EXPECT_EQ(Recover(dir / "cut.journal", "cut.mat"), kept == 0 ? RecoveryResult::NoData : RecoveryResult::Saved);
        EXPECT_EQ(report.records, kept);
        EXPECT_EQ(report.sets, static_cast<int32_t>(kept));
        EXPECT_EQ(report.cut, at != end || damage);
      }
    }
  }
  // A cut inside the header leaves no journal to read.
  ASSERT_TRUE(WriteFileBytes(dir / "cut.journal", whole.substr(0, kJournalHeaderBytes - 1)));
  EXPECT_EQ(Recover(dir / "cut.journal", "cut.mat"), RecoveryResult::NotAJournal);
}

// What recovery refuses besides what the end-to-end tests show (not a journal, an existing output): a journal
// that is not there, and one without a complete set, which stays; while its run lives, plain recovery leaves a
// journal alone. No journal is kept for what is not a file, nor for a name too long for one beside it.
TEST_F(Journal, RefusalsAndRunsWithoutAJournal) {
  EXPECT_EQ(Recover(dir / "none.journal"), RecoveryResult::Missing);
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  ASSERT_EQ(SetUpSaving(build), NoError);
  ASSERT_EQ(BeginMeasurement(&m, build, Info({5}), Save(dir / "t.mat", false), true), NoError);
  EXPECT_EQ(Recover(dir / "t.mat.journal", "live.mat"), RecoveryResult::Live);
  EXPECT_FALSE(FileExists(dir / "live.mat"));
  EXPECT_EQ(Recover(dir / "t.mat.journal", "snap.mat", true), RecoveryResult::NoData);  // the header alone
  EndMeasurement(&m);  // never saved: the journal stays
  EXPECT_EQ(Recover(dir / "t.mat.journal", "empty.mat"), RecoveryResult::NoData);
  EXPECT_TRUE(FileExists(dir / "t.mat.journal") && !FileExists(dir / "empty.mat"));
  // Relative: the whole name is at most 256 characters.
  for (const std::string& name : {std::string("/dev/null"), std::string(250, 'n')}) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(BeginMeasurement(&m, build, Info({5}), Save(name, false), true), NoError);
    EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), name == "/dev/null") << name;
    EXPECT_FALSE(m.journaled || JournalOpen());
    EndMeasurement(&m);
  }
}

// Averaged, the store holds the open set alone, however many sets arrive; the sums take every complete one.
TEST_F(Journal, AveragedStoreHoldsOnlyTheOpenSet) {
  const SweepBuild& build = kSweepBuilds[kQarvelBuild];
  ASSERT_EQ(SetUpSaving(build), NoError);
  ASSERT_EQ(BeginMeasurement(&m, build, Info({3, 2, 4}), Save(dir / "a.mat", true), false), NoError);
  size_t most = 0;
  for (uint32_t i = 0; i < 3000; ++i) {
    const uint8_t range = static_cast<uint8_t>(i % 7 == 6 ? 1 : i % 3);  // now and then a lost sub-sweep
    const std::string p = e::SweepData(range, 3, static_cast<uint16_t>(m.info.Points[range]), i);
    ASSERT_EQ(AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size())),
              AppendOutcome::Kept);
    size_t held = 0;
    for (const RecordNode* r = RecordHead; r != nullptr; r = r->next) ++held;
    most = std::max(most, held);
  }
  EXPECT_EQ(most, 2u);
  uint8_t content;
  EXPECT_GT(CompletedSets(&content), 600);
  EXPECT_EQ(content, 3);
  EndMeasurement(&m);
  EXPECT_EQ(SaveBuffer, nullptr);  // the measurement's, given back with it
}

// A journal that can take no more (here: the file-size limit) keeps what it has, is marked incomplete and says so
// once on stderr; the measurement goes on, and saves.
TEST_F(Journal, AFailedWriteLeavesAnIncompleteJournal) {
  const std::string said = dir / "stderr";
  const auto limited = [&] {  // in a process of its own
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
    dup2(open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    const SweepBuild& build = kSweepBuilds[kQarvelBuild];
    if (SetUpSaving(build) != NoError || BeginMeasurement(&m, build, Info({1000}), Save(dir / "t.mat", false), true))
      _exit(2);
    for (uint32_t i = 1; i <= 60; ++i) {  // some 240 kB of journal
      const std::string p = e::SweepData(0, 3, 1000, i);
      AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size()));
      usleep(1000);
    }
    FinishJournal();
    WriteFileBytes(dir / "copy.journal", ReadFileBytes(dir / "t.mat.journal"));
    _exit(SaveMeasurement(&m, m.saveData, "/dev/null") == NoError ? 0 : 3);
  };
  EXPECT_EXIT(limited(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFileBytes(said), "\r\nThe journal " + dir / "t.mat.journal" +
                                     " takes no more records: File too large. The measurement goes on in memory.");
  EXPECT_EQ(Recover(dir / "copy.journal", "recovered.mat"), RecoveryResult::Saved);
  EXPECT_TRUE(report.incomplete);
  EXPECT_GT(report.records, 5u);
  EXPECT_LT(report.records, 25u);
}

TEST(JournalFormat, EntriesAtTheirLimitAndTimes) {
  // A record's body is its payload, after its arrival time from version 2 on; a stamp is 8 bytes.
  const struct { uint32_t version; uint8_t type; uint32_t length; bool ok; } entries[] = {
      {1, kJournalRecord, kJournalMaxPayload, true},      {1, kJournalRecord, kJournalMaxPayload + 1, false},
      {2, kJournalRecord, kJournalMaxBody, true},         {2, kJournalRecord, kJournalMaxBody + 1, false},
      {2, kJournalRecord, kJournalArrivalBytes, true},    {2, kJournalRecord, kJournalArrivalBytes - 1, false},
      {1, kJournalRecord, 0, true},                       {2, kJournalStamp, 8, true},
      {2, kJournalStamp, 9, false},                       {1, kJournalStamp, 7, false}};
  for (const auto& c : entries) {
    std::string entry(kJournalEntryOverhead + c.length, '\x5a');
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&entry[0]);
    const uint32_t check = FrameJournalEntry(c.type, bytes + 5, c.length, bytes);
    std::memcpy(bytes + 5 + c.length, &check, 4);
    JournalEntry parsed{};
    SCOPED_TRACE(std::to_string(c.version) + " " + std::to_string(c.type) + " " + std::to_string(c.length));
    ASSERT_EQ(ParseJournalEntry(bytes, entry.size(), c.version, &parsed),
              c.ok ? JournalParse::Ok : JournalParse::Damaged);
    if (!c.ok || c.type != kJournalRecord) continue;
    const uint32_t timed = c.version == 2 ? kJournalArrivalBytes : 0;
    EXPECT_EQ(parsed.payload, bytes + 5 + timed);
    EXPECT_EQ(parsed.payloadLength, c.length - timed);
    EXPECT_EQ(parsed.arrival, timed != 0 ? 0x5a5a5a5a5a5a5a5a : 0);
  }
  // Times as recovery prints them, and as ISO 8601 to the millisecond.
  const struct { int64_t time; const char* text; const char* iso; } times[] = {
      {0, "1601-01-01 00:00:00 UTC", "1601-01-01T00:00:00.000Z"},
      {116444736000000000, "1970-01-01 00:00:00 UTC", "1970-01-01T00:00:00.000Z"},
      {116444735999990000, "1969-12-31 23:59:59 UTC", "1969-12-31T23:59:59.999Z"},
      {134411223091234567, "2026-12-07 13:05:09 UTC", "2026-12-07T13:05:09.123Z"},
      {126227808000000000, "2001-01-01 00:00:00 UTC", "2001-01-01T00:00:00.000Z"},
      {130881312009999999, "2015-10-01 00:00:00 UTC", "2015-10-01T00:00:00.999Z"},
      {2650467743999999999, "9999-12-31 23:59:59 UTC", "9999-12-31T23:59:59.999Z"},
      {-1, "an unknown time", ""}, {2650467744000000000, "an unknown time", ""}};
  for (const auto& t : times) {
    char text[40], iso[40] = "unset";
    EXPECT_EQ(FormatSystemTime(t.time, text, sizeof text), t.iso[0] != '\0') << t.time;
    EXPECT_STREQ(text, t.text);
    EXPECT_EQ(FormatIsoTime(t.time, iso, sizeof iso), t.iso[0] != '\0') << t.time;
    EXPECT_STREQ(iso, t.iso);
  }
}

}  // namespace

namespace {

// A journal whose records cannot all be taken: memory runs out (the store may hold 2 MiB, eight records of these,
// and no record after the first that finds none is taken), or the store refuses a record whose check holds (no
// points, a range not configured). Recovery writes nothing and keeps the journal; asked for the part it can take,
// it writes the file of the records taken and keeps the journal all the same. Without the refused record that file
// is the run's, byte for byte.
TEST_F(Journal, RecoveryThatCannotTakeEveryRecord) {
  const auto records = Records(2, 3);
  Measure(kSweepBuilds[kQarvelBuild], {16000, 16000}, false, records);
  const std::string whole = ReadFileBytes(dir / "copy.journal"), direct = ReadFileBytes(dir / "direct.mat");
  const size_t second = RecordEntries(whole).at(1).second;
  const auto inserted = [&](const std::string& record) {
    return whole.substr(0, second) + Entry(kJournalRecord, e::U64(1) + record) + whole.substr(second);
  };
  using A = AppendOutcome;
  const uint64_t n = records.size();
  const struct { const char* what; std::string journal; size_t limit; uint64_t read, leftOut; A why; int32_t sets; }
      cases[] = {
          {"out of memory", whole, kHugePageBytes, n, n - 8, A::NoMemory, 2},
          {"no points", inserted(e::SweepData(0, 3, 0, 9)), kStoreMemoryUnlimited, n + 1, 1, A::Refused, 6},
          {"range not configured", inserted(e::SweepData(2, 3, 16000, 9)), kStoreMemoryUnlimited, n + 1, 1,
           A::Malformed, 6},
      };
  for (const auto& c : cases) {
    for (const bool partial : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (partial ? ", partial" : ""));
      ASSERT_TRUE(WriteFileBytes(dir / "j.journal", c.journal));
      StoreMemoryLimit = c.limit;
      EXPECT_EQ(Recover(dir / "j.journal", "out.mat", false, partial),
                partial ? RecoveryResult::Partial : RecoveryResult::LeftOut);
      StoreMemoryLimit = kStoreMemoryUnlimited;
      EXPECT_EQ(report.records, c.read);
      EXPECT_EQ(report.leftOut, c.leftOut);
      EXPECT_EQ(report.firstLeftOut, c.why == A::NoMemory ? 9u : 3u);
      EXPECT_EQ(report.leftOutWhy, c.why);
      EXPECT_FALSE(report.removed);
      EXPECT_TRUE(ReadFileBytes(dir / "j.journal") == c.journal);
      EXPECT_EQ(FileExists(dir / "out.mat"), partial);
      if (partial) {
        EXPECT_EQ(report.sets, c.sets);
        EXPECT_EQ(ReadFileBytes(dir / "out.mat") == direct, c.why != A::NoMemory);
        std::remove((dir / "out.mat").c_str());
      }
    }
  }
  // Where memory runs out before a set is complete, --partial has nothing to write either.
  StoreMemoryLimit = 0;
  EXPECT_EQ(Recover(dir / "j.journal", "out.mat", false, true), RecoveryResult::LeftOut);
  EXPECT_EQ(report.leftOut, report.records);
  EXPECT_FALSE(FileExists(dir / "out.mat"));
}

// The description is checked where it is decoded: a header whose check holds but whose contents no run writes is
// refused. The limits themselves are taken.
TEST(JournalFormat, DescriptionOutsideWhatARunWritesIsRefused) {
  JournalHeader valid{};
  valid.build = kVexaBuild;
  valid.info = Info({2, 16000});
  std::strcpy(valid.saveData.OriginalFilename, "t.mat");
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  using Spoil = std::function<void(JournalHeader&)>;
  const auto text = [](char* field, size_t size) { std::memset(field, 'x', size); };
  // The field refused, or "" for a description a run writes.
  const struct { const char* what; Spoil spoil; const char* field; } cases[] = {
      {"as a run writes it", [](JournalHeader&) {}, ""},
      {"eight ranges", [](JournalHeader& h) { h.info = Info({2, 3, 4, 5, 6, 7, 8, 16000}); }, ""},
      {"largest words", [](JournalHeader& h) { h.info.StartWord[1] = h.info.StepWord[0] = 4294967295.0; }, ""},
      {"zero words", [](JournalHeader& h) { h.info.StartWord[0] = h.info.StepWord[1] = 0.0; }, ""},
      {"points beyond the ranges", [](JournalHeader& h) { h.info.Points[7] = 16000; }, ""},
      {"longest texts", [&](JournalHeader& h) { text(h.saveData.OriginalFilename, 256), text(h.info.PresetName, 83); },
       ""},
      {"a build that does not exist", [](JournalHeader& h) { h.build = kSweepBuildCount; }, "build"},
      {"no ranges", [](JournalHeader& h) { h.info.NumberOfRanges = 0; }, "NumberOfRanges"},
      {"nine ranges", [](JournalHeader& h) { h.info.NumberOfRanges = 9; }, "NumberOfRanges"},
      {"INT_MIN ranges", [](JournalHeader& h) { h.info.NumberOfRanges = INT_MIN; }, "NumberOfRanges"},
      {"one point", [](JournalHeader& h) { h.info.Points[0] = 1; }, "Points"},
      {"16001 points", [](JournalHeader& h) { h.info.Points[1] = 16001; }, "Points"},
      {"too many points beyond", [](JournalHeader& h) { h.info.Points[2] = 16001; }, "Points"},
      {"negative points beyond", [](JournalHeader& h) { h.info.Points[7] = -1; }, "Points"},
      {"start word 1e300", [](JournalHeader& h) { h.info.StartWord[0] = 1e300; }, "StartWord"},
      {"start word NaN", [&](JournalHeader& h) { h.info.StartWord[1] = nan; }, "StartWord"},
      {"step word infinite", [&](JournalHeader& h) { h.info.StepWord[0] = inf; }, "StepWord"},
      {"step word 2^32", [](JournalHeader& h) { h.info.StepWord[1] = 4294967296.0; }, "StepWord"},
      {"step word negative", [](JournalHeader& h) { h.info.StepWord[0] = -1.0; }, "StepWord"},
      {"step word a fraction", [](JournalHeader& h) { h.info.StepWord[0] += 0.5; }, "StepWord"},
      {"word beyond the ranges", [&](JournalHeader& h) { h.info.StartWord[5] = nan; }, "StartWord"},
      {"name unterminated", [&](JournalHeader& h) { text(h.saveData.OriginalFilename, 257); }, "OriginalFilename"},
      {"name empty", [](JournalHeader& h) { h.saveData.OriginalFilename[0] = '\0'; }, "OriginalFilename"},
      {"annotation 1 unterminated", [&](JournalHeader& h) { text(h.saveData.Annotation1, 81); }, "Annotation1"},
      {"annotation 2 unterminated", [&](JournalHeader& h) { text(h.saveData.Annotation2, 81); }, "Annotation2"},
      {"preset unterminated", [&](JournalHeader& h) { text(h.info.PresetName, 84); }, "PresetName"},
  };
  for (const auto& c : cases) {
    JournalHeader h = valid;
    c.spoil(h);
    uint8_t bytes[kJournalHeaderBytes];
    EncodeJournalHeader(h, bytes);
    JournalHeader decoded{};
    uint32_t version, flags;
    size_t headerBytes;
    const char* field = "unset";
    const bool ok = c.field[0] == '\0';
    EXPECT_EQ(DecodeJournalHeader(bytes, sizeof bytes, &decoded, &version, &flags, &headerBytes, &field),
              ok ? JournalParse::Ok : JournalParse::Invalid)
        << c.what;
    EXPECT_STREQ(field, c.field) << c.what;
    EXPECT_EQ(decoded.info.NumberOfRanges, ok ? h.info.NumberOfRanges : 0) << c.what;  // filled only when taken
  }
}

// A clock that was wrong gives times that cannot be shown: they are unknown, never a year beyond 9999, and so is
// the time between two of them, or between a time and an earlier one.
TEST(JournalFormat, ImpossibleTimesAreUnknown) {
  constexpr int64_t kLast = 2650467743999999999;  // 9999-12-31 23:59:59.9999999 UTC
  for (const int64_t time : {INT64_MIN, int64_t{-1}, kLast + 1, INT64_MAX}) {
    char text[40];
    EXPECT_FALSE(FormatSystemTime(time, text, sizeof text)) << time;
    EXPECT_STREQ(text, "an unknown time") << time;
  }
  char text[40];
  EXPECT_TRUE(FormatSystemTime(kLast, text, sizeof text));
  EXPECT_STREQ(text, "9999-12-31 23:59:59 UTC");
  const struct { int64_t from, to, ticks; bool known; } spans[] = {
      {0, kLast, kLast, true}, {5, 5, 0, true}, {5, 4, 0, false}, {INT64_MIN, 5, 0, false},
      {-1, 5, 0, false}, {5, kLast + 1, 0, false}, {kLast + 1, INT64_MAX, 0, false}};
  for (const auto& s : spans) {
    int64_t ticks = -7;
    EXPECT_EQ(TimeBetween(s.from, s.to, &ticks), s.known) << s.from << " " << s.to;
    EXPECT_EQ(ticks, s.ticks) << s.from << " " << s.to;
  }
}

// -o naming the journal itself, by its name, a symbolic link or a hard link, is refused before anything is
// written or removed.
TEST_F(Journal, OutputThatIsTheJournalIsRefused) {
  Measure(kSweepBuilds[kQarvelBuild], {11}, false, Records(1, 3));
  const std::string journal = ReadFileBytes(dir / "copy.journal");
  ASSERT_EQ(symlink("copy.journal", (dir / "symbolic").c_str()), 0);
  ASSERT_EQ(link((dir / "copy.journal").c_str(), (dir / "hard").c_str()), 0);
  for (const char* output : {"copy.journal", "symbolic", "hard"}) {
    EXPECT_EQ(Recover(dir / "copy.journal", output), RecoveryResult::OutputIsJournal) << output;
    EXPECT_TRUE(ReadFileBytes(dir / "copy.journal") == journal) << output;
  }
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"copy.journal", "direct.mat", "hard", "symbolic"}));
}

// A FIFO (or anything else that is not a regular file) where the journal would go: no journal, and at once; a
// FIFO given to recovery is refused at once. A process of its own, which an alarm ends if it blocks.
TEST_F(Journal, AFifoIsNoJournal) {
  ASSERT_EQ(mkfifo((dir / "t.mat.journal").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((dir / "d.mat.journal").c_str(), 0755), 0);
  const std::string said = dir / "stderr";
  const auto run = [&] {
    alarm(10);
    dup2(open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    const SweepBuild& build = kSweepBuilds[kQarvelBuild];
    for (const char* target : {"t.mat", "d.mat"}) {
      if (SetUpSaving(build) != NoError || BeginMeasurement(&m, build, Info({5}), Save(dir / target, false), true))
        _exit(2);
      if (m.journaled || JournalOpen()) _exit(3);
      EndMeasurement(&m);
    }
    _exit(Recover(dir / "t.mat.journal", "out.mat") == RecoveryResult::NotAFile &&
                  Recover(dir / "d.mat.journal", "out.mat") == RecoveryResult::NotAFile
              ? 0
              : 4);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
  std::string expected;
  for (const char* name : {"t.mat.journal", "d.mat.journal"}) {
    expected += "\r\nNo journal for this run: " + dir / name +
                ": it is not a regular file. The measurement is kept in memory only until it is saved.";
  }
  EXPECT_EQ(ReadFileBytes(said), expected);
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"d.mat.journal", "stderr", "t.mat.journal"}));
}

// A run whose target another live run journals (any journal of it: the test holds the lock) takes the next free
// name: t.2.mat, or name.2 without an extension, passing over names that exist or have a journal. A journal that no
// run holds leaves the target as it is. The file recovered from the new journal is the file saved.
TEST_F(Journal, ASecondRunOnALiveTargetTakesTheNextFreeName) {
  using Names = std::vector<std::string>;
  const struct { uint8_t build; std::string target; Names live, dead, files; std::string saved, journal; } cases[] = {
      {kQarvelBuild, "t.mat", {"t.mat.journal"}, {}, {}, "t.2.mat", "t.2.mat.journal"},
      {kQarvelBuild, "t.mat", {"t.mat.3.journal"}, {}, {}, "t.2.mat", "t.2.mat.journal"},
      {kQarvelBuild, "t.mat", {"t.mat.journal"}, {"t.3.mat.journal"}, {"t.2.mat"}, "t.4.mat", "t.4.mat.journal"},
      {kQarvelBuild, "d.x/run", {"d.x/run.journal"}, {}, {}, "d.x/run.2", "d.x/run.2.journal"},
      {kVexaBuild, "1.mat", {"1.mat.2.journal"}, {"1.mat.journal"}, {}, "1.2.mat", "1.2.mat.journal"},
      {kQarvelBuild, "t.mat", {}, {"t.mat.journal"}, {"t.2.mat"}, "t.mat", "t.mat.2.journal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " saved as " + c.saved);
    const TempDir d("journal-target");
    mkdir((d / "d.x").c_str(), 0755);
    std::vector<int> locks;
    for (const auto& name : c.live) {
      locks.push_back(open((d / name).c_str(), O_RDWR | O_CREAT, 0644));
      ASSERT_EQ(flock(locks.back(), LOCK_EX | LOCK_NB), 0);
    }
    for (const auto& name : c.dead) ASSERT_TRUE(WriteFileBytes(d / name, "dead"));
    for (const auto& name : c.files) ASSERT_TRUE(WriteFileBytes(d / name, "earlier"));
    const SweepBuild& build = kSweepBuilds[c.build];
    ASSERT_EQ(SetUpSaving(build), NoError);
    testing::internal::CaptureStderr();
    ASSERT_EQ(BeginMeasurement(&m, build, Info({7}), Save(d / c.target, false), true), NoError);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(m.saveData.OriginalFilename, d / c.saved);
    EXPECT_EQ(JournalPath(), d / c.journal);
    if (c.live.empty()) {
      EXPECT_EQ(said.find("Another run"), std::string::npos) << said;
    } else {
      EXPECT_EQ(said, "\r\nAnother run is measuring into " + d / c.target + "; this run saves to " + d / c.saved +
                          " instead, journaled in " + d / c.journal + ".");
    }
    for (uint32_t i = 1; i <= 3; ++i) {
      const std::string p = e::SweepData(0, 3, 7, i);
      AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size()));
    }
    ASSERT_EQ(SaveMeasurement(&m, m.saveData, m.saveData.OriginalFilename), NoError);
    ASSERT_TRUE(WriteFileBytes(dir / "copy.journal", ReadFileBytes(d / c.journal)));
    EndMeasurement(&m);
    for (const int fd : locks) close(fd);
    // Recovered beside the journal, under the last part of the name saved under.
    const std::string recovered = dir / c.saved.substr(c.saved.rfind('/') + 1);
    EXPECT_EQ(Recover(dir / "copy.journal"), RecoveryResult::Saved);
    EXPECT_TRUE(ReadFileBytes(recovered) == ReadFileBytes(d / c.saved));
    std::remove(recovered.c_str());
    for (const auto& name : c.files) EXPECT_EQ(ReadFileBytes(d / name), "earlier") << name;
  }
}

}  // namespace
