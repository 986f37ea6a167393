// The frame encoder and the frame parser on plain buffers.
#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

struct Parsed {
  int32_t result;
  uint8_t type;
  uint16_t length;
  Bytes payload;
  bool operator==(const Parsed& o) const {
    return result == o.result && type == o.type && length == o.length && payload == o.payload;
  }
};

// Feeds the stream to a fresh parser in pieces of at most chunk bytes and
// collects every packet that ends, good or bad.
template <size_t Capacity>
std::vector<Parsed> ParseAll(const Bytes& stream, size_t chunk) {
  static FramePacket<Capacity> p;
  p = {};
  std::vector<Parsed> out;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    uint32_t n = static_cast<uint32_t>(std::min(chunk, stream.size() - at));
    uint32_t pos = 0;
    while (pos < n) {
      uint32_t used = 0;
      bool seen = false;
      int32_t r = ParseFrameBytes(&p, stream.data() + at + pos, n - pos, &used, &seen);
      pos += used;
      if (r == kParseNeedMore) continue;
      uint32_t stored = std::min<uint32_t>(PayloadBytes(p.length), Capacity);
      out.push_back({r, p.type, p.length, Bytes(p.payload, p.payload + stored)});
    }
  }
  return out;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST(FrameParser, GivesTheSamePacketsHoweverTheStreamIsCut) {
  const Bytes big = Pattern(65534, 3);
  const Bytes stream = Frame(PktStatus, {0, 0}) + ParseHex("00 13") +  // noise between frames
                       Frame(PktIdQuery, {}) + ParseHex("FF FF FF FF FF 42 FF FF 44") +  // 0xFFFF length
                       Frame(PktSweepData, Pattern(300, 9)) + Frame(PktSweepData, big) +
                       Frame(PktStatus, {0xFF, 0xFF});
  const std::vector<Parsed> expected = {
      {0, PktStatus, 2, {0, 0}},
      {0, PktIdQuery, 0, {}},
      {0, 0x42, 0xFFFF, {}},
      {0, PktSweepData, 300, Pattern(300, 9)},
      {0, PktSweepData, 65534, big},
      {0, PktStatus, 2, {0xFF, 0xFF}},
  };
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{8}, size_t{9}, size_t{8192},
                       stream.size()}) {
    EXPECT_EQ(ParseAll<65536>(stream, chunk), expected) << "chunk " << chunk;
  }
}

TEST(FrameParser, RejectsDamagedFrames) {
  const Bytes good = Frame(PktStatus, {1, 0});
  Bytes highBit = good;
  highBit.back() |= 0x80;  // right low bits, but the check byte never has bit 7 set
  Bytes wrongCheck = Frame(PktStatus, {0, 0});
  wrongCheck.back() ^= 1;
  Bytes lostByte = Frame(PktSweepData, Pattern(40, 1));
  lostByte.erase(lostByte.begin() + 20);
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<int32_t> results;  // of the packets that end, in order
  } cases[] = {
      {"check byte with bit 7", highBit + good, {ChecksumError, 0}},
      // The sixth 0xFF is the type, the real type and length read as a
      // length of 512.
      {"six 0xFF before the type", ParseHex("FF") + good + Pattern(600, 0) + good, {ChecksumError, 0}},
      // The parser counts on into the next frame; the one after is intact.
      {"lost payload byte", lostByte + good + good, {ChecksumError, 0}},
      {"wrong check byte", wrongCheck + good, {ChecksumError, 0}},
  };
  for (const Case& c : cases) {
    std::vector<int32_t> results;
    for (const Parsed& p : ParseAll<65536>(c.stream, 5)) results.push_back(p.result);
    EXPECT_EQ(results, c.results) << c.name;
  }
}

TEST(FrameParser, PayloadBeyondTheCapacityIsCountedButNotStored) {
  const Bytes payload = Pattern(17, 5);
  std::vector<Parsed> got = ParseAll<16>(
      Frame(PktSweepData, payload) + Frame(PktSweepData, Pattern(16, 2)) + ParseHex("FF FF FF FF FF 42 FF FF 44"), 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].result, PacketTooLong);
  EXPECT_EQ(got[0].payload, Bytes(payload.begin(), payload.begin() + 16));
  EXPECT_EQ(got[1].result, 0);  // exactly the capacity is fine
  EXPECT_EQ(got[2].result, 0);  // 0xFFFF carries no payload at all
}

TEST(FrameParser, UndefinedStateIsReportedAndReset) {
  FramePacket<16> p = {};
  p.state = 10;
  const Bytes good = Frame(PktStatus, {0, 0});
  uint32_t used = 99;
  bool seen = false;
  EXPECT_EQ(ParseFrameBytes(&p, good.data(), static_cast<uint32_t>(good.size()), &used, &seen),
            ParserStateError);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(p.state, 0);
  EXPECT_EQ(ParseFrameBytes(&p, good.data(), static_cast<uint32_t>(good.size()), &used, &seen), 0);
  EXPECT_TRUE(seen);
}

}  // namespace
