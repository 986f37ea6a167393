// Sweep sets measured by the emulated instrument's own code, without a port,
// and read back as the record store keeps them: the raw words converted by
// the store's conversions, the frequencies realized as the result file
// holds them; or written as a run's journal keeps them. For the tests and
// the benchmarks of the resonance fit and of qarvel-track.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/instrument.h"
#include "link/byteorder.h"
#include "link/protocol.h"
#include "sweep/journal_format.h"
#include "sweep/sweep_commands.h"
#include "sweep/resultfile.h"

struct RangeSpec {
  double startMHz, stopMHz;
  int32_t points;
};

// One range of one measured set.
struct MeasuredRange {
  std::vector<double> phase, magnitude;  // empty when the sweep type has none
  RangeTruth truth;
};

struct EmulatedSweep {
  Instrument inst;
  SweepInfo info;
  std::vector<std::vector<double>> freq;  // realized Hz of each range
};

// Configures an instrument with config and the ranges, sweep type 0 (phase),
// 1 (magnitude) or 2 (both), and starts it; false when it refuses.
inline bool StartEmulatedSweep(EmulatedSweep* s, const EmulatorConfig& config,
                               const std::vector<RangeSpec>& ranges, int32_t sweepType) {
  SweepSet set;
  DefaultSweepSet(&set);
  set.NumberOfRanges = static_cast<int32_t>(ranges.size());
  set.SweepType = sweepType;
  for (size_t k = 0; k < ranges.size(); ++k) {
    set.StartFrequency[k] = ranges[k].startMHz;
    set.StopFrequency[k] = ranges[k].stopMHz;
    set.Points[k] = ranges[k].points;
  }
  FillSweepInfo(set, &s->info);
  InstrumentInit(&s->inst, config);
  std::vector<uint8_t> basic(kBasicBytes), freq(kFreqEntryBytes * ranges.size()), start(2);
  EncodeBasic(set, basic.data());
  for (size_t k = 0; k < ranges.size(); ++k) {
    PackFreqEntry(MakeFreqEntry(set, static_cast<int>(k)), &freq[kFreqEntryBytes * k]);
  }
  EncodeStart(1, 1, start.data());
  std::vector<OutFrame> out;
  for (const auto& [type, payload] : {std::make_pair(PktConfBasic, basic), std::make_pair(PktConfFreq, freq),
                                      std::make_pair(PktStart, start)}) {
    InstrumentCommand(&s->inst, type, payload.data(), static_cast<uint16_t>(payload.size()), &out);
  }
  for (const OutFrame& f : out) {
    if (f.bytes.size() != kFrameOverhead + 2 || GetU16(&f.bytes[kFrameHeaderLength]) != 0) return false;
  }
  int32_t maxPoints = 0;
  for (const RangeSpec& r : ranges) maxPoints = std::max(maxPoints, r.points);
  std::vector<double> matrix(static_cast<size_t>(maxPoints) * ranges.size());
  FillFrequencyMatrix(s->info, maxPoints, matrix.data());
  s->freq.clear();
  for (size_t k = 0; k < ranges.size(); ++k) {
    auto column = matrix.begin() + static_cast<ptrdiff_t>(k * static_cast<size_t>(maxPoints));
    s->freq.emplace_back(column, column + ranges[k].points);
  }
  return true;
}

// Measures the next set: each range's values and truth.
inline std::vector<MeasuredRange> MeasureSet(EmulatedSweep* s) {
  std::vector<OutFrame> frames;
  InstrumentSweepSet(&s->inst, &frames);
  std::vector<MeasuredRange> set;
  for (const OutFrame& f : frames) {
    const uint8_t* h = &f.bytes[kFrameHeaderLength];
    const uint8_t content = SweepContent(h);
    const uint16_t points = SweepPoints(h);
    MeasuredRange r;
    r.truth = s->inst.truth[SweepRangeIndex(h)];
    const uint8_t* word = h + kSweepHeaderBytes;
    for (uint16_t i = 0; i < points; ++i) {
      if (content & kContentPhase) {
        r.phase.push_back(PhaseFromRaw(GetU16(word)));
        word += 2;
      }
      if (content & kContentMagnitude) {
        r.magnitude.push_back(MagnitudeFromRaw(GetU16(word)));
        word += 2;
      }
    }
    set.push_back(std::move(r));
  }
  return set;
}

// sets sets of one range, measured with config and the sweep type; the range's realized frequencies go to *freq.
inline std::vector<MeasuredRange> MeasureRange(const EmulatorConfig& config, const RangeSpec& spec,
                                               int32_t sweepType, int sets, std::vector<double>* freq) {
  EmulatedSweep sweep;
  std::vector<MeasuredRange> out;
  if (!StartEmulatedSweep(&sweep, config, {spec}, sweepType)) return out;
  *freq = sweep.freq[0];
  for (int i = 0; i < sets; ++i) out.push_back(MeasureSet(&sweep)[0]);
  return out;
}

// The header of a version-2 journal of a qarvel run of the sweep's
// configuration, begun at start (SystemTime).
inline std::string EmulatedJournalHeader(const EmulatedSweep& s, int64_t start) {
  JournalHeader h{};
  h.build = kQarvelBuild;
  h.startTime = start;
  std::snprintf(h.saveData.OriginalFilename, sizeof h.saveData.OriginalFilename, "run.mat");
  h.info = s.info;
  std::string bytes(kJournalHeaderBytes, '\0');
  EncodeJournalHeader(h, reinterpret_cast<uint8_t*>(&bytes[0]));
  return bytes;
}

// The record entries of the sweep's next set, as the journal frames them,
// every record arriving at `arrival`.
inline std::string EmulatedJournalSet(EmulatedSweep* s, int64_t arrival) {
  std::vector<OutFrame> frames;
  InstrumentSweepSet(&s->inst, &frames);
  std::string entries;
  for (const OutFrame& f : frames) {
    const uint32_t payload = static_cast<uint32_t>(f.bytes.size() - kFrameOverhead);
    const uint32_t body = kJournalArrivalBytes + payload;
    std::vector<uint8_t> e(kJournalEntryOverhead + body);
    PutU64(&e[5], static_cast<uint64_t>(arrival));
    std::memcpy(&e[5 + kJournalArrivalBytes], &f.bytes[kFrameHeaderLength], payload);
    PutU32(&e[5 + body], FrameJournalEntry(kJournalRecord, &e[5], body, &e[0]));
    entries.append(e.begin(), e.end());
  }
  return entries;
}
