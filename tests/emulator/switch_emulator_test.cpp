// The switch and temperature unit emulator, driven through vexasw's link.
#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

struct SwitchUnit : ::testing::Test {
  void Start(const EmulatorConfig& config) {
    dev = new Device(folder, 1, config);
    ASSERT_NE(dev->emu, nullptr);
    port = OpenComPort(1);
    ASSERT_NE(port, kInvalidPort);
    FlushReceiver(port);
  }
  void TearDown() override {
    ClosePort(port);
    delete dev;
  }
  // TEMPQUERY's data packet, or result 1 when none came within waitMs.
  Packet TempData(int waitMs) {
    EXPECT_EQ(Command(port, PktTempQuery), 0);
    return NextPacket(port, waitMs);
  }

  PortFolder folder;
  Device* dev = nullptr;
  PortHandle port = kInvalidPort;
};

TEST_F(SwitchUnit, SetsThePortAndRefusesOthers) {
  Start(Kind(EmuSwitch));
  EXPECT_EQ(EmulatorSwitchPort(dev->emu), -1);
  EXPECT_EQ(Command(port, PktSwIdQuery), 0);
  EXPECT_EQ(Command(port, PktSetPort, {1}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev->emu), 1);
  EXPECT_EQ(Command(port, PktSetPort, {0}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev->emu), 0);
  EXPECT_NE(Command(port, PktSetPort, {2}), 0);
  EXPECT_NE(Command(port, PktSetPort, {}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev->emu), 0);
  EXPECT_EQ(Command(port, PktIdQuery), NoData);  // the sweep instrument's query
}

TEST_F(SwitchUnit, AnswersTheTemperatureQuery) {
  EmulatorConfig config = Kind(EmuSwitch);
  config.internalRaw = 0;
  config.externalRaw = 0xFEDC;
  Start(config);
  Packet p = TempData(1000);
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.type, PktTempData);
  EXPECT_EQ(p.payload, Bytes({0x00, 0x00, 0xDC, 0xFE}));
  EXPECT_EQ(EmulatorSetsSent(dev->emu), 1u);
}

TEST_F(SwitchUnit, TemperatureFaults) {
  struct Case {
    const char* name;
    void (*set)(EmulatorConfig*);
    int32_t result;
    uint8_t type;
    int minDelayMs;
  } cases[] = {
      {"withheld", [](EmulatorConfig* c) { c->withholdTempData = true; }, 1, 0, 0},
      {"delayed", [](EmulatorConfig* c) { c->tempDataDelayMs = 300; }, 0, PktTempData, 300},
      {"another type first", [](EmulatorConfig* c) { c->insertEvery = 1; }, 0, 0x7E, 0},
      {"corrupted", [](EmulatorConfig* c) { c->corruptEvery = 1; }, ChecksumError, 0, 0},
      {"refused", [](EmulatorConfig* c) { c->refuseType = PktTempQuery, c->refuseStatus = 9; },
       1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatorConfig config = Kind(EmuSwitch);
    c.set(&config);
    Start(config);
    SendFrame(port, PktTempQuery, nullptr, 0);
    const int64_t start = MonotonicMs();
    const int32_t status = WaitStatusReply(port);
    EXPECT_EQ(status, config.refuseType == PktTempQuery ? 9 : 0);
    Packet p = NextPacket(port, 600);
    EXPECT_EQ(p.result, c.result);
    if (c.type != 0) {
      EXPECT_EQ(p.type, c.type);
    }
    EXPECT_GE(MonotonicMs() - start, c.minDelayMs);
    TearDown();
    dev = nullptr;
    port = kInvalidPort;
  }
}

}  // namespace
