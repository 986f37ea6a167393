// Discovery of the sweep instrument among emulated ports.
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "tests/link/link_testing.h"

namespace {

std::vector<uint8_t> Types(Emulator* emu) {
  std::vector<uint8_t> types;
  for (const EmulatorFrame& f : EmulatorFrames(emu)) types.push_back(f.type);
  return types;
}

const std::vector<uint8_t> kOneExchange = {PktStart, PktIdQuery};

TEST(Discovery, FindsTheInstrumentOnCom1) {
  PortFolder folder;
  Device dev(folder, 1, Kind(EmuSweep));
  LastComPort = 0;
  PortHandle port = kInvalidPort;
  ASSERT_EQ(DetectDevice(&port), NoError);
  EXPECT_NE(port, kInvalidPort);
  EXPECT_EQ(LastComPort, 1);
  // START 00 00, then after the 300 ms pause the identification query.
  std::vector<EmulatorFrame> frames = EmulatorFrames(dev.emu);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, PktStart);
  EXPECT_EQ(frames[0].payload, Bytes({0, 0}));
  EXPECT_EQ(frames[1].type, PktIdQuery);
  EXPECT_GE(frames[1].timeUs - frames[0].timeUs, 280000);  // 300 ms, less scheduling slack
  ClosePort(port);
}

// Found on COM7, then the instrument moves to COM3: COM7 is tried again
// first, then COM2 and COM3; COM1 is not tried.
TEST(Discovery, RemembersThePortAndThenScansFromCom2) {
  PortFolder folder;
  PortHandle port = kInvalidPort;
  LastComPort = 0;
  {
    Device first(folder, 7, Kind(EmuSweep));
    ASSERT_EQ(DetectDevice(&port), NoError);
    EXPECT_EQ(LastComPort, 7);
    ClosePort(port);
  }
  // COM7 and COM2 now hold devices that never answer the sweep queries.
  Device com1(folder, 1, Kind(EmuSweep));
  Device com2(folder, 2, Kind(EmuSwitch));
  Device com3(folder, 3, Kind(EmuSweep));
  Device com7(folder, 7, Kind(EmuSwitch));
  const int64_t start = MonotonicMs();
  DetectReport report;
  ASSERT_EQ(DetectDevice(&port, &report), NoError);
  const int64_t took = MonotonicMs() - start;
  EXPECT_EQ(LastComPort, 3);
  EXPECT_EQ(report.outcome[1], PortNotTried);
  EXPECT_EQ(report.outcome[2], PortNoAnswer);
  EXPECT_EQ(report.outcome[3], PortFound);
  EXPECT_EQ(report.outcome[4], PortNotTried);
  EXPECT_EQ(report.outcome[7], PortNoAnswer);
  EXPECT_TRUE(EmulatorFrames(com1.emu).empty());
  // Each silent device cost exactly one exchange.
  EXPECT_EQ(Types(com7.emu), kOneExchange);
  EXPECT_EQ(Types(com2.emu), kOneExchange);
  EXPECT_EQ(Types(com3.emu), kOneExchange);
  EXPECT_LT(EmulatorFrames(com7.emu)[1].timeUs, EmulatorFrames(com2.emu)[0].timeUs);
  EXPECT_LT(EmulatorFrames(com2.emu)[1].timeUs, EmulatorFrames(com3.emu)[0].timeUs);
  // Two failed exchanges of 0.8 s and one good one of 0.3 s and a reply.
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 4000);
  ClosePort(port);
  // The rejected ports were closed again.
  PortHandle again = OpenComPort(7);
  EXPECT_NE(again, kInvalidPort);
  ClosePort(again);
}

TEST(Discovery, NoDeviceAnywhere) {
  PortFolder folder;
  LastComPort = 0;
  PortHandle port = 12345;
  const int64_t start = MonotonicMs();
  EXPECT_EQ(DetectDevice(&port), DetectError);
  EXPECT_LT(MonotonicMs() - start, 1000);  // absent ports cost nothing
  EXPECT_EQ(port, kInvalidPort);
  EXPECT_EQ(LastComPort, 256);
  // The next discovery starts again at COM1.
  Device dev(folder, 1, Kind(EmuSweep));
  ASSERT_EQ(DetectDevice(&port), NoError);
  EXPECT_EQ(LastComPort, 1);
  ClosePort(port);
}

