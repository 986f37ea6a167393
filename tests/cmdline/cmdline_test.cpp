// Command line of qarvel and vexa (this file is built once per program).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sweep/sweep.h"
#include "tests/support/legacy.h"

using namespace legacy;

namespace {

// Which program this file is built for: vexa has no global averager and
// texts of its own.
constexpr bool kVexa = SWEEP_SECOND_BUILD != 0;
const char* const kProgram = kVexa ? "vexa" : "qarvel";

struct Parsed {
  int rc;
  SweepSet set;
  SaveData save;
  int32_t autoStop;
  std::string output;
};

// Calls ParseCommandLine directly on a writable copy of the arguments.
Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), kProgram);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Parsed p{};
  testing::internal::CaptureStdout();
  p.rc = ParseCommandLine(static_cast<int>(args.size()), argv.data(), &p.set, &p.save, &p.autoStop);
  p.output = testing::internal::GetCapturedStdout();
  return p;
}

// Runs the real program; rejected command lines never reach a port, but the
// port folder is private all the same.
RunResult RunSweep(const std::vector<std::string>& args) {
  static const PortDir ports = MakePortDir();
  ProcessOptions o;
  o.argv = ProgramCommand(kProgram);
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.env = PortEnv(ports);
  return RunProgram(o, 20000);
}

const char kAvg[] = "Average length must be 1...128 samples (recommended: 1, 4, 16, 64).";
const char kStop[] = "Stop timer setting must be between 5...86400 seconds.";
const char kPower[] = "Output power setting must be -30...0 (dB under the maximum level).";
const char kRate[] = "Sample rate must be between 0.1 and 500 hertz";
const char kSettle[] = "Settling time must be 21...2000 microseconds.";
const char kType[] = "Sweep type must be -tp, -tm or -tpm (phase, magnitude or phase+magnitude).";
const char kUnknown[] = "Unknown option.";
const char kFormat[] = "Sweep definitions must be of format StartFreq:EndFreq:NSteps.";
const char kTooMany[] = "At most 8 simultaneous sweeps are possible.";
const char kStart[] = "Sweep start frequency must be a number between 10 and 100 megahertz.";
const char kStopF[] = "Sweep stop frequency must be a number between 10 and 100 megahertz.";
const char kPoints[] = "Sweep must be 2...16000 samples long.";
const char kClose[] =
    "Sweep stop frequency must be at least <number_of_steps> hertz higher than the start "
    "frequency.";
const char kNone[] = "At least one sweep must be specified.";
const char kLong[] = "Filename length limit exceeded.";

std::vector<std::string> EightRanges() {
  std::vector<std::string> r;
  for (int i = 0; i < 8; ++i) r.push_back(std::to_string(10 + i) + ":" + std::to_string(20 + i) + ":101");
  return r;
}

struct Rejection {
  std::vector<std::string> args;
  const char* message;
  int code;
};

