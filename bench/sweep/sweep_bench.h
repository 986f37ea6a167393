// What the sweep benchmarks share: the clock, folders and files, and the
// configurations and payloads they measure with.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/byteorder.h"
#include "sweep/sweep_commands.h"

namespace bench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A new folder under `under`, or "" when none can be made.
inline std::string MakeFolder(const std::string& under) {
  std::string pattern = under + "/sweep_bench_XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

inline std::string ReadWhole(const std::string& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
  }
  return bytes;
}

// `ranges` ranges of `points` points, 10 MHz apart; the defaults for the rest.
inline SweepInfo Ranges(int ranges, int points) {
  SweepSet s;
  DefaultSweepSet(&s);
  s.NumberOfRanges = ranges;
  for (int k = 0; k < ranges; ++k) {
    s.StartFrequency[k] = 10 + 10 * k;
    s.StopFrequency[k] = 19 + 10 * k;
    s.Points[k] = points;
  }
  SweepInfo info;
  FillSweepInfo(s, &info);
  return info;
}

// A SWEEPDATA payload of both kinds.
inline std::vector<uint8_t> Payload(uint8_t range, uint16_t points, uint32_t sample) {
  std::vector<uint8_t> p(SweepDataLength(points, 3), 0);
  p[1] = 3;
  p[2] = range;
  PutU32(&p[3], sample);
  PutU16(&p[13], points);
  for (size_t i = kSweepHeaderBytes; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + sample);
  return p;
}

}  // namespace bench
