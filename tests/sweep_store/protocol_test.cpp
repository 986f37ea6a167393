// The sweep instrument's payloads, words, conversions and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sweep/protocol.h"
#include "tests/support/harness.h"

namespace {

// One range; the rest as the defaults: 10 Hz, 20 us, averaging 1, both kinds, 0 dB.
SweepSet OneRange(double start, double stop, int32_t points) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = 1;
  s.StartFrequency[0] = start, s.StopFrequency[0] = stop, s.Points[0] = points;
  return s;
}

std::string Bytes(const uint8_t* p, size_t n) { return Hex(std::string(p, p + n)); }

TEST(SweepProtocol, Payloads) {
  SweepSet s = OneRange(10.0, 20.0, 101);
  uint8_t b[kFreqEntryBytes];
  EncodeBasic(s, b);
  EXPECT_EQ(Bytes(b, kBasicBytes), "f4 01 02 03 01 03 ff 03");
  s.SampleRate = 0.1, s.SettlingTime = 0.002, s.Averaging = 128, s.OutputPower = -30.0;
  for (int32_t type : {0, 1, 2}) {
    s.SweepType = type;
    EncodeBasic(s, b);
    EXPECT_EQ(Bytes(b, kBasicBytes), "a7 c3 e6 03 80 0" + std::to_string(type + 1) + " 20 00");
  }
  PackFreqEntry(MakeFreqEntry(s, 0), b);
  EXPECT_EQ(Bytes(b, kFreqEntryBytes), "a2 70 3d 0a 65 00 e2 36 1a 00");
  EncodeLed(b);
  EncodeStart(0, 1, b + 1);
  EXPECT_EQ(Bytes(b, 3), "01 00 01");
  EncodeStart(1, 0, b);
  EXPECT_EQ(Bytes(b, 2), "01 00");
  // The record of the configuration (its defaults show in every result file).
  SweepInfo i;
  std::memset(&i, 0x5A, sizeof i);
  FillSweepInfo(s, &i);
  EXPECT_EQ(i.SettlingTime, 0.002);
  EXPECT_EQ(i.Averaging, 128);
  EXPECT_EQ(i.RequestedPeriod, 10);
  EXPECT_DOUBLE_EQ(i.RealizedPeriod, 9.99986955);
  EXPECT_EQ(i.OutputPower, -30);
  EXPECT_EQ(i.SweepType, 2);
  EXPECT_EQ(i.StartWord[1], 0);  // slots beyond the configured ranges
}

TEST(SweepProtocol, WordsAndValues) {
  const struct { const char* what; uint32_t got, want; } words[] = {
      {"period 500 Hz", PeriodWord(500.0), 10},     {"period 10 Hz", PeriodWord(10.0), 500},
      {"period 0.1 Hz", PeriodWord(0.1), 50087},    {"period 0 Hz", PeriodWord(0.0), 0xFFFF},
      {"settling 20 us", SettlingWord(2e-5), 2},    {"settling 21 us", SettlingWord(2.1e-5), 2},
      {"settling 2 ms", SettlingWord(0.002), 230},  {"0 dB", AmplitudeWord(0.0), 1023},
      {"-6 dB", AmplitudeWord(-6.0), 512},          {"-20 dB", AmplitudeWord(-20.0), 102},
      {"-30 dB", AmplitudeWord(-30.0), 32},         {"start 10", StartWord(10.0), 171798690},
      {"start 100", StartWord(100.0), 1717986900},  {"start -1", StartWord(-1.0), 0},
      {"step 10..20, 101", StepWord(10, 20, 101), 1717986},
      // Product first, then divided: 1546188210 / 15999 = 96642.8...
      {"step 10..100, 16000", StepWord(10, 100, 16000), 96642},
      {"step 50..50", StepWord(50, 50, 2), 0},      {"step 20..10", StepWord(20, 10, 11), 0},
      {"mode of type 3", ModeByte(3), 0},
  };
  for (const auto& c : words) EXPECT_EQ(c.got, c.want) << c.what;
  const struct { uint16_t raw; double phase, magnitude; } values[] = {
      {0, -90, -30}, {28800, 0, 0}, {29760, 3, 1}, {65535, 114.796875, 38.265625}};
  for (const auto& c : values) {
    EXPECT_EQ(PhaseFromRaw(c.raw), c.phase) << c.raw;
    EXPECT_DOUBLE_EQ(MagnitudeFromRaw(c.raw), c.magnitude) << c.raw;
  }
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
  SweepSet s = OneRange(12, 20, 101);
  for (const auto& c : reals) {
    S changed = s;
    changed.*c.field = c.value;
    EXPECT_EQ(SweepSetWithinLimits(changed), c.valid) << c.value;
  }
  for (const auto& c : ints) {
    S changed = s;
    changed.*c.field = c.value;
    EXPECT_EQ(SweepSetWithinLimits(changed), c.valid) << c.value;
  }
  for (const auto& c : ranges) {
    EXPECT_EQ(SweepSetWithinLimits(OneRange(c.start, c.stop, c.points)), c.valid)
        << c.start << " to " << c.stop << ", " << c.points;
  }
  s.Points[1] = -5;  // not configured: not checked
  EXPECT_TRUE(SweepSetWithinLimits(s));
  s.NumberOfRanges = 2;
  EXPECT_FALSE(SweepSetWithinLimits(s));
  for (int i = 0; i < 8; ++i) s.StartFrequency[i] = 10 + i, s.StopFrequency[i] = 90 + i, s.Points[i] = 2;
  s.NumberOfRanges = 8;
  EXPECT_TRUE(SweepSetWithinLimits(s));
}

}  // namespace
