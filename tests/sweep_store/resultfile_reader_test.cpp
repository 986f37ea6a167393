// The result file read back: files that the measurement's save writes, for both builds, every value against what
// went in; files that depart from what our programs write refused with what was expected, where, and what was
// found; and a file that qarvel saved against the emulator, read as SciPy reads it.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "matfile/matfile.h"
#include "sweep/measurement.h"
#include "sweep/resultfile.h"
#include "sweep/resultfile_reader.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

namespace e = encode;
const double kQ = 0.05820766091346741, kT = 0.00019965;  // Hz per frequency word, s per time tick

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool SameValues(const double* got, const std::vector<double>& want) {
  for (size_t i = 0; i < want.size(); ++i)
    if (!Same(got[i], want[i])) return false;
  return true;
}

// A measurement saved through the store and the result file: its ranges' points, the content bits, sets, -m.
struct Saved { const char* name; uint8_t build; std::vector<int32_t> points; uint8_t content; int32_t sets; bool averaged; };

const Saved kSaved[] = {
    {"one range, both", kQarvelBuild, {5}, 3, 3, false},
    {"eight ranges, shorter ones filled", kQarvelBuild, {5, 3, 8, 2, 7, 16000, 6, 9}, 3, 2, false},
    {"phase only", kQarvelBuild, {4, 9}, 1, 4, false},
    {"magnitude only", kQarvelBuild, {9, 4}, 2, 2, false},
    {"averaged", kQarvelBuild, {3, 6}, 3, 5, true},
    {"averaged, phase only", kQarvelBuild, {2}, 1, 3, true},
    {"vexa, both", kVexaBuild, {6, 2}, 3, 3, false},
    {"vexa, eight ranges of magnitude", kVexaBuild, {2, 3, 4, 5, 6, 7, 8, 9}, 2, 2, false},
};

// Record words of set s, range k: the sample numbers include the unsigned ones; set 1 has no time, set 2 a time of 0.
const uint32_t kSamples[] = {7, 0x80000000u, 0xFFFFFFFFu, 12, 13};
uint16_t Ticks(int32_t s, int32_t k) { return s == 1 ? 0xFFFF : s == 2 ? 0 : static_cast<uint16_t>(100 + 7 * s + k); }
uint16_t PhaseWord(int32_t s, int32_t k) { return static_cast<uint16_t>(28800 + 97 * s - 13 * k); }
uint16_t MagnitudeWord(int32_t s, int32_t k) { return static_cast<uint16_t>(20000 + 31 * s + 5 * k); }
// Point i as the instrument's conversion gives it: 16-bit words phase word + i, magnitude word + 3 i (encode::SweepData).
double Value(bool phase, int32_t s, int32_t k, int32_t i) {
  const uint16_t word = static_cast<uint16_t>(phase ? PhaseWord(s, k) + i : MagnitudeWord(s, k) + 3 * i);
  return (word - 28800) * (phase ? 0.003125 : 0.0010416666666666667);
}

class ResultReading : public ::testing::Test {
 protected:
  void TearDown() override {
    EndMeasurement(&m);
    FreeDiskBuffer();
  }
  Measurement m{};
  TempDir dir{"resultfile_reader"};
};

