// The temperature file as the tests expect it, in hex.
#pragma once

#include <cstdio>
#include <string>

inline std::string PlainHex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// The 82 bytes: per variable a header (type 0, 1 x 1, real, name length
// 13), the name with its zero byte, and the double.
inline std::string ExpectedFileHex(const char* internalHex, const char* externalHex) {
  const std::string header = "00000000" "01000000" "01000000" "00000000" "0d000000";
  return header + "496e7465726e616c54656d7000" + internalHex + header +
         "45787465726e616c54656d7000" + externalHex;
}

// Doubles as little-endian hex.
constexpr char kNanHex[] = "ffffffffffffff7f";   // raw 0: 0x7FFFFFFFFFFFFFFF
constexpr char k25_3Hex[] = "cdcccccccc4c3940";  // raw 253
constexpr char k22_1Hex[] = "9a99999999193640";  // raw 221
