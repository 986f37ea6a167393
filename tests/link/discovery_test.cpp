// Discovery of the sweep instrument among emulated ports.
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <gtest/gtest.h>

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
  ASSERT_EQ(DetectDevice(&port), NoError);
  const int64_t took = MonotonicMs() - start;
  EXPECT_EQ(LastComPort, 3);
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

TEST(Discovery, DeviceAnsweringWithNonZeroStatusIsNotTaken) {
  PortFolder folder;
  EmulatorConfig refusing = Kind(EmuSweep);
  refusing.idStatus = 1;
  Device wrong(folder, 1, refusing);
  Device right(folder, 2, Kind(EmuSweep));
  LastComPort = 0;
  PortHandle port = kInvalidPort;
  ASSERT_EQ(DetectDevice(&port), NoError);
  EXPECT_EQ(LastComPort, 2);
  EXPECT_EQ(Types(wrong.emu), kOneExchange);
  ClosePort(port);
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
