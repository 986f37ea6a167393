// The instrument emulators against an independent encoder and literal bytes (the programs share the frame
// code with the emulator, so an end-to-end test cannot see a fault in it), and the instrument-emulator program.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "emulator/instrument.h"
#include "link/link.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

using encode::U16;
using encode::U32;
using Commands = std::vector<std::pair<uint8_t, std::string>>;

std::string Basic(uint16_t period, char mode) { return U16(period) + "\x02\x03\x01" + mode + "\xFF\x03"; }
// 10-20 MHz in 101 points, 30-31 MHz in 50 points.
const std::string kTwoRanges = U32(171798690) + U16(101) + U32(1717986) + U32(515396070) + U16(50) + U32(350609);
std::string Reply(uint8_t type, const std::string& payload) { return Hex(encode::Frame(type, payload)) + " "; }
std::string Status(int16_t status) { return Reply(0x00, U16(uint16_t(status))); }

// Gives the device commands in turn: the frames it answered with.
std::string Answers(Instrument* inst, const Commands& commands) {
  std::vector<OutFrame> out;
  for (const auto& [type, payload] : commands) {
    InstrumentCommand(inst, type, reinterpret_cast<const uint8_t*>(payload.data()), uint16_t(payload.size()), &out);
  }
  std::string answers;
  for (const OutFrame& f : out) answers += Hex(f.bytes) + " ";
  return answers;
}

// Commands in turn to a device of each kind: not configured, three bad
// payloads, the other kind's query unanswered, busy while measuring.
TEST(Instrument, Answers) {
  Instrument inst;
  InstrumentInit(&inst, EmulatorConfig{EmuSweep});
  EXPECT_EQ(Answers(&inst, {{0x40, "\x01\x01"}, {0x10, Basic(25, 0)}, {0x11, std::string(9, '\0')},
                            {0x11, U32(1) + U16(16001) + U32(1)}, {0xF1, ""}, {0xF0, ""}, {0x10, Basic(25, 3)},
                            {0x11, kTwoRanges}, {0x12, "\x01"}, {0x40, "\x01\x01"}, {0x11, kTwoRanges},
                            {0x40, std::string(2, '\0')}}),
            Status(3) + Status(2) + Status(2) + Status(2) + Status(0) + Status(0) + Status(0) + Status(0) +
                Status(0) + Status(4) + Status(0));
  InstrumentInit(&inst, EmulatorConfig{EmuSwitch});
  EXPECT_EQ(Answers(&inst, {{0xF0, ""}, {0xF1, ""}, {0x50, "\x01"}, {0x50, "\x02"}, {0x50, ""}, {0x60, ""}}),
            Status(0) + Status(0) + Status(2) + Status(2) + Status(0) + Reply(0x61, std::string("\xFD\0\xDD\0", 4)));
  EXPECT_EQ(inst.switchPort, 1);  // 25.3 and 22.1 degrees above
}

TEST(Instrument, SweepDataLayout) {
  EmulatorConfig config;
  config.initError = true;
  Instrument inst;
  InstrumentInit(&inst, config);
  std::vector<OutFrame> out;
  Answers(&inst, {{0x10, Basic(25, 3)}, {0x11, kTwoRanges}, {0x40, "\x01\x01"}});
  InstrumentSweepSet(&inst, &out);
  InstrumentSkipSet(&inst);
  InstrumentSweepSet(&inst, &out);
  Answers(&inst, {{0x40, std::string(2, '\0')}, {0x10, Basic(25, 1)}, {0x40, "\x01\x01"}});
  InstrumentSweepSet(&inst, &out);
  // Type, length; flags (initialization error), content, range, sample number, 6 bytes, points, 4 bytes, ticks.
  const char* const heads[] = {
      "60 a9 01 80 03 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",
      "60 dd 00 80 03 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "60 a9 01 00 03 00 03 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // after a skipped set
      "60 dd 00 00 03 01 03 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "60 df 00 80 01 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // phase only
      "60 79 00 80 01 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
  };
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    const std::string bytes(out[i].bytes.begin(), out[i].bytes.end());
    EXPECT_EQ(Hex(bytes.substr(5, 24)), heads[i]);
    EXPECT_EQ(Hex(bytes) + " ", Reply(0x60, bytes.substr(8, bytes.size() - 9))) << i;
    EXPECT_TRUE(out[i].dataPacket && out[i].endsSet == (i % 2 == 1)) << i;
  }
}