std::vector<Rejection> Rejections() {
  std::vector<Rejection> t = {
      {{"f.mat", "10:20:100", "-a0"}, kAvg, -1},
      {{"f.mat", "10:20:100", "-a129"}, kAvg, -1},
      {{"f.mat", "10:20:100", "-a"}, kAvg, -1},
      {{"f.mat", "10:20:100", "-e4"}, kStop, -1},
      {{"f.mat", "10:20:100", "-e86401"}, kStop, -1},
      {{"f.mat", "10:20:100", "-E"}, kStop, -1},
      {{"f.mat", "10:20:100", "-o-30.5"}, kPower, -1},
      {{"f.mat", "10:20:100", "-o0.1"}, kPower, -1},
      // Not a number fails every range.
      {{"f.mat", "10:20:100", "-onan"}, kPower, -1},
      {{"f.mat", "10:20:100", "-rNaN"}, kRate, -1},
      {{"f.mat", "10:20:100", "-snan"}, kSettle, -1},
      {{"f.mat", "nan:20:100"}, kStart, -1},
      {{"f.mat", "10:nan:100"}, kStopF, -1},
      {{"f.mat", "10:20:100", "-r0.09"}, kRate, -1},
      {{"f.mat", "10:20:100", "-r"}, kRate, -1},
      {{"f.mat", "10:20:100", "-r500.01"}, kRate, -1},
      {{"f.mat", "10:20:100", "-s20"}, kSettle, -1},
      {{"f.mat", "10:20:100", "-s2000.5"}, kSettle, -1},
      {{"f.mat", "10:20:100", "-tpmx"}, kType, -1},
      {{"f.mat", "10:20:100", "-t"}, kType, -1},
      {{"f.mat", "10:20:100", "-tpp"}, kType, -1},
      {{"f.mat", "10:20:100", "-x"}, kUnknown, -2},
      {{"f.mat", "10:20:100", "-"}, kUnknown, -2},
      {{"f.mat", "10:20:100", "-1"}, kUnknown, -2},
      {{"f.mat", "10:20"}, kFormat, -2},
      {{"f.mat", "10:20:100:5"}, kFormat, -2},
      {{"f.mat", ":::"}, kFormat, -2},
      {{"f.mat", "10x:20:100"}, kStart, -1},
      {{"f.mat", "9.99:20:100"}, kStart, -1},
      {{"f.mat", "100.01:20:100"}, kStart, -1},
      {{"f.mat", "10:20x:100"}, kStopF, -1},
      {{"f.mat", "10:100.5:100"}, kStopF, -1},
      {{"f.mat", "10:9:100"}, kStopF, -1},
      {{"f.mat", "10:20:1"}, kPoints, -1},
      {{"f.mat", "10:20:16001"}, kPoints, -1},
      {{"f.mat", "10:20:x"}, kPoints, -1},
      {{"f.mat", "10:10.00005:100"}, kClose, -1},
      {{"f.mat", "20:10:5"}, kClose, -1},
      {{"f.mat", "20:19.5:5"}, kClose, -1},
      {{"f.mat", "-a4"}, kNone, -2},
      {{"f.mat", "-k"}, kNone, -2},
      // The first bad argument decides; later ones are not looked at.
      {{"f.mat", "-x", "-a0"}, kUnknown, -2},
      {{"f.mat", "-a0", "-x"}, kAvg, -1},
      {{"f.mat", "10:20", "-a0"}, kFormat, -2},
      {{"f.mat", "-a0", "10:20"}, kAvg, -1},
      {{"f.mat", "10:20:100", "10:9:100", "-x"}, kStopF, -1},
      {{std::string(257, 'n'), "10:20:100"}, kLong, -1},
      {{std::string(257, 'n'), "-x"}, kLong, -1},
  };
  auto nine = EightRanges();
  nine.insert(nine.begin(), "f.mat");
  auto nineBad = nine;
  nine.push_back("50:60:10");
  nineBad.push_back("50:60");
  t.push_back({nine, kTooMany, -1});
  t.push_back({nineBad, kFormat, -2});
  if (kVexa) {
    t.push_back({{"f.mat", "10:20:100", "-m"}, kUnknown, -2});
    t.push_back({{"f.mat", "-m", "10:20:100"}, kUnknown, -2});
  }
  return t;
}

}  // namespace

TEST(CommandLine, RejectedLinesPrintOneMessageAndExitWithTheirCode) {
  for (const auto& c : Rejections()) {
    std::string shown;
    for (const auto& a : c.args) shown += a.substr(0, 40) + " ";
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.rc, c.code) << shown;
    EXPECT_EQ(p.output, std::string("\r\n") + c.message) << shown;
  }
}

TEST(CommandLine, ProgramExitCodesAndExactOutput) {
  // The real program, a few representative lines: output and exit status.
  const std::vector<Rejection> cases = {
      {{"f.mat", "10:20:100", "-a0"}, kAvg, -1},
      {{"f.mat", "-x"}, kUnknown, -2},
      {{"f.mat", "10:20"}, kFormat, -2},
      {{"f.mat", "-a4"}, kNone, -2},
      {{std::string(257, 'n'), "10:20:100"}, kLong, -1},
  };
  for (const auto& c : cases) {
    RunResult r = RunSweep(c.args);
    EXPECT_EQ(r.exitCode, ExitByte(c.code)) << c.args[1];
    EXPECT_EQ(r.output, std::string("\r\n") + c.message) << c.args[1];
  }
}

