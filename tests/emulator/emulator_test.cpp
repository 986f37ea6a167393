// The instrument emulators against an independent encoder and literal bytes (the programs share the frame
// code with the emulator, so an end-to-end test cannot see a fault in it), and the instrument-emulator program.
#include <signal.h>

#include <gtest/gtest.h>

#include "emulator/instrument.h"
#include "link/link.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

using encode::U16;
using encode::U32;
using Commands = std::vector<std::pair<uint8_t, std::string>>;

std::string Basic(uint16_t period, char mode) { return U16(period) + "\x02\x03\x01" + mode + "\xFF\x03"; }
// 10-20 MHz in 101 points, 30-31 MHz in 50 points.
const std::string kTwoRanges = U32(171798690) + U16(101) + U32(1717986) + U32(515396070) + U16(50) + U32(350609);
std::string Reply(uint8_t type, const std::string& payload) { return Hex(encode::Frame(type, payload)) + " "; }
std::string Status(int16_t status) { return Reply(0x00, U16(uint16_t(status))); }

// Gives the device commands in turn: the frames it answered with.
std::string Answers(Instrument* inst, const Commands& commands) {
  std::vector<OutFrame> out;
  for (const auto& [type, payload] : commands) {
    InstrumentCommand(inst, type, reinterpret_cast<const uint8_t*>(payload.data()), uint16_t(payload.size()), &out);
  }
  std::string answers;
  for (const OutFrame& f : out) answers += Hex(f.bytes) + " ";
  return answers;
}

// Commands in turn to a device of each kind: not configured, three bad
// payloads, the other kind's query unanswered, busy while measuring.
TEST(Instrument, Answers) {
  Instrument inst;
  InstrumentInit(&inst, EmulatorConfig{EmuSweep});
  EXPECT_EQ(Answers(&inst, {{0x40, "\x01\x01"}, {0x10, Basic(25, 0)}, {0x11, std::string(9, '\0')},
                            {0x11, U32(1) + U16(16001) + U32(1)}, {0xF1, ""}, {0xF0, ""}, {0x10, Basic(25, 3)},
                            {0x11, kTwoRanges}, {0x12, "\x01"}, {0x40, "\x01\x01"}, {0x11, kTwoRanges},
                            {0x40, std::string(2, '\0')}}),
            Status(3) + Status(2) + Status(2) + Status(2) + Status(0) + Status(0) + Status(0) + Status(0) +
                Status(0) + Status(4) + Status(0));
  InstrumentInit(&inst, EmulatorConfig{EmuSwitch});
  EXPECT_EQ(Answers(&inst, {{0xF0, ""}, {0xF1, ""}, {0x50, "\x01"}, {0x50, "\x02"}, {0x50, ""}, {0x60, ""}}),
            Status(0) + Status(0) + Status(2) + Status(2) + Status(0) + Reply(0x61, std::string("\xFD\0\xDD\0", 4)));
  EXPECT_EQ(inst.switchPort, 1);  // 25.3 and 22.1 degrees above
}

TEST(Instrument, SweepDataLayout) {
  EmulatorConfig config;
  config.initError = true;
  Instrument inst;
  InstrumentInit(&inst, config);
  std::vector<OutFrame> out;
  Answers(&inst, {{0x10, Basic(25, 3)}, {0x11, kTwoRanges}, {0x40, "\x01\x01"}});
  InstrumentSweepSet(&inst, &out);
  InstrumentSkipSet(&inst);
  InstrumentSweepSet(&inst, &out);
  Answers(&inst, {{0x40, std::string(2, '\0')}, {0x10, Basic(25, 1)}, {0x40, "\x01\x01"}});
  InstrumentSweepSet(&inst, &out);
  // Type, length; flags (initialization error), content, range, sample number, 6 bytes, points, 4 bytes, ticks.
  const char* const heads[] = {
      "60 a9 01 80 03 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",
      "60 dd 00 80 03 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "60 a9 01 00 03 00 03 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // after a skipped set
      "60 dd 00 00 03 01 03 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "60 df 00 80 01 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // phase only
      "60 79 00 80 01 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
  };
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    const std::string bytes(out[i].bytes.begin(), out[i].bytes.end());
    EXPECT_EQ(Hex(bytes.substr(5, 24)), heads[i]);
    EXPECT_EQ(Hex(bytes) + " ", Reply(0x60, bytes.substr(8, bytes.size() - 9))) << i;
    EXPECT_TRUE(out[i].dataPacket && out[i].endsSet == (i % 2 == 1)) << i;
  }
}

TEST(Emulator, Program) {
  const Rig rig(EmulatorConfig{}, false);  // for its port folder
  ProcessHandle p = rig.Start("instrument-emulator", {"sweep", "--com", "2"});
  ASSERT_TRUE(WaitForOutput(p.get(), "Serving the sweep instrument", 5000)) << Output(p.get());
  setenv("COMPORT_DIR", rig.ports.dir().c_str(), 1);
  PortHandle port = kInvalidPort;
  EXPECT_EQ(DetectDevice(&port), 0);
  ClosePort(port);
  SignalProcess(p.get(), SIGTERM);
  EXPECT_EQ(WaitExit(p.get(), 5000), 0);
  EXPECT_EQ(ListDir(rig.ports.dir()), std::vector<std::string>{});  // the link is gone
}

}  // namespace
