#include "link/protocol.h"

uint8_t AddToSum(uint8_t sum, const uint8_t* data, size_t n) {
  // A wide accumulator lets the compiler vectorise; only the low 8 bits count.
  uint32_t total = sum;
  for (size_t i = 0; i < n; ++i) total += data[i];
  return static_cast<uint8_t>(total);
}

uint32_t EncodeFrame(uint8_t type, const void* payload, uint16_t length, uint8_t* out) {
  std::memset(out, kPreambleByte, kPreambleLength);
  out[5] = type;
  out[6] = static_cast<uint8_t>(length & 0xFF);
  out[7] = static_cast<uint8_t>(length >> 8);
  uint32_t n = PayloadBytes(length);
  if (n != 0) std::memcpy(out + kFrameHeaderLength, payload, n);
  uint8_t sum = AddToSum(FrameSumStart(type, length), out + kFrameHeaderLength, n);
  out[kFrameHeaderLength + n] = CheckByte(sum);
  return kFrameOverhead + n;
}
