// The device link through the real serial backend, built once per instrument: the test plays the
// device on the master end of a pty, or runs emulated devices as COM ports of a private folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

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
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char(i * 7 + 3);
  return s;
}

std::string Want(int32_t r, uint8_t type, const std::string& payload, int length = -1) {  // as ReceiveStep reports it
  return std::to_string(r) + " " + std::to_string(type) + " " +
         std::to_string(length < 0 ? int(payload.size()) : length) + " " + Hex(payload);
}

struct Ports : PortDir {  // where the link of this process looks for COM ports
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

  // The device writes stream in chunks as the link receives: the packets that ended, until count or 20 s.
  std::vector<std::string> Exchange(const std::string& stream, size_t count, size_t chunk = 8192) {
    std::vector<std::string> got;
    ReceivedPacket* p = nullptr;
    for (size_t sent = 0, end = NowMs() + 20000; got.size() < count && NowMs() < int64_t(end);) {
      const ssize_t w = write(pty_.master, &stream[sent], std::min(chunk, stream.size() - sent));
      sent += w > 0 ? size_t(w) : 0;
      for (int32_t r; (r = ReceiveStep(port_, &p)) != kParseNeedMore;) {
        const uint32_t stored = r == 0 || r == PacketTooLong ? std::min(PayloadBytes(p->length), kCapacity) : 0;
        got.push_back(Want(r, p->type, std::string(reinterpret_cast<char*>(p->payload), stored), p->length));
      }
    }
    return got;
  }
  std::string Received(size_t n) {  // what the link wrote, until n bytes or 2 s
    std::string got;
    char buf[512];
    for (int ms = 0; got.size() < n && ms < 2000; ++ms, usleep(1000)) {
      const ssize_t r = read(pty_.master, buf, sizeof buf);
      got.append(buf, r > 0 ? size_t(r) : 0);
    }
    return got;
  }

  Ports ports_;
  Pty pty_;
  PortHandle port_ = kInvalidPort;
};

// Both instruments' commands and replies: encoded, sent and received.
TEST_F(Wire, FramesBothWays) {
  const std::tuple<uint8_t, std::string, const char*> rows[] = {  // type, length and check byte
      {0x10, "\xF4\x01\x02\x03\x01\x03\xFF\x03", "10 08 00 6c"}, {0x12, "\x01", "12 01 00 70"}, {0xF1, "", "f1 00 00 13"},
      {0x11, std::string("\xA2\x70\x3D\x0A\x65\0\xE2\x36\x1A\0", 10), "11 0a 00 79"}, {0xF0, "", "f0 00 00 14"},
      {0x40, "\x01\x01", "40 02 00 40"}, {0x40, kZeros, "40 02 00 42"}, {0x40, std::string("\0\x01", 2), "40 02 00 41"},
      {0x00, kZeros, "00 02 00 02"}, {0x00, "\xFF\xFF", "00 02 00 04"}, {0x60, "", "60 00 00 24"}, {0x50, "\x01", "50 01 00 32"},
      {0x50, kZeros.substr(1), "50 01 00 33"}, {0x61, std::string("\0\0\xDC\xFE", 4), "61 04 00 45"},
      {0x60, std::string(511, '\xAB'), "60 ff 01 4f"},  // sent in pieces of 255, 255 and 1 bytes
  };
  for (const auto& [type, payload, wire] : rows) {
    const std::string want = "ff ff ff ff ff " + std::string(wire, 8) + (payload.empty() ? "" : " ") + Hex(payload) + (wire + 8);
    std::vector<uint8_t> encoded(FrameSize(uint16_t(payload.size())));
    EXPECT_EQ(EncodeFrame(type, payload.data(), uint16_t(payload.size()), encoded.data()), encoded.size());
    EXPECT_EQ(Hex(encoded), want);
    SendFrame(port_, type, payload.data(), uint16_t(payload.size()));
    const std::string sent = Received(encoded.size());
    EXPECT_EQ(Hex(sent), want);
    EXPECT_EQ(Exchange(sent, 1), std::vector<std::string>{Want(0, type, payload)});
    EXPECT_EQ(TakeReceiveActivity(), !payload.empty());  // payload bytes were parsed
  }
}

