// The resonance fit of the Windows build against the native one: track-fit-check.exe under Wine fits a few
// hundred ranges of every status and kind, and gives the native statuses and numbers within 1e-9 relative (the
// C runtimes' log and atan may differ in their last digits, nothing more); qarvel-track.exe gives the native
// program's rows.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tests/support/emulated_sets.h"
#include "matfile/matfile.h"
#include "tests/support/harness.h"
#include "tests/support/wine.h"
#include "track/track.h"

namespace {

struct Fitted {
  std::vector<double> freq, magnitude, phase;
};

void Append(std::string* file, const Fitted& r) {
  const int32_t n = int32_t(r.freq.size());
  const uint8_t present = uint8_t((r.magnitude.empty() ? 0 : 1) | (r.phase.empty() ? 0 : 2));
  file->append(reinterpret_cast<const char*>(&n), sizeof n);
  file->push_back(char(present));
  for (const std::vector<double>* v : {&r.freq, &r.magnitude, &r.phase}) {
    file->append(reinterpret_cast<const char*>(v->data()), v->size() * sizeof(double));
  }
}

bool Close(double native, double windows) {
  if (std::isnan(native) || std::isnan(windows)) return std::isnan(native) && std::isnan(windows);
  return std::fabs(native - windows) <= 1e-9 * std::max(std::fabs(native), std::fabs(windows));
}

TEST(TrackFitUnderWine, GivesTheNativeFits) {
  struct Case { RangeSpec spec; double q; bool flat; size_t first, count; };
  const Case cases[] = {{{14.5, 15.5, 201}, 100, false, 0, 201},    {{25.45, 25.55, 201}, 2000, false, 0, 201},
                        {{39, 41, 101}, 1000, false, 0, 101},       {{14.5, 15.5, 201}, 100, false, 0, 70},
                        {{14.95, 15.05, 101}, 50, false, 0, 101},   {{14.5, 15.5, 201}, 100, true, 0, 201},
                        {{10, 20, 16000}, 500, false, 0, 16000}};
  std::vector<Fitted> ranges;
  for (const Case& c : cases) {
    for (int32_t kind = 0; kind < 3; ++kind) {
      EmulatorConfig config;
      config.q[0] = c.q, config.flatRanges = c.flat ? 1 : 0, config.seed = uint32_t(kind + 1);
      std::vector<double> freq;
      for (const MeasuredRange& m : MeasureRange(config, c.spec, kind, c.spec.points > 1000 ? 4 : 18, &freq)) {
        auto cut = [&](const std::vector<double>& v) {
          return v.empty() ? v : std::vector<double>(v.begin() + long(c.first), v.begin() + long(c.first + c.count));
        };
        Fitted r{cut(freq), cut(m.magnitude), cut(m.phase)};
        if (ranges.size() % 4 == 1) {  // some rows without a frequency or a value
          for (size_t i = 3; i < r.freq.size(); i += 17) (i % 2 ? r.freq : (kind == 0 ? r.phase : r.magnitude))[i] = NAN;
        }
        ranges.push_back(r);
      }
    }
  }
  const TempDir dir("fit-wine");
  std::string file;
  for (const Fitted& r : ranges) Append(&file, r);
  ASSERT_TRUE(WriteFileBytes(dir / "ranges", file));
  ProcessOptions o;
  o.argv = ProgramCommand("track-fit-check");
  o.argv.push_back("ranges");
  o.cwd = dir.path;
  const RunResult run = RunProgram(o, 120000);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::istringstream lines(run.output);
  size_t compared = 0, statuses[4] = {};
  for (const Fitted& r : ranges) {
    int status = -1;
    double numbers[6];
    lines >> status;
    for (double& v : numbers) {
      std::string word;
      lines >> word;
      v = std::strtod(word.c_str(), nullptr);  // "nan" in any spelling the runtime prints
    }
    ASSERT_TRUE(lines) << "the Windows build fitted " << compared << " of " << ranges.size() << " ranges";
    const Resonance native = FitResonance(r.freq.data(), r.magnitude.empty() ? nullptr : r.magnitude.data(),
                                          r.phase.empty() ? nullptr : r.phase.data(), int32_t(r.freq.size()));
    EXPECT_EQ(status, int(native.status)) << compared;
    const double expected[6] = {native.f0Hz, native.fwhmHz, native.q, native.peakDb, native.phaseDeg, native.residual};
    for (int i = 0; i < 6; ++i) {
      EXPECT_TRUE(Close(expected[i], numbers[i])) << compared << " number " << i << ": " << expected[i] << " vs "
                                                  << numbers[i];
    }
    ++statuses[native.status == FitStatus::NoData ? 3 : int(native.status)];
    ++compared;
  }
  EXPECT_EQ(compared, ranges.size());
  EXPECT_GE(compared, 300u);
  for (int s = 0; s < 3; ++s) EXPECT_GT(statuses[s], 10u) << "status " << s;  // ok, edge and none all compared
}

}  // namespace

