// Fuzzes the link's receiver: arbitrary bytes arrive in arbitrary read
// sizes through an in-memory port, and ReceiveStep must report the same
// packets as the parser fed one byte at a time, never touching memory
// beyond its buffers.
#include <cstdlib>
#include <vector>

#include "link/link.h"
#include "link/protocol.h"

namespace {

const uint8_t* Input;
size_t InputSize;
size_t InputPos;
// Read sizes cycle through these, taken from the input's first bytes.
uint32_t ReadSizes[4];
unsigned ReadCount;

struct Seen {
  int32_t result;
  uint8_t type;
  uint16_t length;
  uint32_t stored;
  uint32_t sum;  // of the stored payload bytes
};

Seen Describe(int32_t result, uint8_t type, uint16_t length, const uint8_t* payload) {
  Seen s = {result, type, length, 0, 0};
  if (result == 0 || result == PacketTooLong) {
    s.stored = PayloadBytes(length) < kPayloadCapacity ? PayloadBytes(length) : kPayloadCapacity;
    for (uint32_t i = 0; i < s.stored; ++i) s.sum += payload[i] * (i + 1);
  }
  return s;
}

}  // namespace

// The in-memory port the link reads from.
void NumberComPorts() {}
PortHandle OpenComPort(int, PortOutcome*) { return 1; }
void ClosePort(PortHandle) {}
bool PortWrite(PortHandle, const void*, uint32_t) { return true; }
void PortWaitInput(PortHandle, uint32_t) {}
uint32_t PortRead(PortHandle, uint8_t* buf, uint32_t capacity) {
  uint32_t n = ReadSizes[ReadCount++ % 4];
  if (n > capacity) n = capacity;
  if (n > InputSize - InputPos) n = static_cast<uint32_t>(InputSize - InputPos);
  for (uint32_t i = 0; i < n; ++i) buf[i] = Input[InputPos + i];
  InputPos += n;
  return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // A fresh parser from a flush over a port with nothing to read.
  InputSize = InputPos = 0;
  FlushReceiver(1);
  for (int i = 0; i < 4; ++i) ReadSizes[i] = data[i] % 4 == 0 ? 0 : 1u + data[i] * 37u;
  ReadSizes[0] += 1;  // every cycle of reads makes progress
  Input = data + 4;
  InputSize = size - 4;
  ReadCount = 0;

  // Reference: the same bytes, one at a time.
  static FramePacket<kPayloadCapacity> ref;
  ref = {};
  std::vector<Seen> expected;
  for (size_t i = 0; i < InputSize; ++i) {
    uint32_t used = 0;
    bool seen = false;
    int32_t r = ParseFrameBytes(&ref, Input + i, 1, &used, &seen);
    if (used != 1) std::abort();
    if (r != kParseNeedMore) expected.push_back(Describe(r, ref.type, ref.length, ref.payload));
  }

  std::vector<Seen> got;
  ReceivedPacket* rbuf = nullptr;
  unsigned idle = 0;
  // Reads of size 0 are allowed; stop after enough idle steps at the end.
  while (idle < 8) {
    int32_t r = ReceiveStep(1, &rbuf);
    if (r == 1) {
      idle = InputPos == InputSize ? idle + 1 : 0;
      continue;
    }
    if (r != 0 && r != ChecksumError && r != PacketTooLong) std::abort();
    if (rbuf->state != 0) std::abort();
    got.push_back(Describe(r, rbuf->type, rbuf->length, rbuf->payload));
  }
  if (got.size() != expected.size()) std::abort();
  for (size_t i = 0; i < got.size(); ++i) {
    const Seen& a = got[i];
    const Seen& b = expected[i];
    if (a.result != b.result || a.type != b.type || a.length != b.length ||
        a.stored != b.stored || a.sum != b.sum) {
      std::abort();
    }
  }
  return 0;
}