TEST_F(Wire, ReceiverHoweverTheReadsCutTheStream) {
  const std::string good = Frame(0x00, "\x01" + kZeros.substr(1)), ok = Want(0, 0, "\x01" + kZeros.substr(1));
  const size_t big = kSwitchUnitLink ? 2049 : 65534, fit = kSwitchUnitLink ? 2048 : 1000;
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {Frame(0xF0, "") + std::string("\0\x13\xFF\xFF\x01", 5) + Frame(0x60, Pattern(300)) +
           "\xFF\xFF\xFF\xFF\xFF\x42\xFF\xFF\x44" + Frame(0x00, "\xFF\xFF"),
       {Want(0, 0xF0, ""), Want(0, 0x60, Pattern(300)), Want(0, 0x42, "", 0xFFFF), Want(0, 0, "\xFF\xFF")}},
      {good.substr(0, 10) + "\x81" + good, {Want(ChecksumError, 0, "", 2), ok}},  // the right check byte with bit 7
      {good.substr(0, 10) + '\0' + good, {Want(ChecksumError, 0, "", 2), ok}},
      // The sixth 0xFF is the type; type and length read as a length of 512.
      {"\xFF" + good + Pattern(600) + good, {Want(ChecksumError, 0xFF, "", 512), ok}},
      // The parser counts on into the next frame; the one after is intact.
      {Frame(0x60, Pattern(40)).erase(20, 1) + good + good, {Want(ChecksumError, 0x60, "", 40), ok}},
      {Frame(0x61, Pattern(big)) + Frame(0x61, Pattern(fit)) + good,
       {Want(kSwitchUnitLink ? PacketTooLong : 0, 0x61, Pattern(std::min<size_t>(big, kCapacity)), int(big)),
        Want(0, 0x61, Pattern(fit)), ok}},
  };
  for (const auto& row : rows) {
    for (size_t chunk : {1, 7, 8192}) {
      FlushReceiver(port_);
      EXPECT_EQ(Exchange(row.first, row.second.size(), chunk), row.second) << "row " << &row - rows << ", " << chunk;
    }
  }
}

TEST_F(Wire, StatusReplyFlushAndPort) {
  const std::pair<std::string, int32_t> rows[] = {
      {Frame(0x60, Pattern(100)) + Frame(0x00, kZeros), 0}, {Frame(0x00, "\xFF\xFF"), -1},
      {Frame(0x00, "\x07" + kZeros.substr(1)), 7},
      {Frame(0x00, Pattern(3)) + Frame(0x01, kZeros) + Frame(0x00, kZeros).substr(0, 10) + "\x03", -4000},
  };
  for (const auto& row : rows) {
    FlushReceiver(port_);
    ASSERT_EQ(write(pty_.master, row.first.data(), row.first.size()), ssize_t(row.first.size()));
    const int64_t start = NowMs();
    EXPECT_EQ(WaitStatusReply(port_), row.second);
    EXPECT_GE(row.second == -4000 ? NowMs() - start : 500, 500);  // 50 sleeps of 10 ms
  }
  const std::string stale = Frame(0x00, kZeros) + Frame(0x00, "\x03" + kZeros.substr(1)).substr(0, 7);
  ASSERT_EQ(write(pty_.master, stale.data(), stale.size()), ssize_t(stale.size()));
  usleep(50000);
  FlushReceiver(port_);  // drops a whole frame and part of one
  const std::string special("\x0D\x0A\x03\x11\x13\x1A\x7F\x00", 8);
  EXPECT_EQ(Exchange(Frame(0x60, special), 1), std::vector<std::string>{Want(0, 0x60, special)});  // a raw tty
  termios tio;
  ASSERT_EQ(tcgetattr(int(port_), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio) + cfgetispeed(&tio), 2 * speed_t(kSwitchUnitLink ? B115200 : B460800));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), tcflag_t(CS8 | CLOCAL | CREAD));
  PortOutcome why = PortNotTried;  // the port is held
  EXPECT_EQ(OpenComPort(1, &why), kInvalidPort);
  EXPECT_EQ(why, PortBusy);
  ClosePort(port_);
  EXPECT_NE(port_ = OpenComPort(1), kInvalidPort);
  // A device that takes nothing more: a write of n bytes gives up after n + 25 ms.
  const std::string block(1000, 'x');
  int64_t start = 0;
  for (int i = 0; i < 1000 && (start = NowMs(), PortWrite(port_, block.data(), 1000)); ++i) {}
  EXPECT_GE(NowMs() - start, 1025);
  EXPECT_LT(NowMs() - start, 1500);
}

