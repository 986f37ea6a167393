// The command line of qarvel and vexa, parsed in process (this file is built
// once per program), and the status texts.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "link/status.h"
#include "sweep/cmdline.h"

namespace {

// Which program this file is built for: vexa has no -m and texts of its own.
const SweepBuild& kBuild = kSweepBuilds[SWEEP_SECOND_BUILD];
const bool kVexa = kBuild.id == kVexaBuild;

struct Parsed {
  int rc;
  SweepSet set;
  SaveData save;
  int32_t autoStop;
  std::string output;  // stdout
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), kVexa ? "vexa" : "qarvel");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  Parsed p{};
  testing::internal::CaptureStdout();
  p.rc = ParseCommandLine(kBuild, static_cast<int>(args.size()), argv.data(), &p.set, &p.save, &p.autoStop);
  p.output = testing::internal::GetCapturedStdout();
  return p;
}

std::vector<std::string> Ranges(int n, const std::string& last = "") {
  std::vector<std::string> r = {"f.mat"};
  for (int i = 0; i < n; ++i) r.push_back(std::to_string(10 + i) + ":" + std::to_string(20 + i) + ":101");
  if (!last.empty()) r.push_back(last);
  return r;
}

}  // namespace

TEST(CommandLine, RejectedLinesPrintOneMessageAndExitWithTheirCode) {
  const char* const kAvg = "Average length must be 1...128 samples (recommended: 1, 4, 16, 64).";
  const char* const kStop = "Stop timer setting must be between 5...86400 seconds.";
  const char* const kPower = "Output power setting must be -30...0 (dB under the maximum level).";
  const char* const kRate = "Sample rate must be between 0.1 and 500 hertz";
  const char* const kSettle = "Settling time must be 21...2000 microseconds.";
  const char* const kType =
      "Sweep type must be -tp, -tm or -tpm (phase, magnitude or phase+magnitude).";
  const char* const kUnknown = "Unknown option.";
  const char* const kFormat = "Sweep definitions must be of format StartFreq:EndFreq:NSteps.";
  const char* const kStart = "Sweep start frequency must be a number between 10 and 100 megahertz.";
  const char* const kStopF = "Sweep stop frequency must be a number between 10 and 100 megahertz.";
  const char* const kPoints = "Sweep must be 2...16000 samples long.";
  const char* const kClose = "Sweep stop frequency must be at least <number_of_steps> hertz "
                             "higher than the start frequency.";
  const struct {
    std::vector<std::string> args;
    const char* message;
    int code;
  } cases[] = {
      {{"f.mat", "10:20:100", "-a0"}, kAvg, -1}, {{"f.mat", "10:20:100", "-a129"}, kAvg, -1},
      {{"f.mat", "10:20:100", "-a"}, kAvg, -1}, {{"f.mat", "10:20:100", "-e4"}, kStop, -1},
      {{"f.mat", "10:20:100", "-e86401"}, kStop, -1}, {{"f.mat", "10:20:100", "-E"}, kStop, -1},
      {{"f.mat", "10:20:100", "-o-30.5"}, kPower, -1}, {{"f.mat", "10:20:100", "-o0.1"}, kPower, -1},
      {{"f.mat", "10:20:100", "-onan"}, kPower, -1}, {{"f.mat", "10:20:100", "-r0.09"}, kRate, -1},
      {{"f.mat", "10:20:100", "-r"}, kRate, -1}, {{"f.mat", "10:20:100", "-r500.01"}, kRate, -1},
      {{"f.mat", "10:20:100", "-rNaN"}, kRate, -1}, {{"f.mat", "10:20:100", "-s20"}, kSettle, -1},
      {{"f.mat", "10:20:100", "-s2000.5"}, kSettle, -1},
      {{"f.mat", "10:20:100", "-snan"}, kSettle, -1}, {{"f.mat", "10:20:100", "-tpmx"}, kType, -1},
      {{"f.mat", "10:20:100", "-t"}, kType, -1}, {{"f.mat", "10:20:100", "-tpp"}, kType, -1},
      {{"f.mat", "10:20:100", "-x"}, kUnknown, -2}, {{"f.mat", "10:20:100", "-"}, kUnknown, -2},
      {{"f.mat", "10:20"}, kFormat, -2}, {{"f.mat", "10:20:100:5"}, kFormat, -2},
      {{"f.mat", ":::"}, kFormat, -2}, {{"f.mat", "10x:20:100"}, kStart, -1},
      {{"f.mat", "9.99:20:100"}, kStart, -1}, {{"f.mat", "100.01:20:100"}, kStart, -1},
      {{"f.mat", "nan:20:100"}, kStart, -1}, {{"f.mat", "10:20x:100"}, kStopF, -1},
      {{"f.mat", "10:100.5:100"}, kStopF, -1}, {{"f.mat", "10:9:100"}, kStopF, -1},
      {{"f.mat", "10:nan:100"}, kStopF, -1}, {{"f.mat", "10:20:1"}, kPoints, -1},
      {{"f.mat", "10:20:16001"}, kPoints, -1}, {{"f.mat", "10:20:x"}, kPoints, -1},
      {{"f.mat", "10:10.00005:100"}, kClose, -1}, {{"f.mat", "20:10:5"}, kClose, -1},
      // Each limit of a range just passed: the start and stop frequencies 10 and 100 MHz are accepted as such,
      // and the stop must lie the points' count in hertz above the start.
      {{"f.mat", "10:9.99:100"}, kStopF, -1}, {{"f.mat", "100:100:2"}, kClose, -1},
      {{"f.mat", "10:10:2"}, kClose, -1}, {{"f.mat", "10:10.0000019:2"}, kClose, -1},
      {{"f.mat", "20:19.5:5"}, kClose, -1},
      {{"f.mat", "-k"}, "At least one sweep must be specified.", -2},
      // The first bad argument decides; later ones are not looked at.
      {{"f.mat", "-x", "-a0"}, kUnknown, -2}, {{"f.mat", "-a0", "10:20"}, kAvg, -1},
      {{"f.mat", "10:20:100", "10:9:100", "-x"}, kStopF, -1},
      {{std::string(257, 'n'), "-x"}, "Filename length limit exceeded.", -1},
      {Ranges(8, "50:60:10"), "At most 8 simultaneous sweeps are possible.", -1},
      {Ranges(8, "50:60"), kFormat, -2},
      {{"f.mat", "10:20:100", "-mxyz"}, kVexa ? kUnknown : nullptr, -2},
  };
  for (const auto& c : cases) {
    if (c.message == nullptr) continue;
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.rc, c.code) << c.args.back().substr(0, 40);
    EXPECT_EQ(p.output, std::string("\r\n") + c.message) << c.args.back().substr(0, 40);
  }
}