TEST(CommandLine, UsageText) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"f.mat"}}) {
    Parsed p = Parse(args);
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.output, kVariant.usageText);
  }
  RunResult r = RunSweep({"only-a-name.mat"});
  EXPECT_EQ(r.exitCode, ExitByte(-1));
  EXPECT_EQ(r.output, kVariant.usageText);

}

TEST(CommandLine, UsageTextWhole) {
  std::vector<std::string> lines = {
      "Usage: QARVEL filename <sweep_range> <sweep_range> ... <sweep_range>",
      "                 [-aAVG][-eSTOP][-k][-rRATE][-oOUT][-sSETTLING][-tTYPE]",
      "",
      "where: ",
      "  filename        is a valid name for the MATLAB file to be created.",
      "  <sweep_range>   is a sweep specification of format start:stop:nsteps.",
      "                  Start and stop specify the sweep end points in MHz and",
      "                  nsteps is the sweep length in points. At most 8 sweep",
      "                  ranges can be specified. At least one range is required.",
      "",
  };
  if (kVexa) {
    lines.insert(lines.end(), {
        "  -aAVG           specifies the amount of averaging to be used. Default value",
        "                  is 1 (no averaging). The maximum value is 128 and the ",
        "                  recommended values are 1, 4, 16 and 64 (these are faster",
        "                  than other values).",
    });
  } else {
    lines.insert(lines.end(), {
        "  -aAVG           specifies the amount of averaging to be used per sample. The ",
        "                  default value is 1 (no averaging). The maximum value is 128 ",
        "                  and the recommended values are 1, 4, 16 and 64 (these are ",
        "                  faster than the other values).",
        "  -m              enables the global averager: all the sweeps are averaged and",
        "                  thus the output file will contain only one sweep record.",
    });
  }
  lines.insert(lines.end(), {
      "  -eSTOP          specifies the auto-stop time: measurement runs STOP seconds",
      "                  after start. If -e parameter is not specified, auto-stop",
      "                  is not in use and the measurement must be stopped manually.",
      "  -k              when specified, the RF section is kept alive after the ",
      "                  measurement is stopped.",
      "  -rRATE          specifies the sample rate, which must be between 0.1 and 500",
      "                  hertz. The default value is 10.",
      "  -oOUT           specifies the relative output power level. This is in dB,",
      "                  0 being maximum and -30 minimum. The default value is 0.",
      "  -sSETTLING      specifies the settling time in microseconds. The allowed",
      "                  range is 21...2000. If omitted, the default is 20.",
      "  -tTYPE          specifies the sweep type. This can be -tp, -tm or -tpm, ",
      "                  specifying phase, magnitude or phase+magnitude sweep. The",
      "                  default value is -tpm.",
  });
  std::string expected = "\r\n";
  for (size_t i = 0; i < lines.size(); ++i) expected += lines[i] + (i + 1 < lines.size() ? "\r\n" : "");
  expected += "\r\n\r\n";
  EXPECT_EQ(kVariant.usageText, expected);
}

TEST(CommandLine, DefaultsAndInterleavedArguments) {
  Parsed p = Parse({"f.mat", "-a4", "10:20:100", "-tp", "30:40:50"});
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.output, "");
  EXPECT_STREQ(p.save.OriginalFilename, "f.mat");
  EXPECT_EQ(p.set.NumberOfRanges, 2);
  EXPECT_EQ(p.set.StartFrequency[1], 30.0);
  EXPECT_EQ(p.set.StopFrequency[1], 40.0);
  EXPECT_EQ(p.set.Points[1], 50);
  EXPECT_EQ(p.set.Points[2], 0);
  EXPECT_EQ(p.set.StartFrequency[7], 0.0);
  EXPECT_EQ(p.set.Averaging, 4);
  EXPECT_EQ(p.set.SweepType, 0);
  EXPECT_EQ(p.set.SampleRate, 10.0);
  EXPECT_EQ(p.set.SettlingTime, 0.00002);
  EXPECT_EQ(p.set.OutputPower, 0.0);
  EXPECT_EQ(p.set.KeepRfAlive, 0);
  EXPECT_EQ(p.autoStop, -1);
  EXPECT_EQ(p.save.IsGloballyAveraged, 0);
}

