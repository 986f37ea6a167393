// The device link through the real serial backend, built once per
// instrument: the test plays the device on the master end of a pty, or runs
// emulated devices as COM ports of a private folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "link/link.h"
#include "link/port_list.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

using encode::Frame;
constexpr uint32_t kCapacity = kSwitchUnitLink ? 2048 : 65536;
const std::string kZeros(2, '\0');

int64_t NowMs() { return EmulatorNowUs() / 1000; }
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + 3);
  return s;
}

// A packet as ReceiveStep reports it: result, type, length, stored payload.
std::string Want(int32_t r, uint8_t type, const std::string& payload, int length = -1) {
  return std::to_string(r) + " " + std::to_string(type) + " " +
         std::to_string(length < 0 ? int(payload.size()) : length) + " " + Hex(payload);
}

// The link of this process looks for its COM ports in this folder.
struct Ports : PortDir {
  Ports() { setenv("COMPORT_DIR", dir().c_str(), 1); }
};

// A pty published as COM1 and opened through the link.
class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    fcntl(pty_.master, F_SETFL, O_NONBLOCK);
    PublishPort(ports_, 1, pty_.path);
    ASSERT_NE(port_ = OpenComPort(1), kInvalidPort);
    FlushReceiver(port_);
  }
  void TearDown() override { ClosePort(port_); }

  // The device sends stream in writes of chunk bytes while the link
  // receives: the packets that ended, until count of them or 5 s.
  std::vector<std::string> Exchange(const std::string& stream, size_t count, size_t chunk = 8192) {
    std::vector<std::string> got;
    ReceivedPacket* p = nullptr;
    for (size_t sent = 0, end = NowMs() + 5000; got.size() < count && NowMs() < int64_t(end);) {
      const ssize_t w = write(pty_.master, &stream[sent], std::min(chunk, stream.size() - sent));
      sent += w > 0 ? size_t(w) : 0;
      for (int32_t r; (r = ReceiveStep(port_, &p)) != kParseNeedMore;) {
        const bool kept = r == 0 || r == PacketTooLong;
        const uint32_t stored = kept ? std::min(PayloadBytes(p->length), kCapacity) : 0;
        got.push_back(Want(r, p->type, std::string(reinterpret_cast<char*>(p->payload), stored), p->length));
      }
    }
    return got;
  }
  // What the link wrote, until n bytes or 2 s.
  std::string Received(size_t n) {
    std::string got;
    char buf[512];
    for (const int64_t end = NowMs() + 2000; got.size() < n && NowMs() < end;) {
      pollfd pfd = {pty_.master, POLLIN, 0};
      const ssize_t r = poll(&pfd, 1, 50) > 0 ? read(pty_.master, buf, sizeof buf) : 0;
      got.append(buf, r > 0 ? size_t(r) : 0);
    }
    return got;
  }

  Ports ports_;
  Pty pty_;
  PortHandle port_ = kInvalidPort;
};