// The decoded samples of the frames of one sweep set: per range, phase and magnitude (empty when not sent).
struct Samples { std::vector<double> phase, magnitude; };
std::vector<Samples> Decode(const std::vector<OutFrame>& frames) {
  std::vector<Samples> ranges;
  for (const OutFrame& f : frames) {
    const uint8_t* h = &f.bytes[8];
    Samples s;
    const uint8_t* word = h + 21;
    for (int i = 0; i < int(h[13] | h[14] << 8); ++i) {
      if (h[1] & 1) s.phase.push_back((int(word[0] | word[1] << 8) - 28800) * 0.003125), word += 2;
      if (h[1] & 2) s.magnitude.push_back((int(word[0] | word[1] << 8) - 28800) / 960.0), word += 2;
    }
    ranges.push_back(s);
  }
  return ranges;
}

// The resonance of each range: without noise, every sample is the model at the truth of its set, to the raw
// sample's rounding: magnitude 30 - 10 log10(1 + x^2) dB and phase 12.4 - atan(x) degrees, x = 2 Q (f - f0) / f0,
// f0 swinging by a tenth of the span about the middle once a minute (at 10 Hz, 600 sets), Q as configured or
// a half-power width of 5% of the span. A flat range holds 0 dB and 12.4 degrees, its truth NaN.
TEST(Instrument, Resonance) {
  struct Case { char mode; double q[2]; uint32_t flat; };
  const Case cases[] = {{3, {0, 0}, 0}, {3, {250, 40}, 0}, {1, {0, 1000}, 0}, {2, {0, 0}, 2}, {3, {300, 0}, 1}};
  const double hz = 0.05820766091346741;
  const double first[2] = {171798690 * hz, 515396070 * hz}, step[2] = {1717986 * hz, 350609 * hz};
  const int points[2] = {101, 50};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(&c - cases));
    EmulatorConfig config;
    config.magnitudeNoiseDb = config.phaseNoiseDeg = 0;
    config.q[0] = c.q[0], config.q[1] = c.q[1], config.flatRanges = c.flat;
    Instrument inst;
    InstrumentInit(&inst, config);
    Answers(&inst, {{0x10, Basic(500, c.mode)}, {0x11, kTwoRanges}, {0x40, "\x01\x01"}});  // 10 Hz
    for (int set = 0; set < 160; ++set) {
      std::vector<OutFrame> out;
      if (set % 40 != 39) {  // sets 40, 80, ... of a quarter minute each
        InstrumentSkipSet(&inst);
        continue;
      }
      InstrumentSweepSet(&inst, &out);
      const std::vector<Samples> ranges = Decode(out);
      ASSERT_EQ(ranges.size(), 2u);
      EXPECT_EQ(inst.truthSample, uint32_t(set + 1));
      for (int r = 0; r < 2; ++r) {
        const double span = step[r] * (points[r] - 1);
        const double f0 = first[r] + span * (0.5 + 0.1 * std::sin(2 * M_PI * set * 500 * 0.00019965 / 60));
        const double q = c.q[r] > 0 ? c.q[r] : (first[r] + span / 2) / (0.05 * span);
        const bool flat = (c.flat >> r) & 1;
        if (flat) {
          EXPECT_TRUE(std::isnan(inst.truth[r].f0Hz) && std::isnan(inst.truth[r].q));
        } else {
          EXPECT_NEAR(inst.truth[r].f0Hz, f0, 1e-6);
          EXPECT_NEAR(inst.truth[r].q, q, 1e-9);
        }
        EXPECT_EQ(ranges[r].phase.size(), c.mode & 1 ? size_t(points[r]) : 0u);
        EXPECT_EQ(ranges[r].magnitude.size(), c.mode & 2 ? size_t(points[r]) : 0u);
        double f = first[r];
        for (int i = 0; i < points[r]; ++i, f += step[r]) {
          const double x = flat ? 0 : 2 * q * (f - f0) / f0;
          if (c.mode & 1) {
            EXPECT_NEAR(ranges[r].phase[i], 12.4 - std::atan(x) * 180 / M_PI, 0.0015625 + 1e-9) << i;
          }
          if (c.mode & 2) {
            EXPECT_NEAR(ranges[r].magnitude[i], flat ? 0 : 30 - 10 * std::log10(1 + x * x), 0.5 / 960 + 1e-9) << i;
          }
        }
      }
    }
  }
}

