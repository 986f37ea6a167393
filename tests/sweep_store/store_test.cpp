// The record store: conversion of SWEEPDATA payloads, refusals, the walk over
// complete sweep sets, the size limit and the global averager.
#include <cmath>

#include "tests/sweep_store/store_fixture.h"

namespace {

using RecordStore = StoreTest;

TEST_F(RecordStore, ConvertsEachContentKind) {
  const std::vector<TestRange> ranges = {{10, 20, 3}};
  const SweepInfo info = MakeInfo(ranges, 2);
  const FreqEntry freq = LastFreq(ranges);

  ASSERT_EQ(Append(SweepPayload(0, 1, 3, 7, 5, {28800, 0, 65535}), freq, info), NoError);
  ASSERT_EQ(Append(SweepPayload(0, 2, 3, 8, 5, {0, 65535, 29760}), freq, info), NoError);
  ASSERT_EQ(Append(SweepPayload(0, 3, 3, 9, 5, {28800, 29760, 0, 0, 65535, 65535}), freq, info),
            NoError);
  ASSERT_EQ(StoredRecords(), 3u);

  const RecordNode* phaseOnly = RecordHead;
  EXPECT_EQ(phaseOnly->valueCount, 3u);
  EXPECT_EQ(phaseOnly->magnitude, nullptr);
  ASSERT_NE(phaseOnly->phase, nullptr);
  EXPECT_EQ(phaseOnly->phase[0], 0.0);
  EXPECT_EQ(phaseOnly->phase[1], -90.0);
  EXPECT_EQ(phaseOnly->phase[2], 114.796875);
  // Node and values are one block: the values follow the node.
  EXPECT_EQ(reinterpret_cast<const void*>(phaseOnly->phase),
            reinterpret_cast<const void*>(phaseOnly + 1));

  const RecordNode* magnitudeOnly = phaseOnly->next;
  EXPECT_EQ(magnitudeOnly->phase, nullptr);
  ASSERT_EQ(reinterpret_cast<const void*>(magnitudeOnly->magnitude),
            reinterpret_cast<const void*>(magnitudeOnly + 1));
  EXPECT_EQ(magnitudeOnly->magnitude[0], -30.0);
  EXPECT_DOUBLE_EQ(magnitudeOnly->magnitude[1], 38.265625);
  EXPECT_EQ(magnitudeOnly->magnitude[2], 1.0);

  const RecordNode* both = magnitudeOnly->next;
  ASSERT_EQ(both->magnitude, both->phase + 3);
  EXPECT_EQ(both->phase[0], 0.0);
  EXPECT_EQ(both->magnitude[0], 1.0);
  EXPECT_EQ(both->phase[1], -90.0);
  EXPECT_EQ(both->magnitude[1], -30.0);
  EXPECT_EQ(both->phase[2], 114.796875);
  EXPECT_EQ(RecordTail, both);
  EXPECT_EQ(both->next, nullptr);
  // The header is kept verbatim, opaque bytes included.
  const std::vector<uint8_t> payload = SweepPayload(0, 3, 3, 9, 5, {});
  EXPECT_EQ(0, std::memcmp(both->header, payload.data(), kSweepHeaderBytes));
}

TEST_F(RecordStore, RefusesBadPayloadsAndKeepsTheStore) {
  const std::vector<TestRange> ranges = {{10, 20, 4}, {30, 40, 6}};
  const SweepInfo info = MakeInfo(ranges, 2);
  const FreqEntry freq = LastFreq(ranges);
  FreqEntry flat = freq;
  flat.stepWord = 0;
  ASSERT_EQ(Append(SweepPayload(0, 3, 4, 1, 0, RampWords(3, 4, 1, 2)), freq, info), NoError);

  std::vector<uint8_t> good = SweepPayload(1, 3, 6, 2, 0, RampWords(3, 6, 1, 2));
  std::vector<uint8_t> shortByOne(good.begin(), good.end() - 1);
  std::vector<uint8_t> longByOne = good;
  longByOne.push_back(0);
  std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 20);
  const struct {
    const char* what;
    std::vector<uint8_t> payload;
    FreqEntry freq;
    bool malformed;  // dropped and counted, the measurement goes on
  } cases[] = {
      {"no points", SweepPayload(1, 3, 0, 2, 0, {}), freq, false},
      {"no content bit", SweepPayload(1, 0, 6, 2, 0, RampWords(3, 6, 1, 2)), freq, false},
      {"only an unknown content bit", SweepPayload(1, 4, 6, 2, 0, {}), freq, false},
      {"zero step word", good, flat, false},
      {"shorter than its header", headerOnly, freq, true},
      {"one byte short", shortByOne, freq, true},
      {"one byte long", longByOne, freq, true},
      {"range not configured", SweepPayload(2, 3, 6, 2, 0, RampWords(3, 6, 1, 2)), freq, true},
      {"points of another range", SweepPayload(1, 3, 4, 2, 0, RampWords(3, 4, 1, 2)), freq, true},
      {"content bits disagree with length", SweepPayload(1, 1, 6, 2, 0, RampWords(3, 6, 1, 2)),
       freq, true},
  };
  for (const auto& c : cases) {
    bool malformed = !c.malformed;
    const int32_t status = Append(c.payload, c.freq, info, ResultFileFits, &malformed);
    EXPECT_EQ(status, InvalidValue) << c.what;
    EXPECT_EQ(malformed, c.malformed) << c.what;
    EXPECT_EQ(StoredRecords(), 1u) << c.what;
  }
  EXPECT_EQ(AppendRecord(nullptr, 0, freq, info, ResultFileFits, nullptr), InvalidValue);

