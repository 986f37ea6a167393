// Result files written from synthetic records, compared byte for byte with
// files assembled here by an independent encoder of the same layout.
#include <cmath>
#include <cstdio>

#include "tests/sweep_store/store_fixture.h"

namespace {

// ------------------------------------------------ expected file encoder

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Tag(uint32_t type, size_t bytes) { return U32(type) + U32(static_cast<uint32_t>(bytes)); }
std::string Pad(std::string s) {
  s.resize((s.size() + 7) / 8 * 8, '\0');
  return s;
}
std::string F64(double v) {
  uint64_t bits = BitsOf(v);
  return U32(static_cast<uint32_t>(bits)) + U32(static_cast<uint32_t>(bits >> 32));
}

// An unnamed matrix element: array flags, dimensions, empty name, real part.
std::string Matrix(uint32_t flags, uint32_t type, int32_t rows, int32_t cols,
                   const std::string& data) {
  std::string body = Tag(6, 8) + U32(flags) + U32(0) + Tag(5, 8) + U32(rows) + U32(cols) +
                     Tag(1, 0) + Tag(type, data.size()) + Pad(data);
  return Tag(14, body.size()) + body;
}
std::string Doubles(int32_t rows, int32_t cols, const std::vector<double>& v) {
  std::string data;
  for (double d : v) data += F64(d);
  return Matrix(6, 9, rows, cols, data);
}
std::string Scalar(double v) { return Doubles(1, 1, {v}); }
std::string Logical(bool b) { return Matrix(0x209, 2, 1, 1, std::string(1, b ? '\1' : '\0')); }
std::string Text(const std::string& t) {
  std::string data;
  for (char c : t) data += std::string{c, '\0'};
  return Matrix(4, 4, 1, static_cast<int32_t>(t.size()), data);
}
std::string Struct(const std::string& name, int32_t count, const std::vector<std::string>& fields,
                   const std::string& values) {
  std::string names;
  for (const std::string& f : fields) names += f + std::string(32 - f.size(), '\0');
  std::string body = Tag(6, 8) + U32(2) + U32(0) + Tag(5, 8) + U32(1) + U32(count) +
                     Tag(1, name.size()) + Pad(name) + std::string("\x05\0\x04\0\x20\0\0\0", 8) +
                     Tag(1, names.size()) + names + values;
  return Tag(14, body.size()) + body;
}
std::string FileHeader() {
  std::string h = "MATLAB level 5 format resonance measurement data.";
  h.resize(124, '\0');
  return h + std::string("\x00\x01IM", 4);
}

const double kNaN = Bits(0x7FFFFFFFFFFFFFFFull);
const double kQ = 0.05820766091346741;
const double kT = 0.00019965;

// ------------------------------------------------------------ scenarios

struct TestRecord {
  uint8_t range;
  uint32_t sample;
  uint16_t ticks;
  uint16_t phaseBase;  // phase word of point i: phaseBase + i
  uint16_t magnitudeBase;  // magnitude word of point i: magnitudeBase + 3 i
};

struct Scenario {
  const char* name;
  std::vector<TestRange> ranges;
  std::vector<uint32_t> startWords, stepWords;  // what the instrument was sent
  int32_t sweepType;
  uint8_t content;
  std::vector<TestRecord> records;
  std::vector<size_t> sets;  // position of each complete set's first record
  bool averaged;             // -m given
};

double PhaseOf(const TestRecord& r, int i) { return (r.phaseBase + i - 28800) * 0.003125; }
double MagnitudeOf(const TestRecord& r, int i) {
  return (r.magnitudeBase + 3 * i - 28800) * 0.0010416666666666667;
}

// One kind's maxPoints x nsub matrix of the set starting at record `first`.
std::vector<double> SetValues(const Scenario& s, size_t first, bool phase, int32_t maxPoints) {
  std::vector<double> m(s.ranges.size() * maxPoints, kNaN);
  for (size_t k = 0; k < s.ranges.size(); ++k) {
    const TestRecord& r = s.records[first + k];
    for (int i = 0; i < s.ranges[k].points; ++i) {
      m[k * maxPoints + i] = phase ? PhaseOf(r, i) : MagnitudeOf(r, i);
    }
  }
  return m;
}

std::string ExpectedFile(const Scenario& s, const std::string& fileName) {
  const int32_t nsub = static_cast<int32_t>(s.ranges.size());
  int32_t maxPoints = 0;
  std::vector<double> points, starts, stops;
  for (const TestRange& r : s.ranges) {
    maxPoints = std::max(maxPoints, r.points);
    points.push_back(r.points);
    starts.push_back(r.start * 1e6);
    stops.push_back(r.stop * 1e6);
  }
  std::vector<double> frequencies(nsub * maxPoints, kNaN);
  for (int32_t k = 0; k < nsub; ++k) {
    double f = s.startWords[k] * kQ;
    for (int32_t j = 0; j < s.ranges[k].points; ++j, f += s.stepWords[k] * kQ) {
      frequencies[k * maxPoints + j] = f;
    }
  }
  const bool phase = s.content & 1, magnitude = s.content & 2;
  const bool averaged = s.averaged && !kVexa;
  const int32_t sets = static_cast<int32_t>(s.sets.size());

  std::string file = FileHeader();
  file += Struct("Annotations", 1,
                 {"OriginalFilename", "Annotation1", "Annotation2", "SweepPresetName"},
                 Text(fileName) + Text("") + Text("") + Text("CLI"));
  std::string info = Scalar(nsub) + Doubles(1, nsub, points) + Doubles(1, nsub, starts) +
                     Doubles(1, nsub, stops) + Doubles(maxPoints, nsub, frequencies) +
                     Logical(phase) + Logical(magnitude) + Scalar(0.1) + Scalar(500 * kT) +
                     Scalar(0.00002) + Scalar(1.0);
  std::vector<std::string> infoFields = {
      "NumberOfSubSweeps",          "SweepVectorLength",
      "RequestedSweepFrequencyStart", "RequestedSweepFrequencyEnd",
      "RealizedSweepFrequencyVector", "IsPhasePresent",
      "IsMagnitudePresent",         "RequestedSamplingPeriod",
      "RealizedSamplingPeriod",     "SettlingTime"};
  if (kVexa) {
    infoFields.push_back("Averaging");
  } else {
    infoFields.push_back("SampleAveraging");
    infoFields.push_back("IsGloballyAveraged");
    info += Logical(s.averaged);
  }
  infoFields.push_back("RelativeOutputPowerdB");
  infoFields.push_back("NumberOfSweeps");
  info += Scalar(0.0) + Scalar(sets);
  file += Struct("SweepInfo", 1, infoFields, info);

  const std::string empty = Doubles(0, 0, {});
  std::string data;
  if (averaged) {
    std::vector<double> phaseSum(nsub * maxPoints, 0.0), magnitudeSum = phaseSum;
    for (size_t first : s.sets) {
      std::vector<double> p = SetValues(s, first, true, maxPoints);
      std::vector<double> m = SetValues(s, first, false, maxPoints);
      for (size_t i = 0; i < p.size(); ++i) {
        phaseSum[i] += p[i];
        magnitudeSum[i] += m[i];
      }
    }
    for (size_t i = 0; i < phaseSum.size(); ++i) {
      phaseSum[i] /= sets;
      magnitudeSum[i] /= sets;
    }
    data = Scalar(0.0) + Scalar(kNaN) +
           (phase ? Doubles(maxPoints, nsub, phaseSum) : empty) +
           (magnitude ? Doubles(maxPoints, nsub, magnitudeSum) : empty);
  } else {
    for (size_t n = 0; n < s.sets.size(); ++n) {
      const size_t first = s.sets[n];
      uint16_t largest = 0;
      for (size_t k = 0; k < s.ranges.size(); ++k) {
        largest = std::max(largest, s.records[first + k].ticks);
      }
      const double time = (n == 0 || largest == 0xFFFF) ? kNaN : largest * kT;
      data += Scalar(s.records[first].sample) + Scalar(time) +
              (phase ? Doubles(maxPoints, nsub, SetValues(s, first, true, maxPoints)) : empty) +
              (magnitude ? Doubles(maxPoints, nsub, SetValues(s, first, false, maxPoints))
                         : empty);
    }
  }
  file += Struct("SweepData", averaged ? 1 : sets,
                 {"SampleNumber", "MeasurementTime", "Phase", "Magnitude"}, data);
  return file;
}

void StoreScenario(const Scenario& s, SweepInfo* info) {
  *info = MakeInfo(s.ranges, s.sweepType);
  for (const TestRecord& r : s.records) {
    const uint16_t points = static_cast<uint16_t>(s.ranges[r.range].points);
    ASSERT_EQ(Append(SweepPayload(r.range, s.content, points, r.sample, r.ticks,
                                  RampWords(s.content, points, r.phaseBase, r.magnitudeBase)),
                     LastFreq(s.ranges), *info),
              NoError);
  }
}

// Where two byte strings first differ, for a readable failure.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return "";
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  return "sizes " + std::to_string(expected.size()) + " / " + std::to_string(actual.size()) +
         ", first difference at byte " + std::to_string(i);
}

