// The sweep instrument's payloads and words against the instrument's
// reference frames and encoding tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "sweep/protocol.h"

namespace {

// Frames a payload the way the instrument expects it and renders the bytes
// as upper-case hex separated by blanks.
std::string FrameHex(uint8_t type, const uint8_t* payload, uint16_t length) {
  std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, type, static_cast<uint8_t>(length),
                            static_cast<uint8_t>(length >> 8)};
  f.insert(f.end(), payload, payload + length);
  uint8_t sum = 0;
  for (uint8_t b : f) sum = static_cast<uint8_t>(sum + b);
  f.push_back(static_cast<uint8_t>(~sum & 0x7F));
  std::string hex;
  for (uint8_t b : f) {
    char part[4];
    std::snprintf(part, sizeof part, "%02X ", b);
    hex += part;
  }
  hex.pop_back();
  return hex;
}

SweepSet OneRange(double start, double stop, int32_t points) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = 1;
  s.StartFrequency[0] = start;
  s.StopFrequency[0] = stop;
  s.Points[0] = points;
  return s;
}

TEST(SweepProtocol, ReferenceFrames) {
  SweepSet s = OneRange(10.0, 20.0, 101);  // 10 Hz, 20 us, averaging 1, both, 0 dB
  uint8_t basic[kBasicBytes];
  EncodeBasic(s, basic);
  EXPECT_EQ(FrameHex(PktConfBasic, basic, kBasicBytes),
            "FF FF FF FF FF 10 08 00 F4 01 02 03 01 03 FF 03 6C");

  uint8_t freq[kFreqEntryBytes];
  PackFreqEntry(MakeFreqEntry(s, 0), freq);
  EXPECT_EQ(FrameHex(PktConfFreq, freq, kFreqEntryBytes),
            "FF FF FF FF FF 11 0A 00 A2 70 3D 0A 65 00 E2 36 1A 00 79");

  uint8_t led[1];
  EncodeLed(led);
  EXPECT_EQ(FrameHex(PktConfLed, led, 1), "FF FF FF FF FF 12 01 00 01 70");

  const struct {
    uint8_t run, rf;
    const char* frame;
  } starts[] = {{1, 1, "FF FF FF FF FF 40 02 00 01 01 40"},
                {0, 0, "FF FF FF FF FF 40 02 00 00 00 42"},
                {0, 1, "FF FF FF FF FF 40 02 00 00 01 41"}};
  for (const auto& c : starts) {
    uint8_t start[2];
    EncodeStart(c.run, c.rf, start);
    EXPECT_EQ(FrameHex(PktStart, start, 2), c.frame);
  }
}

TEST(SweepProtocol, BasicPayloadFields) {
  SweepSet s = OneRange(10.0, 20.0, 101);
  s.SampleRate = 0.1;
  s.SettlingTime = 0.002;
  s.Averaging = 128;
  s.OutputPower = -30.0;
  const uint8_t modes[3] = {1, 2, 3};
  for (int32_t type = 0; type < 3; ++type) {
    s.SweepType = type;
    uint8_t b[kBasicBytes];
    EncodeBasic(s, b);
    const uint8_t expected[kBasicBytes] = {0xA7, 0xC3, 230, 3, 128, modes[type], 32, 0};
    EXPECT_EQ(0, std::memcmp(b, expected, kBasicBytes)) << "sweep type " << type;
  }
}

TEST(SweepProtocol, EncodingTables) {
  const struct {
    double rate;
    uint16_t word;
  } periods[] = {{500.0, 10}, {10.0, 500}, {0.1, 50087}};
  for (const auto& c : periods) EXPECT_EQ(PeriodWord(c.rate), c.word) << c.rate << " Hz";

  const struct {
    double seconds;
    uint8_t word;
  } settling[] = {{0.00002, 2}, {21 * 0.000001, 2}, {2000 * 0.000001, 230}};
  for (const auto& c : settling) EXPECT_EQ(SettlingWord(c.seconds), c.word) << c.seconds;

  const struct {
    double db;
    uint16_t word;
  } amplitude[] = {{0.0, 1023}, {-6.0, 512}, {-20.0, 102}, {-30.0, 32}};
  for (const auto& c : amplitude) EXPECT_EQ(AmplitudeWord(c.db), c.word) << c.db << " dB";

  EXPECT_EQ(StartWord(10.0), 171798690u);
  EXPECT_EQ(StartWord(100.0), 1717986900u);
  EXPECT_EQ(StepWord(10.0, 20.0, 101), 1717986u);
  // Product first, then divided: 1546188210 / 15999 = 96642.8...
  EXPECT_EQ(StepWord(10.0, 100.0, 16000), 96642u);
  EXPECT_EQ(StepWord(50.0, 50.0, 2), 0u);  // stop equal to start
  // Values that cannot be sent never wrap around.
  EXPECT_EQ(StartWord(-1.0), 0u);
  EXPECT_EQ(StepWord(20.0, 10.0, 11), 0u);
  EXPECT_EQ(PeriodWord(0.0), 0xFFFF);
  EXPECT_EQ(ModeByte(3), 0);
}

TEST(SweepProtocol, DecodedRanges) {
  const struct {
    uint16_t raw;
    double phase, magnitude;
  } cases[] = {{0, -90.0, -30.0}, {65535, 114.796875, 38.265625}, {28800, 0.0, 0.0}};
  for (const auto& c : cases) {
    EXPECT_EQ(PhaseFromRaw(c.raw), c.phase) << c.raw;
    EXPECT_DOUBLE_EQ(MagnitudeFromRaw(c.raw), c.magnitude) << c.raw;
  }
  EXPECT_EQ(MagnitudeFromRaw(29760), 1.0);
}