// The commands and replies of both instruments: the bytes that the encoder
// and the sender make, and what the receiver makes of those bytes.
TEST_F(Wire, FramesBothWays) {
  const struct {
    uint8_t type;
    std::string payload;
    const char* wire;  // after the preamble and without the payload
    bool noPayload = false;  // length 0xFFFF
  } rows[] = {
      {0x10, "\xF4\x01\x02\x03\x01\x03\xFF\x03", "10 08 00 6c"}, {0x12, "\x01", "12 01 00 70"},
      {0x11, std::string("\xA2\x70\x3D\x0A\x65\x00\xE2\x36\x1A\x00", 10), "11 0a 00 79"},
      {0x40, "\x01\x01", "40 02 00 40"}, {0x40, kZeros, "40 02 00 42"}, {0x40, std::string("\0\x01", 2), "40 02 00 41"},
      {0xF0, "", "f0 00 00 14"}, {0xF1, "", "f1 00 00 13"}, {0x00, kZeros, "00 02 00 02"}, {0x00, "\xFF\xFF", "00 02 00 04"},
      {0x50, kZeros.substr(1), "50 01 00 33"}, {0x50, "\x01", "50 01 00 32"}, {0x60, "", "60 00 00 24"},
      {0x61, std::string("\0\0\xDC\xFE", 4), "61 04 00 45"}, {0x60, std::string(300, '\xAB'), "60 2c 01 13"},
      {0x42, "", "42 ff ff 44", true},
  };
  for (const auto& row : rows) {
    const uint16_t length = row.noPayload ? 0xFFFF : uint16_t(row.payload.size());
    const std::string wire = std::string("ff ff ff ff ff ") + std::string(row.wire, 8) +
                             (row.payload.empty() ? "" : " " + Hex(row.payload)) + (row.wire + 8);
    std::vector<uint8_t> encoded(FrameSize(length));
    EXPECT_EQ(EncodeFrame(row.type, row.payload.data(), length, encoded.data()), encoded.size());
    EXPECT_EQ(Hex(encoded), wire);
    SendFrame(port_, row.type, row.payload.data(), length);
    const std::string sent = Received(encoded.size());
    EXPECT_EQ(Hex(sent), wire);
    EXPECT_EQ(Exchange(sent, 1), std::vector<std::string>{Want(0, row.type, row.payload, length)});
  }
  // A payload sent in pieces, as CONFFREQ entries are.
  uint8_t xbuf = 0;
  SendHeader(port_, &xbuf, 0x11, 20);
  SendPayload(port_, &xbuf, "0123456789", 10);
  SendPayload(port_, &xbuf, "abcdefghij", 10);
  EXPECT_TRUE(SendChecksum(port_, &xbuf));
  EXPECT_EQ(Hex(Received(29)), Hex(Frame(0x11, "0123456789abcdefghij")));
}

// Streams as the receiver sees them, however the reads cut them.
TEST_F(Wire, Receiver) {
  const std::string good = Frame(0x00, "\x01" + kZeros.substr(1)), ok = Want(0, 0, "\x01" + kZeros.substr(1));
  std::string highBit = good, wrongCheck = good, lostByte = Frame(0x60, Pattern(40));
  highBit.back() = char(highBit.back() | 0x80);
  wrongCheck.back() = char(wrongCheck.back() ^ 1);
  lostByte.erase(20, 1);
  const size_t big = kSwitchUnitLink ? 2049 : 65534, fit = kSwitchUnitLink ? 2048 : 1000;
  const struct {
    std::string stream;
    std::vector<std::string> packets;
  } rows[] = {
      {Frame(0xF0, "") + std::string("\0\x13\xFF\xFF\x01", 5) + Frame(0x60, Pattern(300)) +
           "\xFF\xFF\xFF\xFF\xFF\x42\xFF\xFF\x44" + Frame(0x00, "\xFF\xFF"),
       {Want(0, 0xF0, ""), Want(0, 0x60, Pattern(300)), Want(0, 0x42, "", 0xFFFF), Want(0, 0, "\xFF\xFF")}},
      {highBit + good, {Want(ChecksumError, 0, "", 2), ok}},
      {wrongCheck + good, {Want(ChecksumError, 0, "", 2), ok}},
      // The sixth 0xFF is the type; type and length read as a length of 512.
      {"\xFF" + good + Pattern(600) + good, {Want(ChecksumError, 0xFF, "", 512), ok}},
      // The parser counts on into the next frame; the one after is intact.
      {lostByte + good + good, {Want(ChecksumError, 0x60, "", 40), ok}},
      {Frame(0x61, Pattern(big)) + Frame(0x61, Pattern(fit)) + good,
       {Want(kSwitchUnitLink ? PacketTooLong : 0, 0x61, Pattern(std::min<size_t>(big, kCapacity)), int(big)),
        Want(0, 0x61, Pattern(fit)), ok}},
  };
  for (const auto& row : rows) {
    for (size_t chunk : {1, 7, 8192}) {
      FlushReceiver(port_);
      EXPECT_EQ(Exchange(row.stream, row.packets.size(), chunk), row.packets) << Hex(row.stream.substr(0, 12)) << ", chunk " << chunk;
    }
  }
}

