// Fuzzes the link's receiver: arbitrary bytes arrive in arbitrary read sizes
// through an in-memory port, and ReceiveStep must report the same packets as
// the parser fed one byte at a time, never touching memory beyond its buffers.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/link.h"

namespace {

std::string Input;
size_t InputPos;
uint32_t ReadSizes[4], ReadCount;  // the read sizes cycle, taken from the first 4 bytes

// A packet that ended: result, type, length and the payload bytes stored.
std::string Describe(int32_t r, const ReceivedPacket& p) {
  const uint32_t n = r == 0 || r == PacketTooLong ? std::min(PayloadBytes(p.length), kPayloadCapacity) : 0;
  return std::to_string(r) + ' ' + std::to_string(p.type) + ' ' + std::to_string(p.length) + ' ' +
         std::string(reinterpret_cast<const char*>(p.payload), n);
}

}  // namespace

// The in-memory port the link reads from.
void NumberComPorts() {}
PortHandle OpenComPort(int, PortOutcome*) { return 1; }
void ClosePort(PortHandle) {}
bool PortWrite(PortHandle, const void*, uint32_t) { return true; }
void PortWaitInput(PortHandle, uint32_t) {}
uint32_t PortRead(PortHandle, uint8_t* buf, uint32_t capacity) {
  const size_t n = std::min<size_t>({ReadSizes[ReadCount++ % 4], capacity, Input.size() - InputPos});
  InputPos += Input.copy(reinterpret_cast<char*>(buf), n, InputPos);
  return uint32_t(n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Input.clear();
  InputPos = ReadCount = 0;
  FlushReceiver(1);  // a fresh parser
  for (int i = 0; i < 4; ++i) ReadSizes[i] = (data[i] % 4 == 0 ? 0 : 1u + data[i] * 37u) + (i == 0);
  Input.assign(reinterpret_cast<const char*>(data) + 4, size - 4);
  static ReceivedPacket ref;
  ref = {};
  std::vector<std::string> expected, got;
  for (size_t i = 4; i < size; ++i) {
    uint32_t used;
    bool seen;
    const int32_t r = ParseFrameBytes(&ref, data + i, 1, &used, &seen);
    if (r != kParseNeedMore) expected.push_back(Describe(r, ref));
  }
  ReceivedPacket* rbuf = nullptr;
  for (unsigned idle = 0; idle < 8;) {  // reads may be empty: the end is 8 idle steps
    const int32_t r = ReceiveStep(1, &rbuf);
    idle = r != kParseNeedMore ? 0 : InputPos == Input.size() ? idle + 1 : 0;
    if (r == kParseNeedMore) continue;
    if ((r != 0 && r != ChecksumError && r != PacketTooLong) || rbuf->state != 0) std::abort();
    got.push_back(Describe(r, *rbuf));
  }
  if (got != expected) std::abort();
  return 0;
}
