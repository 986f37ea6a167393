// The link's send and receive operations through the real serial backend,
// with the test playing the device on the master side of a pty.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

// A pty whose master end the test drives as the device, published as COM1
// and opened through OpenComPort.
class RawDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    std::string slave = ptsname(master_);
    // Held open so that the pty stays usable while the port is closed.
    slave_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    termios tio;
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    PublishPort(folder_.ports, 1, slave);
    port_ = OpenComPort(1);
    ASSERT_NE(port_, kInvalidPort);
    FlushReceiver(port_);
  }
  void TearDown() override {
    ClosePort(port_);
    close(slave_);
    close(master_);
  }

  void DeviceSends(const Bytes& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the link wrote, read at the device side until n bytes or 2 s.
  Bytes DeviceReceives(size_t n) {
    Bytes got;
    const int64_t deadline = MonotonicMs() + 2000;
    while (got.size() < n && MonotonicMs() < deadline) {
      pollfd pfd = {master_, POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      uint8_t buf[256];
      ssize_t r = read(master_, buf, sizeof buf);
      if (r > 0) got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  PortFolder folder_;
  int master_ = -1;
  int slave_ = -1;
  PortHandle port_ = kInvalidPort;
};

// The reference frames of both instruments, as the encoder builds them and
// as the link puts them on the wire.
TEST_F(RawDevice, ReferenceFramesGoOutByteForByte) {
  struct Case {
    const char* name;
    uint8_t type;
    Bytes payload;
    const char* wire;
  } cases[] = {
      {"CONFBASIC 10 Hz, 20 us, avg 1, both, 0 dB", PktConfBasic, ParseHex("F4 01 02 03 01 03 FF 03"),
       "FF FF FF FF FF 10 08 00 F4 01 02 03 01 03 FF 03 6C"},
      {"CONFFREQ 10-20 MHz, 101 points", PktConfFreq, ParseHex("A2 70 3D 0A 65 00 E2 36 1A 00"),
       "FF FF FF FF FF 11 0A 00 A2 70 3D 0A 65 00 E2 36 1A 00 79"},
      {"CONFLED", PktConfLed, {1}, "FF FF FF FF FF 12 01 00 01 70"},
      {"START measuring", PktStart, {1, 1}, "FF FF FF FF FF 40 02 00 01 01 40"},
      {"START stop, RF off", PktStart, {0, 0}, "FF FF FF FF FF 40 02 00 00 00 42"},
      {"START stop, RF alive", PktStart, {0, 1}, "FF FF FF FF FF 40 02 00 00 01 41"},
      {"IDQUERY", PktIdQuery, {}, "FF FF FF FF FF F0 00 00 14"},
      {"SWIDQUERY", PktSwIdQuery, {}, "FF FF FF FF FF F1 00 00 13"},
      {"STATUS accepted", PktStatus, {0, 0}, "FF FF FF FF FF 00 02 00 00 00 02"},
      {"SETPORT 0", PktSetPort, {0}, "FF FF FF FF FF 50 01 00 00 33"},
      {"SETPORT 1", PktSetPort, {1}, "FF FF FF FF FF 50 01 00 01 32"},
      {"TEMPQUERY", PktTempQuery, {}, "FF FF FF FF FF 60 00 00 24"},
  };
  for (const Case& c : cases) {
    const Bytes wire = ParseHex(c.wire);
    EXPECT_EQ(ToHex(Frame(c.type, c.payload)), c.wire) << c.name;
    SendFrame(port_, c.type, c.payload.data(), static_cast<uint16_t>(c.payload.size()));
    EXPECT_EQ(ToHex(DeviceReceives(wire.size())), c.wire) << c.name;
  }
  // Payload written in pieces, one call per piece, as CONFFREQ entries are.
  uint8_t xbuf = 0;
  const Bytes entry = ParseHex("A2 70 3D 0A 65 00 E2 36 1A 00");
  SendHeader(port_, &xbuf, PktConfFreq, 20);
  SendPayload(port_, &xbuf, entry.data(), 10);
  SendPayload(port_, &xbuf, entry.data(), 10);
  EXPECT_TRUE(SendChecksum(port_, &xbuf));
  EXPECT_EQ(DeviceReceives(29), Frame(PktConfFreq, entry + entry));
}

TEST_F(RawDevice, FrameArrivingOneByteAtATime) {
  const Bytes frame = Frame(PktSweepData, ParseHex("80 03 00 01 02 03 04"));
  ReceivedPacket* rbuf = nullptr;
  for (size_t i = 0; i < frame.size(); ++i) {
    DeviceSends({frame[i]});
    // Each byte moves the parser on (state or payload count) or ends the packet.
    ReceiveStep(port_, &rbuf);
    const uint8_t state = rbuf->state;
    const uint16_t count = rbuf->count;
    int32_t r = 1;
    const int64_t deadline = MonotonicMs() + 2000;
    while (r == 1 && rbuf->state == state && rbuf->count == count && MonotonicMs() < deadline) {
      r = ReceiveStep(port_, &rbuf);
    }
    if (i + 1 < frame.size()) {
      ASSERT_EQ(r, 1) << "byte " << i;
      ASSERT_TRUE(rbuf->state != state || rbuf->count != count) << "byte " << i;
    } else {
      ASSERT_EQ(r, 0);
    }
  }
  EXPECT_EQ(rbuf->type, PktSweepData);
  EXPECT_EQ(Bytes(rbuf->payload, rbuf->payload + rbuf->length), ParseHex("80 03 00 01 02 03 04"));
}

TEST_F(RawDevice, TwoFramesInOneReadNeedOneRead) {
  DeviceSends(Frame(PktStatus, {5, 0}) + Frame(PktSweepData, {9, 8, 7}));
  Packet first = NextPacket(port_);
  ASSERT_EQ(first.result, 0);
  EXPECT_EQ(first.payload, Bytes({5, 0}));
  // The second comes from the bytes already read: no read (result 1) first.
  ReceivedPacket* rbuf = nullptr;
  ASSERT_EQ(ReceiveStep(port_, &rbuf), 0);
  EXPECT_EQ(rbuf->type, PktSweepData);
  EXPECT_EQ(Bytes(rbuf->payload, rbuf->payload + 3), Bytes({9, 8, 7}));
}

TEST_F(RawDevice, WaitStatusReplyTakesOnlyAStatusOfTwoBytes) {
  struct Case {
    const char* name;
    Bytes stream;
    int32_t status;
  } cases[] = {
      {"SWEEPDATA first", Frame(PktSweepData, Bytes(100, 0x33)) + Frame(PktStatus, {0, 0}), 0},
      {"status FF FF", Frame(PktStatus, {0xFF, 0xFF}), -1},
      {"status 7", Frame(PktStatus, {7, 0}), 7},
      {"length 3, another type, bad check, nothing more",
       Frame(PktStatus, {0, 0, 0}) + Frame(0x01, {0, 0}) + ParseHex("FF FF FF FF FF 00 02 00 00 00 03"),
       NoData},
  };
  for (const Case& c : cases) {
    FlushReceiver(port_);
    DeviceSends(c.stream);
    const int64_t start = MonotonicMs();
    EXPECT_EQ(WaitStatusReply(port_), c.status) << c.name;
    if (c.status == NoData) {
      // 50 sleeps of 10 ms.
      const int64_t took = MonotonicMs() - start;
      EXPECT_GE(took, 500) << c.name;
      EXPECT_LT(took, 1500) << c.name;
    }
  }
}

TEST_F(RawDevice, FlushReceiverDropsEverythingReceivedSoFar) {
  const Bytes half = Frame(PktStatus, {3, 0});
  DeviceSends(Frame(PktStatus, {0, 0}) + Bytes(half.begin(), half.begin() + 7));
  SleepMs(50);
  FlushReceiver(port_);
  // A fresh frame after the flush is read whole, not as the tail of the half.
  DeviceSends(Frame(PktStatus, {0xFE, 0xFF}));
  EXPECT_EQ(WaitStatusReply(port_), -2);
}

TEST_F(RawDevice, ReceiveActivityFollowsPayloadBytes) {
  TakeReceiveActivity();
  DeviceSends(Frame(PktIdQuery, {}));
  ASSERT_EQ(NextPacket(port_).result, 0);
  EXPECT_EQ(TakeReceiveActivity(), 0);
  DeviceSends(Frame(PktSweepData, {1}));
  ASSERT_EQ(NextPacket(port_).result, 0);
  EXPECT_EQ(TakeReceiveActivity(), 1);
  EXPECT_EQ(TakeReceiveActivity(), 0);
}

TEST_F(RawDevice, PortIsRawAndExclusive) {
  termios tio;
  ASSERT_EQ(tcgetattr(static_cast<int>(port_), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B460800));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  // Bytes that a cooked tty would translate or act on pass unchanged.
  const Bytes special = Frame(PktSweepData, ParseHex("0D 0A 03 11 13 1A 7F"));
  DeviceSends(special);
  Packet p = NextPacket(port_);
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.payload, ParseHex("0D 0A 03 11 13 1A 7F"));
  // A second open of the held port fails as busy; after closing it opens
  // again.
  PortOutcome why = PortNotTried;
  EXPECT_EQ(OpenComPort(1, &why), kInvalidPort);
  EXPECT_EQ(why, PortBusy);
  ClosePort(port_);
  port_ = OpenComPort(1);
  EXPECT_NE(port_, kInvalidPort);
}

TEST(OpenComPort, RejectsPortsThatAreNotThere) {
  PortFolder folder;
  // A plain file is not a serial port.
  ASSERT_TRUE(WriteFileBytes(folder.ports.dir + "/COM4", "x"));
  const struct {
    int port;
    PortOutcome why;
  } cases[] = {{0, PortMissing}, {256, PortMissing}, {1, PortMissing}, {4, PortUnusable}};
  for (const auto& c : cases) {
    PortOutcome why = PortNotTried;
    EXPECT_EQ(OpenComPort(c.port, &why), kInvalidPort) << c.port;
    EXPECT_EQ(why, c.why) << c.port;
  }
}

}  // namespace
