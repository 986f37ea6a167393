// The sweep instrument's payloads and limits; the record store: payloads kept
// and refused, the file's size bound; result files (also averaged, -m) byte
// for byte against an independent encoding of their layout.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "matfile/matfile.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "sweep/store.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

namespace e = encode;
const SweepBuild& kBuild = kSweepBuilds[SWEEP_SECOND_BUILD];  // this suite's build
const bool kVexa = kBuild.id == kVexaBuild;  // no -m, SweepInfo fields of its own
using A = AppendOutcome;
const double kQ = 0.05820766091346741;           // Hz per frequency word
const double kT = 0.00019965;                    // s per time tick

struct TestRange { double start, stop; int32_t points; };

// These ranges; the rest as the defaults: 10 Hz, 20 us, averaging 1, both kinds, 0 dB.
SweepSet Ranges(const std::vector<TestRange>& ranges, int32_t sweepType = 2) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = static_cast<int32_t>(ranges.size()), s.SweepType = sweepType;
  for (size_t i = 0; i < ranges.size(); ++i)
    s.StartFrequency[i] = ranges[i].start, s.StopFrequency[i] = ranges[i].stop, s.Points[i] = ranges[i].points;
  return s;
}

class Store : public ::testing::Test {
 protected:
  // A new measurement of these ranges, every buffer as at the program's start.
  void Configure(const std::vector<TestRange>& ranges, int32_t sweepType = 2, bool averaged = false,
                 int64_t limit = kResultFileLimit) {
    ResultFileLimit = limit;
    ASSERT_EQ(SetUpSaving(kBuild), NoError);
    SweepInfo info;
    FillSweepInfo(Ranges(ranges, sweepType), &info);
    ASSERT_EQ(BeginMeasurement(&m, kBuild, info, Save("", averaged), false), NoError);
  }
  AppendOutcome Append(const std::string& p) {
    return AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size()));
  }
  // A record of range k, both kinds, of its configured points.
  AppendOutcome AppendRange(uint8_t k, uint32_t sample) {
    return Append(e::SweepData(k, 3, static_cast<uint16_t>(m.info.Points[k]), sample));
  }
  bool AppendSet(uint32_t sample) { return AppendRange(0, sample) == A::Kept && AppendRange(1, sample) == A::Kept; }
  int32_t SaveAs(const SaveData& save) { return SaveMeasurement(&m, save, save.OriginalFilename); }
  static SaveData Save(const std::string& name, bool averaged = false) {
    SaveData save{{}, {}, {}, averaged ? 1 : 0};
    std::strncpy(save.OriginalFilename, name.c_str(), sizeof save.OriginalFilename - 1);
    return save;
  }
  Measurement m{};
  TempDir dir{"sweep_store"};
};

TEST_F(Store, RefusesBadPayloadsAndKeepsTheStore) {
  Configure({{10, 20, 4}, {30, 40, 6}});
  m.info.Points[2] = 6;  // a slot beyond the configured ranges
  ASSERT_EQ(AppendRange(0, 1), A::Kept);
  const std::string good = e::SweepData(1, 3, 6, 2);
  const FreqEntry freq = m.freq, flat{freq.startWord, freq.points, 0};
  // A malformed packet is dropped and counted; the others stop the measurement.
  const struct { const char* what; std::string payload; FreqEntry freq; bool malformed; } cases[] = {
      {"no points", e::SweepData(1, 3, 0, 2), freq, false}, {"no content bit", e::SweepData(1, 0, 6, 2), freq, false},
      {"only an unknown content bit", e::SweepData(1, 4, 6, 2), freq, false}, {"zero step word", good, flat, false},
      {"shorter than its header", good.substr(0, 20), freq, true}, {"one byte long", good + '\0', freq, true},
      {"one byte short", good.substr(0, good.size() - 1), freq, true},
      {"range not configured", e::SweepData(2, 3, 6, 2), freq, true},
      {"points of another range", e::SweepData(1, 3, 4, 2), freq, true},
      {"content bits disagree with length", std::string(good).replace(1, 1, 1, '\1'), freq, true},
  };
  for (const auto& c : cases) {
    m.freq = c.freq;
    EXPECT_EQ(Append(c.payload), c.malformed ? A::Malformed : A::Refused) << c.what;
    EXPECT_EQ(RecordHead, RecordTail) << c.what;
  }
  m.freq = freq;
  ASSERT_EQ(Append(good), A::Kept);
  EXPECT_EQ(CountCompleteSweepSets(2), 1);
}