// The noise is Gaussian of the configured level in each quantity, the same for the same seed, and other for
// another; over the drift of a minute the samples of the ranges that the demo, the tests and the benchmark use
// never reach the ends of the 16-bit scale, where they would clip.
TEST(Instrument, NoiseAndNoClipping) {
  const std::string flat16000 = U32(171798690) + U16(16000) + U32(10737);  // 10-10.01 MHz
  for (double noise : {0.05, 0.5}) {
    EmulatorConfig config;
    config.flatRanges = 1, config.magnitudeNoiseDb = noise, config.phaseNoiseDeg = 4 * noise;
    Instrument a, b, other;
    InstrumentInit(&a, config), InstrumentInit(&b, config);
    config.seed = 2;
    InstrumentInit(&other, config);
    std::vector<OutFrame> out[3];
    for (Instrument* inst : {&a, &b, &other}) {
      Answers(inst, {{0x10, Basic(500, 3)}, {0x11, flat16000}, {0x40, "\x01\x01"}});
      InstrumentSweepSet(inst, &out[inst == &a ? 0 : inst == &b ? 1 : 2]);
    }
    EXPECT_EQ(out[0][0].bytes, out[1][0].bytes);
    EXPECT_NE(out[0][0].bytes, out[2][0].bytes);
    const Samples s = Decode(out[0])[0];
    for (int k = 0; k < 2; ++k) {
      const std::vector<double>& v = k == 0 ? s.phase : s.magnitude;
      const double level = k == 0 ? 12.4 : 0, sigma = k == 0 ? 4 * noise : noise;
      double sum = 0, squares = 0, beyond = 0;
      for (double x : v) sum += x - level, squares += (x - level) * (x - level), beyond += std::fabs(x - level) > 2 * sigma;
      EXPECT_NEAR(sum / double(v.size()), 0, 4 * sigma / std::sqrt(16000.0)) << k;
      EXPECT_NEAR(std::sqrt(squares / double(v.size())) / sigma, 1, 0.03) << k;
      EXPECT_NEAR(beyond / double(v.size()), 0.0455, 0.006) << k;  // a normal tail, not a uniform one
    }
  }
  struct Range { double start, stop; int points, q; };
  const std::vector<std::vector<Range>> runs = {{{10, 20, 101, 0}, {25, 26, 201, 0}}, {{14.5, 15.5, 201, 100}},
                                                {{25.45, 25.55, 201, 2000}},            {{39, 41, 101, 1000}},
                                                {{10, 20, 16000, 500}, {30, 40, 16000, 0}, {50, 60, 151, 0}}};
  for (const std::vector<Range>& run : runs) {
    EmulatorConfig config;
    std::string freq;
    for (size_t r = 0; r < run.size(); ++r) {
      config.q[r] = run[r].q;
      const uint32_t start = uint32_t(run[r].start * 17179869);
      freq += U32(start) + U16(uint16_t(run[r].points)) +
              U32(uint32_t((run[r].stop - run[r].start) * 17179869 / (run[r].points - 1)));
    }
    Instrument inst;
    InstrumentInit(&inst, config);
    Answers(&inst, {{0x10, Basic(500, 3)}, {0x11, freq}, {0x40, "\x01\x01"}});
    int lowest = 65535, highest = 0;
    for (int set = 0; set < 600; set += 10) {
      std::vector<OutFrame> out;
      InstrumentSweepSet(&inst, &out);
      for (int skip = 0; skip < 9; ++skip) InstrumentSkipSet(&inst);
      for (const OutFrame& f : out) {
        for (size_t i = 8 + 21; i + 1 < f.bytes.size() - 1; i += 2) {
          lowest = std::min(lowest, f.bytes[i] | f.bytes[i + 1] << 8);
          highest = std::max(highest, f.bytes[i] | f.bytes[i + 1] << 8);
        }
      }
    }
    EXPECT_GT(lowest, 0) << run[0].start;
    EXPECT_LT(highest, 65535) << run[0].start;
  }
}

TEST(Emulator, Program) {
  const Rig rig(EmulatorConfig{}, false);  // for its port folder
  ProcessHandle p = rig.Start("instrument-emulator", {"sweep", "--com", "2"});
  ASSERT_TRUE(WaitForOutput(p.get(), "Serving the sweep instrument", 5000)) << Output(p.get());
  setenv("COMPORT_DIR", rig.ports.dir().c_str(), 1);
  PortHandle port = kInvalidPort;
  EXPECT_EQ(DetectDevice(&port), 0);
  ClosePort(port);
  SignalProcess(p.get(), SIGTERM);
  EXPECT_EQ(WaitExit(p.get(), 5000), 0);
  EXPECT_EQ(ListDir(rig.ports.dir()), std::vector<std::string>{});  // the link is gone
}

