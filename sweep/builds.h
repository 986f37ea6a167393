// The table of builds: qarvel and vexa are one sweep tool in two builds,
// each described by one row here. Everything that differs between them is
// read from the row: the usage text, -m and the global averager, the endless
// numbered cycles, the start-up message and the result file's SweepInfo
// fields. Each program picks its row once, at compile time, in main.cpp
// (SWEEP_SECOND_BUILD); code that serves both builds (the recovery tool)
// takes the row as an argument, as every sweep module does.
#pragma once

#include <cstdint>
#include <iterator>

// What a field of the result file's SweepInfo structure holds.
enum class InfoValue : uint8_t {
  SubSweeps,         // 1 x 1, the number of ranges
  SweepLengths,      // 1 x ranges, the points of each range
  RequestedStarts,   // 1 x ranges, Hz
  RequestedStops,    // 1 x ranges, Hz
  Frequencies,       // points x ranges, the realized frequencies in Hz
  PhasePresent,      // logical
  MagnitudePresent,  // logical
  RequestedPeriod,   // 1 x 1, s
  RealizedPeriod,    // 1 x 1, s
  Settling,          // 1 x 1, s
  Averaging,         // 1 x 1, samples averaged per point
  GloballyAveraged,  // logical
  OutputPower,       // 1 x 1, dB
  Sweeps,            // 1 x 1, the number of complete sweep sets
};

struct InfoField {
  const char* name;
  InfoValue value;
};

// The SweepInfo fields of each build, in file order.
inline constexpr InfoField kQarvelSweepInfo[] = {
    {"NumberOfSubSweeps", InfoValue::SubSweeps},
    {"SweepVectorLength", InfoValue::SweepLengths},
    {"RequestedSweepFrequencyStart", InfoValue::RequestedStarts},
    {"RequestedSweepFrequencyEnd", InfoValue::RequestedStops},
    {"RealizedSweepFrequencyVector", InfoValue::Frequencies},
    {"IsPhasePresent", InfoValue::PhasePresent},
    {"IsMagnitudePresent", InfoValue::MagnitudePresent},
    {"RequestedSamplingPeriod", InfoValue::RequestedPeriod},
    {"RealizedSamplingPeriod", InfoValue::RealizedPeriod},
    {"SettlingTime", InfoValue::Settling},
    {"SampleAveraging", InfoValue::Averaging},
    {"IsGloballyAveraged", InfoValue::GloballyAveraged},
    {"RelativeOutputPowerdB", InfoValue::OutputPower},
    {"NumberOfSweeps", InfoValue::Sweeps},
};
inline constexpr InfoField kVexaSweepInfo[] = {
    {"NumberOfSubSweeps", InfoValue::SubSweeps},
    {"SweepVectorLength", InfoValue::SweepLengths},
    {"RequestedSweepFrequencyStart", InfoValue::RequestedStarts},
    {"RequestedSweepFrequencyEnd", InfoValue::RequestedStops},
    {"RealizedSweepFrequencyVector", InfoValue::Frequencies},
    {"IsPhasePresent", InfoValue::PhasePresent},
    {"IsMagnitudePresent", InfoValue::MagnitudePresent},
    {"RequestedSamplingPeriod", InfoValue::RequestedPeriod},
    {"RealizedSamplingPeriod", InfoValue::RealizedPeriod},
    {"SettlingTime", InfoValue::Settling},
    {"Averaging", InfoValue::Averaging},
    {"RelativeOutputPowerdB", InfoValue::OutputPower},
    {"NumberOfSweeps", InfoValue::Sweeps},
};
constexpr int kMaxInfoFields = static_cast<int>(std::size(kQarvelSweepInfo));

// The usage texts, exactly as printed (cmdline.cpp).
extern const char kQarvelUsage[];
extern const char kVexaUsage[];

// One build of the sweep tool.
struct SweepBuild {
  uint8_t id;           // its row: kQarvelBuild or kVexaBuild
  const char* program;  // its name
  const char* usageText;
  const InfoField* sweepInfo;  // the SweepInfo structure's fields
  int sweepInfoFields;
  bool globalAverager;          // -m, the averager's sums and the averaged file
  bool numberedCycles;          // endless cycles saved as 1.mat, 2.mat, ...
  const char* noBufferMessage;  // printed when the buffers cannot be reserved
};

enum : uint8_t { kQarvelBuild = 0, kVexaBuild = 1 };

inline constexpr SweepBuild kSweepBuilds[] = {
    {kQarvelBuild, "qarvel", kQarvelUsage, kQarvelSweepInfo,
     static_cast<int>(std::size(kQarvelSweepInfo)), true, false, "Can't allocate buffers."},
    {kVexaBuild, "vexa", kVexaUsage, kVexaSweepInfo, static_cast<int>(std::size(kVexaSweepInfo)),
     false, true, "Can't allocate disk buffer."},
};
constexpr int kSweepBuildCount = static_cast<int>(std::size(kSweepBuilds));