TEST_F(Wire, StatusReplyFlushAndActivity) {
  const std::pair<std::string, int32_t> rows[] = {
      {Frame(0x60, Pattern(100)) + Frame(0x00, kZeros), 0}, {Frame(0x00, "\xFF\xFF"), -1},
      {Frame(0x00, "\x07" + kZeros.substr(1)), 7},
      {Frame(0x00, kZeros + kZeros.substr(1)) + Frame(0x01, kZeros) + Frame(0x00, kZeros).substr(0, 10) + "\x03", -4000},
  };
  for (const auto& row : rows) {
    FlushReceiver(port_);
    ASSERT_EQ(write(pty_.master, row.first.data(), row.first.size()), ssize_t(row.first.size()));
    const int64_t start = NowMs();
    EXPECT_EQ(WaitStatusReply(port_), row.second);
    EXPECT_GE(row.second == -4000 ? NowMs() - start : 500, 500);  // 50 sleeps of 10 ms
  }
  // A whole frame and part of one, dropped by the flush.
  const std::string stale = Frame(0x00, kZeros) + Frame(0x00, "\x03" + kZeros.substr(1)).substr(0, 7);
  ASSERT_EQ(write(pty_.master, stale.data(), stale.size()), ssize_t(stale.size()));
  usleep(50000);
  FlushReceiver(port_);
  TakeReceiveActivity();
  EXPECT_EQ(Exchange(Frame(0x00, "\xFE\xFF"), 1), std::vector<std::string>{Want(0, 0, "\xFE\xFF")});
  EXPECT_EQ(TakeReceiveActivity(), 1);
  EXPECT_EQ(TakeReceiveActivity(), 0);
  EXPECT_EQ(Exchange(Frame(0xF0, ""), 1).size(), 1u);
  EXPECT_EQ(TakeReceiveActivity(), 0);  // no payload bytes
}

TEST_F(Wire, PortIsRawAndExclusive) {
  termios tio;
  ASSERT_EQ(tcgetattr(int(port_), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), speed_t(kSwitchUnitLink ? B115200 : B460800));
  EXPECT_EQ(cfgetispeed(&tio), speed_t(kSwitchUnitLink ? B115200 : B460800));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), tcflag_t(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  // Bytes that a cooked tty would translate or act on pass unchanged.
  const std::string special("\x0D\x0A\x03\x11\x13\x1A\x7F\x00", 8);
  EXPECT_EQ(Exchange(Frame(0x60, special), 1), std::vector<std::string>{Want(0, 0x60, special)});
  PortOutcome why = PortNotTried;
  EXPECT_EQ(OpenComPort(1, &why), kInvalidPort);
  EXPECT_EQ(why, PortBusy);
  ClosePort(port_);
  EXPECT_NE(port_ = OpenComPort(1), kInvalidPort);
}