TEST(CommandLine, AcceptedLinesAndWhatTheyHandOver) {
  Parsed p = Parse({"f.mat", "-a4", "10:20:100", "-tp", "30:40:50"});
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.output, "");
  EXPECT_STREQ(p.save.OriginalFilename, "f.mat");
  EXPECT_EQ(p.set.NumberOfRanges, 2);
  EXPECT_EQ(p.set.StartFrequency[1], 30.0);
  EXPECT_EQ(p.set.StopFrequency[1], 40.0);
  EXPECT_EQ(p.set.Points[1], 50);
  EXPECT_EQ(p.set.Points[2], 0);
  EXPECT_EQ(p.set.Averaging, 4);
  EXPECT_EQ(p.set.SweepType, 0);
  // Defaults: 10 Hz, 20 us, 0 dB, no -k, -e or -m.
  EXPECT_EQ(p.set.SampleRate, 10.0);
  EXPECT_EQ(p.set.SettlingTime, 0.00002);
  EXPECT_EQ(p.set.OutputPower + p.set.KeepRfAlive + p.save.IsGloballyAveraged, 0.0);
  EXPECT_EQ(p.autoStop, -1);

  // The option (or extra range) added to "f.mat 50:60:11", and the value it sets.
  const struct {
    std::string extra;
    char field;  // a: Averaging, e: autoStop, o: OutputPower, r: SampleRate, s: SettlingTime
                 // (us), t: SweepType, k: KeepRfAlive, m: IsGloballyAveraged, f: StopFrequency[1],
                 // n: NumberOfRanges, p: Points[1]
    double expected;
  } cases[] = {
      {"-A4", 'a', 4},         {"-a4xyz", 'a', 4},      {"-a1", 'a', 1},
      {"-a128", 'a', 128},     {"-e5", 'e', 5},         {"-e86400", 'e', 86400},
      {"-o", 'o', 0},          {"-o-30", 'o', -30},     {"-o-6dB", 'o', -6},
      {"-r0.1", 'r', 0.1},     {"-R500", 'r', 500},     {"-s21", 's', 21},
      {"-s2000", 's', 2000},   {"-tPM", 't', 2},        {"-tmp", 't', 2},
      {"-tM", 't', 1},         {"-kfoo", 'k', 1},       {"-m", 'm', 1},
      {"10::20:100", 'f', 20}, {"::10:20:100::", 'n', 2}, {"10:20:100x", 'p', 100},
      {"10:10.0002:100", 'f', 10.0002}, {"1e1:2e1:16000", 'p', 16000},
      {"10:20:2", 'p', 2},     {"90:100:2", 'f', 100},  {"10:10.000002:2", 'f', 10.000002},
      {"-o0", 'o', 0},
  };
  for (const auto& c : cases) {
    if (kVexa && c.extra == "-m") continue;
    p = Parse({"f.mat", "50:60:11", c.extra});
    ASSERT_EQ(p.rc, 0) << c.extra << p.output;
    const double values[] = {1.0 * p.set.Averaging, 1.0 * p.autoStop, p.set.OutputPower,
                             p.set.SampleRate, p.set.SettlingTime * 1e6, 1.0 * p.set.SweepType,
                             1.0 * p.set.KeepRfAlive, 1.0 * p.save.IsGloballyAveraged,
                             p.set.StopFrequency[1], 1.0 * p.set.NumberOfRanges, 1.0 * p.set.Points[1]};
    EXPECT_DOUBLE_EQ(values[std::string("aeorstkmfnp").find(c.field)], c.expected) << c.extra;
  }
  p = Parse({"f.mat", "50:60:11", "-a9", "-a 3"});
  EXPECT_EQ(p.set.Averaging, 3);
  p = Parse(Ranges(8));
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.set.StartFrequency[7], 17.0);
  p = Parse({std::string(256, 'n'), "10:20:100"});
  EXPECT_EQ(std::string(p.save.OriginalFilename), std::string(256, 'n'));
}

