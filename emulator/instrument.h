// What the emulated devices answer and measure, without any I/O: the
// emulator engine feeds received commands in and writes the frames that
// come out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulator.h"

// One frame to send, already encoded.
struct OutFrame {
  std::vector<uint8_t> bytes;
  bool dataPacket = false;  // SWEEPDATA or TEMPDATA
  bool endsSet = false;     // the last packet of a data set
  std::string truth;        // of a set's last packet: its truth lines, when asked for
  uint32_t delayMs = 0;     // wait this long before sending it
};

struct SweepRange {
  uint32_t startWord;
  uint16_t points;
  uint32_t stepWord;
};

// The emulated instrument's own constants. The emulator keeps them, and
// its own decoding of what it receives, on purpose instead of sharing the
// programs' definitions: that way it checks the programs rather than
// sharing their mistakes.
namespace emulator {
constexpr int kMaxRanges = kEmulatorMaxRanges;
constexpr double kTickSeconds = 0.00019965;               // period and time tick
constexpr double kHzPerTuningUnit = 0.05820766091346741;  // 250 MHz / 2^32
constexpr uint32_t kSweepHeaderBytes = 21;
constexpr uint16_t kMaxPoints = 16000;
constexpr uint16_t kRawZero = 28800;  // raw sample of 0.0
constexpr double kPhaseDegPerRaw = 0.003125;
constexpr double kMagnitudeRawPerDb = 960.0;
// The resonance: 10 log10(A) at f0, and phi0. Both keep the raw samples
// clear of the ends of their 16-bit scale (magnitude -30 to 38.27 dB, phase
// -90 to 114.8 degrees): the phase spans phi0 +- 90 degrees, and the
// magnitude reaches the floor only 60 dB below the peak (x = 1000).
constexpr double kPeakDb = 30.0;
constexpr double kPhaseAtF0Deg = 12.4;
// A flat range: magnitude and phase without a resonance.
constexpr double kFlatDb = 0.0;
}  // namespace emulator

// The resonance that a sweep set held in one range.
struct RangeTruth {
  double f0Hz;  // NaN: a flat range
  double q;     // NaN: a flat range
};

struct Instrument {
  EmulatorConfig config;
  // CONFBASIC
  bool basicSet = false;
  uint16_t periodWord = 0;
  uint8_t averaging = 1;
  uint8_t mode = 3;
  // CONFFREQ
  int rangeCount = 0;
  SweepRange ranges[emulator::kMaxRanges];
  // Measurement
  bool streaming = false;
  bool firstData = false;
  uint32_t sampleNumber = 0;
  uint64_t setIndex = 0;  // sets measured since START, for the drift
  uint64_t noise = 1;     // noise generator state
  bool spareReady = false;
  double spareNormal = 0;  // the second normal deviate of the last pair
  // The last sweep set measured: its sample number and each range's truth.
  uint32_t truthSample = 0;
  RangeTruth truth[emulator::kMaxRanges] = {};
  int switchPort = -1;
};

void InstrumentInit(Instrument* inst, const EmulatorConfig& config);

// Handles one received command, appending the answers to *out.
void InstrumentCommand(Instrument* inst, uint8_t type, const uint8_t* payload, uint16_t length,
                       std::vector<OutFrame>* out);

// Seconds between two sweep sets at speed 1.
double InstrumentSetPeriod(const Instrument* inst);

// The quality factor of range r's resonance: the configured one, or the
// default for the configured range (EmulatorConfig::q).
double InstrumentRangeQ(const Instrument* inst, int r);

// Measures one sweep set: one SWEEPDATA per configured range, appended to
// *out. Its truth is left in inst->truth and inst->truthSample, and, when
// config.truthPath is set, as text in the last frame's truth.
void InstrumentSweepSet(Instrument* inst, std::vector<OutFrame>* out);

// Passes over one sweep set that never leaves the device (its port is not
// read fast enough): its sample number and its place in the drift are used
// up, but no samples are computed.
void InstrumentSkipSet(Instrument* inst);

// Encodes one frame.
OutFrame MakeFrame(uint8_t type, const uint8_t* payload, uint16_t length);
