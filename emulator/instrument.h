// What the emulated devices answer and measure, without any I/O: the
// emulator engine feeds received commands in and writes the frames that
// come out.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/emulator.h"

// One frame to send, already encoded.
struct OutFrame {
  std::vector<uint8_t> bytes;
  bool dataPacket = false;  // SWEEPDATA or TEMPDATA
  bool endsSet = false;     // the last packet of a data set
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
constexpr int kMaxRanges = 8;
constexpr double kTickSeconds = 0.00019965;               // period and time tick
constexpr double kHzPerTuningUnit = 0.05820766091346741;  // 250 MHz / 2^32
constexpr uint32_t kSweepHeaderBytes = 21;
constexpr uint16_t kMaxPoints = 16000;
constexpr uint16_t kRawZero = 28800;  // raw sample of 0.0
constexpr double kPhaseDegPerRaw = 0.003125;
constexpr double kMagnitudeRawPerDb = 960.0;
}  // namespace emulator

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
  uint32_t noise = 1;     // noise generator state
  int switchPort = -1;
};

void InstrumentInit(Instrument* inst, const EmulatorConfig& config);

// Handles one received command, appending the answers to *out.
void InstrumentCommand(Instrument* inst, uint8_t type, const uint8_t* payload, uint16_t length,
                       std::vector<OutFrame>* out);

// Seconds between two sweep sets at speed 1.
double InstrumentSetPeriod(const Instrument* inst);

// Measures one sweep set: one SWEEPDATA per configured range, appended to *out.
void InstrumentSweepSet(Instrument* inst, std::vector<OutFrame>* out);

// Passes over one sweep set that never leaves the device (its port is not
// read fast enough): its sample number and its place in the drift are used
// up, but no samples are computed.
void InstrumentSkipSet(Instrument* inst);

// Encodes one frame.
OutFrame MakeFrame(uint8_t type, const uint8_t* payload, uint16_t length);
