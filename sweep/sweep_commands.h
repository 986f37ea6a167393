// The sweep instrument's messages and conversions. Pure functions, no I/O.
//
// Messages (inside the link's frame; multi-byte fields little-endian):
//
//   type  name       direction     payload
//   0x10  CONFBASIC  to device     8: u16 period word, u8 settling word,
//                                     u8 3, u8 averaging, u8 mode (1 phase,
//                                     2 magnitude, 3 both), u16 amplitude word
//   0x11  CONFFREQ   to device     10 per range: u32 start word, u16 points,
//                                     u32 step word
//   0x12  CONFLED    to device     1: always 1
//   0x40  START      to device     2: run byte (1 start, 0 stop), RF byte
//   0xF0  IDQUERY    to device     0
//   0x00  STATUS     from device   2: i16 status, 0 = accepted
//   0x60  SWEEPDATA  from device   21-byte header, then per point a u16 phase
//                                  (content bit 0) then a u16 magnitude (bit 1)
//
//   SWEEPDATA header: 0 flags (bit 7 = initialization error), 1 content bits,
//   2 range index, 3..6 u32 sample number, 7..12 opaque, 13..14 u16 points,
//   15..18 opaque, 19..20 u16 time in ticks of 0.00019965 s (0xFFFF = none).
#pragma once

#include <cstdint>

#include "link/protocol.h"

constexpr int kMaxRanges = 8;
constexpr int kMaxPoints = 16000;
constexpr int kSweepHeaderBytes = 21;

// The validated sweep parameters handed from the command line to the
// acquisition thread.
struct SweepSet {
  int32_t NumberOfRanges;
  double StartFrequency[kMaxRanges];  // MHz
  double StopFrequency[kMaxRanges];   // MHz
  int32_t Points[kMaxRanges];
  double SampleRate;    // Hz
  double SettlingTime;  // seconds
  int32_t SweepType;    // 0 phase, 1 magnitude, 2 both
  double OutputPower;   // dB below the maximum level
  int32_t Averaging;    // samples averaged per point
  int32_t KeepRfAlive;  // only the low byte is sent
};

// Zero-fills *s and writes the defaults (10 Hz, 20 us, phase and magnitude,
// 0 dB, averaging 1).
void DefaultSweepSet(SweepSet* s);

// ------------------------------------------------------------- constants

constexpr double kTickSeconds = 0.00019965;          // period and time tick
constexpr double kSettlingUnitSeconds = 0.00000868;  // settling word unit
constexpr double kWordsPerMHz = 17179869.0;          // 2^32 / 250, fraction dropped
constexpr double kHzPerWord = 0.05820766091346741;   // 250 MHz / 2^32
constexpr int kMaxAmplitudeWord = 1023;
constexpr uint16_t kTimeNotAvailable = 0xFFFF;
constexpr uint16_t kRawZero = 28800;  // raw sample of 0.0
constexpr double kPhasePerRaw = 0.003125;
constexpr double kMagnitudePerRaw = 0.0010416666666666667;  // 1 / 960

constexpr uint8_t kContentPhase = 0x01;      // SWEEPDATA byte 1, bit 0
constexpr uint8_t kContentMagnitude = 0x02;  // SWEEPDATA byte 1, bit 1
constexpr uint8_t kInitErrorFlag = 0x80;     // SWEEPDATA byte 0, bit 7

constexpr int kBasicBytes = 8;
constexpr int kFreqEntryBytes = 10;

// -------------------------------------------------------------- records

// The configuration as it was sent to the instrument: requested values and
// the device words that realize them. Written to the result file.
struct SweepInfo {
  int32_t NumberOfRanges;
  int32_t Points[kMaxRanges];         // all 8 slots, as in SweepSet
  double RequestedStart[kMaxRanges];  // Hz, all 8 slots
  double RequestedStop[kMaxRanges];   // Hz, all 8 slots
  double StartWord[kMaxRanges];       // u32 words; 0 for unconfigured ranges
  double StepWord[kMaxRanges];        // u32 words; 0 for unconfigured ranges
  double SettlingTime;                // s, as requested
  double Averaging;                   // samples averaged per point
  double RequestedPeriod;             // s, 1 / sample rate
  double RealizedPeriod;              // s, period word x tick
  double OutputPower;                 // dB, as requested
  int32_t SweepType;                  // 0 phase, 1 magnitude, 2 both
  char PresetName[84];                // zero-terminated, "CLI"
};

