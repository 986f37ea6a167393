// The sweep instrument emulator, driven through the sweep tool's link.
#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | (static_cast<uint32_t>(U16(b, at + 2)) << 16); }

// CONFBASIC for a period word, averaging 1 and a mode byte.
Bytes Basic(uint16_t periodWord, uint8_t mode) {
  return {static_cast<uint8_t>(periodWord), static_cast<uint8_t>(periodWord >> 8), 2, 3, 1, mode,
          0xFF, 0x03};
}

// CONFFREQ entry: start word, points, step word.
Bytes Range(uint32_t start, uint16_t points, uint32_t step) {
  return {static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8),
          static_cast<uint8_t>(start >> 16), static_cast<uint8_t>(start >> 24),
          static_cast<uint8_t>(points), static_cast<uint8_t>(points >> 8),
          static_cast<uint8_t>(step), static_cast<uint8_t>(step >> 8),
          static_cast<uint8_t>(step >> 16), static_cast<uint8_t>(step >> 24)};
}

// 10-20 MHz in 101 points and 30-31 MHz in 50 points.
const Bytes kTwoRanges = Range(171798690, 101, 1717986) + Range(515396070, 50, 350609);

class SweepEmulator : public LinkedDevice {
 protected:
  // Configures and starts a measurement; every command must be accepted.
  void Measure(uint16_t periodWord, uint8_t mode, const Bytes& ranges) {
    ASSERT_EQ(Command(port_, PktConfBasic, Basic(periodWord, mode)), 0);
    ASSERT_EQ(Command(port_, PktConfFreq, ranges), 0);
    ASSERT_EQ(Command(port_, PktConfLed, {1}), 0);
    ASSERT_EQ(Command(port_, PktStart, {1, 1}), 0);
  }
  void Stop() {
    SendFrame(port_, PktStart, Bytes{0, 0}.data(), 2);
    const int64_t deadline = MonotonicMs() + 2000;
    while (EmulatorStreaming(dev_->emu) && MonotonicMs() < deadline) SleepMs(5);
    ASSERT_FALSE(EmulatorStreaming(dev_->emu));
    SleepMs(50);
    FlushReceiver(port_);
  }
};

TEST_F(SweepEmulator, StreamsConfiguredSetsInRangeOrder) {
  Start(Kind(EmuSweep));
  struct Case {
    uint8_t mode;
    unsigned quantities;
  } cases[] = {{1, 1}, {2, 1}, {3, 2}};
  for (const Case& c : cases) {
    Measure(25, c.mode, kTwoRanges);  // 5 ms a set
    EXPECT_TRUE(EmulatorStreaming(dev_->emu));
    const uint16_t points[2] = {101, 50};
    uint32_t firstSample = 0;
    for (unsigned set = 0; set < 3; ++set) {
      for (unsigned r = 0; r < 2; ++r) {
        Packet p = NextPacket(port_);
        ASSERT_EQ(p.result, 0) << "mode " << int(c.mode);
        ASSERT_EQ(p.type, PktSweepData);
        ASSERT_EQ(p.length, 21u + 2u * points[r] * c.quantities);
        EXPECT_EQ(p.payload[0], 0);          // no initialization error
        EXPECT_EQ(p.payload[1], c.mode);     // content flags
        EXPECT_EQ(p.payload[2], r);          // range index
        EXPECT_EQ(U16(p.payload, 13), points[r]);
        const uint16_t ticks = U16(p.payload, 19);
        EXPECT_GE(ticks, 1);
        EXPECT_LE(ticks, 25);
        if (set == 0 && r == 0) firstSample = U32(p.payload, 3);
        EXPECT_EQ(U32(p.payload, 3), firstSample + set);  // rises by one a set
      }
    }
    Stop();
  }
  // Nothing more after the stop.
  SleepMs(100);
  EXPECT_EQ(NextPacket(port_, 100).result, 1);
}