namespace {

// A version-2 journal of sets of the emulated instrument: a resonance well inside its range (ok), one wider than its
// range (edge), a flat range (none).
std::string EmulatedJournal(int sets) {
  EmulatorConfig config;
  config.q[0] = 100, config.q[1] = 50, config.flatRanges = 4;
  EmulatedSweep sweep;
  if (!StartEmulatedSweep(&sweep, config, {{14.5, 15.5, 201}, {14.95, 15.05, 101}, {30, 31, 51}}, 2)) return "";
  constexpr int64_t kStart = 134411000000000000;
  std::string journal = EmulatedJournalHeader(sweep, kStart);
  for (int s = 0; s < sets; ++s) journal += EmulatedJournalSet(&sweep, kStart + 1234567 * (s + 1));
  return journal;
}

std::vector<std::vector<std::string>> CsvFields(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // CRLF allowed
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream in(line + ",");
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// qarvel-track.exe gives the native program's rows: the same files, sample numbers, ranges, statuses and UTC, and
// numbers within 1e-9 relative, for result files, journals of both versions and a vexa folder.
TEST(TrackUnderWine, GivesTheNativeFits) {
  const TempDir dir("track-wine");
  const std::string fixtures = QARVEL_SOURCE_DIR "/tests/sweep_store/journal_v1/";
  for (const char* name : {"run.mat", "run.mat.journal", "3.mat", "3.mat.journal"}) {
    ASSERT_TRUE(WriteFileBytes(dir / name, ReadFileBytes(fixtures + name)));
  }
  ASSERT_EQ(mkdir((dir / "cycles").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFileBytes(dir / "cycles/1.mat", ReadFileBytes(fixtures + "3.mat")));
  const std::string journal = EmulatedJournal(40);
  ASSERT_FALSE(journal.empty());
  ASSERT_TRUE(WriteFileBytes(dir / "cycles/2.mat.journal", journal));
  ASSERT_TRUE(WriteFileBytes(dir / "e.journal", journal));
  const std::vector<std::string> sources = {"run.mat", "run.mat.journal", "3.mat.journal", "e.journal", "cycles"};
  ProcessOptions o;
  o.argv = ProgramCommand("qarvel-track");
  o.argv.insert(o.argv.end(), sources.begin(), sources.end());
  o.cwd = dir.path;
  ASSERT_TRUE(WineRunsProgram(o.argv));
  const RunResult windows = RunProgram(o, 120000);
  o.argv = {QARVEL_BUILD_DIR "/qarvel-track"};
  o.argv.insert(o.argv.end(), sources.begin(), sources.end());
  const RunResult native = RunProgram(o, 120000);
  ASSERT_EQ(windows.exitCode, 0) << windows.output;
  ASSERT_EQ(native.exitCode, 0) << native.output;
  const auto a = CsvFields(native.output), b = CsvFields(windows.output);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 200u);
  size_t statuses[4] = {};
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), 12u) << i;
    ASSERT_EQ(b[i].size(), 12u) << i;
    for (size_t f = 0; f < 12; ++f) {
      const bool number = i > 0 && (f == 2 || (f >= 5 && f <= 10));
      if (!number || a[i][f].empty() || b[i][f].empty()) {
        EXPECT_EQ(a[i][f], b[i][f]) << "row " << i << " field " << f;
      } else {
        EXPECT_TRUE(Close(std::strtod(a[i][f].c_str(), nullptr), std::strtod(b[i][f].c_str(), nullptr)))
            << "row " << i << " field " << f << ": " << a[i][f] << " vs " << b[i][f];
      }
    }
    if (i > 0) ++statuses[a[i][11] == "ok" ? 0 : a[i][11] == "edge" ? 1 : a[i][11] == "none" ? 2 : 3];
  }
  for (int s = 0; s < 3; ++s) EXPECT_GT(statuses[s], 20u) << "status " << s;

  // The MAT output, spooled through a scratch file of the platform's own: the same matrices.
  o.argv = ProgramCommand("qarvel-track");
  o.argv.insert(o.argv.end(), sources.begin(), sources.end());
  o.argv.insert(o.argv.end(), {"-o", "windows.mat"});
  ASSERT_EQ(RunProgram(o, 120000).exitCode, 0);
  o.argv = {QARVEL_BUILD_DIR "/qarvel-track"};
  o.argv.insert(o.argv.end(), sources.begin(), sources.end());
  o.argv.insert(o.argv.end(), {"-o", "native.mat"});
  ASSERT_EQ(RunProgram(o, 120000).exitCode, 0);
  MatReader w{}, n{};
  ASSERT_EQ(OpenMatReader(&w, (dir / "windows.mat").c_str()), NoError) << MatReaderMessage(&w);
  ASSERT_EQ(OpenMatReader(&n, (dir / "native.mat").c_str()), NoError) << MatReaderMessage(&n);
  for (int m = 0; m < 11; ++m) {
    MatMatrixHead hw, hn;
    ASSERT_EQ(ReadMatrixHead(&w, &hw), NoError) << MatReaderMessage(&w);
    ASSERT_EQ(ReadMatrixHead(&n, &hn), NoError) << MatReaderMessage(&n);
    EXPECT_STREQ(hw.name, hn.name);
    ASSERT_EQ(hw.rows * 10 + hw.columns, hn.rows * 10 + hn.columns) << hn.name;
    std::vector<double> vw(hw.dataBytes / 8), vn(hn.dataBytes / 8);
    ASSERT_EQ(ReadMatrixData(&w, vw.data(), hw.dataBytes), NoError);
    ASSERT_EQ(ReadMatrixData(&n, vn.data(), hn.dataBytes), NoError);
    for (size_t i = 0; i < vn.size(); ++i) EXPECT_TRUE(Close(vn[i], vw[i])) << hn.name << " " << i;
  }
  CloseMatReader(&w);
  CloseMatReader(&n);
  EXPECT_TRUE(ReadFileBytes(dir / "windows.mat").size() == ReadFileBytes(dir / "native.mat").size());
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"3.mat", "3.mat.journal", "cycles", "e.journal",
                                                        "native.mat", "run.mat", "run.mat.journal", "windows.mat"}));
}

}  // namespace