// Keeping a record never takes the result file past the limit, even with the
// longest file name and annotations the command line allows.
TEST_F(Store, SizeLimitRefusesTheRecordThatWouldPassIt) {
  Configure({{10, 20, 100}, {20, 30, 50}});
  const std::string name = dir / (std::string(251 - dir.path.size(), 'n') + ".mat");  // 256 characters
  SaveData longest = Save(name);
  std::memset(longest.Annotation1, 'a', sizeof longest.Annotation1 - 1);
  std::memset(longest.Annotation2, 'b', sizeof longest.Annotation2 - 1);
  const int64_t limit = static_cast<int64_t>(ResultFileBytes(kBuild, m.info, false, longest, 3, 3));
  Configure({{10, 20, 100}, {20, 30, 50}}, 2, false, limit);
  for (uint32_t set = 0; set < 3; ++set) ASSERT_TRUE(AppendSet(set));
  ASSERT_EQ(AppendRange(0, 3), A::Kept);  // completes no set: adds nothing to the file
  EXPECT_EQ(AppendRange(1, 3), A::FileFull);
  ASSERT_EQ(SaveAs(longest), NoError);
  EXPECT_EQ(ReadFileBytes(name).size(), static_cast<size_t>(limit));
  // One byte less and the third set is already refused; saved averaged (-m),
  // the file holds one set, and only memory bounds the store.
  for (bool averaged : {false, true}) {
    Configure({{10, 20, 100}, {20, 30, 50}}, 2, false, limit - 1);
    m.bound = ResultFileBound(kBuild, m.info, averaged);
    for (uint32_t set = 0; set < 5; ++set) {
      ASSERT_EQ(AppendRange(0, set), A::Kept);
      EXPECT_EQ(AppendRange(1, set), set < 2 || averaged ? A::Kept : A::FileFull) << "set " << set;
    }
    uint8_t content;
    EXPECT_EQ(CompletedSets(&content), averaged ? 5 : 2);
  }
}

// A record: its range, sample number, time in ticks, its ramps' first words.
struct TestRecord { uint8_t range; uint32_t sample; uint16_t ticks, phase, magnitude; };

// The start and step words sent, the content bits, the records, the position
// of each complete set's first record, and whether averaged (-m).
struct Scenario {
  const char* name; std::vector<TestRange> ranges; std::vector<uint32_t> startWords, stepWords; uint8_t content;
  std::vector<TestRecord> records; std::vector<size_t> sets; bool averaged;
};