TEST_F(ResultReading, ReadsEveryValueThatWasSaved) {
  // The longest names a save takes; text of several UTF-8 lengths, and a character beyond 16 bits.
  const std::string original(256, 'o'), annotation = "\xc2\xb5s \xe2\x82\xac \xf0\x9f\x98\x80" + std::string(69, 'a');
  for (const Saved& c : kSaved) {
    SCOPED_TRACE(c.name);
    const SweepBuild& build = kSweepBuilds[c.build];
    const int32_t nsub = static_cast<int32_t>(c.points.size());
    SweepSet set;
    DefaultSweepSet(&set);
    set.NumberOfRanges = nsub, set.SweepType = c.content - 1, set.SampleRate = 20, set.Averaging = 4, set.OutputPower = -6;
    for (int32_t k = 0; k < nsub; ++k)
      set.StartFrequency[k] = 10 + 11 * k, set.StopFrequency[k] = 20 + 11 * k, set.Points[k] = c.points[k];
    SweepInfo info;
    FillSweepInfo(set, &info);
    SaveData save{{}, {}, {}, c.averaged};
    std::memcpy(save.OriginalFilename, original.data(), original.size());
    std::memcpy(save.Annotation1, annotation.data(), annotation.size());
    std::strcpy(save.Annotation2, c.name);
    ASSERT_EQ(SetUpSaving(build), NoError);
    ASSERT_EQ(BeginMeasurement(&m, build, info, save, false), NoError);
    for (int32_t s = 0; s < c.sets; ++s)
      for (int32_t k = 0; k < nsub; ++k) {
        const std::string p = e::SweepData(static_cast<uint8_t>(k), c.content, static_cast<uint16_t>(c.points[k]), kSamples[s],
                                           Ticks(s, k), PhaseWord(s, k), MagnitudeWord(s, k));
        ASSERT_EQ(AppendToMeasurement(m, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size())), AppendOutcome::Kept);
      }
    const std::string path = dir / "saved.mat";
    ASSERT_EQ(SaveMeasurement(&m, save, path.c_str()), NoError);
    const std::string bytes = ReadFileBytes(path);

    // A rows x nsub range matrix of value(k, i), NaN below each range's points.
    const int32_t rows = *std::max_element(c.points.begin(), c.points.end());
    const auto matrix = [&](const auto& value) {
      std::vector<double> v(static_cast<size_t>(rows * nsub), NAN);
      for (int32_t k = 0; k < nsub; ++k)
        for (int32_t i = 0; i < c.points[k]; ++i) v[k * rows + i] = value(k, i);
      return v;
    };
    std::vector<double> frequencies(static_cast<size_t>(rows * nsub), NAN);  // each point one step above the one before
    for (int32_t k = 0; k < nsub; ++k)
      for (int32_t n = 0; n < c.points[k]; ++n) frequencies[k * rows + n] = n == 0 ? info.StartWord[k] * kQ : frequencies[k * rows + n - 1] + info.StepWord[k] * kQ;
    for (bool memory : {false, true}) {
      SCOPED_TRACE(memory ? "from memory" : "from the file");
      ResultReader r;
      ASSERT_EQ(memory ? OpenResultBytes(&r, bytes.data(), bytes.size()) : OpenResultFile(&r, path.c_str()), NoError)
          << ResultReaderMessage(&r);
      const ResultFileInfo& i = r.info;
      EXPECT_EQ(i.build, &build);
      EXPECT_EQ(std::vector<std::string>({i.originalFilename, i.annotation1, i.annotation2, i.presetName}),
                std::vector<std::string>({original, annotation, c.name, "CLI"}));
      EXPECT_EQ(std::vector<int32_t>(i.points, i.points + kMaxRanges), std::vector<int32_t>(info.Points, info.Points + kMaxRanges));
      EXPECT_EQ(std::vector<double>({double(i.ranges), double(i.maxPoints), i.requestedPeriod, i.realizedPeriod, i.settlingTime,
                                     i.averaging, i.outputPower, double(i.sweeps), double(i.sets)}),
                std::vector<double>({double(nsub), double(rows), 0.05, info.RealizedPeriod, 2e-5, 4, -6, double(c.sets),
                                     c.averaged ? 1.0 : c.sets}));
      EXPECT_EQ(std::vector<bool>({i.phasePresent, i.magnitudePresent, i.globallyAveraged}),
                std::vector<bool>({bool(c.content & 1), bool(c.content & 2), c.averaged}));
      for (int32_t k = 0; k < kMaxRanges; ++k) {
        EXPECT_EQ(i.requestedStart[k], k < nsub ? (10 + 11 * k) * 1e6 : 0) << k;
        EXPECT_EQ(i.requestedStop[k], k < nsub ? (20 + 11 * k) * 1e6 : 0) << k;
      }
      EXPECT_TRUE(SameValues(i.frequencies, frequencies));
      for (int32_t s = 0; s < i.sets; ++s) {
        ASSERT_TRUE(ResultSetsLeft(&r));
        ResultSet got;
        ASSERT_EQ(ReadResultSet(&r, &got), NoError) << ResultReaderMessage(&r);
        EXPECT_EQ(got.index, s);
        // Averaged: the mean of the sets, added in their order.
        const auto value = [&](bool phase) {
          return matrix([&](int32_t k, int32_t n) {
            if (!c.averaged) return Value(phase, s, k, n);
            double sum = 0;
            for (int32_t a = 0; a < c.sets; ++a) sum += Value(phase, a, k, n);
            return sum / c.sets;
          });
        };
        EXPECT_EQ(got.sampleNumber, c.averaged ? 0.0 : kSamples[s]) << s;
        double largest = 0;
        for (int32_t k = 0; k < nsub; ++k) largest = std::max(largest, double(Ticks(s, k)));
        EXPECT_TRUE(Same(got.measurementTime, c.averaged || s < 2 ? NAN : largest * kT)) << s;
        EXPECT_TRUE(c.content & 1 ? got.phase != nullptr && SameValues(got.phase, value(true)) : got.phase == nullptr) << s;
        EXPECT_TRUE(c.content & 2 ? got.magnitude != nullptr && SameValues(got.magnitude, value(false)) : got.magnitude == nullptr) << s;
      }
      EXPECT_FALSE(ResultSetsLeft(&r));
      ResultSet extra;
      EXPECT_EQ(ReadResultSet(&r, &extra), InvalidOperation);
      CloseResultFile(&r);
      CloseResultFile(&r);
    }
  }
}

