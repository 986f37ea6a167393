// The sweep instrument's payload encoders and the configuration record.
#include "sweep/sweep_commands.h"

#include <cmath>
#include <cstring>

namespace {

// Truncates toward zero into a word of at most maxValue. Values that cannot
// be represented (negative, not a number, too large) are clamped so that the
// conversion is always defined; the limits check keeps them from being sent.
uint32_t TruncateWord(double value, uint32_t maxValue) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(maxValue)) return maxValue;
  return static_cast<uint32_t>(value);
}

}  // namespace

void DefaultSweepSet(SweepSet* s) {
  std::memset(s, 0, sizeof *s);
  s->SampleRate = 10.0;
  s->SettlingTime = 0.00002;
  s->SweepType = 2;
  s->OutputPower = 0.0;
  s->Averaging = 1;
}

bool SweepSetWithinLimits(const SweepSet& s) {
  if (s.NumberOfRanges < 1 || s.NumberOfRanges > kMaxRanges) return false;
  if (!Within(s.SampleRate, 0.1, 500.0)) return false;
  if (!Within(s.SettlingTime, 0.00002, 0.002)) return false;
  if (s.Averaging < 1 || s.Averaging > 128) return false;
  if (s.SweepType < 0 || s.SweepType > 2) return false;
  if (!Within(s.OutputPower, -30.0, 0.0)) return false;
  for (int i = 0; i < s.NumberOfRanges; ++i) {
    if (s.Points[i] < 2 || s.Points[i] > kMaxPoints) return false;
    if (!Within(s.StartFrequency[i], 10.0, 100.0)) return false;
    if (!Within(s.StopFrequency[i], s.StartFrequency[i], 100.0)) return false;
  }
  return true;
}

uint16_t PeriodWord(double sampleRateHz) {
  return static_cast<uint16_t>(TruncateWord(1.0 / (sampleRateHz * kTickSeconds), 0xFFFF));
}

uint8_t SettlingWord(double settlingSeconds) {
  return static_cast<uint8_t>(TruncateWord(settlingSeconds / kSettlingUnitSeconds, 0xFF));
}

uint16_t AmplitudeWord(double powerDb) {
  return static_cast<uint16_t>(
      TruncateWord(std::pow(10.0, powerDb / 20.0) * kMaxAmplitudeWord, 0xFFFF));
}

uint32_t StartWord(double startMHz) { return TruncateWord(startMHz * kWordsPerMHz, 0xFFFFFFFFu); }

uint32_t StepWord(double startMHz, double stopMHz, int32_t points) {
  if (points < 2) return 0;
  double product = (stopMHz - startMHz) * kWordsPerMHz;
  return TruncateWord(product / (points - 1), 0xFFFFFFFFu);
}

uint8_t ModeByte(int32_t sweepType) {
  static const uint8_t kSweepMode[3] = {1, 2, 3};
  return (sweepType >= 0 && sweepType <= 2) ? kSweepMode[sweepType] : 0;
}

void EncodeBasic(const SweepSet& s, uint8_t out[kBasicBytes]) {
  PutU16(out, PeriodWord(s.SampleRate));
  out[2] = SettlingWord(s.SettlingTime);
  out[3] = 3;
  out[4] = static_cast<uint8_t>(s.Averaging);
  out[5] = ModeByte(s.SweepType);
  PutU16(out + 6, AmplitudeWord(s.OutputPower));
}

FreqEntry MakeFreqEntry(const SweepSet& s, int range) {
  FreqEntry e{};
  if (range < 0 || range >= kMaxRanges) return e;
  e.startWord = StartWord(s.StartFrequency[range]);
  e.points = static_cast<uint16_t>(s.Points[range]);
  e.stepWord = StepWord(s.StartFrequency[range], s.StopFrequency[range], s.Points[range]);
  return e;
}

void PackFreqEntry(const FreqEntry& entry, uint8_t out[kFreqEntryBytes]) {
  PutU32(out, entry.startWord);
  PutU16(out + 4, entry.points);
  PutU32(out + 6, entry.stepWord);
}

void EncodeLed(uint8_t out[1]) { out[0] = 1; }

void EncodeStart(uint8_t run, uint8_t rf, uint8_t out[2]) {
  out[0] = run;
  out[1] = rf;
}

void FillSweepInfo(const SweepSet& s, SweepInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->NumberOfRanges = s.NumberOfRanges;
  for (int i = 0; i < kMaxRanges; ++i) {
    info->Points[i] = s.Points[i];
    info->RequestedStart[i] = s.StartFrequency[i] * 1000000.0;
    info->RequestedStop[i] = s.StopFrequency[i] * 1000000.0;
    if (i < s.NumberOfRanges) {
      FreqEntry e = MakeFreqEntry(s, i);
      info->StartWord[i] = e.startWord;
      info->StepWord[i] = e.stepWord;
    }
  }
  info->SettlingTime = s.SettlingTime;
  info->Averaging = s.Averaging;
  info->RequestedPeriod = 1.0 / s.SampleRate;
  info->RealizedPeriod = PeriodWord(s.SampleRate) * kTickSeconds;
  info->OutputPower = s.OutputPower;
  info->SweepType = s.SweepType;
  std::memcpy(info->PresetName, "CLI", 4);
}
