// The instrument emulators: what they answer and send, against literal bytes
// (the programs share the frame code with the emulator, so an end-to-end
// test cannot see a fault in it), and the instrument-emulator program.
#include <signal.h>

#include <gtest/gtest.h>

#include "emulator/instrument.h"
#include "link/link.h"
#include "tests/support/encode.h"
#include "tests/support/harness.h"

namespace {

using encode::U16;
using encode::U32;

std::string Basic(uint16_t period, char mode) { return U16(period) + "\x02\x03\x01" + mode + "\xFF\x03"; }
// 10-20 MHz in 101 points, 30-31 MHz in 50 points.
const std::string kTwoRanges = U32(171798690) + U16(101) + U32(1717986) + U32(515396070) + U16(50) + U32(350609);

// Gives the device commands in turn: the frames it answered with, in hex.
std::string Answers(Instrument* inst, const std::vector<std::pair<uint8_t, std::string>>& commands) {
  std::vector<OutFrame> out;
  for (const auto& c : commands) {
    InstrumentCommand(inst, c.first, reinterpret_cast<const uint8_t*>(c.second.data()), uint16_t(c.second.size()), &out);
  }
  std::string bytes;
  for (const OutFrame& f : out) bytes.append(f.bytes.begin(), f.bytes.end());
  return Hex(bytes);
}

// Each row a fresh device of that kind (with a fault), its answers; a
// STATUS reply is "ff ff ff ff ff 00 02 00 <status> <check>".
TEST(Instrument, Answers) {
  const std::string ok = "ff ff ff ff ff 00 02 00 00 00 02";
  const struct {
    EmulatorKind kind;
    void (*fault)(EmulatorConfig*);
    std::vector<std::pair<uint8_t, std::string>> commands;
    std::string answers;
  } rows[] = {
      {EmuSweep, nullptr, {{0x40, "\x01\x01"}}, "ff ff ff ff ff 00 02 00 03 00 7f"},  // not configured
      {EmuSweep, nullptr, {{0x10, Basic(25, 0)}, {0x11, std::string(9, '\0')}, {0x11, U32(1) + U16(16001) + U32(1)}},
       "ff ff ff ff ff 00 02 00 02 00 00 ff ff ff ff ff 00 02 00 02 00 00 ff ff ff ff ff 00 02 00 02 00 00"},
      {EmuSweep, nullptr, {{0xF1, ""}, {0xF0, ""}}, ok},  // the switch unit's query goes unanswered
      {EmuSweep, nullptr, {{0x10, Basic(25, 3)}, {0x11, kTwoRanges}, {0x12, "\x01"}, {0x40, "\x01\x01"},
                           {0x11, kTwoRanges}, {0x40, std::string(2, '\0')}},
       ok + " " + ok + " " + ok + " " + ok + " ff ff ff ff ff 00 02 00 04 00 7e " + ok},  // busy while measuring
      {EmuSweep, [](EmulatorConfig* c) { c->idStatus = -5; }, {{0xF0, ""}}, "ff ff ff ff ff 00 02 00 fb ff 08"},
      {EmuSweep, [](EmulatorConfig* c) { c->refuseType = 0x12, c->refuseStatus = 7; }, {{0x12, "\x01"}},
       "ff ff ff ff ff 00 02 00 07 00 7b"},
      {EmuSweep, [](EmulatorConfig* c) { c->refuseType = 0x12, c->refuseSilently = true; }, {{0x12, "\x01"}}, ""},
      {EmuSwitch, nullptr, {{0xF0, ""}, {0xF1, ""}, {0x50, "\x01"}, {0x50, "\x02"}, {0x50, ""}},
       ok + " " + ok + " ff ff ff ff ff 00 02 00 02 00 00 ff ff ff ff ff 00 02 00 02 00 00"},
      {EmuSwitch, nullptr, {{0x60, ""}}, ok + " ff ff ff ff ff 61 04 00 fd 00 dd 00 45"},  // 25.3 and 22.1 degrees
      {EmuSwitch, [](EmulatorConfig* c) { c->internalRaw = 0, c->externalRaw = 0xFEDC; }, {{0x60, ""}},
       ok + " ff ff ff ff ff 61 04 00 00 00 dc fe 45"},
      {EmuSwitch, [](EmulatorConfig* c) { c->withholdTempData = true; }, {{0x60, ""}}, ok},
  };
  for (const auto& row : rows) {
    EmulatorConfig config;
    config.kind = row.kind;
    if (row.fault) row.fault(&config);
    Instrument inst;
    InstrumentInit(&inst, config);
    EXPECT_EQ(Answers(&inst, row.commands), row.answers);
    EXPECT_EQ(inst.switchPort, row.kind == EmuSwitch && row.commands.size() > 2 ? 1 : -1);
  }
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
  // Header: flags (initialization error on the first set after START),
  // content, range, sample number, 6 bytes, points, 4 bytes, ticks.
  const char* const heads[] = {
      "ff ff ff ff ff 60 a9 01 80 03 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",
      "ff ff ff ff ff 60 dd 00 80 03 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "ff ff ff ff ff 60 a9 01 00 03 00 03 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // after a skipped set
      "ff ff ff ff ff 60 dd 00 00 03 01 03 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
      "ff ff ff ff ff 60 df 00 80 01 00 01 00 00 00 00 00 00 00 00 00 65 00 00 00 00 00 10 00",  // phase only
      "ff ff ff ff ff 60 79 00 80 01 01 01 00 00 00 00 00 00 00 00 00 32 00 00 00 00 00 08 00",
  };
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    const std::string bytes(out[i].bytes.begin(), out[i].bytes.end());
    EXPECT_EQ(Hex(bytes.substr(0, 29)), heads[i]);
    EXPECT_EQ(Hex(bytes), Hex(encode::Frame(0x60, bytes.substr(8, bytes.size() - 9)))) << i;
    EXPECT_TRUE(out[i].dataPacket);
    EXPECT_EQ(out[i].endsSet, i % 2 == 1);
  }
}

TEST(Emulator, Program) {
  PortDir ports;
  ProcessOptions options;
  options.argv = ProgramCommand("instrument-emulator");
  options.argv.insert(options.argv.end(), {"sweep", "--com", "2", "--speed", "5"});
  options.env = PortEnv(ports);
  ProcessHandle p = StartProcess(options);
  ASSERT_TRUE(WaitForOutput(p.get(), "Serving the sweep instrument", 5000)) << Output(p.get());
  EXPECT_NE(Output(p.get()).find(ports.folder / "COM2"), std::string::npos);
  setenv("COMPORT_DIR", ports.dir().c_str(), 1);
  PortHandle port = kInvalidPort;
  EXPECT_EQ(DetectDevice(&port), 0);
  EXPECT_EQ(LastComPort, 2);
  ClosePort(port);
  SignalProcess(p.get(), SIGTERM);
  EXPECT_EQ(WaitExit(p.get(), 5000), 0);
  EXPECT_NE(Output(p.get()).find("Stopped after"), std::string::npos);
  EXPECT_EQ(ListDir(ports.dir()), std::vector<std::string>{});  // the link is gone
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"oven"}, {"sweep", "--com", "256"}, {"sweep", "--com"}, {"switch", "--speed", "0"},
           {"sweep", "--refuse", "0x11=abc"}, {"sweep", "--bogus"}}) {
    options.argv.resize(1);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    EXPECT_EQ(RunProgram(options, 5000).exitCode, 2) << (args.empty() ? "" : args.back());
  }
}

}  // namespace
