// The journal and its recovery in process, for both builds in one program: the recovered file is the file the
// run saves, a journal cut or damaged anywhere gives back every whole record before, what recovery refuses, runs
// without a journal, a failed write, and an averaged store that holds no more than the open set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "matfile/matfile.h"
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
       ParseJournalEntry(bytes + at, journal.size() - at, &entry) == JournalParse::Ok; at += entry.entryBytes) {
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
  RecoveryResult Recover(const std::string& journal, const char* output = nullptr, bool snapshot = false) {
    const std::string out = output != nullptr ? dir / output : "";
    return ::Recover({journal.c_str(), output != nullptr ? out.c_str() : nullptr, snapshot}, &report);
  }
  Measurement m{};
  RecoveryReport report{};
  TempDir dir{"journal"};
};

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
  for (const uint32_t length : {kJournalMaxBody, kJournalMaxBody + 1}) {
    std::string entry(kJournalEntryOverhead + length, '\x5a');
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&entry[0]);
    const uint32_t check = FrameJournalEntry(kJournalRecord, bytes + 5, length, bytes);
    std::memcpy(bytes + 5 + length, &check, 4);
    JournalEntry parsed;
    EXPECT_EQ(ParseJournalEntry(bytes, entry.size(), &parsed),
              length == kJournalMaxBody ? JournalParse::Ok : JournalParse::Damaged);
  }
  const struct { int64_t time; const char* text; } times[] = {
      {0, "1601-01-01 00:00:00 UTC"}, {116444736000000000, "1970-01-01 00:00:00 UTC"},
      {116444735990000000, "1969-12-31 23:59:59 UTC"}, {134411223090000000, "2026-12-07 13:05:09 UTC"}};
  for (const auto& t : times) {
    char text[40];
    FormatSystemTime(t.time, text, sizeof text);
    EXPECT_STREQ(text, t.text);
  }
}

}  // namespace