TEST_F(SweepEmulator, SamplesShowAResonanceInsideTheRange) {
  Start(Kind(EmuSweep));
  Measure(25, 3, Range(171798690, 401, 429496));
  Packet p = NextPacket(port_);
  ASSERT_EQ(p.result, 0);
  ASSERT_EQ(p.length, 21u + 4u * 401);
  size_t peak = 0;
  uint16_t top = 0, bottom = 0xFFFF;
  for (size_t i = 0; i < 401; ++i) {
    const uint16_t phase = U16(p.payload, 21 + 4 * i);
    const uint16_t magnitude = U16(p.payload, 23 + 4 * i);
    // Phase within +-90 degrees, magnitude within -30..+38 dB.
    EXPECT_LT(phase, 57600u);
    if (magnitude > top) top = magnitude, peak = i;
    bottom = std::min(bottom, magnitude);
  }
  EXPECT_GT(top - bottom, 10 * 960) << "a peak of more than 10 dB";
  EXPECT_GT(peak, 401u / 4);
  EXPECT_LT(peak, 401u * 3 / 4);
  // Phase falls through the resonance.
  EXPECT_GT(U16(p.payload, 21), U16(p.payload, 21 + 4 * 400));
  Stop();
}

TEST_F(SweepEmulator, RefusesWhatItCannotMeasure) {
  Start(Kind(EmuSweep));
  EXPECT_EQ(Command(port_, PktStart, {1, 1}), 3) << "START before configuration";
  EXPECT_NE(Command(port_, PktConfBasic, Basic(25, 0)), 0) << "mode 0";
  EXPECT_NE(Command(port_, PktConfFreq, Bytes(9, 0)), 0) << "partial entry";
  EXPECT_NE(Command(port_, PktConfFreq, Range(171798690, 16001, 1)), 0) << "too many points";
  EXPECT_EQ(Command(port_, PktIdQuery), 0);
  EXPECT_EQ(Command(port_, PktStart, {0, 0}), 0) << "a stop is always accepted";
}

TEST_F(SweepEmulator, SpeedScalesTheSamplingPeriod) {
  EmulatorConfig fast = Kind(EmuSweep);
  fast.speed = 10;
  Start(fast);
  Measure(500, 1, Range(171798690, 11, 1000));  // 0.0998 s a set, 10 ms at speed 10
  const uint64_t before = EmulatorSetsSent(dev_->emu);
  SleepMs(500);
  const uint64_t sets = EmulatorSetsSent(dev_->emu) - before;
  EXPECT_GE(sets, 25u);
  EXPECT_LE(sets, 60u);
  Stop();
}

TEST_F(SweepEmulator, LinkRatePacesTheBytes) {
  EmulatorConfig paced = Kind(EmuSweep);
  paced.linkRate = true;
  paced.speed = 4;  // 184,320 bytes/s
  Start(paced);
  Measure(10, 3, Range(171798690, 4000, 1000));  // 16,021-byte packets, due far faster
  int64_t first = 0;
  size_t bytes = 0;
  for (int i = 0; i < 8; ++i) {
    Packet p = NextPacket(port_);
    ASSERT_EQ(p.result, 0);
    if (i == 0) first = MonotonicMs();
    else bytes += FrameSize(p.length);
  }
  const double seconds = (MonotonicMs() - first) / 1000.0;
  EXPECT_NEAR(bytes / seconds, 184320.0, 184320.0 * 0.25);
  Stop();
}

TEST_F(SweepEmulator, FlatOutOutrunsThePeriod) {
  EmulatorConfig flat = Kind(EmuSweep);
  flat.flatOut = true;
  Start(flat);
  Measure(50087, 1, Range(171798690, 11, 1000));  // 10 s a set when paced
  for (int i = 0; i < 20; ++i) ASSERT_EQ(NextPacket(port_, 1000).result, 0);
  Stop();
}

struct FaultCase {
  const char* name;
  void (*set)(EmulatorConfig*);
  std::vector<int32_t> results;  // of the first packets after START
  std::vector<uint8_t> types;    // their types (for complete packets)
};