  bool malformed = true;
  ASSERT_EQ(Append(good, freq, info, ResultFileFits, &malformed), NoError);
  EXPECT_FALSE(malformed);
  EXPECT_EQ(StoredRecords(), 2u);
  EXPECT_EQ(CountCompleteSweepSets(2), 1);
}

TEST_F(RecordStore, WalksCompleteSets) {
  const struct {
    int32_t nsub;
    std::vector<uint8_t> indices;
    int firstSet;  // position of the first complete set, -1 for none
    int32_t sets;
  } cases[] = {
      {2, {1, 0, 1, 0, 1, 0}, 1, 2},
      {3, {0, 1, 0, 1, 2}, 2, 1},
      {1, {0, 0, 0, 0}, 0, 4},
      {2, {0, 0, 1, 1, 0, 1}, 1, 2},
      {3, {0, 1, 2, 0, 2, 0, 1, 2}, 0, 2},
      {2, {1, 1, 0}, -1, 0},
  };
  for (const auto& c : cases) {
    FreeRecords();
    std::vector<TestRange> ranges(static_cast<size_t>(c.nsub), TestRange{10, 20, 2});
    const SweepInfo info = MakeInfo(ranges, 0);
    for (size_t i = 0; i < c.indices.size(); ++i) {
      ASSERT_EQ(Append(SweepPayload(c.indices[i], 1, 2, static_cast<uint32_t>(i), 0, {1, 2}),
                       LastFreq(ranges), info),
                NoError);
    }
    RecordNode* first = FindCompleteSweepSet(RecordHead, c.nsub);
    int position = -1;
    for (RecordNode* p = RecordHead; first != nullptr && p != nullptr; p = p->next) {
      ++position;
      if (p == first) break;
    }
    EXPECT_EQ(position, c.firstSet) << "nsub " << c.nsub;
    EXPECT_EQ(CountCompleteSweepSets(c.nsub), c.sets) << "nsub " << c.nsub;
    EXPECT_EQ(IsCompleteSweepSet(RecordHead, 0), InvalidValue);
    EXPECT_EQ(IsCompleteSweepSet(RecordHead, 9), InvalidValue);
  }
}