// The resonance options: --q and --flat per range, the noise levels, and --truth, which gets one line per set and
// range as the sets go out, and says so at once when it cannot be written.
TEST(Emulator, ProgramResonanceOptions) {
  const Rig rig(EmulatorConfig{}, false);
  struct Case { std::vector<std::string> args; int status; const char* message; };
  const Case refused[] = {
      {{"--q", "1,2,3,4,5,6,7,8,9"}, 2, "bad or missing value for --q"},
      {{"--q", "100,-1"}, 2, "bad or missing value for --q"},
      {{"--q", "100,"}, 2, "bad or missing value for --q"},
      {{"--flat", "9"}, 2, "bad or missing value for --flat"},
      {{"--flat", "1.5"}, 2, "bad or missing value for --flat"},
      {{"--noise-db", "-0.1"}, 2, "bad or missing value for --noise-db"},
      {{"--noise-deg", "nan"}, 2, "bad or missing value for --noise-deg"},
      {{"--truth", rig.File("no/such/folder")}, 1, "cannot write"},
  };
  for (const Case& c : refused) {
    ProcessOptions o;
    o.stderrPath = rig.File("err");
    std::vector<std::string> args = {"sweep", "--port-dir", rig.ports.dir()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(rig.Run("instrument-emulator", args, o).exitCode, c.status) << c.args[0];
    EXPECT_NE(ReadFileBytes(rig.File("err")).find(c.message), std::string::npos) << ReadFileBytes(rig.File("err"));
  }

  const std::string truth = rig.File("truth");
  ProcessHandle emulator = rig.Start("instrument-emulator", {"sweep", "--port-dir", rig.ports.dir(), "--q", "300,0",
                                                              "--flat", "2", "--truth", truth, "--speed", "20"});
  ASSERT_TRUE(WaitForOutput(emulator.get(), "Serving the sweep instrument", 5000)) << Output(emulator.get());
  ProcessHandle qarvel = rig.Start("qarvel", {"out.mat", "14.5:15.5:201", "20:21:101"});
  ASSERT_TRUE(WaitForOutput(qarvel.get(), "Started.", 30000)) << Output(qarvel.get());
  for (int waited = 0; ReadFileBytes(truth).size() < 200 && waited < 10000; waited += 20) usleep(20000);
  EXPECT_GE(ReadFileBytes(truth).size(), 200u) << "the truth is written while the sets go out";
  usleep(300000);
  WriteStdin(qarvel.get(), "k");
  EXPECT_EQ(WaitExit(qarvel.get(), 30000), 0);
  SignalProcess(emulator.get(), SIGTERM);
  EXPECT_EQ(WaitExit(emulator.get(), 5000), 0);

  // Every set in the file has its two lines, range 1 with Q 300 and its f0, range 2 flat.
  std::ifstream in(truth);
  std::map<long, std::vector<std::string>> lines;
  for (std::string line; std::getline(in, line);) lines[std::atol(line.c_str())].push_back(line);
  const MatDump d = ReadMat(Reader::SciPy, rig.File("out.mat"));
  const long sets = std::atol(Fact(d.out, "SweepInfo(1).NumberOfSweeps").substr(11).c_str());
  ASSERT_GT(sets, 5) << d.err;
  for (long s = 1; s <= sets; ++s) {
    const long sample = std::atol(Fact(d.out, "SweepData(" + std::to_string(s) + ").SampleNumber").substr(11).c_str());
    ASSERT_EQ(lines[sample].size(), 2u) << sample;
    std::istringstream one(lines[sample][0]), two(lines[sample][1]);
    long number, range;
    double f0, q;
    one >> number >> range >> f0 >> q;
    EXPECT_EQ(range, 1);
    EXPECT_EQ(q, 300);
    const double first = 249108100 * 0.05820766091346741, span = 85899 * 0.05820766091346741 * 200;
    EXPECT_NEAR(f0, first + span * (0.5 + 0.1 * std::sin(2 * M_PI * double(sample - 1) * 500 * 0.00019965 / 60)), 1e-6);
    std::string nan1, nan2;
    two >> number >> range >> nan1 >> nan2;
    EXPECT_EQ(std::to_string(range) + " " + nan1 + " " + nan2, "2 nan nan");
  }
}

}  // namespace