// Discovery over COM1..: G ours, X the other instrument, W answering 1, D -4000, S silent, H held, F a file,
// R a folder. Outcomes: - not tried, F found, M missing, B busy, U unusable, N no answer, W wrong answer.
TEST(Discovery, CandidatesAndOutcomes) {
  const std::tuple<int, const char*, int, const char*> rows[] = {  // LastComPort before and after
      {0, "G", 1, "F-------"}, {0, "......G", 7, "MMMMMMF-"}, {7, "GXG...X", 3, "-NF---N-"},
      {0, "", 256, "MMMMMMMM"}, {256, "G", 1, "F-------"}, {0, "WDSHFRG", 7, "WWNBUUF-"},
  };
  for (const auto& [last, devices, lastAfter, outcomes] : rows) {
    SCOPED_TRACE(devices);
    Ports ports;
    std::vector<std::unique_ptr<Rig>> rigs;  // of COM1, COM2, ...
    PortHandle held = kInvalidPort;
    for (int i = 0; devices[i] != '\0'; ++i) {
      const char d = devices[i];
      const std::string com = ports.folder / ("COM" + std::to_string(i + 1));
      EmulatorConfig config{EmulatorKind(kSwitchUnitLink != (d == 'X'))};
      config.idStatus = d == 'W' ? 1 : d == 'D' ? -4000 : 0;
      config.silentAfterSets = d == 'S' ? 0 : -1;
      rigs.emplace_back(std::strchr(".FR", d) ? nullptr : new Rig(config, false));
      if (rigs.back()) symlink(rigs.back()->pty.c_str(), com.c_str());
      if (d == 'F') WriteFileBytes(com, "");
      if (d == 'R') mkdir(com.c_str(), 0755);
      held = d == 'H' ? OpenComPort(i + 1) : held;  // as another program would
    }
    LastComPort = last;
    PortHandle port = 12345;
    DetectReport report;
    EXPECT_EQ(DetectDevice(&port, &report), lastAfter == 256 ? -1000 : 0);
    EXPECT_EQ(port == kInvalidPort, lastAfter == 256);
    ClosePort(port);
    EXPECT_EQ(LastComPort, lastAfter);
    for (int com = 1; com <= 8; ++com) EXPECT_EQ("-FMBDUNW"[report.outcome[com]], outcomes[com - 1]) << com;
    EXPECT_EQ(report.outcome[255], lastAfter == 256 ? PortMissing : PortNotTried);
    for (size_t i = 0; i < rigs.size(); ++i) {
      if (!rigs[i]) continue;
      // One exchange per port tried; 300 ms for a stopped measurement to settle.
      const std::vector<EmulatorFrame> frames = EmulatorFrames(rigs[i]->emu);
      std::string exchange;
      for (const EmulatorFrame& f : frames) exchange += char(f.type) + std::string(f.payload.begin(), f.payload.end());
      const bool tried = std::strchr("FNW", outcomes[i]) != nullptr;
      EXPECT_EQ(Hex(exchange), !tried ? "" : kSwitchUnitLink ? "f1" : "40 00 00 f0") << i;
      EXPECT_TRUE(!tried || kSwitchUnitLink || (frames.size() == 2 && frames[1].timeUs - frames[0].timeUs >= 280000));
      const bool rejected = std::strchr("NW", outcomes[i]) != nullptr;  // and closed again
      const PortHandle again = rejected ? OpenComPort(int(i) + 1) : kInvalidPort;
      EXPECT_EQ(again != kInvalidPort, rejected) << i;
      ClosePort(again);
    }
    ClosePort(held);
  }
}

// A line per port tried, in COM order (a port without a name by number), then the missing ports as runs.
TEST(Discovery, ReportText) {
  const PortNameFn name = [](int port, char* text, size_t size) {
    return port < 200 && std::snprintf(text, size, "/dev/p%d", port) > 0;
  };
  DetectReport report = {{PortNotTried, PortBusy, PortMissing, PortDenied, PortMissing, PortMissing, PortMissing,
                          PortUnusable, PortNoAnswer, PortWrongAnswer, PortFound}};
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
}

// The machine's ports under a stand-in root: device nodes as links to /dev/null, sysfs entries of the
// built-in ports (device, UART type; ttyS3 has none), a stale file and a broken link.
TEST(PortList, KindsOrderAndRealBuiltInPorts) {
  static SerialPortList list;
  const auto List = [&](const std::string& root) {
    ListSerialPorts(root.c_str(), &list);
    return std::vector<std::string>(list.name, list.name + list.count);
  };
  EXPECT_TRUE(List("/nonexistent-root").empty());
  TempDir root("root");
  ASSERT_EQ(RunShell("cd " + ShellQuote(root.path) + " && mkdir dev && touch dev/ttyUSB4 && ln -s no dev/ttyACM5 && "
                     "for p in GS0 AP3 AMA0 XRUSB1 ACM0 USB10 USB2 USB3 USB USB1a SAC0 S0 S1 S2 S3 S4; do "
                     "ln -s /dev/null dev/tty$p; done && ln -s /dev/null dev/rfcomm0 && for s in '0 00:01 4' "
                     "'1 serial8250 4' '2 00:02 0' '4 fe650000.serial 4'; do set -- $s; t=sys/class/tty/ttyS$1; "
                     "mkdir -p $t && ln -s ../../../$2 $t/device && echo $3 >$t/type; done",
                     nullptr), 0);
  EXPECT_EQ(List(root.path), (std::vector<std::string>{"ttyUSB2", "ttyUSB3", "ttyUSB10", "ttyACM0", "ttyXRUSB1",
                                                       "ttyAMA0", "rfcomm0", "ttyAP3", "ttyGS0", "ttyS0", "ttyS4"}));
  // COM1..COM255 take the first 255 in order.
  for (int n = 10; n < 310; ++n) symlink("/dev/null", (root / "dev/ttyACM" + std::to_string(n)).c_str());
  const std::vector<std::string> ports = List(root.path);
  ASSERT_EQ(ports.size(), 255u);
  EXPECT_EQ(ports[3] + ports[4] + ports[254], "ttyACM0ttyACM10ttyACM260");
}

}  // namespace
