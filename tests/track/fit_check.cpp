// track-fit-check FILE: the fits of the ranges in FILE, one line each, so that a build for another platform can
// be compared with the native one (the Wine suite runs the Windows build). FILE holds, per range: n (int32), the
// quantities present (uint8: bit 0 magnitude, bit 1 phase), then n frequencies and n values of each quantity
// present (doubles, in this machine's byte order). A line: "status f0Hz fwhmHz q peakDb phaseDeg residual".
#include <cstdint>
#include <cstdio>
#include <vector>

#include "track/track.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: track-fit-check FILE\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  int32_t n;
  uint8_t present;
  while (std::fread(&n, sizeof n, 1, in) == 1 && std::fread(&present, 1, 1, in) == 1 && n >= 0) {
    const size_t count = static_cast<size_t>(n);
    std::vector<double> freq(count), magnitude(count), phase(count);
    bool whole = std::fread(freq.data(), sizeof(double), count, in) == count;
    if (present & 1) whole = whole && std::fread(magnitude.data(), sizeof(double), count, in) == count;
    if (present & 2) whole = whole && std::fread(phase.data(), sizeof(double), count, in) == count;
    if (!whole) break;
    const Resonance r = FitResonance(freq.data(), present & 1 ? magnitude.data() : nullptr,
                                     present & 2 ? phase.data() : nullptr, n);
    std::printf("%d %.17g %.17g %.17g %.17g %.17g %.17g\n", int(r.status), r.f0Hz, r.fwhmHz, r.q, r.peakDb,
                r.phaseDeg, r.residual);
  }
  const bool atEnd = std::feof(in) != 0;
  std::fclose(in);
  if (!atEnd) std::fprintf(stderr, "track-fit-check: %s is cut short or malformed\n", argv[1]);
  return atEnd ? 0 : 1;
}