const Scenario kTwoRanges = {
    "two ranges of 100 and 300 points",
    {{10, 20, 100}, {30, 40, 300}},
    {171798690, 515396070},
    {1735340, 574577},
    2,
    3,
    {
        {1, 1, 50, 28000, 29000},                 // before the first range 0: skipped
        {0, 0x80000000u, 100, 28800, 28800},      // first set: time never reported
        {1, 0x80000000u, 200, 30000, 20000},
        {0, 0xFFFFFFFFu, 300, 20000, 30000},      // largest time 300
        {1, 0xFFFFFFFFu, 250, 40000, 10000},
        {0, 5, 0xFFFF, 1000, 60000},              // one time not available
        {1, 5, 10, 50000, 1},
        {0, 6, 1, 28800, 28800},                  // a set cut short
    },
    {1, 3, 5},
    false,
};

const Scenario kPhaseOnly = {
    "phase only, one range",
    {{10, 20, 3}},
    {171798690},
    {85899345},
    0,
    1,
    {{0, 10, 7, 28800, 0}, {0, 11, 8, 0, 0}, {0, 12, 9, 65533, 0}},
    {0, 1, 2},
    false,
};

const Scenario kAveraged = {
    "-m: averaged",
    {{10, 20, 2}, {20, 30, 3}},
    {171798690, 343597380},
    {171798690, 85899345},
    2,
    3,
    {{0, 1, 5, 32000, 38400}, {1, 1, 5, 32000, 38400}, {0, 2, 6, 35200, 48000},
     {1, 2, 6, 35200, 48000}, {0, 3, 7, 29000, 29000}},
    {0, 2},
    true,
};