TEST(CommandLine, UsageText) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"f.mat"}}) {
    const Parsed p = Parse(args);
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.output.substr(0, 72),
              "\r\nUsage: QARVEL filename <sweep_range> <sweep_range> ... <sweep_range>\r\n");
    EXPECT_EQ(p.output.size(), kVexa ? 1771u : 1948u);
    EXPECT_EQ(p.output.find("  -m "), kVexa ? std::string::npos : 813u);
    EXPECT_NE(p.output.find(kVexa ? "      than other values).\r\n  -e"
                                  : "is 128 \r\n                  and the recommended"),
              std::string::npos);
    EXPECT_EQ(p.output.substr(p.output.size() - 26), "default value is -tpm.\r\n\r\n");
  }
}

TEST(StatusMessage, NamedCodesAndFallback) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "No error."},          {-1000, "Detect error."},    {-2000, "Write error."},
      {-3000, "Invalid value."}, {-4000, "No data."},         {-5000, "Checksum error."},
      {-6000, "Out of memory."}, {-7000, "Can't open file."}, {-8000, "Invalid operation."},
      {-9000, "Read error."},    {-202, "Error -202."},       {5, "Error 5."},
      {INT32_MIN, "Error -2147483648."},
  };
  for (const auto& c : cases) EXPECT_STREQ(StatusMessage(c.first), c.second) << c.first;
  const char* first = StatusMessage(-1);
  EXPECT_EQ(first, StatusMessage(7));  // one buffer, overwritten
  EXPECT_STREQ(first, "Error 7.");
}
