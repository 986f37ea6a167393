// Packet frame of both instruments: constants, the check byte, frame
// encoding and the byte-wise frame parser. Pure code, no I/O: the link's
// receiver, the instrument emulators, the fuzzer and the benchmark all run
// the same parser over their own buffers.
//
// Frame on the wire (both directions, multi-byte fields little-endian):
//
//   offset      size    field
//   0           5       preamble FF FF FF FF FF
//   5           1       type
//   6           2       payload length; 0 and 0xFFFF both mean "no payload",
//                       so the longest payload is 65534 bytes
//   8           length  payload
//   8 + length  1       check byte: (~S) & 0x7F, S = 8-bit sum of every byte
//                       before it (preamble, type, length, payload)
//
// The preamble adds 0x4FB to the sum (0xFB modulo 256), so a running sum
// starts at type + length low + length high - 5.
//
// Parser states (one byte at a time; a frame may be split over any number
// of buffers):
//
//   0..4  preamble      next state + 1 on 0xFF, else back to 0
//   5     type          any byte, 0xFF included, is the type
//   6     length low
//   7     length high   to 9 when the length is 0 or 0xFFFF, else 8
//   8     payload       stored while below the record's capacity; bytes
//                       beyond it are counted and summed but dropped
//   9     check byte    mismatch: ChecksumError; more payload than the
//                       capacity: PacketTooLong; else the packet is complete.
//                       A frame of length 0xFFFF carries no payload and is
//                       never too long.
//
// There is no other resynchronisation: after a lost byte the parser counts
// payload up to the announced length, the check byte then fails and the hunt
// for five 0xFF bytes starts again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/byteorder.h"
#include "link/status.h"

// Packet types of both instruments.
enum PacketType : uint8_t {
  PktStatus = 0x00,     // device -> host, 2 bytes: int16 status, 0 = accepted
  PktConfBasic = 0x10,  // host -> sweep instrument
  PktConfFreq = 0x11,   // host -> sweep instrument
  PktConfLed = 0x12,    // host -> sweep instrument
  PktStart = 0x40,      // host -> sweep instrument: run byte, RF byte
  PktSetPort = 0x50,    // host -> switch unit: port 0 or 1
  PktSweepData = 0x60,  // sweep instrument -> host
  PktTempQuery = 0x60,  // host -> switch unit (never on the same link as 0x60 above)
  PktTempData = 0x61,   // switch unit -> host: two u16 raw temperatures
  PktIdQuery = 0xF0,    // host -> sweep instrument
  PktSwIdQuery = 0xF1,  // host -> switch unit
};

constexpr uint8_t kPreambleByte = 0xFF;
constexpr uint32_t kPreambleLength = 5;
constexpr uint32_t kFrameHeaderLength = 8;
constexpr uint32_t kFrameOverhead = kFrameHeaderLength + 1;
constexpr uint16_t kNoPayloadLength = 0xFFFF;

// Sum of the preamble, type and length bytes: the running sum after the
// header of a frame.
constexpr uint8_t FrameSumStart(uint8_t type, uint16_t length) {
  return static_cast<uint8_t>(0x4FB + type + (length & 0xFF) + (length >> 8));
}

constexpr uint8_t CheckByte(uint8_t sum) { return static_cast<uint8_t>(~sum) & 0x7F; }

// Payload bytes that follow the header for a given length field.
constexpr uint32_t PayloadBytes(uint16_t length) { return length == kNoPayloadLength ? 0 : length; }

// Whole frame size on the wire for a given length field.
constexpr uint32_t FrameSize(uint16_t length) { return kFrameOverhead + PayloadBytes(length); }

// Adds n bytes to an 8-bit running sum.
uint8_t AddToSum(uint8_t sum, const uint8_t* data, size_t n);

// Writes one frame into out (FrameSize(length) bytes) and returns its size.
// With length 0xFFFF no payload is written (payload may then be null).
uint32_t EncodeFrame(uint8_t type, const void* payload, uint16_t length, uint8_t* out);

// The parser's record. Packet is any struct with these fields in this form:
//   uint8_t type; uint16_t length; uint8_t payload[capacity];
//   uint16_t count; uint8_t sum; uint8_t state;
// (the link's ReceivedPacket, or a FramePacket below). The capacity is the
// size of its payload array.
template <size_t Capacity>
struct FramePacket {
  uint8_t type;
  uint16_t length;
  uint8_t payload[Capacity];
  uint16_t count;
  uint8_t sum;
  uint8_t state;
};

// Result of ParseFrameBytes besides 0 and the failure codes: every byte
// given was used without completing or failing a packet.
constexpr int32_t kParseNeedMore = 1;

// Runs bytes [data, data + n) through the parser until a packet completes
// or fails. *used receives the bytes consumed (the position after the check
// byte when a packet ends). *payloadSeen is set to true when a payload byte
// was parsed and is left alone otherwise.
// Returns 0 (a whole packet with a valid check byte is in *p),
// kParseNeedMore, ChecksumError, PacketTooLong or ParserStateError.
template <class Packet>
int32_t ParseFrameBytes(Packet* p, const uint8_t* data, uint32_t n, uint32_t* used,
                        bool* payloadSeen) {
  constexpr uint32_t capacity = sizeof(p->payload);
  static_assert(capacity >= 1, "the payload array must have a capacity");
  uint32_t i = 0;
  while (i < n) {
    switch (p->state) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: p->state = data[i++] == kPreambleByte ? static_cast<uint8_t>(p->state + 1) : 0; break;
      case 5:
        p->type = data[i++];
        p->sum = static_cast<uint8_t>(p->type - 5);
        p->state = 6;
        break;
      case 6:
        p->length = data[i];
        p->sum = static_cast<uint8_t>(p->sum + data[i++]);
        p->state = 7;
        break;
      case 7:
        p->length = static_cast<uint16_t>(p->length | (data[i] << 8));
        p->sum = static_cast<uint8_t>(p->sum + data[i++]);
        p->count = 0;
        p->state = (p->length == 0 || p->length == kNoPayloadLength) ? 9 : 8;
        break;
      case 8: {
        // Payload: take every byte of it that is in this buffer at once.
        if (p->count >= p->length) {  // only a record edited from outside
          p->state = 9;
          break;
        }
        uint32_t take = p->length - p->count;
        if (take > n - i) take = n - i;
        uint32_t stored = 0;
        if (p->count < capacity) {
          stored = capacity - p->count;
          if (stored > take) stored = take;
          std::memcpy(p->payload + p->count, data + i, stored);
        }
        p->sum = AddToSum(p->sum, data + i, take);
        p->count = static_cast<uint16_t>(p->count + take);
        i += take;
        *payloadSeen = true;
        if (p->count == p->length) p->state = 9;
        break;
      }
      case 9: {
        p->state = 0;
        uint8_t check = data[i++];
        *used = i;
        if (check != CheckByte(p->sum)) return ChecksumError;
        if (p->length != kNoPayloadLength && p->length > capacity) return PacketTooLong;
        return 0;
      }
      default:
        p->state = 0;
        *used = i;
        return ParserStateError;
    }
  }
  *used = i;
  return kParseNeedMore;
}