std::string ExpectedFile(const Scenario& s, const std::string& fileName) {
  const int32_t nsub = static_cast<int32_t>(s.ranges.size()), sets = static_cast<int32_t>(s.sets.size());
  int32_t rows = 0;
  std::vector<double> points, starts, stops;
  for (const TestRange& r : s.ranges) {
    rows = std::max(rows, r.points);
    points.push_back(r.points), starts.push_back(r.start * 1e6), stops.push_back(r.stop * 1e6);
  }
  // A rows x nsub matrix: value(k, i) for each range's points, NaN below.
  const auto matrix = [&](const auto& value) {
    std::vector<double> m(static_cast<size_t>(nsub * rows), e::kNaN);
    for (int32_t k = 0; k < nsub; ++k)
      for (int32_t i = 0; i < s.ranges[k].points; ++i) m[k * rows + i] = value(k, i);
    return m;
  };
  const auto frequency = [&](int32_t k, int32_t i) {  // each point one step above the one before
    double f = s.startWords[k] * kQ;
    for (int32_t j = 0; j < i; ++j) f += s.stepWords[k] * kQ;
    return f;
  };
  // Point i of range k in the set starting at record `first`.
  const auto value = [&](size_t first, bool phase, int32_t k, int32_t i) {
    const TestRecord& r = s.records[first + k];
    return phase ? (r.phase + i - 28800) * 0.003125 : (r.magnitude + 3 * i - 28800) * 0.0010416666666666667;
  };
  const bool hasPhase = s.content & 1, hasMagnitude = s.content & 2, averaged = s.averaged && !kVexa;
  const std::string info =
      e::Scalar(nsub) + e::Doubles(1, nsub, points) + e::Doubles(1, nsub, starts) +
      e::Doubles(1, nsub, stops) + e::Doubles(rows, nsub, matrix(frequency)) +
      e::Logicals(1, 1, {hasPhase}) + e::Logicals(1, 1, {hasMagnitude}) + e::Scalar(0.1) +
      e::Scalar(500 * kT) + e::Scalar(0.00002) + e::Scalar(1.0) +
      (kVexa ? "" : e::Logicals(1, 1, {s.averaged})) + e::Scalar(0) + e::Scalar(sets);
  std::vector<std::string> infoFields = {"NumberOfSubSweeps", "SweepVectorLength", "RequestedSweepFrequencyStart",
      "RequestedSweepFrequencyEnd", "RealizedSweepFrequencyVector", "IsPhasePresent", "IsMagnitudePresent",
      "RequestedSamplingPeriod", "RealizedSamplingPeriod", "SettlingTime", kVexa ? "Averaging" : "SampleAveraging",
      "IsGloballyAveraged", "RelativeOutputPowerdB", "NumberOfSweeps"};
  if (kVexa) infoFields.erase(infoFields.begin() + 11);
  // Phase and Magnitude of one element, of(phase, k, i) for each point.
  const auto kinds = [&](const auto& of) {
    const auto one = [&](bool phase) { return matrix([&](int32_t k, int32_t i) { return of(phase, k, i); }); };
    return (hasPhase ? e::Doubles(rows, nsub, one(true)) : e::Doubles(0, 0, {})) +
           (hasMagnitude ? e::Doubles(rows, nsub, one(false)) : e::Doubles(0, 0, {}));
  };
  std::string data;
  if (averaged) {
    data = e::Scalar(0) + e::Scalar(e::kNaN) + kinds([&](bool phase, int32_t k, int32_t i) {
      double sum = 0;
      for (size_t first : s.sets) sum += value(first, phase, k, i);
      return sum / sets;
    });
  }
  for (size_t n = 0; n < s.sets.size() && !averaged; ++n) {
    uint16_t largest = 0;
    for (int32_t k = 0; k < nsub; ++k) largest = std::max(largest, s.records[s.sets[n] + k].ticks);
    // The first set never reports a time.
    const double time = n == 0 || largest == 0xFFFF ? e::kNaN : largest * kT;
    data += e::Scalar(s.records[s.sets[n]].sample) + e::Scalar(time) +
            kinds([&](bool phase, int32_t k, int32_t i) { return value(s.sets[n], phase, k, i); });
  }
  return e::MatHeader() +
         e::Struct("Annotations", 1, {"OriginalFilename", "Annotation1", "Annotation2", "SweepPresetName"},
                   e::Text(fileName) + e::Text("") + e::Text("") + e::Text("CLI")) +
         e::Struct("SweepInfo", 1, infoFields, info) +
         e::Struct("SweepData", averaged ? 1 : sets, {"SampleNumber", "MeasurementTime", "Phase", "Magnitude"}, data);
}

const Scenario kScenarios[] = {
    // Two passed over before the first set; a set whose largest time is
    // 300; one with a time not available; one cut short.
    {"two ranges of 100 and 300 points", {{10, 20, 100}, {30, 40, 300}}, {171798690, 515396070}, {1735340, 574577}, 3,
     {{1, 1, 50, 28000, 29000}, {0, 7, 77, 1234, 4321}, {0, 0x80000000u, 100, 28800, 28800}, {1, 0x80000000u, 200, 30000, 20000},
      {0, 0xFFFFFFFFu, 300, 20000, 30000}, {1, 0xFFFFFFFFu, 250, 40000, 10000},
      {0, 5, 0xFFFF, 1000, 60000}, {1, 5, 10, 50000, 1}, {0, 6, 1, 28800, 28800}},
     {2, 4, 6}, false},
    {"phase only, one range", {{10, 20, 3}}, {171798690}, {85899345}, 1,
     {{0, 10, 7, 28800, 0}, {0, 11, 8, 0, 0}, {0, 12, 9, 65533, 0}}, {0, 1, 2}, false},
    {"magnitude only, averaged but by vexa", {{10, 20, 3}}, {171798690}, {85899345}, 2,
     {{0, 10, 7, 0, 65000}, {0, 11, 8, 0, 100}}, {0, 1}, true},
    // Phase and magnitude differ everywhere: no mix-up of the two goes unseen.
    {"averaged", {{10, 20, 2}, {20, 30, 3}}, {171798690, 343597380}, {171798690, 85899345}, 3,
     {{0, 1, 5, 32000, 38400}, {1, 1, 5, 30000, 50000}, {0, 2, 6, 35200, 45000},
      {1, 2, 6, 29000, 60000}, {0, 3, 7, 29000, 29000}},
     {0, 2}, true},
    // Averaged as the sets arrive: records passed over before, between and after the sets leave the sums alone.
    {"averaged, three ranges, phase only", {{10, 20, 4}, {20, 30, 2}, {30, 40, 3}}, {171798690, 343597380, 515396070},
     {57266230, 171798690, 85899345}, 1,
     {{1, 0, 1, 1, 0}, {0, 1, 1, 28801, 0}, {1, 1, 2, 30001, 0}, {2, 1, 3, 27777, 0}, {0, 2, 4, 5, 0},
      {1, 2, 5, 60000, 0}, {0, 3, 6, 33333, 0}, {1, 3, 7, 123, 0}, {2, 3, 8, 65000, 0}, {2, 4, 9, 7, 0},
      {0, 5, 1, 31415, 0}, {1, 5, 2, 27182, 0}, {2, 5, 3, 11111, 0}},
     {1, 6, 10}, true},
    {"averaged, two ranges, magnitude only", {{10, 20, 3}, {20, 30, 5}}, {171798690, 343597380}, {85899345, 42949672},
     2, {{0, 1, 1, 0, 28801}, {1, 1, 2, 0, 61111}, {0, 2, 3, 0, 3}, {1, 2, 4, 0, 44444}}, {0, 2}, true},
};