// Byte and packet faults: what the host's receiver sees, one range a set.
TEST_F(SweepEmulator, PacketFaults) {
  const FaultCase cases[] = {
      {"corrupt every 2nd", [](EmulatorConfig* c) { c->corruptEvery = 2; },
       {0, ChecksumError, 0, ChecksumError}, {PktSweepData, 0, PktSweepData, 0}},
      // The shortened packet swallows the next one's first byte.
      {"drop a byte of the 2nd", [](EmulatorConfig* c) { c->dropByteInPacket = 2; },
       {0, ChecksumError, 0}, {PktSweepData, 0, PktSweepData}},
      {"insert before every 2nd", [](EmulatorConfig* c) { c->insertEvery = 2; },
       {0, 0, 0, 0, 0}, {PktSweepData, 0x7E, PktSweepData, PktSweepData, 0x7E}},
      {"initialization error", [](EmulatorConfig* c) { c->initError = true; },
       {0, 0}, {PktSweepData, PktSweepData}},
      {"single-byte writes", [](EmulatorConfig* c) { c->splitWrites = true; },
       {0, 0}, {PktSweepData, PktSweepData}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatorConfig config = Kind(EmuSweep);
    c.set(&config);
    Start(config);
    Measure(25, 1, Range(171798690, 101, 1000));
    std::vector<Packet> got;
    for (size_t i = 0; i < c.results.size(); ++i) got.push_back(NextPacket(port_));
    for (size_t i = 0; i < c.results.size(); ++i) {
      EXPECT_EQ(got[i].result, c.results[i]) << "packet " << i;
      if (c.types[i] != 0) {
        EXPECT_EQ(got[i].type, c.types[i]) << "packet " << i;
      }
    }
    if (config.initError) {
      EXPECT_EQ(got[0].payload[0] & 0x80, 0x80);
      EXPECT_EQ(got[1].payload[0] & 0x80, 0);
    }
    Stop();
    Close();
  }
}

TEST_F(SweepEmulator, RefusedAndUnansweredCommands) {
  EmulatorConfig config = Kind(EmuSweep);
  config.refuseType = PktConfFreq;
  config.refuseStatus = 7;
  config.idStatus = -5;
  Start(config);
  EXPECT_EQ(Command(port_, PktIdQuery), -5);
  EXPECT_EQ(Command(port_, PktConfBasic, Basic(25, 1)), 0);
  EXPECT_EQ(Command(port_, PktConfFreq, kTwoRanges), 7);
  EXPECT_EQ(Command(port_, PktSwIdQuery), NoData);  // not a command of this device
  Close();

  config = Kind(EmuSweep);
  config.refuseType = PktConfLed;
  config.refuseSilently = true;
  Start(config);
  EXPECT_EQ(Command(port_, PktConfLed, {1}), NoData);
  ASSERT_TRUE(EmulatorWaitFrames(dev_->emu, 1, 1000));
  EXPECT_EQ(EmulatorFrames(dev_->emu)[0].type, PktConfLed);
}

TEST_F(SweepEmulator, GoesSilentAfterSets) {
  EmulatorConfig config = Kind(EmuSweep);
  config.silentAfterSets = 3;
  Start(config);
  Measure(25, 1, kTwoRanges);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(NextPacket(port_).result, 0) << i;
  EXPECT_EQ(NextPacket(port_, 200).result, 1);
  EXPECT_EQ(EmulatorSetsSent(dev_->emu), 3u);
  EXPECT_EQ(EmulatorPacketsSent(dev_->emu), 6u);
  EXPECT_EQ(Command(port_, PktIdQuery), NoData);
}

TEST_F(SweepEmulator, VanishingDeviceLooksLikeEmptyReads) {
  EmulatorConfig config = Kind(EmuSweep);
  config.vanishAfterSets = 2;
  Start(config);
  Measure(500, 1, kTwoRanges);  // 0.1 s a set: the STATUS replies come first
  // Everything sent before the device went away is delivered, then the
  // reads fail quietly.
  int whole = 0;
  const int64_t deadline = MonotonicMs() + 3000;
  while (!EmulatorVanished(dev_->emu) && MonotonicMs() < deadline) {
    if (NextPacket(port_, 10).result == 0) ++whole;
  }
  ASSERT_TRUE(EmulatorVanished(dev_->emu));
  while (NextPacket(port_, 100).result == 0) ++whole;
  EXPECT_EQ(whole, 4);
  EXPECT_EQ(EmulatorSetsSent(dev_->emu), 2u);
  uint8_t buf[16];
  EXPECT_EQ(PortRead(port_, buf, sizeof buf), 0u);
  EXPECT_EQ(WaitStatusReply(port_), NoData);
}

}  // namespace