TEST(SweepProtocol, Limits) {
  const struct {
    const char* what;
    void (*change)(SweepSet*);
    bool valid;
  } cases[] = {
      {"defaults", [](SweepSet*) {}, true},
      {"no range", [](SweepSet* s) { s->NumberOfRanges = 0; }, false},
      {"nine ranges", [](SweepSet* s) { s->NumberOfRanges = 9; }, false},
      {"eight ranges", [](SweepSet* s) {
         s->NumberOfRanges = 8;
         for (int i = 0; i < 8; ++i) {
           s->StartFrequency[i] = 10 + i;
           s->StopFrequency[i] = 20 + i;
           s->Points[i] = 16000;
         }
       }, true},
      {"0.1 Hz", [](SweepSet* s) { s->SampleRate = 0.1; }, true},
      {"500 Hz", [](SweepSet* s) { s->SampleRate = 500; }, true},
      {"0.09 Hz", [](SweepSet* s) { s->SampleRate = 0.09; }, false},
      {"501 Hz", [](SweepSet* s) { s->SampleRate = 501; }, false},
      {"NaN Hz", [](SweepSet* s) { s->SampleRate = std::nan(""); }, false},
      {"2 ms", [](SweepSet* s) { s->SettlingTime = 2000 * 0.000001; }, true},
      {"19 us", [](SweepSet* s) { s->SettlingTime = 0.000019; }, false},
      {"2.1 ms", [](SweepSet* s) { s->SettlingTime = 0.0021; }, false},
      {"averaging 0", [](SweepSet* s) { s->Averaging = 0; }, false},
      {"averaging 128", [](SweepSet* s) { s->Averaging = 128; }, true},
      {"averaging 129", [](SweepSet* s) { s->Averaging = 129; }, false},
      {"type -1", [](SweepSet* s) { s->SweepType = -1; }, false},
      {"type 3", [](SweepSet* s) { s->SweepType = 3; }, false},
      {"-30 dB", [](SweepSet* s) { s->OutputPower = -30; }, true},
      {"-30.5 dB", [](SweepSet* s) { s->OutputPower = -30.5; }, false},
      {"+0.5 dB", [](SweepSet* s) { s->OutputPower = 0.5; }, false},
      {"1 point", [](SweepSet* s) { s->Points[0] = 1; }, false},
      {"16001 points", [](SweepSet* s) { s->Points[0] = 16001; }, false},
      {"start 9.9", [](SweepSet* s) { s->StartFrequency[0] = 9.9; }, false},
      {"stop 100.1", [](SweepSet* s) { s->StopFrequency[0] = 100.1; }, false},
      {"stop below start", [](SweepSet* s) { s->StopFrequency[0] = 11.0; }, false},
      {"stop equal start", [](SweepSet* s) { s->StopFrequency[0] = 12.0; }, true},
      {"second range bad", [](SweepSet* s) {
         s->NumberOfRanges = 2;
         s->StartFrequency[1] = 20;
         s->StopFrequency[1] = 30;
         s->Points[1] = 0;
       }, false},
      {"unconfigured slot ignored", [](SweepSet* s) { s->Points[1] = -5; }, true},
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
  s.StartFrequency[1] = 100.0;
  s.StopFrequency[1] = 100.0;
  s.Points[1] = 2;
  s.Points[5] = 7;  // unconfigured slots are copied, their words stay 0
  s.StartFrequency[5] = 50.0;
  s.OutputPower = -6.0;
  s.Averaging = 16;
  s.SweepType = 0;
  SweepInfo info;
  std::memset(&info, 0x5A, sizeof info);
  FillSweepInfo(s, &info);

  EXPECT_EQ(info.NumberOfRanges, 2);
  EXPECT_EQ(info.Points[0], 101);
  EXPECT_EQ(info.Points[5], 7);
  EXPECT_EQ(info.RequestedStart[0], 10000000.0);
  EXPECT_EQ(info.RequestedStop[0], 20000000.0);
  EXPECT_EQ(info.RequestedStart[5], 50000000.0);
  EXPECT_EQ(info.StartWord[0], 171798690.0);
  EXPECT_EQ(info.StepWord[0], 1717986.0);
  EXPECT_EQ(info.StartWord[1], 1717986900.0);
  EXPECT_EQ(info.StepWord[1], 0.0);
  EXPECT_EQ(info.StartWord[5], 0.0);
  EXPECT_EQ(info.SettlingTime, 0.00002);
  EXPECT_EQ(info.Averaging, 16.0);
  EXPECT_EQ(info.RequestedPeriod, 0.1);
  EXPECT_DOUBLE_EQ(info.RealizedPeriod, 0.099825);
  EXPECT_EQ(info.OutputPower, -6.0);
  EXPECT_EQ(info.SweepType, 0);
  EXPECT_STREQ(info.PresetName, "CLI");
  for (size_t i = 4; i < sizeof info.PresetName; ++i) EXPECT_EQ(info.PresetName[i], 0);

  s.SampleRate = 0.1;
  FillSweepInfo(s, &info);
  EXPECT_DOUBLE_EQ(info.RealizedPeriod, 9.99986955);
}

}  // namespace