TEST_F(Store, ResultFilesMatchTheLayout) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    Configure(s.ranges, s.content - 1, s.averaged);
    for (const TestRecord& r : s.records) {
      const uint16_t n = static_cast<uint16_t>(s.ranges[r.range].points);
      ASSERT_EQ(Append(e::SweepData(r.range, s.content, n, r.sample, r.ticks, r.phase, r.magnitude)), A::Kept);
    }
    const SaveData save = Save(dir / "result.mat", s.averaged);
    ASSERT_EQ(SaveAs(save), NoError);
    const std::string bytes = ReadFileBytes(dir / "result.mat"), expected = ExpectedFile(s, save.OriginalFilename);
    EXPECT_TRUE(bytes == expected) << "first difference at byte "
        << std::mismatch(bytes.begin(), bytes.end(), expected.begin()).first - bytes.begin();
    EXPECT_EQ(GetBytesWritten(), bytes.size());
    EXPECT_EQ(ResultFileBytes(kBuild, m.info, m.averaged, save, static_cast<int32_t>(s.sets.size()), s.content), bytes.size());
  }
}

TEST_F(Store, FailuresBeforeAndDuringTheWrite) {
  // No complete set: no file, and an earlier one of the name stays.
  Configure({{10, 20, 2}, {20, 30, 2}});
  ASSERT_TRUE(WriteFileBytes(dir / "earlier.mat", "earlier measurement"));
  ASSERT_TRUE(AppendRange(1, 0) == A::Kept && AppendRange(0, 1) == A::Kept);
  EXPECT_EQ(SaveAs(Save(dir / "earlier.mat")), NoData);
  EXPECT_EQ(ReadFileBytes(dir / "earlier.mat"), "earlier measurement");

  ASSERT_EQ(AppendRange(1, 1), A::Kept);
  EXPECT_EQ(SaveAs(Save(dir / "missing/x.mat")), CantOpenFile);
  EXPECT_EQ(SaveAs(Save("/dev/full")), WriteError);  // small: fails at close
  // A file larger than the writer's buffer fails at the first full write,
  // within the first Phase matrix, and hands nothing more to the writer.
  Configure(std::vector<TestRange>(8, TestRange{10, 90, 16000}));
  for (uint8_t k = 0; k < 8; ++k) ASSERT_EQ(AppendRange(k, 0), A::Kept);
  const uint64_t size = ResultFileBytes(kBuild, m.info, false, Save("/dev/full"), 1, 3);
  EXPECT_EQ(SaveAs(Save("/dev/full")), WriteError);
  EXPECT_LE(GetBytesWritten(), size - (56 + 8 * 128000));
  // The records' memory is given back to the system (vexa stores anew every cycle).
  const auto resident = [] {  // read without allocating, which a sanitizer's allocator would count
    char text[64] = {};
    const int fd = open("/proc/self/statm", O_RDONLY);
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    long pages = 0, rss = 0;
    return n > 0 && std::sscanf(text, "%ld %ld", &pages, &rss) == 2 ? rss * sysconf(_SC_PAGESIZE) : 0;
  };
  const long held = resident();
  FreeRecords();
  EXPECT_LT(resident() + 7 * 256000, held);  // 8 such records held; a sanitizer keeps a little
}