TEST_F(RecordStore, NoCompleteSetWritesNoFile) {
  const std::vector<TestRange> ranges = {{10, 20, 2}, {20, 30, 2}};
  const SweepInfo info = MakeInfo(ranges, 0);
  ASSERT_EQ(Append(SweepPayload(1, 1, 2, 0, 0, {1, 2}), LastFreq(ranges), info), NoError);
  ASSERT_EQ(Append(SweepPayload(0, 1, 2, 0, 0, {1, 2}), LastFreq(ranges), info), NoError);

  const std::string absent = Path("absent.mat");
  EXPECT_EQ(WriteResultFile(info, MakeSaveData(absent, false)), NoData);
  EXPECT_FALSE(FileExists(absent));

  const std::string existing = Path("existing.mat");
  ASSERT_TRUE(WriteFileBytes(existing, "earlier measurement"));
  EXPECT_EQ(WriteResultFile(info, MakeSaveData(existing, false)), NoData);
  EXPECT_EQ(ReadFileBytes(existing), "earlier measurement");

  FreeRecords();
  EXPECT_EQ(WriteResultFile(info, MakeSaveData(existing, false)), NoData);
  EXPECT_EQ(ReadFileBytes(existing), "earlier measurement");
}

// Keeping a record must never take the result file past the limit; the
// limit is reached with the longest file name the command line allows.
TEST_F(RecordStore, SizeLimitRefusesTheRecordThatWouldPassIt) {
  const std::vector<TestRange> ranges = {{10, 20, 100}, {20, 30, 50}};
  const SweepInfo info = MakeInfo(ranges, 2);
  const FreqEntry freq = LastFreq(ranges);
  const std::string longName = [&] {
    std::string name = dir_ + "/";
    while (name.size() < 256 - 6) name += "./";
    name.resize(256 - 6, '/');
    return name + "lm.mat";
  }();
  ASSERT_EQ(longName.size(), 256u);
  SaveData longest = MakeSaveData(longName, false);
  std::memset(longest.Annotation1, 'a', sizeof longest.Annotation1 - 1);
  std::memset(longest.Annotation2, 'b', sizeof longest.Annotation2 - 1);
  ResultFileLimit = static_cast<int64_t>(ResultFileBytes(info, longest, 3, 3));

  for (uint32_t set = 0; set < 3; ++set) {
    ASSERT_EQ(Append(SweepPayload(0, 3, 100, set, 9, RampWords(3, 100, 1, 2)), freq, info), 0);
    ASSERT_EQ(Append(SweepPayload(1, 3, 50, set, 9, RampWords(3, 50, 1, 2)), freq, info), 0);
  }
  // A record that completes no set adds nothing to the file.
  ASSERT_EQ(Append(SweepPayload(0, 3, 100, 3, 9, RampWords(3, 100, 1, 2)), freq, info), 0);
  bool malformed = true;
  const int32_t refused = Append(SweepPayload(1, 3, 50, 3, 9, RampWords(3, 50, 1, 2)), freq, info,
                                 ResultFileFits, &malformed);
  EXPECT_EQ(refused, OutOfMemory);
  EXPECT_FALSE(malformed);
  EXPECT_EQ(StoredRecords(), 7u);

  ASSERT_EQ(WriteResultFile(info, longest), NoError);
  EXPECT_EQ(GetBytesWritten(), static_cast<uint64_t>(ResultFileLimit));
  EXPECT_EQ(ReadFileBytes(longName).size(), static_cast<size_t>(ResultFileLimit));

  // One byte less and the third set is already refused.
  FreeRecords();
  ResultFileLimit -= 1;
  for (uint32_t set = 0; set < 3; ++set) {
    ASSERT_EQ(Append(SweepPayload(0, 3, 100, set, 9, RampWords(3, 100, 1, 2)), freq, info), 0);
    const int32_t status =
        Append(SweepPayload(1, 3, 50, set, 9, RampWords(3, 50, 1, 2)), freq, info);
    EXPECT_EQ(status, set < 2 ? NoError : OutOfMemory) << "set " << set;
  }
  EXPECT_EQ(CountCompleteSweepSets(2), 2);

  // Saved averaged (-m), the file holds one set whatever the store holds:
  // only memory bounds it.
  FreeRecords();
  for (uint32_t set = 0; set < 5; ++set) {
    ASSERT_EQ(Append(SweepPayload(0, 3, 100, set, 9, RampWords(3, 100, 1, 2)), freq, info, nullptr),
              NoError);
    ASSERT_EQ(Append(SweepPayload(1, 3, 50, set, 9, RampWords(3, 50, 1, 2)), freq, info, nullptr),
              NoError);
  }
  EXPECT_EQ(CountCompleteSweepSets(2), 5);
}

