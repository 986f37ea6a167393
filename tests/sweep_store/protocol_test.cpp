// The sweep instrument's payloads, words, conversions and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "sweep/protocol.h"
#include "tests/support/harness.h"

namespace {

SweepSet OneRange(double start, double stop, int32_t points) {
  SweepSet s;
  DefaultSweepSet(&s);  // 10 Hz, 20 us, averaging 1, both kinds, 0 dB
  s.NumberOfRanges = 1;
  s.StartFrequency[0] = start;
  s.StopFrequency[0] = stop;
  s.Points[0] = points;
  return s;
}

std::string Bytes(const uint8_t* p, size_t n) { return Hex(std::string(p, p + n)); }

TEST(SweepProtocol, Payloads) {
  SweepSet s = OneRange(10.0, 20.0, 101);
  uint8_t b[kFreqEntryBytes];
  EncodeBasic(s, b);
  EXPECT_EQ(Bytes(b, kBasicBytes), "f4 01 02 03 01 03 ff 03");
  s.SampleRate = 0.1;
  s.SettlingTime = 0.002;
  s.Averaging = 128;
  s.OutputPower = -30.0;
  for (int32_t type : {0, 1, 2}) {
    s.SweepType = type;
    EncodeBasic(s, b);
    EXPECT_EQ(Bytes(b, kBasicBytes), "a7 c3 e6 03 80 0" + std::to_string(type + 1) + " 20 00");
  }
  PackFreqEntry(MakeFreqEntry(s, 0), b);
  EXPECT_EQ(Bytes(b, kFreqEntryBytes), "a2 70 3d 0a 65 00 e2 36 1a 00");
  EncodeLed(b);
  EXPECT_EQ(Bytes(b, 1), "01");
  EncodeStart(1, 0, b);
  EXPECT_EQ(Bytes(b, 2), "01 00");
  EncodeStart(0, 1, b);
  EXPECT_EQ(Bytes(b, 2), "00 01");
}

TEST(SweepProtocol, WordsAndValues) {
  const struct {
    const char* what;
    uint32_t got, want;
  } words[] = {
      {"period 500 Hz", PeriodWord(500.0), 10},
      {"period 10 Hz", PeriodWord(10.0), 500},
      {"period 0.1 Hz", PeriodWord(0.1), 50087},
      {"period 0 Hz, clamped", PeriodWord(0.0), 0xFFFF},
      {"settling 20 us", SettlingWord(0.00002), 2},
      {"settling 21 us", SettlingWord(0.000021), 2},
      {"settling 2 ms", SettlingWord(0.002), 230},
      {"0 dB", AmplitudeWord(0.0), 1023},
      {"-6 dB", AmplitudeWord(-6.0), 512},
      {"-20 dB", AmplitudeWord(-20.0), 102},
      {"-30 dB", AmplitudeWord(-30.0), 32},
      {"start 10 MHz", StartWord(10.0), 171798690},
      {"start 100 MHz", StartWord(100.0), 1717986900},
      {"start -1 MHz, clamped", StartWord(-1.0), 0},
      {"step 10..20 MHz, 101 points", StepWord(10.0, 20.0, 101), 1717986},
      // Product first, then divided: 1546188210 / 15999 = 96642.8...
      {"step 10..100 MHz, 16000 points", StepWord(10.0, 100.0, 16000), 96642},
      {"step of a flat range", StepWord(50.0, 50.0, 2), 0},
      {"step downwards, clamped", StepWord(20.0, 10.0, 11), 0},
      {"mode of an unknown type", ModeByte(3), 0},
  };
  for (const auto& c : words) EXPECT_EQ(c.got, c.want) << c.what;
  const struct {
    const char* what;
    double got, want;
  } values[] = {
      {"phase of 0", PhaseFromRaw(0), -90.0},
      {"phase of 65535", PhaseFromRaw(65535), 114.796875},
      {"phase of 28800", PhaseFromRaw(28800), 0.0},
      {"magnitude of 0", MagnitudeFromRaw(0), -30.0},
      {"magnitude of 28800", MagnitudeFromRaw(28800), 0.0},
      {"magnitude of 29760", MagnitudeFromRaw(29760), 1.0},
  };
  for (const auto& c : values) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_DOUBLE_EQ(MagnitudeFromRaw(65535), 38.265625);
}

TEST(SweepProtocol, Limits) {
  const struct {
    const char* what;
    std::function<void(SweepSet*)> change;
    bool valid;
  } cases[] = {
      {"as given", [](SweepSet*) {}, true},
      {"no range", [](SweepSet* s) { s->NumberOfRanges = 0; }, false},
      {"nine ranges", [](SweepSet* s) { s->NumberOfRanges = 9; }, false},
      {"eight ranges", [](SweepSet* s) {
         s->NumberOfRanges = 8;
         for (int i = 0; i < 8; ++i) s->StartFrequency[i] = 10 + i, s->StopFrequency[i] = 20 + i, s->Points[i] = 16000;
       }, true},
      {"second range without points", [](SweepSet* s) {
         s->NumberOfRanges = 2, s->StartFrequency[1] = 20, s->StopFrequency[1] = 30;
       }, false},
      {"unconfigured slot ignored", [](SweepSet* s) { s->Points[1] = -5; }, true},
      {"0.1 Hz", [](SweepSet* s) { s->SampleRate = 0.1; }, true},
      {"500 Hz", [](SweepSet* s) { s->SampleRate = 500; }, true},
      {"0.09 Hz", [](SweepSet* s) { s->SampleRate = 0.09; }, false},
      {"501 Hz", [](SweepSet* s) { s->SampleRate = 501; }, false},
      {"NaN Hz", [](SweepSet* s) { s->SampleRate = std::nan(""); }, false},
      {"2 ms", [](SweepSet* s) { s->SettlingTime = 0.002; }, true},
      {"19 us", [](SweepSet* s) { s->SettlingTime = 0.000019; }, false},
      {"2.1 ms", [](SweepSet* s) { s->SettlingTime = 0.0021; }, false},
      {"averaging 0", [](SweepSet* s) { s->Averaging = 0; }, false},
      {"averaging 128", [](SweepSet* s) { s->Averaging = 128; }, true},
      {"averaging 129", [](SweepSet* s) { s->Averaging = 129; }, false},
      {"type -1", [](SweepSet* s) { s->SweepType = -1; }, false},
      {"type 0", [](SweepSet* s) { s->SweepType = 0; }, true},
      {"type 3", [](SweepSet* s) { s->SweepType = 3; }, false},
      {"-30 dB", [](SweepSet* s) { s->OutputPower = -30; }, true},
      {"-30.5 dB", [](SweepSet* s) { s->OutputPower = -30.5; }, false},
      {"+0.5 dB", [](SweepSet* s) { s->OutputPower = 0.5; }, false},
      {"2 points", [](SweepSet* s) { s->Points[0] = 2; }, true},
      {"1 point", [](SweepSet* s) { s->Points[0] = 1; }, false},
      {"16001 points", [](SweepSet* s) { s->Points[0] = 16001; }, false},
      {"start 9.9", [](SweepSet* s) { s->StartFrequency[0] = 9.9; }, false},
      {"start 10, stop 100", [](SweepSet* s) { s->StartFrequency[0] = 10, s->StopFrequency[0] = 100; }, true},
      {"stop 100.1", [](SweepSet* s) { s->StopFrequency[0] = 100.1; }, false},
      {"stop below start", [](SweepSet* s) { s->StopFrequency[0] = 11.0; }, false},
      {"stop equal to start", [](SweepSet* s) { s->StopFrequency[0] = 12.0; }, true},
  };
  for (const auto& c : cases) {
    SweepSet s = OneRange(12.0, 20.0, 101);
    c.change(&s);
    EXPECT_EQ(SweepSetWithinLimits(s), c.valid) << c.what;
  }
}

TEST(SweepProtocol, SweepInfoFromParameters) {
  SweepSet s = OneRange(10.0, 20.0, 101);
  s.NumberOfRanges = 2;
  s.StartFrequency[1] = s.StopFrequency[1] = 100.0;
  s.Points[1] = 2;
  s.Points[5] = 7;  // unconfigured slots are copied, their words stay 0
  s.StartFrequency[5] = 50.0;
  s.OutputPower = -6.0;
  s.Averaging = 16;
  s.SweepType = 0;
  SweepInfo info;
  std::memset(&info, 0x5A, sizeof info);
  FillSweepInfo(s, &info);
  const double got[] = {double(info.NumberOfRanges), double(info.Points[0]), double(info.Points[5]),
                        info.RequestedStart[0], info.RequestedStop[0], info.RequestedStart[5],
                        info.StartWord[0], info.StepWord[0], info.StartWord[1], info.StepWord[1],
                        info.StartWord[5], info.SettlingTime, info.Averaging, info.RequestedPeriod,
                        info.OutputPower, double(info.SweepType)};
  const double want[] = {2, 101, 7, 10e6, 20e6, 50e6, 171798690, 1717986, 1717986900, 0, 0,
                         0.00002, 16, 0.1, -6, 0};
  for (size_t i = 0; i < std::size(got); ++i) EXPECT_EQ(got[i], want[i]) << "value " << i;
  EXPECT_DOUBLE_EQ(info.RealizedPeriod, 0.099825);
  EXPECT_EQ(std::string(info.PresetName, sizeof info.PresetName), "CLI" + std::string(81, '\0'));
  s.SampleRate = 0.1;
  FillSweepInfo(s, &info);
  EXPECT_DOUBLE_EQ(info.RealizedPeriod, 9.99986955);
}

}  // namespace
