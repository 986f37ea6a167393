// The switch unit's link (vexasw): small payload capacity and SWIDQUERY
// identification.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

static_assert(kSwitchUnitLink, "this suite tests the switch unit's link");

TEST(SwitchLink, PayloadBeyondTheCapacityIsTooLong) {
  PortFolder folder;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios tio;
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  PublishPort(folder.ports, 1, ptsname(master));
  PortHandle port = OpenComPort(1);
  ASSERT_NE(port, kInvalidPort);
  FlushReceiver(port);

  Bytes payload(2049);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13);
  // Each ends with a valid check byte: too long, exactly the capacity, then
  // a TEMPDATA that must still be read intact after the long ones.
  const Bytes stream = Frame(PktTempData, payload) +
                       Frame(PktTempData, Bytes(payload.begin(), payload.end() - 1)) +
                       Frame(PktTempData, {1, 2, 3, 4});
  // Written in pieces: the tty buffers of a pty are small.
  size_t sent = 0;
  std::vector<Packet> got;
  const int64_t deadline = MonotonicMs() + 5000;
  while (got.size() < 3 && MonotonicMs() < deadline) {
    if (sent < stream.size()) {
      ssize_t w = write(master, stream.data() + sent, std::min<size_t>(512, stream.size() - sent));
      if (w > 0) sent += static_cast<size_t>(w);
    }
    Packet p = NextPacket(port, 5);
    if (p.result != 1) got.push_back(p);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].result, PacketTooLong);
  EXPECT_EQ(got[0].length, 2049);
  EXPECT_EQ(got[0].payload, Bytes(payload.begin(), payload.begin() + 2048));
  EXPECT_EQ(got[1].result, 0);
  EXPECT_EQ(got[2].result, 0);
  EXPECT_EQ(got[2].payload, Bytes({1, 2, 3, 4}));

  ClosePort(port);
  close(slave);
  close(master);
}

TEST(SwitchLink, DiscoveryAsksWithSwidqueryAlone) {
  PortFolder folder;
  Device sweep(folder, 1, Kind(EmuSweep));  // does not know SWIDQUERY
  Device unit(folder, 2, Kind(EmuSwitch));
  LastComPort = 0;
  PortHandle port = kInvalidPort;
  const int64_t start = MonotonicMs();
  ASSERT_EQ(DetectDevice(&port), NoError);
  const int64_t took = MonotonicMs() - start;
  EXPECT_EQ(LastComPort, 2);
  for (Emulator* emu : {sweep.emu, unit.emu}) {
    std::vector<EmulatorFrame> frames = EmulatorFrames(emu);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, PktSwIdQuery);
    EXPECT_TRUE(frames[0].payload.empty());
  }
  // The silent port costs one wait of 0.5 s, with no START pause anywhere.
  EXPECT_GE(took, 500);
  EXPECT_LT(took, 1500);
  termios tio;
  ASSERT_EQ(tcgetattr(static_cast<int>(port), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  ClosePort(port);
}

}  // namespace