// A device on COM1 that does not answer as the instrument is passed over
// for the one on COM2, and the report says how it answered.
TEST(Discovery, DevicesThatDoNotIdentifyAreNotTaken) {
  const struct {
    const char* label;
    void (*configure)(EmulatorConfig*);
    PortOutcome outcome;
  } cases[] = {
      {"non-zero status", [](EmulatorConfig* c) { c->idStatus = 1; }, PortWrongAnswer},
      // The status that reads like the link's own "no data".
      {"status -4000", [](EmulatorConfig* c) { c->idStatus = NoData; }, PortWrongAnswer},
      {"silent", [](EmulatorConfig* c) { c->silentAfterSets = 0; }, PortNoAnswer},
  };
  for (const auto& c : cases) {
    PortFolder folder;
    EmulatorConfig config = Kind(EmuSweep);
    c.configure(&config);
    Device wrong(folder, 1, config);
    Device right(folder, 2, Kind(EmuSweep));
    LastComPort = 0;
    PortHandle port = kInvalidPort;
    DetectReport report;
    ASSERT_EQ(DetectDevice(&port, &report), NoError) << c.label;
    EXPECT_EQ(LastComPort, 2) << c.label;
    EXPECT_EQ(report.outcome[1], c.outcome) << c.label;
    EXPECT_EQ(Types(wrong.emu), kOneExchange) << c.label;
    ClosePort(port);
  }
}

// The diagnosis text: one line per port tried, in COM order, with its
// reason; the ports that do not exist summed up as runs on the last line.
TEST(Discovery, ReportText) {
  using Tried = std::vector<std::pair<int, PortOutcome>>;
  const struct {
    Tried tried;
    const char* text;
  } cases[] = {
      {{}, ""},
      {{{1, PortFound}, {2, PortNotTried}}, ""},
      {{{1, PortBusy}}, "\r\n/dev/p1: busy (held by another program)"},
      {{{2, PortDenied}},
       "\r\n/dev/p2: permission denied (join the dialout group on Debian and Ubuntu, or uucp "
       "on Arch, then log in again)"},
      {{{3, PortUnusable}}, "\r\n/dev/p3: cannot be used as a serial port"},
      {{{4, PortNoAnswer}}, "\r\n/dev/p4: no answer to the identification query"},
      {{{5, PortWrongAnswer}}, "\r\n/dev/p5: wrong answer to the identification query"},
      // A port that the numbering cannot name is shown by its COM number.
      {{{200, PortBusy}}, "\r\nCOM200: busy (held by another program)"},
      {{{1, PortMissing}, {3, PortMissing}, {4, PortMissing}, {5, PortMissing}, {255, PortMissing}},
       "\r\nCOM1, COM3 to COM5, COM255: no such port"},
      {{{9, PortNoAnswer}, {1, PortMissing}, {7, PortBusy}, {2, PortMissing}},
       "\r\n/dev/p7: busy (held by another program)"
       "\r\n/dev/p9: no answer to the identification query"
       "\r\nCOM1 to COM2: no such port"},
  };
  const PortNameFn name = [](int port, char* text, size_t size) {
    return port < 200 && std::snprintf(text, size, "/dev/p%d", port) > 0;
  };
  for (const auto& c : cases) {
    DetectReport report = {};
    for (const auto& t : c.tried) report.outcome[t.first] = t.second;
    char text[kDetectReportTextBytes];
    EXPECT_EQ(FormatDetectReport(report, name, text, sizeof text), std::strlen(c.text));
    EXPECT_STREQ(text, c.text);
  }
  // A line that does not fit is left out whole, and every later one too.
  DetectReport report = {};
  report.outcome[1] = PortBusy;
  report.outcome[2] = PortMissing;
  char text[48];
  EXPECT_EQ(FormatDetectReport(report, name, text, sizeof text), 41u);
  EXPECT_STREQ(text, "\r\n/dev/p1: busy (held by another program)");
  EXPECT_EQ(FormatDetectReport(report, name, text, 41), 0u);
  EXPECT_STREQ(text, "");
}

TEST(Discovery, PortHeldByAnotherProcessIsSkipped) {
  PortFolder folder;
  Device held(folder, 1, Kind(EmuSweep));
  Device free(folder, 2, Kind(EmuSweep));
  const std::string path = folder.ports.dir + "/COM1";
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Another program holding the port the way our link does.
    close(ready[0]);
    close(release[1]);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    char c;
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);

  LastComPort = 0;
  PortHandle port = kInvalidPort;
  EXPECT_EQ(DetectDevice(&port), NoError);
  EXPECT_EQ(LastComPort, 2);
  EXPECT_TRUE(EmulatorFrames(held.emu).empty());
  ClosePort(port);

  close(release[1]);
  close(ready[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
