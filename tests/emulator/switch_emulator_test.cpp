// The switch and temperature unit emulator, driven through vexasw's link.
#include <gtest/gtest.h>

#include "tests/link/link_testing.h"

namespace {

class SwitchUnit : public LinkedDevice {
 protected:
  // TEMPQUERY's data packet, or result 1 when none came within waitMs.
  Packet TempData(int waitMs) {
    EXPECT_EQ(Command(port_, PktTempQuery), 0);
    return NextPacket(port_, waitMs);
  }
};

TEST_F(SwitchUnit, SetsThePortAndRefusesOthers) {
  Start(Kind(EmuSwitch));
  EXPECT_EQ(EmulatorSwitchPort(dev_->emu), -1);
  EXPECT_EQ(Command(port_, PktSwIdQuery), 0);
  EXPECT_EQ(Command(port_, PktSetPort, {1}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev_->emu), 1);
  EXPECT_EQ(Command(port_, PktSetPort, {0}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev_->emu), 0);
  EXPECT_NE(Command(port_, PktSetPort, {2}), 0);
  EXPECT_NE(Command(port_, PktSetPort, {}), 0);
  EXPECT_EQ(EmulatorSwitchPort(dev_->emu), 0);
  EXPECT_EQ(Command(port_, PktIdQuery), NoData);  // the sweep instrument's query
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
  EXPECT_EQ(EmulatorSetsSent(dev_->emu), 1u);
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
    SendFrame(port_, PktTempQuery, nullptr, 0);
    const int64_t start = MonotonicMs();
    const int32_t status = WaitStatusReply(port_);
    EXPECT_EQ(status, config.refuseType == PktTempQuery ? 9 : 0);
    Packet p = NextPacket(port_, 600);
    EXPECT_EQ(p.result, c.result);
    if (c.type != 0) {
      EXPECT_EQ(p.type, c.type);
    }
    EXPECT_GE(MonotonicMs() - start, c.minDelayMs);
    Close();
  }
}

}  // namespace