// The CONFBASIC and CONFFREQ payloads of a configuration, and its record.
TEST(SweepProtocol, Payloads) {
  const struct { double rate, settling; int32_t averaging, type; double power, start, stop; int32_t points;
                 std::string basic, freq; } cases[] = {
      {10, 2e-5, 1, 2, 0, 10, 20, 101, "f4 01 02 03 01 03 ff 03", "a2 70 3d 0a 65 00 e2 36 1a 00"},
      // The step's product first, then divided: 1546188210 / 15999 = 96642.8...
      {0.1, 2e-3, 128, 0, -30, 10, 100, 16000, "a7 c3 e6 03 80 01 20 00", "a2 70 3d 0a 80 3e 82 79 01 00"},
      {500, 2.1e-5, 16, 1, -6, 100, 100, 2, "0a 00 02 03 10 02 00 02", "54 66 66 66 02 00 00 00 00 00"},
  };
  for (const auto& c : cases) {
    SweepSet s = Ranges({{c.start, c.stop, c.points}}, c.type);
    s.SampleRate = c.rate, s.SettlingTime = c.settling, s.Averaging = c.averaging, s.OutputPower = c.power;
    uint8_t b[kBasicBytes + kFreqEntryBytes];
    EncodeBasic(s, b), PackFreqEntry(MakeFreqEntry(s, 0), b + kBasicBytes);
    EXPECT_EQ(Hex(std::string(b, std::end(b))), c.basic + " " + c.freq) << c.rate << " Hz";
    SweepInfo i;
    FillSweepInfo(s, &i);
    EXPECT_EQ(std::vector<double>({i.SettlingTime, i.Averaging, i.OutputPower, i.RequestedPeriod}),
              std::vector<double>({c.settling, double(c.averaging), c.power, 1 / c.rate}));
  }
  uint8_t b[5];
  EncodeLed(b), EncodeStart(0, 1, b + 1), EncodeStart(1, 0, b + 3);
  EXPECT_EQ(Hex(std::string(b, std::end(b))), "01 00 01 01 00");
  // Values that cannot be sent never wrap around.
  EXPECT_EQ(PeriodWord(0.0), 0xFFFF);
  EXPECT_EQ(StartWord(-1.0) | StepWord(20, 10, 11) | StepWord(10, 20, 1) | ModeByte(3), 0u);
}

TEST(SweepProtocol, Limits) {
  using S = SweepSet;
  const struct { double S::*field; double value; bool valid; } reals[] = {
      {&S::SampleRate, 0.1, 1},      {&S::SampleRate, 500, 1},      {&S::SampleRate, 0.09, 0},
      {&S::SampleRate, 501, 0},      {&S::SampleRate, NAN, 0},      {&S::SettlingTime, 2e-3, 1},
      {&S::SettlingTime, 1.9e-5, 0}, {&S::SettlingTime, 2.1e-3, 0}, {&S::OutputPower, -30, 1},
      {&S::OutputPower, -30.5, 0},   {&S::OutputPower, 0.5, 0}};
  const struct { int32_t S::*field; int32_t value; bool valid; } ints[] = {
      {&S::NumberOfRanges, 0, 0}, {&S::NumberOfRanges, 9, 0}, {&S::Averaging, 0, 0},
      {&S::Averaging, 128, 1},    {&S::Averaging, 129, 0},    {&S::SweepType, -1, 0},
      {&S::SweepType, 0, 1},      {&S::SweepType, 3, 0}};
  const struct { double start, stop; int32_t points; bool valid; } ranges[] = {
      {12, 20, 2, 1},      {12, 20, 1, 0},    {12, 20, 16001, 0}, {9.9, 20, 101, 0},
      {10, 100, 16000, 1}, {12, 100.1, 2, 0}, {12, 11, 101, 0},   {12, 12, 101, 1}};
  SweepSet s = Ranges({{12, 20, 101}});
  const auto check = [&s](auto field, auto value, bool valid) {
    S changed = s;
    changed.*field = value;
    EXPECT_EQ(SweepSetWithinLimits(changed), valid) << value;
  };
  for (const auto& c : reals) check(c.field, c.value, c.valid);
  for (const auto& c : ints) check(c.field, c.value, c.valid);
  for (const auto& c : ranges)
    EXPECT_EQ(SweepSetWithinLimits(Ranges({{c.start, c.stop, c.points}})), c.valid) << c.start << " " << c.stop;
  s.Points[1] = -5;  // not configured: not checked
  EXPECT_TRUE(SweepSetWithinLimits(s));
  s.NumberOfRanges = 2;
  EXPECT_FALSE(SweepSetWithinLimits(s));
  EXPECT_TRUE(SweepSetWithinLimits(Ranges(std::vector<TestRange>(8, TestRange{10, 100, 16000}))));
}

}  // namespace
