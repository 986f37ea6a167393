// Independent encoders of what the programs put on the wire and into files:
// the packet frame, MATLAB level 5 elements and the level 4 temperature
// file. They share no code with the product, so that a byte-exact
// comparison with them checks the product instead of repeating it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace encode {

inline std::string U16(uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
inline std::string U32(uint32_t v) { return U16(static_cast<uint16_t>(v)) + U16(v >> 16); }
inline std::string U64(uint64_t v) { return U32(static_cast<uint32_t>(v)) + U32(static_cast<uint32_t>(v >> 32)); }
inline std::string F64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return U32(static_cast<uint32_t>(bits)) + U32(static_cast<uint32_t>(bits >> 32));
}
// The NaN that fills what a file holds no value for: all bits set but the sign.
inline const double kNaN = [] {
  const uint64_t bits = 0x7FFFFFFFFFFFFFFFull;
  double v;
  return *static_cast<double*>(std::memcpy(&v, &bits, sizeof v));
}();

// ------------------------------------------------------------ frame

// Five 0xFF, type, length, payload, check byte (~sum) & 0x7F.
inline std::string Frame(uint8_t type, const std::string& payload) {
  std::string f(5, '\xff');
  f += static_cast<char>(type);
  f += U16(static_cast<uint16_t>(payload.size())) + payload;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  return f + static_cast<char>(~sum & 0x7F);
}

// A SWEEPDATA payload: flags 0, content bits, range, sample number, opaque bytes, points, opaque bytes, time;
// per point the phase word phase + i, then the magnitude word magnitude + 3 i, for the kinds present.
inline std::string SweepData(uint8_t range, uint8_t content, uint16_t points, uint32_t sample, uint16_t ticks = 9,
                             uint16_t phase = 1, uint16_t magnitude = 2) {
  std::string p = std::string(1, '\0') + static_cast<char>(content) + static_cast<char>(range) + U32(sample) +
                  "opaque" + U16(points) + "opaq" + U16(ticks);
  for (uint16_t i = 0; i < points; ++i) {
    if (content & 1) p += U16(static_cast<uint16_t>(phase + i));
    if (content & 2) p += U16(static_cast<uint16_t>(magnitude + 3 * i));
  }
  return p;
}

// ------------------------------------------------------------ MAT level 5

inline std::string Tag(uint32_t type, size_t bytes) {
  return U32(type) + U32(static_cast<uint32_t>(bytes));
}
inline std::string Pad(std::string s) {
  s.resize((s.size() + 7) / 8 * 8, '\0');
  return s;
}
inline std::string MatHeader() {
  std::string h = "MATLAB level 5 format resonance measurement data.";
  h.resize(124, '\0');
  return h + std::string("\x00\x01IM", 4);
}
// A matrix element: array flags, dimensions, name, real part.
inline std::string Matrix(uint32_t flags, uint32_t type, int32_t rows, int32_t cols,
                          const std::string& data, const std::string& name = "") {
  const std::string body = Tag(6, 8) + U32(flags) + U32(0) + Tag(5, 8) +
                           U32(static_cast<uint32_t>(rows)) + U32(static_cast<uint32_t>(cols)) +
                           Tag(1, name.size()) + Pad(name) + Tag(type, data.size()) + Pad(data);
  return Tag(14, body.size()) + body;
}
inline std::string Doubles(int32_t rows, int32_t cols, const std::vector<double>& v,
                           const std::string& name = "") {
  std::string data;
  for (double d : v) data += F64(d);
  return Matrix(6, 9, rows, cols, data, name);
}
inline std::string Scalar(double v, const std::string& name = "") {
  return Doubles(1, 1, {v}, name);
}
inline std::string Logicals(int32_t rows, int32_t cols, const std::vector<bool>& v,
                            const std::string& name = "") {
  std::string data;
  for (bool b : v) data += b ? '\1' : '\0';
  return Matrix(0x209, 2, rows, cols, data, name);
}
inline std::string Ints(int32_t rows, int32_t cols, const std::vector<int32_t>& v,
                        const std::string& name = "") {
  std::string data;
  for (int32_t i : v) data += U32(static_cast<uint32_t>(i));
  return Matrix(0xC, 5, rows, cols, data, name);
}
// Text of ASCII characters, one UTF-16 unit each.
inline std::string Text(const std::string& t, const std::string& name = "") {
  std::string data;
  for (char c : t) data += U16(static_cast<unsigned char>(c));
  return Matrix(4, 4, 1, static_cast<int32_t>(t.size()), data, name);
}
// The header of a 1 x count structure, then its field elements.
inline std::string Struct(const std::string& name, int32_t count,
                          const std::vector<std::string>& fields, const std::string& values) {
  std::string names;
  for (const std::string& f : fields) names += f + std::string(32 - f.size(), '\0');
  const std::string body = Tag(6, 8) + U32(2) + U32(0) + Tag(5, 8) + U32(1) +
                           U32(static_cast<uint32_t>(count)) + Tag(1, name.size()) + Pad(name) +
                           std::string("\x05\0\x04\0\x20\0\0\0", 8) + Tag(1, names.size()) +
                           names + values;
  return Tag(14, body.size()) + body;
}

// ------------------------------------------------------------ MAT level 4

// One 1 x 1 double variable of a level 4 file: type 0, 1 x 1, real, the
// name with its terminating zero, the value.
inline std::string Level4Scalar(const std::string& name, double value) {
  return U32(0) + U32(1) + U32(1) + U32(0) + U32(static_cast<uint32_t>(name.size() + 1)) + name +
         std::string(1, '\0') + F64(value);
}

}  // namespace encode