// A qarvel file of two ranges of 3 and 2 points, both quantities and two sets (one, averaged), laid out by the
// encoder; at[...] is where each structure and field begins. A matrix field's dimensions lie 32 bytes into it, its
// data tag 48, its data 56; a structure's count 36 bytes, its first field name 80.
struct Built {
  std::string bytes;
  std::map<std::string, size_t> at;
  void Add(const std::string& name, int32_t count, const std::vector<std::pair<std::string, std::string>>& fields) {
    std::vector<std::string> names;
    std::string values;
    for (const auto& f : fields) {
      if (names.size() < fields.size() / count) names.push_back(f.first.substr(f.first.rfind('.') + 1));
      values += f.second;
    }
    const std::string s = e::Struct(name, count, names, values);
    at[name] = bytes.size();
    size_t field = bytes.size() + s.size() - values.size();
    for (const auto& f : fields) at[f.first] = field, field += f.second.size();
    bytes += s;
  }
};

Built Build(bool averaged, bool lastInfoField = true, const std::string& annotation1 = e::Text("")) {
  Built b;
  b.bytes = e::MatHeader();
  b.Add("Annotations", 1, {{"Annotations.OriginalFilename", e::Text("runs.mat")}, {"Annotations.Annotation1", annotation1},
                           {"Annotations.Annotation2", e::Text("")}, {"Annotations.SweepPresetName", e::Text("CLI")}});
  const double nan = e::kNaN;
  std::vector<std::pair<std::string, std::string>> info = {
      {"SweepInfo.NumberOfSubSweeps", e::Scalar(2)}, {"SweepInfo.SweepVectorLength", e::Doubles(1, 2, {3, 2})},
      {"SweepInfo.RequestedSweepFrequencyStart", e::Doubles(1, 2, {1e7, 3e7})},
      {"SweepInfo.RequestedSweepFrequencyEnd", e::Doubles(1, 2, {2e7, 4e7})},
      {"SweepInfo.RealizedSweepFrequencyVector", e::Doubles(3, 2, {1e7, 1.5e7, 2e7, 3e7, 4e7, nan})},
      {"SweepInfo.IsPhasePresent", e::Logicals(1, 1, {1})}, {"SweepInfo.IsMagnitudePresent", e::Logicals(1, 1, {1})},
      {"SweepInfo.RequestedSamplingPeriod", e::Scalar(0.1)}, {"SweepInfo.RealizedSamplingPeriod", e::Scalar(0.0998)},
      {"SweepInfo.SettlingTime", e::Scalar(2e-5)}, {"SweepInfo.SampleAveraging", e::Scalar(1)},
      {"SweepInfo.IsGloballyAveraged", e::Logicals(1, 1, {averaged})}, {"SweepInfo.RelativeOutputPowerdB", e::Scalar(0)},
      {"SweepInfo.NumberOfSweeps", e::Scalar(2)}};
  if (!lastInfoField) info.pop_back();
  b.Add("SweepInfo", 1, info);
  std::vector<std::pair<std::string, std::string>> data;
  for (int n = 1; n <= (averaged ? 1 : 2); ++n) {
    const std::string set = "SweepData(" + std::to_string(n) + ").";
    data.push_back({set + "SampleNumber", e::Scalar(averaged ? 0 : n)});
    data.push_back({set + "MeasurementTime", e::Scalar(n == 1 ? nan : 0.5)});
    data.push_back({set + "Phase", e::Doubles(3, 2, {1.0 * n, 2, 3, 4, 5, nan})});
    data.push_back({set + "Magnitude", e::Doubles(3, 2, {-1.0 * n, -2, -3, -4, -5, nan})});
  }
  b.Add("SweepData", averaged ? 1 : 2, data);
  return b;
}