TEST_F(RecordStore, AveragerSumsSetsAndKeepsPaddingNaN) {
  const std::vector<TestRange> ranges = {{10, 20, 2}, {20, 30, 3}};
  const SweepInfo info = MakeInfo(ranges, 2);
  const FreqEntry freq = LastFreq(ranges);
  // Phase words 32000 and 35200 are 10.0 and 20.0; magnitude 38400 and
  // 48000 are 10.0 and 20.0.
  for (uint16_t phase : {uint16_t{32000}, uint16_t{35200}}) {
    const uint16_t magnitude = phase == 32000 ? 38400 : 48000;
    ASSERT_EQ(Append(SweepPayload(0, 3, 2, 0, 0, {phase, magnitude, phase, magnitude}), freq,
                     info), NoError);
    ASSERT_EQ(Append(SweepPayload(1, 3, 3, 0, 0,
                                  {phase, magnitude, phase, magnitude, phase, magnitude}),
                     freq, info), NoError);
  }
  ASSERT_EQ(InitAverager(), NoError);
  for (int i = 0; i < kMaxSweepValues; ++i) ASSERT_EQ(PhaseSum[i], 0.0);
  for (int i = 0; i < 3 * 2; ++i) SaveBuffer[i] = 99.0;  // stale scratch is not added
  for (RecordNode* set = FindCompleteSweepSet(RecordHead, 2); set != nullptr;
       set = FindCompleteSweepSet(AfterSweepSet(set, 2), 2)) {
    ASSERT_EQ(AccumulateSweepSet(PhaseSum, MagnitudeSum, set, 2, info.Points, 3, SaveBuffer,
                                 true, true), NoError);
  }
  FinishAverage(2);
  for (int i = 0; i < 6; ++i) {
    if (i == 2) {  // row 2 of the 2-point range is padding
      EXPECT_TRUE(std::isnan(PhaseSum[i]));
      EXPECT_TRUE(std::isnan(MagnitudeSum[i]));
    } else {
      EXPECT_EQ(PhaseSum[i], 15.0) << i;
      EXPECT_DOUBLE_EQ(MagnitudeSum[i], 15.0) << i;
    }
  }
  EXPECT_EQ(PhaseSum[6], 0.0);  // beyond nsub x maxPoints nothing is added
  EXPECT_EQ(AccumulateSweepSet(PhaseSum, MagnitudeSum, RecordHead, 8, info.Points, 16001,
                               SaveBuffer, true, true), OutOfMemory);
  FreeAverager();
  EXPECT_EQ(PhaseSum, nullptr);
  EXPECT_EQ(MagnitudeSum, nullptr);
}

TEST_F(RecordStore, RangeColumnNeverReadsPastStoredValues) {
  const double values[2] = {1.5, 2.5};
  double column[5] = {7, 7, 7, 7, 7};
  FillRangeColumn(column, values, 2, 4, 5);  // fewer stored than configured
  EXPECT_EQ(column[0], 1.5);
  EXPECT_EQ(column[1], 2.5);
  for (int i = 2; i < 5; ++i) EXPECT_EQ(BitsOf(column[i]), 0x7FFFFFFFFFFFFFFFull) << i;
  FillRangeColumn(column, nullptr, 0, 4, 5);  // the record lacks the quantity
  for (int i = 0; i < 5; ++i) EXPECT_EQ(BitsOf(column[i]), 0x7FFFFFFFFFFFFFFFull) << i;
}

}  // namespace