// Discovery over devices on COM1..: G our instrument, X the other one
// (silent to our query), W answering status 1, D status -4000, S silent, H
// ours but held by another program, F a plain file, R a folder. Outcomes:
// - not tried, F found, M missing, B busy, U unusable, N no answer, W wrong.
TEST(Discovery, CandidatesAndOutcomes) {
  const struct {
    int last;  // LastComPort before
    const char* devices;
    int lastAfter;  // 256: DetectError
    const char* report;
  } rows[] = {
      {0, "G", 1, "F-------"}, {0, "......G", 7, "MMMMMMF-"}, {7, "GXG...X", 3, "-NF---N-"},
      {0, "", 256, "MMMMMMMM"}, {256, "G", 1, "F-------"}, {0, "WDSHFRG", 7, "WWNBUUF-"},
  };
  const EmulatorKind ours = kSwitchUnitLink ? EmuSwitch : EmuSweep;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.devices);
    Ports ports;
    std::vector<std::unique_ptr<Rig>> rigs;  // of COM1, COM2, ...
    int held = -1;
    for (int i = 0; row.devices[i] != '\0'; ++i) {
      const char d = row.devices[i];
      const std::string com = "COM" + std::to_string(i + 1);
      EmulatorConfig config;
      config.kind = d == 'X' ? EmulatorKind(EmuSweep + EmuSwitch - ours) : ours;
      config.idStatus = d == 'W' ? 1 : d == 'D' ? -4000 : 0;
      config.silentAfterSets = d == 'S' ? 0 : -1;
      rigs.emplace_back(std::strchr(".FR", d) ? nullptr : new Rig(config, false));
      if (rigs.back()) PublishPort(ports, i + 1, rigs.back()->pty);
      if (d == 'F') WriteFileBytes(ports.folder / com, "");
      if (d == 'R') mkdir((ports.folder / com).c_str(), 0755);
      if (d == 'H') held = open(rigs.back()->pty.c_str(), O_RDWR | O_NOCTTY);
      EXPECT_TRUE(d != 'H' || flock(held, LOCK_EX | LOCK_NB) == 0);
    }
    LastComPort = row.last;
    PortHandle port = 12345;
    DetectReport report;
    EXPECT_EQ(DetectDevice(&port, &report), row.lastAfter == 256 ? -1000 : 0);
    EXPECT_EQ(port == kInvalidPort, row.lastAfter == 256);
    ClosePort(port);
    EXPECT_EQ(LastComPort, row.lastAfter);
    std::string outcomes;
    for (int com = 1; com <= 8; ++com) outcomes += "-FMBDUNW"[report.outcome[com]];
    EXPECT_EQ(outcomes, row.report);
    EXPECT_EQ(report.outcome[255], row.lastAfter == 256 ? PortMissing : PortNotTried);
    for (size_t i = 0; i < rigs.size(); ++i) {
      if (!rigs[i]) continue;
      // One identification exchange on each port tried, none elsewhere, and
      // on the sweep instrument's link 300 ms for a stopped measurement to
      // settle between its two frames.
      const std::vector<EmulatorFrame> frames = EmulatorFrames(rigs[i]->emu);
      std::string exchange;
      for (const EmulatorFrame& f : frames) exchange += char(f.type) + std::string(f.payload.begin(), f.payload.end());
      const bool tried = std::strchr("FNW", row.report[i]) != nullptr;
      EXPECT_EQ(Hex(exchange), !tried ? "" : kSwitchUnitLink ? "f1" : "40 00 00 f0") << i;
      EXPECT_TRUE(!tried || kSwitchUnitLink || (frames.size() == 2 && frames[1].timeUs - frames[0].timeUs >= 280000));
      if (std::strchr("NW", row.report[i])) {  // a rejected port was closed again
        const PortHandle again = OpenComPort(int(i) + 1);
        EXPECT_NE(again, kInvalidPort) << i;
        ClosePort(again);
      }
    }
    if (held >= 0) close(held);
  }
}