std::string With(std::string s, size_t at, const std::string& bytes) { return s.replace(at, bytes.size(), bytes); }
std::string Slot(const std::string& name) { return name + std::string(32 - name.size(), '\0'); }

TEST_F(ResultReading, RefusesWhatOurProgramsDoNotWrite) {
  const Built b = Build(false), a = Build(true), lacking = Build(false, false);
  const std::string& f = b.bytes;
  const auto at = [&b](const std::string& what, size_t plus = 0) { return b.at.at(what) + plus; };
  const auto where = [&b](const std::string& what, size_t plus = 0) { return " at byte " + std::to_string(b.at.at(what) + plus); };
  const size_t names = at("SweepInfo", 80), dataNames = at("SweepData", 80), phase = at("SweepData(2).Phase"),
               sweepDataBytes = f.size() - at("SweepData") - 8;
  const std::string infoCount = "SweepInfo.NumberOfSweeps", level4 = e::Level4Scalar("InternalTemp", 25.3) + e::Level4Scalar("ExternalTemp", 22.1);
  const struct { const char* what; std::string bytes; std::string message; } cases[] = {
      {"empty", "", "expected a 128-byte header at byte 0, found the end of the file at byte 0"},
      {"vexasw's level 4 file", level4, "expected a 128-byte header at byte 0, found the end of the file at byte 82"},
      {"compressed", With(f, 128, e::U32(15)), "expected a miMATRIX tag at byte 128, found type 15 (miCOMPRESSED)"},
      {"structure name", With(f, at("Annotations", 58), "z"), "expected the structure \"Annotations\" at byte 128, found \"Annotationz\""},
      {"two annotations", With(f, at("Annotations", 36), e::U32(2)), "expected Annotations of 1x1 at byte 164, found 1x2"},
      {"field renamed", With(f, at("Annotations", 80 + 32 + 10), "3"),
       "expected Annotations field 2 \"Annotation1\"" + where("Annotations", 112) + ", found \"Annotation3\""},
      {"fields swapped", With(f, at("Annotations", 112), Slot("Annotation2") + Slot("Annotation1")),
       "expected Annotations field 2 \"Annotation1\"" + where("Annotations", 112) + ", found \"Annotation2\""},
      {"text of two rows", With(f, at("Annotations.OriginalFilename", 32), e::U32(2) + e::U32(4)),
       "expected Annotations.OriginalFilename as a 1xn char of at most 256 characters" + where("Annotations.OriginalFilename") +
           ", found a 2x4 char"},
      {"vexa's field in qarvel's list", With(f, names + 10 * 32, Slot("Averaging")),
       "expected SweepInfo field 12 to be \"RelativeOutputPowerdB\" (vexa) at byte " + std::to_string(names + 11 * 32) +
           ", found \"IsGloballyAveraged\""},
      {"first field renamed", With(f, names + 16, "z"),
       "expected SweepInfo field 1 to be \"NumberOfSubSweeps\" (qarvel, vexa) at byte " + std::to_string(names) +
           ", found \"NumberOfSubSweepz\""},
      {"fields in another order", With(f, names + 7 * 32, Slot("RealizedSamplingPeriod") + Slot("RequestedSamplingPeriod")),
       "expected SweepInfo field 8 to be \"RequestedSamplingPeriod\" (qarvel, vexa) at byte " + std::to_string(names + 7 * 32) +
           ", found \"RealizedSamplingPeriod\""},
      {"last field missing", lacking.bytes,
       "expected SweepInfo field 14 to be \"NumberOfSweeps\" (qarvel) at byte " + std::to_string(names + 13 * 32) +
           ", found no field 14"},
      {"nine ranges", With(f, at("SweepInfo.NumberOfSubSweeps", 56), e::F64(9)),
       "expected SweepInfo.NumberOfSubSweeps to be a whole number from 1 to 8" + where("SweepInfo.NumberOfSubSweeps", 56) + ", found 9"},
      {"half a range", With(f, at("SweepInfo.NumberOfSubSweeps", 56), e::F64(1.5)),
       "expected SweepInfo.NumberOfSubSweeps to be a whole number from 1 to 8" + where("SweepInfo.NumberOfSubSweeps", 56) + ", found 1.5"},
      {"range of no points", With(f, at("SweepInfo.SweepVectorLength", 64), e::F64(0)),
       "expected a point count from 1 to 16000 in SweepInfo.SweepVectorLength" + where("SweepInfo.SweepVectorLength", 64) + ", found 0"},
      {"range of 16001 points", With(f, at("SweepInfo.SweepVectorLength", 56), e::F64(16001)),
       "expected a point count from 1 to 16000 in SweepInfo.SweepVectorLength" + where("SweepInfo.SweepVectorLength", 56) + ", found 16001"},
      {"lengths as a column", With(f, at("SweepInfo.SweepVectorLength", 32), e::U32(2) + e::U32(1)),
       "expected SweepInfo.SweepVectorLength as a 1x2 double" + where("SweepInfo.SweepVectorLength") + ", found a 2x1 double"},
      {"a frequency where the fill is", With(f, at("SweepInfo.RealizedSweepFrequencyVector", 56 + 40), e::F64(1)),
       "expected the NaN fill below range 2's 2 points in SweepInfo.RealizedSweepFrequencyVector" +
           where("SweepInfo.RealizedSweepFrequencyVector", 96) + ", found 1"},
      {"a flag as a double", With(f, at("SweepInfo.IsPhasePresent", 16), e::U32(6)),
       "expected the data tag {9, 8} of a 1x1 matrix" + where("SweepInfo.IsPhasePresent", 48) + ", found {2, 1}"},
      {"neither quantity", With(With(f, at("SweepInfo.IsPhasePresent", 56), std::string(1, '\0')), at("SweepInfo.IsMagnitudePresent", 56), std::string(1, '\0')),
       "expected SweepInfo.IsPhasePresent or IsMagnitudePresent to be true" + where("SweepInfo.IsMagnitudePresent", 56) + ", found both false"},
      {"phase there but not said", With(f, at("SweepInfo.IsPhasePresent", 56), std::string(1, '\0')),
       "expected a miMATRIX byte count of " + std::to_string(sweepDataBytes - 2 * 48) + where("SweepData", 4) + ", found " +
           std::to_string(sweepDataBytes)},
      {"more sweeps than sets", With(f, at(infoCount, 56), e::F64(3)), "expected SweepData of 1x3" + where("SweepData", 36) + ", found 1x2"},
      {"no sweeps", With(f, at(infoCount, 56), e::F64(0)),
       "expected SweepInfo.NumberOfSweeps to be a whole number of at least 1" + where(infoCount, 56) + ", found 0"},
      {"averaged, two sets", With(f, at("SweepInfo.IsGloballyAveraged", 56), "\1"), "expected SweepData of 1x1" + where("SweepData", 36) + ", found 1x2"},
      {"data fields swapped", With(f, dataNames + 64, Slot("Magnitude") + Slot("Phase")),
       "expected SweepData field 3 \"Phase\" at byte " + std::to_string(dataNames + 64) + ", found \"Magnitude\""},
      {"half a sample", With(f, at("SweepData(1).SampleNumber", 56), e::F64(0.5)),
       "expected a SampleNumber that is a whole number from 0 to 4294967295" + where("SweepData(1).SampleNumber", 56) + ", found 0.5"},
      {"sample beyond 32 bits", With(f, at("SweepData(2).SampleNumber", 56), e::F64(4294967296.0)),
       "expected a SampleNumber that is a whole number from 0 to 4294967295" + where("SweepData(2).SampleNumber", 56) + ", found 4294967296"},
      {"negative time", With(f, at("SweepData(2).MeasurementTime", 56), e::F64(-1)),
       "expected a MeasurementTime of NaN or 0 s or more" + where("SweepData(2).MeasurementTime", 56) + ", found -1"},
      {"endless time", With(f, at("SweepData(2).MeasurementTime", 56), e::F64(INFINITY)),
       "expected a MeasurementTime of NaN or 0 s or more" + where("SweepData(2).MeasurementTime", 56) + ", found inf"},
      {"a value where the fill is", With(f, phase + 56 + 40, e::F64(0.5)),
       "expected the NaN fill below range 2's 2 points in SweepData(2).Phase at byte " + std::to_string(phase + 96) + ", found 0.5"},
      {"time of another class", With(f, at("SweepData(2).MeasurementTime", 16), e::U32(0xC) + e::U32(0) + e::Tag(5, 8) + e::U32(1) + e::U32(2) +
                                  e::Tag(1, 0) + e::Tag(5, 8)),
       "expected SweepData(2).MeasurementTime as a 1x1 double" + where("SweepData(2).MeasurementTime") + ", found a 1x2 int32"},
      {"matrix turned", With(f, at("SweepData(2).Magnitude", 32), e::U32(2) + e::U32(3)),
       "expected SweepData(2).Magnitude as a 3x2 double" + where("SweepData(2).Magnitude") + ", found a 2x3 double"},
      {"a fourth variable", f + e::Scalar(1, "X"), "expected the end of the file at byte " + std::to_string(f.size()) + ", found more bytes"},
      {"averaged set with a sample number", With(a.bytes, a.at.at("SweepData(1).SampleNumber") + 56, e::F64(1)),
       "expected a SampleNumber of 0 in the averaged set at byte " + std::to_string(a.at.at("SweepData(1).SampleNumber") + 56) + ", found 1"},
      {"averaged set with a time", With(a.bytes, a.at.at("SweepData(1).MeasurementTime") + 56, e::F64(1)),
       "expected a MeasurementTime of NaN in the averaged set at byte " + std::to_string(a.at.at("SweepData(1).MeasurementTime") + 56) + ", found 1"},
  };
  const auto read = [](const std::string& bytes, ResultReader* r) {
    std::memset(static_cast<void*>(r), 0xAB, sizeof *r);  // a record as it comes: nothing in it is taken
    if (OpenResultBytes(r, bytes.data(), bytes.size()) != NoError) return;
    ResultSet set;
    while (ResultSetsLeft(r) && ReadResultSet(r, &set) == NoError) {}
  };
  for (const Built* good : {&b, &a}) {
    ResultReader r;
    read(good->bytes, &r);
    EXPECT_EQ(r.mat.status, NoError) << ResultReaderMessage(&r);
    EXPECT_EQ(r.setsRead, good == &b ? 2 : 1);
    CloseResultFile(&r);
  }
  // UTF-16 as UTF-8: pairs of surrogates at their bounds, lone ones (one last) as U+FFFD, the units around them.
  const std::vector<uint16_t> units = {0xD7FF, 0xDC00, 0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0xE000, 0xD800, 0xE000, 'x', 0xD800};
  std::string text;
  for (uint16_t u : units) text += e::U16(u);
  ResultReader t;
  read(Build(false, true, e::Matrix(4, 4, 1, static_cast<int32_t>(units.size()), text)).bytes, &t);
  EXPECT_EQ(t.mat.status, NoError) << ResultReaderMessage(&t);
  EXPECT_EQ(std::string(t.info.annotation1), "\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xee\x80\x80\xef\xbf\xbd\xee\x80\x80x\xef\xbf\xbd");
  CloseResultFile(&t);
  for (const auto& c : cases) {
    ResultReader r;
    read(c.bytes, &r);
    EXPECT_EQ(r.mat.status, InvalidValue) << c.what;
    EXPECT_EQ(ResultReaderMessage(&r), c.message) << c.what;
    EXPECT_FALSE(ResultSetsLeft(&r)) << c.what;
    CloseResultFile(&r);
  }
  // Cut anywhere, the file is refused where it ends; read from the disk, too.
  const std::string path = dir / "cut.mat";
  for (size_t cut = 0; cut < f.size(); ++cut) {
    ResultReader r;
    if (cut % 97 == 0) {
      ASSERT_TRUE(WriteFileBytes(path, f.substr(0, cut)));
      if (OpenResultFile(&r, path.c_str()) == NoError) {
        ResultSet set;
        while (ResultSetsLeft(&r) && ReadResultSet(&r, &set) == NoError) {}
      }
    } else {
      read(f.substr(0, cut), &r);
    }
    const std::string message = ResultReaderMessage(&r), end = "found the end of the file at byte " + std::to_string(cut);
    EXPECT_EQ(message.substr(message.size() - std::min(message.size(), end.size())), end) << message;
    CloseResultFile(&r);
  }
}