// One CONFFREQ entry.
struct FreqEntry {
  uint32_t startWord;
  uint16_t points;
  uint32_t stepWord;
};

// ------------------------------------------------------------ encoding
//
// Every word is computed in double precision and truncated toward zero.
// Inputs outside the limits give 0 (negative or not a number) or the
// field's largest value; SweepSetWithinLimits keeps them from being sent.

// True when every setting of the configured ranges and the common settings
// lie within the instrument's limits (bounds inclusive):
//   ranges 1..8, rate 0.1..500 Hz, settling 20 us..2 ms, averaging 1..128,
//   sweep type 0..2, power -30..0 dB, points 2..16000, start and stop
//   10..100 MHz with stop not below start.
bool SweepSetWithinLimits(const SweepSet& s);

// lo <= v <= hi, bounds inclusive. Not a number fails, as it fails every
// comparison: "nan" is never a valid setting.
inline bool Within(double v, double lo, double hi) { return v >= lo && v <= hi; }

uint16_t PeriodWord(double sampleRateHz);      // 1 / (rate x tick)
uint8_t SettlingWord(double settlingSeconds);  // settling / 8.68 us
uint16_t AmplitudeWord(double powerDb);        // 10^(dB/20) x 1023
uint32_t StartWord(double startMHz);           // start x 17179869
// ((stop - start) x 17179869) / (points - 1): product first, then divide.
uint32_t StepWord(double startMHz, double stopMHz, int32_t points);
uint8_t ModeByte(int32_t sweepType);  // {1, 2, 3}; 0 if unknown

// CONFBASIC payload.
void EncodeBasic(const SweepSet& s, uint8_t out[kBasicBytes]);
// The CONFFREQ entry of range `range` (0-based).
FreqEntry MakeFreqEntry(const SweepSet& s, int range);
void PackFreqEntry(const FreqEntry& entry, uint8_t out[kFreqEntryBytes]);
// CONFLED payload: always 1.
void EncodeLed(uint8_t out[1]);
// START payload: run byte (1 start, 0 stop), RF byte.
void EncodeStart(uint8_t run, uint8_t rf, uint8_t out[2]);

// Fills *info (cleared first) from the parameters at configuration:
// requested frequencies in Hz, the words of the configured ranges, settling,
// averaging, requested and realized period, power, type and "CLI".
void FillSweepInfo(const SweepSet& s, SweepInfo* info);

// ------------------------------------------------------------ decoding
//
// Accessors of the 21-byte SWEEPDATA header (the caller makes sure that 21
// bytes are there).

inline bool SweepInitError(const uint8_t* h) { return (h[0] & kInitErrorFlag) != 0; }
inline uint8_t SweepContent(const uint8_t* h) { return h[1] & (kContentPhase | kContentMagnitude); }
inline uint8_t SweepRangeIndex(const uint8_t* h) { return h[2]; }
inline uint32_t SweepSampleNumber(const uint8_t* h) { return GetU32(h + 3); }
inline uint16_t SweepPoints(const uint8_t* h) { return GetU16(h + 13); }
inline uint16_t SweepTimeTicks(const uint8_t* h) { return GetU16(h + 19); }
// Rewrites the time of a stored header (kTimeNotAvailable: none).
inline void SetSweepTimeTicks(uint8_t* h, uint16_t ticks) { PutU16(h + 19, ticks); }

// Number of quantities (0, 1 or 2) that the content bits announce.
inline int ContentKinds(uint8_t content) {
  return ((content & kContentPhase) ? 1 : 0) + ((content & kContentMagnitude) ? 1 : 0);
}
// Payload length of a well-formed SWEEPDATA packet.
inline uint32_t SweepDataLength(uint16_t points, uint8_t content) {
  return kSweepHeaderBytes + 2u * points * static_cast<uint32_t>(ContentKinds(content));
}

inline double PhaseFromRaw(uint16_t raw) {
  return (static_cast<int>(raw) - kRawZero) * kPhasePerRaw;
}
inline double MagnitudeFromRaw(uint16_t raw) {
  return (static_cast<int>(raw) - kRawZero) * kMagnitudePerRaw;
}
