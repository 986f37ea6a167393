#include "emulator/instrument.h"

#include <cmath>
#include <cstdio>

#include "link/protocol.h"

namespace {

// Statuses of the emulated devices; any non-zero status is a refusal.
constexpr int16_t kStatusAccepted = 0;
constexpr int16_t kStatusBadPayload = 2;
constexpr int16_t kStatusNotConfigured = 3;
constexpr int16_t kStatusBusy = 4;

using namespace emulator;

constexpr double kDriftPeriodSeconds = 60.0;
// The default Q never makes a half-power width narrower than this.
constexpr double kMinDefaultWidthHz = 2000.0;
constexpr double kPi = 3.14159265358979323846;

void Reply(int16_t status, std::vector<OutFrame>* out) {
  uint8_t payload[2];
  PutU16(payload, static_cast<uint16_t>(status));
  out->push_back(MakeFrame(PktStatus, payload, sizeof payload));
}

// A uniform deviate in (0, 1) from a splitmix64 generator.
double Uniform(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;
}

// A standard normal deviate (Box-Muller, the second of each pair kept for
// the next call).
double Normal(Instrument* inst) {
  if (inst->spareReady) {
    inst->spareReady = false;
    return inst->spareNormal;
  }
  const double r = std::sqrt(-2.0 * std::log(Uniform(&inst->noise)));
  const double angle = 2 * kPi * Uniform(&inst->noise);
  inst->spareNormal = r * std::sin(angle);
  inst->spareReady = true;
  return r * std::cos(angle);
}

// The raw sample nearest to a value, held at the ends of the 16-bit scale.
uint16_t Quantise(double raw) {
  if (raw < 0) return 0;
  if (raw > 65535) return 65535;
  return static_cast<uint16_t>(std::floor(raw + 0.5));
}

// Result of SweepCommand for a command the instrument does not know: it is
// not answered. Any other result is the 16-bit status of the answer.
constexpr int32_t kNotAnswered = 0x10000;

int32_t SweepCommand(Instrument* inst, uint8_t type, const uint8_t* p, uint16_t length) {
  uint32_t n = PayloadBytes(length);
  switch (type) {
    case PktIdQuery: return inst->config.idStatus;
    case PktConfBasic:
      if (inst->streaming) return kStatusBusy;
      if (n != 8 || GetU16(p) == 0 || p[4] == 0 || p[5] < 1 || p[5] > 3) {
        return kStatusBadPayload;
      }
      inst->periodWord = GetU16(p);
      inst->averaging = p[4];
      inst->mode = p[5];
      inst->basicSet = true;
      return kStatusAccepted;
    case PktConfFreq:
      if (inst->streaming) return kStatusBusy;
      if (n == 0 || n % 10 != 0 || n / 10 > kMaxRanges) return kStatusBadPayload;
      for (uint32_t r = 0; r < n / 10; ++r) {
        uint16_t points = GetU16(p + 10 * r + 4);
        if (points < 1 || points > kMaxPoints) return kStatusBadPayload;
      }
      inst->rangeCount = static_cast<int>(n / 10);
      for (int r = 0; r < inst->rangeCount; ++r) {
        inst->ranges[r] = {GetU32(p + 10 * r), GetU16(p + 10 * r + 4), GetU32(p + 10 * r + 6)};
      }
      return kStatusAccepted;
    case PktConfLed: return n == 1 ? kStatusAccepted : kStatusBadPayload;
    case PktStart:
      if (n != 2) return kStatusBadPayload;
      if (p[0] == 0) {
        inst->streaming = false;
        return kStatusAccepted;
      }
      if (!inst->basicSet || inst->rangeCount == 0) return kStatusNotConfigured;
      inst->streaming = true;
      inst->firstData = true;
      inst->sampleNumber = 0;
      inst->setIndex = 0;
      return kStatusAccepted;
    default: return kNotAnswered;
  }
}

}  // namespace

OutFrame MakeFrame(uint8_t type, const uint8_t* payload, uint16_t length) {
  OutFrame f;
  f.bytes.resize(FrameSize(length));
  EncodeFrame(type, payload, length, f.bytes.data());
  return f;
}

void InstrumentInit(Instrument* inst, const EmulatorConfig& config) {
  *inst = Instrument();
  inst->config = config;
  inst->noise = config.seed;
}

void InstrumentCommand(Instrument* inst, uint8_t type, const uint8_t* payload, uint16_t length,
                       std::vector<OutFrame>* out) {
  const EmulatorConfig& c = inst->config;
  if (c.refuseType == type) {
    if (!c.refuseSilently) Reply(c.refuseStatus, out);
    return;
  }
  if (c.kind == EmuSweep) {
    int32_t status = SweepCommand(inst, type, payload, length);
    if (status != kNotAnswered) Reply(static_cast<int16_t>(status), out);
    return;
  }
  uint32_t n = PayloadBytes(length);
  switch (type) {
    case PktSwIdQuery: Reply(c.idStatus, out); break;
    case PktSetPort:
      if (n == 1 && payload[0] <= 1) {
        inst->switchPort = payload[0];
        Reply(kStatusAccepted, out);
      } else {
        Reply(kStatusBadPayload, out);
      }
      break;
    case PktTempQuery: {
      Reply(kStatusAccepted, out);
      if (c.withholdTempData) break;
      uint8_t temps[4];
      PutU16(temps, c.internalRaw);
      PutU16(temps + 2, c.externalRaw);
      OutFrame data = MakeFrame(PktTempData, temps, sizeof temps);
      data.dataPacket = true;
      data.endsSet = true;
      data.delayMs = c.tempDataDelayMs;
      out->push_back(std::move(data));
      break;
    }
    default: break;
  }
}

