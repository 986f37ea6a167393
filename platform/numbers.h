// Number conversions that every layer uses, kept apart from the operating
// system's services: pure and inline.
#pragma once

#include <cstdint>

// A 64-bit count (time ticks, bytes) as the nearest double, as a plain
// conversion gives it. The halves are converted apart, exactly, and added
// with one rounding: on 32-bit x86 a plain conversion of a 64-bit integer
// goes through the x87 unit, which the programs keep out of their
// arithmetic (tools/check-x87).
inline double ToDouble(uint64_t v) {
  return static_cast<double>(static_cast<uint32_t>(v >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<uint32_t>(v));
}
inline double ToDouble(int64_t v) {
  return static_cast<double>(static_cast<int32_t>(v >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<uint32_t>(v));
}