// The diagnosis: one line per port tried, in COM order (named by its COM
// number when it has no name), then the ports that do not exist as runs.
TEST(Discovery, ReportText) {
  const PortNameFn name = [](int port, char* text, size_t size) {
    return port < 200 && std::snprintf(text, size, "/dev/p%d", port) > 0;
  };
  const PortOutcome outcomes[] = {PortNotTried, PortBusy, PortMissing, PortDenied, PortMissing, PortMissing, PortMissing,
                                  PortUnusable, PortNoAnswer, PortWrongAnswer, PortFound};
  DetectReport report = {};
  for (int com = 1; com <= 10; ++com) report.outcome[com] = outcomes[com];
  report.outcome[200] = PortNoAnswer;
  report.outcome[255] = PortMissing;
  char text[kDetectReportTextBytes];
  const char* const expected =
      "\r\n/dev/p1: busy (held by another program)\r\n/dev/p3: permission denied (join the dialout group on Debian "
      "and Ubuntu, or uucp on Arch, then log in again)\r\n/dev/p7: cannot be used as a serial port\r\n/dev/p8: no "
      "answer to the identification query\r\n/dev/p9: wrong answer to the identification query\r\nCOM200: no answer "
      "to the identification query\r\nCOM2, COM4 to COM6, COM255: no such port";
  EXPECT_EQ(FormatDetectReport(report, name, text, sizeof text), std::strlen(expected));
  EXPECT_STREQ(text, expected);
  // A line that does not fit is left out whole, and every later one too.
  EXPECT_EQ(FormatDetectReport(report, name, text, 42), 41u);
  EXPECT_STREQ(text, "\r\n/dev/p1: busy (held by another program)");
  EXPECT_EQ(FormatDetectReport(report, name, text, 41), 0u);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(FormatDetectReport(DetectReport{}, name, text, sizeof text), 0u);
}

// The machine's ports, listed from a folder standing in for the root; a
// device node is a link to /dev/null.
TEST(PortList, KindsOrderAndRealBuiltInPorts) {
  static SerialPortList list;
  const auto List = [&](const std::string& root) {
    ListSerialPorts(root.c_str(), &list);
    return std::vector<std::string>(list.name, list.name + list.count);
  };
  EXPECT_TRUE(List("/nonexistent-root").empty());
  TempDir root("root");
  mkdir((root / "dev").c_str(), 0755);
  for (const char* name : {"ttyGS0", "ttyAP3", "rfcomm0", "ttyAMA0", "ttyXRUSB1", "ttyACM0", "ttyUSB10", "ttyUSB2",
                           "ttyUSB3", "ttyUSB", "ttyUSB1a", "ttySAC0", "ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4"}) {
    symlink("/dev/null", (root / "dev/" + name).c_str());
  }
  WriteFileBytes(root / "dev/ttyUSB4", "");                             // a stale file
  symlink((root / "nowhere").c_str(), (root / "dev/ttyACM5").c_str());  // a broken link
  // The sysfs device and UART type of the built-in ports; ttyS3 has none.
  const char* const sysfs[][2] = {{"00:01", "4\n"}, {"serial8250", "4\n"}, {"00:02", "0\n"}, {"fe650000.serial", "4\n"}};
  for (int n = 0; n < 4; ++n) {
    const std::string sys = root / "sys/class/tty/ttyS" + std::to_string(n == 3 ? 4 : n);
    RunShell("mkdir -p " + ShellQuote(sys), nullptr);
    symlink((std::string("../../../") + sysfs[n][0]).c_str(), (sys + "/device").c_str());
    WriteFileBytes(sys + "/type", sysfs[n][1]);
  }
  EXPECT_EQ(List(root.path), (std::vector<std::string>{"ttyUSB2", "ttyUSB3", "ttyUSB10", "ttyACM0", "ttyXRUSB1",
                                                       "ttyAMA0", "rfcomm0", "ttyAP3", "ttyGS0", "ttyS0", "ttyS4"}));
  // COM1..COM255 take the first 255 in order.
  for (int n = 10; n < 310; ++n) symlink("/dev/null", (root / "dev/ttyACM" + std::to_string(n)).c_str());
  const std::vector<std::string> ports = List(root.path);
  ASSERT_EQ(ports.size(), 255u);
  EXPECT_EQ(ports[3] + ports[4] + ports[254], "ttyACM0ttyACM10ttyACM260");
}

}  // namespace