double InstrumentSetPeriod(const Instrument* inst) { return inst->periodWord * kTickSeconds; }

double InstrumentRangeQ(const Instrument* inst, int r) {
  if (r < 0 || r >= inst->rangeCount) return 0;
  if (inst->config.q[r] > 0) return inst->config.q[r];
  const SweepRange& range = inst->ranges[r];
  const double span = range.stepWord * kHzPerTuningUnit * (range.points - 1);
  const double middle = range.startWord * kHzPerTuningUnit + span / 2;
  return middle / std::fmax(0.05 * span, kMinDefaultWidthHz);
}

void InstrumentSweepSet(Instrument* inst, std::vector<OutFrame>* out) {
  const bool phase = (inst->mode & 1) != 0;
  const bool magnitude = (inst->mode & 2) != 0;
  const uint32_t quantities = (phase ? 1 : 0) + (magnitude ? 1 : 0);
  const EmulatorConfig& c = inst->config;
  uint32_t totalPoints = 0;
  for (int r = 0; r < inst->rangeCount; ++r) totalPoints += inst->ranges[r].points;

  ++inst->sampleNumber;
  inst->truthSample = inst->sampleNumber;
  // The resonance drifts slowly back and forth across the middle of each
  // range.
  const double t = static_cast<double>(inst->setIndex++) * InstrumentSetPeriod(inst);
  const double drift = std::sin(2 * kPi * t / kDriftPeriodSeconds);
  std::vector<uint8_t> payload;
  std::string truth;
  for (int r = 0; r < inst->rangeCount; ++r) {
    const SweepRange& range = inst->ranges[r];
    const double first = range.startWord * kHzPerTuningUnit;
    const double step = range.stepWord * kHzPerTuningUnit;
    const double span = step * (range.points - 1);
    const bool flat = ((c.flatRanges >> r) & 1) != 0;
    const double f0 = first + span * (0.5 + 0.1 * drift);
    const double q = InstrumentRangeQ(inst, r);
    inst->truth[r] = flat ? RangeTruth{NAN, NAN} : RangeTruth{f0, q};
    if (!c.truthPath.empty()) {
      char line[96];
      std::snprintf(line, sizeof line, "%u %d %.17g %.17g\n", inst->sampleNumber, r + 1,
                    inst->truth[r].f0Hz, inst->truth[r].q);
      truth += line;
    }

    payload.assign(kSweepHeaderBytes + 2u * range.points * quantities, 0);
    uint8_t* h = payload.data();
    h[0] = (inst->firstData && c.initError) ? 0x80 : 0x00;
    h[1] = static_cast<uint8_t>(inst->mode);
    h[2] = static_cast<uint8_t>(r);
    PutU32(h + 3, inst->sampleNumber);
    PutU16(h + 13, range.points);
    // Time spent on this range: its share of the sampling period.
    uint64_t ticks = static_cast<uint64_t>(inst->periodWord) * range.points / totalPoints;
    PutU16(h + 19, static_cast<uint16_t>(ticks < 1 ? 1 : ticks > 0xFFFE ? 0xFFFE : ticks));

    uint8_t* s = h + kSweepHeaderBytes;
    double f = first;
    for (uint32_t i = 0; i < range.points; ++i, f += step) {
      const double x = flat ? 0.0 : 2 * q * (f - f0) / f0;
      if (phase) {
        double degrees = kPhaseAtF0Deg - std::atan(x) * (180 / kPi);
        if (c.phaseNoiseDeg > 0) degrees += c.phaseNoiseDeg * Normal(inst);
        PutU16(s, Quantise(kRawZero + degrees / kPhaseDegPerRaw));
        s += 2;
      }
      if (magnitude) {
        double db = flat ? kFlatDb : kPeakDb - 10 * std::log10(1 + x * x);
        if (c.magnitudeNoiseDb > 0) db += c.magnitudeNoiseDb * Normal(inst);
        PutU16(s, Quantise(kRawZero + db * kMagnitudeRawPerDb));
        s += 2;
      }
    }
    OutFrame frame = MakeFrame(PktSweepData, payload.data(), static_cast<uint16_t>(payload.size()));
    frame.dataPacket = true;
    frame.endsSet = r == inst->rangeCount - 1;
    if (frame.endsSet) frame.truth = std::move(truth);
    out->push_back(std::move(frame));
  }
  inst->firstData = false;
}

void InstrumentSkipSet(Instrument* inst) {
  ++inst->sampleNumber;
  ++inst->setIndex;
  inst->firstData = false;
}