TEST_F(StoreTest, ResultFilesMatchTheLayout) {
  for (const Scenario* s : {&kTwoRanges, &kPhaseOnly, &kAveraged}) {
    SCOPED_TRACE(s->name);
    FreeRecords();
    ASSERT_EQ(InitAverager(), NoError);
    SweepInfo info;
    StoreScenario(*s, &info);
    const std::string path = Path("result.mat");
    const SaveData save = MakeSaveData(path, s->averaged);
    ASSERT_EQ(WriteResultFile(info, save), NoError);

    const std::string actual = ReadFileBytes(path);
    const std::string expected = ExpectedFile(*s, path);
    EXPECT_EQ(FirstDifference(expected, actual), "");
    EXPECT_EQ(GetBytesWritten(), actual.size());
    EXPECT_EQ(ResultFileBytes(info, save, static_cast<int32_t>(s->sets.size()), s->content),
              actual.size());
    // The first set's first record no longer reports a time.
    RecordNode* first = FindCompleteSweepSet(RecordHead, info.NumberOfRanges);
    EXPECT_EQ(SweepTimeTicks(first->header), kTimeNotAvailable);
    FreeAverager();
  }
}

TEST(ResultFile, RealizedFrequenciesFallJustBelowTheRequested) {
  const SweepInfo info = MakeInfo({{10, 20, 101}, {40, 40.5, 3}}, 2);
  std::vector<double> m(2 * 101, 0.0);
  FillFrequencyMatrix(info, 101, m.data());
  EXPECT_NEAR(m[0], 9999999.8929, 1e-4);
  EXPECT_NEAR(m[100], 19999994.55, 1e-2);
  EXPECT_LT(m[100], 20e6);
  double sum = 171798690 * kQ;  // by repeated addition of the step
  for (int j = 0; j < 100; ++j) sum += 1717986 * kQ;
  EXPECT_EQ(m[100], sum);
  EXPECT_EQ(m[101 + 2], 687194760 * kQ + 4294967 * kQ + 4294967 * kQ);
  for (int j = 3; j < 101; ++j) EXPECT_EQ(BitsOf(m[101 + j]), 0x7FFFFFFFFFFFFFFFull) << j;
}

TEST_F(StoreTest, FailuresBeforeAndDuringTheWrite) {
  SweepInfo info;
  StoreScenario(kPhaseOnly, &info);
  EXPECT_EQ(WriteResultFile(info, MakeSaveData(Path("missing/dir/x.mat"), false)), CantOpenFile);

  // A file larger than the writer's buffer fails at the first flush, within
  // the first Phase matrix, and hands nothing more to the writer: not the
  // Magnitude matrix that follows.
  FreeRecords();
  std::vector<TestRange> ranges(8, TestRange{10, 90, 16000});
  info = MakeInfo(ranges, 2);
  for (uint8_t k = 0; k < 8; ++k) {
    ASSERT_EQ(Append(SweepPayload(k, 3, 16000, 0, 0, RampWords(3, 16000, 100, 200)),
                     LastFreq(ranges), info),
              NoError);
  }
  const SaveData full = MakeSaveData("/dev/full", false);
  const uint64_t size = ResultFileBytes(info, full, 1, 3);
  ASSERT_GT(size, 2u * kDiskBufferBytes);
  EXPECT_EQ(WriteResultFile(info, full), WriteError);
  EXPECT_LE(GetBytesWritten(), size - (56 + 8 * 128000));

  // A small file fails when it is closed.
  FreeRecords();
  StoreScenario(kPhaseOnly, &info);
  EXPECT_EQ(WriteResultFile(info, full), WriteError);
}

