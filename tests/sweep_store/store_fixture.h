// Shared pieces of the record store and result file tests: SWEEPDATA
// payloads, configurations, and a fixture that leaves the store empty.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "matfile/matfile.h"
#include "sweep/sweep.h"
#include "tests/support/legacy.h"

using namespace legacy;

// A SWEEPDATA payload: header fields, then `words` as they go on the wire
// (per point the phase word, then the magnitude word, for the present kinds).
inline std::vector<uint8_t> SweepPayload(uint8_t range, uint8_t content, uint16_t points,
                                         uint32_t sample, uint16_t ticks,
                                         const std::vector<uint16_t>& words) {
  std::vector<uint8_t> p(kSweepHeaderBytes, 0);
  p[1] = content;
  p[2] = range;
  for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<uint8_t>(sample >> (8 * i));
  for (int i = 7; i < 13; ++i) p[i] = static_cast<uint8_t>(0xA0 + i);  // opaque bytes
  p[13] = static_cast<uint8_t>(points);
  p[14] = static_cast<uint8_t>(points >> 8);
  for (int i = 15; i < 19; ++i) p[i] = static_cast<uint8_t>(0xB0 + i);
  p[19] = static_cast<uint8_t>(ticks);
  p[20] = static_cast<uint8_t>(ticks >> 8);
  for (uint16_t w : words) {
    p.push_back(static_cast<uint8_t>(w));
    p.push_back(static_cast<uint8_t>(w >> 8));
  }
  return p;
}

inline int Kinds(uint8_t content) { return (content & 1) + ((content >> 1) & 1); }

// Raw words of one record whose point i carries phase word phaseBase + i and
// magnitude word magnitudeBase + 3 i, for the kinds present.
inline std::vector<uint16_t> RampWords(uint8_t content, uint16_t points, uint16_t phaseBase,
                                       uint16_t magnitudeBase) {
  std::vector<uint16_t> w;
  for (uint16_t i = 0; i < points; ++i) {
    if (content & 1) w.push_back(static_cast<uint16_t>(phaseBase + i));
    if (content & 2) w.push_back(static_cast<uint16_t>(magnitudeBase + 3 * i));
  }
  return w;
}

// A configuration of ranges given as {start MHz, stop MHz, points}.
struct TestRange {
  double start;
  double stop;
  int32_t points;
};

inline SweepSet MakeSweepSet(const std::vector<TestRange>& ranges, int32_t sweepType) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = static_cast<int32_t>(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    s.StartFrequency[i] = ranges[i].start;
    s.StopFrequency[i] = ranges[i].stop;
    s.Points[i] = ranges[i].points;
  }
  s.SweepType = sweepType;
  return s;
}

inline SweepInfo MakeInfo(const std::vector<TestRange>& ranges, int32_t sweepType) {
  SweepInfo info;
  FillSweepInfo(MakeSweepSet(ranges, sweepType), &info);
  return info;
}

inline FreqEntry LastFreq(const std::vector<TestRange>& ranges) {
  return MakeFreqEntry(MakeSweepSet(ranges, 2), static_cast<int>(ranges.size()) - 1);
}

// Which program the store is built for: vexa has no global averager and
// SweepInfo fields of its own.
constexpr bool kVexa = SWEEP_SECOND_BUILD != 0;

// Appends under the bound of a file that is not globally averaged, unless
// another (or none) is given.
inline int32_t Append(const std::vector<uint8_t>& payload, const FreqEntry& freq,
                      const SweepInfo& info, FileFits fits = ResultFileFits,
                      bool* malformed = nullptr) {
  return AppendRecord(payload.data(), static_cast<uint32_t>(payload.size()), freq, info, fits,
                      malformed);
}

inline size_t StoredRecords() {
  size_t n = 0;
  for (RecordNode* p = RecordHead; p != nullptr; p = p->next) ++n;
  return n;
}

inline double Bits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline uint64_t BitsOf(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

inline SaveData MakeSaveData(const std::string& name, bool averaged) {
  SaveData save;
  std::memset(&save, 0, sizeof save);
  std::strncpy(save.OriginalFilename, name.c_str(), sizeof save.OriginalFilename - 1);
  save.IsGloballyAveraged = averaged ? 1 : 0;
  return save;
}

// Every test starts and ends with an empty store, the default size limit, a
// writer buffer and a save buffer.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreeRecords();
    ResultFileLimit = kResultFileLimit;
    ASSERT_EQ(AllocDiskBuffer(kDiskBufferBytes), NoError);
    ASSERT_EQ(AllocSaveBuffer(), NoError);
    dir_ = MakeTempDir("sweep_store");
  }
  void TearDown() override {
    FreeRecords();
    ResultFileLimit = kResultFileLimit;
    FreeSaveBuffer();
    FreeDiskBuffer();
    RemoveTree(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};
