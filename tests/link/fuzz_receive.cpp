// Fuzzes the link's receiver: arbitrary bytes arrive in arbitrary read sizes
// through an in-memory port, and ReceiveStep must report the same packets as
// the parser fed one byte at a time, never touching memory beyond its buffers.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"

namespace {

const uint8_t* Input;
size_t InputSize, InputPos;
uint32_t ReadSizes[4];  // cycled through, taken from the input's first bytes
unsigned ReadCount;

// A packet that ended: result, type, length and the payload bytes stored.
std::string Describe(int32_t result, uint8_t type, uint16_t length, const uint8_t* payload) {
  const uint32_t n = result == 0 || result == PacketTooLong ? std::min(PayloadBytes(length), kPayloadCapacity) : 0;
  return std::to_string(result) + ' ' + std::to_string(type) + ' ' + std::to_string(length) + ' ' +
         std::string(reinterpret_cast<const char*>(payload), n);
}

}  // namespace

// The in-memory port the link reads from.
void NumberComPorts() {}
PortHandle OpenComPort(int, PortOutcome*) { return 1; }
void ClosePort(PortHandle) {}
bool PortWrite(PortHandle, const void*, uint32_t) { return true; }
void PortWaitInput(PortHandle, uint32_t) {}
uint32_t PortRead(PortHandle, uint8_t* buf, uint32_t capacity) {
  const uint32_t n = uint32_t(std::min<size_t>({ReadSizes[ReadCount++ % 4], capacity, InputSize - InputPos}));
  std::memcpy(buf, Input + InputPos, n);
  InputPos += n;
  return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  InputSize = InputPos = 0;
  FlushReceiver(1);  // a fresh parser
  for (int i = 0; i < 4; ++i) ReadSizes[i] = data[i] % 4 == 0 ? 0 : 1u + data[i] * 37u;
  ReadSizes[0] += 1;  // every cycle of reads makes progress
  Input = data + 4;
  InputSize = size - 4;
  ReadCount = 0;
  static FramePacket<kPayloadCapacity> ref;
  ref = {};
  std::vector<std::string> expected, got;
  for (size_t i = 0; i < InputSize; ++i) {
    uint32_t used = 0;
    bool seen = false;
    const int32_t r = ParseFrameBytes(&ref, Input + i, 1, &used, &seen);
    if (r != kParseNeedMore) expected.push_back(Describe(r, ref.type, ref.length, ref.payload));
  }
  ReceivedPacket* rbuf = nullptr;
  for (unsigned idle = 0; idle < 8;) {  // reads may be empty: stop after 8 at the end
    const int32_t r = ReceiveStep(1, &rbuf);
    if (r == kParseNeedMore) {
      idle = InputPos == InputSize ? idle + 1 : 0;
      continue;
    }
    if ((r != 0 && r != ChecksumError && r != PacketTooLong) || rbuf->state != 0) std::abort();
    got.push_back(Describe(r, rbuf->type, rbuf->length, rbuf->payload));
  }
  if (got != expected) std::abort();
  return 0;
}