// read_mat.py's line for a value: "<path> <class> <rows>x<cols> <values>", up to 16 numbers, else first ... last nan=n.
std::string Line(const std::string& path, const char* kind, int32_t rows, int32_t cols, const double* v) {
  const auto number = [](double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return std::isnan(x) ? std::string("NaN") : std::string(text);
  };
  std::string line = path + " " + kind + " " + std::to_string(rows) + "x" + std::to_string(cols) + " ";
  const size_t n = static_cast<size_t>(rows * cols);
  if (n > 16) return line + number(v[0]) + " ... " + number(v[n - 1]) + " nan=" + std::to_string(std::count_if(v, v + n, [](double x) { return std::isnan(x); }));
  for (size_t i = 0; i < n; ++i) line += (i ? " " : "") + number(v[i]);
  return line;
}

// qarvel's file of a run against the emulator, read here and by SciPy: the same values.
TEST(ResultReadingE2E, ReadsWhatQarvelSavedAsSciPyDoes) {
  Rig rig;
  ASSERT_EQ(rig.Run("qarvel", {"out.mat", "10:20:11", "30:31:5", "-r5", "-e5"}).exitCode, 0);
  const std::string file = rig.File("out.mat");
  ResultReader r;
  ASSERT_EQ(OpenResultFile(&r, file.c_str()), NoError) << ResultReaderMessage(&r);
  const ResultFileInfo& i = r.info;
  ASSERT_EQ(i.build, &kSweepBuilds[kQarvelBuild]);
  std::string lines = "Annotations struct 1x1 OriginalFilename,Annotation1,Annotation2,SweepPresetName\n"
                      "Annotations(1).OriginalFilename char 1x7 " + std::string(i.originalFilename) + "\n"
                      "Annotations(1).Annotation1 char 1x0 " + i.annotation1 + "\nAnnotations(1).Annotation2 char 1x0 " + i.annotation2 +
                      "\nAnnotations(1).SweepPresetName char 1x3 " + i.presetName + "\nSweepData struct 1x" + std::to_string(i.sets) +
                      " SampleNumber,MeasurementTime,Phase,Magnitude\n";
  for (int32_t s = 0; ResultSetsLeft(&r); ++s) {
    ResultSet set;
    ASSERT_EQ(ReadResultSet(&r, &set), NoError) << ResultReaderMessage(&r);
    const std::string at = "SweepData(" + std::to_string(s + 1) + ").";
    lines += Line(at + "SampleNumber", "double", 1, 1, &set.sampleNumber) + "\n" +
             Line(at + "MeasurementTime", "double", 1, 1, &set.measurementTime) + "\n" +
             Line(at + "Phase", "double", i.maxPoints, i.ranges, set.phase) + "\n" +
             Line(at + "Magnitude", "double", i.maxPoints, i.ranges, set.magnitude) + "\n";
  }
  lines += "SweepInfo struct 1x1 ";
  for (int f = 0; f < i.build->sweepInfoFields; ++f) lines += std::string(f ? "," : "") + i.build->sweepInfo[f].name;
  const double ranges = i.ranges, points[] = {double(i.points[0]), double(i.points[1])}, sweeps = i.sweeps,
               flags[] = {double(i.phasePresent), double(i.magnitudePresent), double(i.globallyAveraged)};
  const double* values[] = {&ranges, points, i.requestedStart, i.requestedStop, i.frequencies, flags, flags + 1, &i.requestedPeriod,
                            &i.realizedPeriod, &i.settlingTime, &i.averaging, flags + 2, &i.outputPower, &sweeps};
  for (int f = 0; f < i.build->sweepInfoFields; ++f) {
    const bool flag = f == 5 || f == 6 || f == 11, wide = f >= 1 && f <= 3;
    lines += "\n" + Line(std::string("SweepInfo(1).") + i.build->sweepInfo[f].name, flag ? "logical" : "double",
                         f == 4 ? i.maxPoints : 1, f == 4 || wide ? i.ranges : 1, values[f]);
  }
  CloseResultFile(&r);
  const MatDump d = ReadMat(Reader::SciPy, file);
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, lines + "\n");
  EXPECT_GE(i.sets, 2);
  EXPECT_EQ(std::vector<int32_t>(i.points, i.points + 3), std::vector<int32_t>({11, 5, 0}));
}

}  // namespace