// The file as MATLAB users' tools read it.
TEST_F(StoreTest, ReadersLoadTheFile) {
  SweepInfo info;
  StoreScenario(kTwoRanges, &info);
  const std::string path = Path("reader.mat");
  ASSERT_EQ(WriteResultFile(info, MakeSaveData(path, false)), NoError);

  char line[256];
  std::string expected;
  double last = 515396070 * kQ;
  for (int j = 0; j < 299; ++j) last += 574577 * kQ;
  std::snprintf(line, sizeof line, "sets 1 3\nfreq 300 2 %.17g %.17g 1\n", 171798690 * kQ, last);
  expected += line;
  std::snprintf(line, sizeof line, "phase 300 2 %.17g %.17g 1\nmagnitude %.17g\n",
                PhaseOf(kTwoRanges.records[3], 0), PhaseOf(kTwoRanges.records[3], 99),
                MagnitudeOf(kTwoRanges.records[4], 299));
  expected += line;
  std::snprintf(line, sizeof line, "samples 2147483648 4294967295 5\ntimes 1 %.17g 1\n",
                300 * kT);
  expected += line;
  expected += "texts " + path + " CLI 0\nflags 1 1 0 3\n";

  const std::string python =
      "import sys, numpy as np, scipy.io as sio\n"
      "m = sio.loadmat(sys.argv[1])\n"
      "a, i, d = m['Annotations'][0,0], m['SweepInfo'][0,0], m['SweepData']\n"
      "g = lambda x: '%.17g' % x\n"
      "f = i['RealizedSweepFrequencyVector']\n"
      "print('sets', *d.shape)\n"
      "print('freq', *f.shape, g(f[0,0]), g(f[299,1]), int(np.isnan(f[100,0])))\n"
      "p = d[0,1]['Phase']\n"
      "print('phase', *p.shape, g(p[0,0]), g(p[99,0]), int(np.isnan(p[100,0])))\n"
      "print('magnitude', g(d[0,1]['Magnitude'][299,1]))\n"
      "print('samples', *[int(d[0,k]['SampleNumber'][0,0]) for k in range(3)])\n"
      "t = [d[0,k]['MeasurementTime'][0,0] for k in range(3)]\n"
      "print('times', int(np.isnan(t[0])), g(t[1]), int(np.isnan(t[2])))\n"
      "print('texts', a['OriginalFilename'][0], a['SweepPresetName'][0], a['Annotation1'].size)\n"
      "print('flags', int(i['IsPhasePresent'][0,0]), int(i['IsMagnitudePresent'][0,0]),\n"
      "      int(i['IsGloballyAveraged'][0,0]) if 'IsGloballyAveraged' in i.dtype.names else 0,\n"
      "      int(i['NumberOfSweeps'][0,0]))\n";
  ReaderResult r = RunPythonReader(python, {path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected) << r.err;

  if (!HaveOctave()) GTEST_SKIP() << "octave-cli is not installed";
  const std::string octave =
      "load(argv(){1});\n"
      "a = Annotations; i = SweepInfo; d = SweepData; f = i.RealizedSweepFrequencyVector;\n"
      "printf('sets %d %d\\n', size(d));\n"
      "printf('freq %d %d %.17g %.17g %d\\n', size(f), f(1,1), f(300,2), isnan(f(101,1)));\n"
      "p = d(2).Phase;\n"
      "printf('phase %d %d %.17g %.17g %d\\n', size(p), p(1,1), p(100,1), isnan(p(101,1)));\n"
      "printf('magnitude %.17g\\n', d(2).Magnitude(300,2));\n"
      "printf('samples %d %d %d\\n', d(1).SampleNumber, d(2).SampleNumber, d(3).SampleNumber);\n"
      "printf('times %d %.17g %d\\n', isnan(d(1).MeasurementTime), d(2).MeasurementTime,"
      " isnan(d(3).MeasurementTime));\n"
      "printf('texts %s %s %d\\n', a.OriginalFilename, a.SweepPresetName, numel(a.Annotation1));\n"
      "g = 0; if isfield(i, 'IsGloballyAveraged') g = i.IsGloballyAveraged; end\n"
      "printf('flags %d %d %d %d\\n', i.IsPhasePresent, i.IsMagnitudePresent, g,"
      " i.NumberOfSweeps);\n";
  r = RunOctaveReader(octave, {path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected) << r.err;
}

}  // namespace