TEST(CommandLine, AcceptedValues) {
  const struct {
    std::vector<std::string> extra;
    void (*check)(const Parsed&);
  } cases[] = {
      {{"-A4"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 4); }},
      {{"-a4xyz"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 4); }},
      {{"-a1"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 1); }},
      {{"-a128"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 128); }},
      {{"-a 7"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 7); }},
      {{"-a9", "-a3"}, [](const Parsed& p) { EXPECT_EQ(p.set.Averaging, 3); }},
      {{"-e5"}, [](const Parsed& p) { EXPECT_EQ(p.autoStop, 5); }},
      {{"-e86400"}, [](const Parsed& p) { EXPECT_EQ(p.autoStop, 86400); }},
      {{"-o"}, [](const Parsed& p) { EXPECT_EQ(p.set.OutputPower, 0.0); }},
      {{"-o-30"}, [](const Parsed& p) { EXPECT_EQ(p.set.OutputPower, -30.0); }},
      {{"-o-6dB"}, [](const Parsed& p) { EXPECT_EQ(p.set.OutputPower, -6.0); }},
      {{"-r0.1"}, [](const Parsed& p) { EXPECT_EQ(p.set.SampleRate, 0.1); }},
      {{"-R500"}, [](const Parsed& p) { EXPECT_EQ(p.set.SampleRate, 500.0); }},
      {{"-s21"}, [](const Parsed& p) { EXPECT_DOUBLE_EQ(p.set.SettlingTime, 0.000021); }},
      {{"-s2000"}, [](const Parsed& p) { EXPECT_DOUBLE_EQ(p.set.SettlingTime, 0.002); }},
      {{"-tPM"}, [](const Parsed& p) { EXPECT_EQ(p.set.SweepType, 2); }},
      {{"-tmp"}, [](const Parsed& p) { EXPECT_EQ(p.set.SweepType, 2); }},
      {{"-tM"}, [](const Parsed& p) { EXPECT_EQ(p.set.SweepType, 1); }},
      {{"-Tp"}, [](const Parsed& p) { EXPECT_EQ(p.set.SweepType, 0); }},
      {{"-kfoo"}, [](const Parsed& p) { EXPECT_EQ(p.set.KeepRfAlive, 1); }},
      {{"10::20:100"}, [](const Parsed& p) {
         EXPECT_EQ(p.set.NumberOfRanges, 2);
         EXPECT_EQ(p.set.StopFrequency[1], 20.0);
       }},
      {{"::10:20:100::"}, [](const Parsed& p) { EXPECT_EQ(p.set.NumberOfRanges, 2); }},
      {{"10:20:100x"}, [](const Parsed& p) { EXPECT_EQ(p.set.Points[1], 100); }},
      {{"10:10.0002:100"}, [](const Parsed& p) { EXPECT_EQ(p.set.StopFrequency[1], 10.0002); }},
      {{"10:20:16000"}, [](const Parsed& p) { EXPECT_EQ(p.set.Points[1], 16000); }},
      {{"1e1:2e1:2"}, [](const Parsed& p) { EXPECT_EQ(p.set.StopFrequency[1], 20.0); }},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"f.mat", "50:60:11"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Parsed p = Parse(args);
    ASSERT_EQ(p.rc, 0) << c.extra[0] << p.output;
    EXPECT_EQ(p.output, "") << c.extra[0];
    c.check(p);
  }
}

TEST(CommandLine, LimitsOfCountsAndNames) {
  auto eight = EightRanges();
  eight.insert(eight.begin(), "f.mat");
  Parsed p = Parse(eight);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.set.NumberOfRanges, 8);
  EXPECT_EQ(p.set.StartFrequency[7], 17.0);

  std::string name(256, 'n');
  p = Parse({name, "10:20:100"});
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(std::string(p.save.OriginalFilename), name);
}

TEST(CommandLine, GlobalAveragingOptionDependsOnBuild) {
  Parsed p = Parse({"f.mat", "10:20:100", "-mxyz"});
  if (kVexa) {
    EXPECT_EQ(p.rc, -2);
    EXPECT_EQ(p.output, std::string("\r\n") + kUnknown);
  } else {
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.save.IsGloballyAveraged, 1);
  }
}
