// vexasw against the emulated unit, one table (Wine's too): output, exit, frames, switch port, the file's bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/e2e/e2e.h"
#include "tests/support/encode.h"
#include "tests/support/wine.h"

namespace {

std::string Temps(double internal, double external) {
  return encode::Level4Scalar("InternalTemp", internal) + encode::Level4Scalar("ExternalTemp", external);
}
const std::string kTemps = Temps(25.3, 22.1);  // the unit's raw 253 and 221
const char kUsage[] =
    "Usage: VEXASW filename -oPORT\r\n\r\nwhere: \r\n  filename        MATLAB file for temperatures\r\n"
    "  -oPORT          specifies the measurement port; PORT can be 0 or 1.\r\n\r\n"
    "At least one parameter have to be specified.\r\n\r\n";
const char kBadPort[] = "RF switch parameter must be either 0 or 1.", kUnknown[] = "Unknown option.",
           kNoUnit[] = "Error initializing connection: Detect error.", kInvalid[] = "Invalid parameter",
           kSetFailed[] = "Communication error while setting output.", kWriteFailed[] = "Error writing Matlab file.",
           kTooLong[] = "Filename length limit exceeded.", kNoData[] = "No answer to temperature query.";
const std::string kName(256, 'n'), kMissing = "COM1 to COM255: no such port";

// frames: as Frames(); switchPort: as the unit reports it (-1: untouched); file: the bytes of the file named
// first ("": none); errors: stderr, %s standing for the unit's port; com: the unit's (0: none); held: by another
// program, as the programs hold a port; earlier: out.mat holds 4096 bytes before the run; signal: raised in vexasw
// once its save has made (in: "open") or flushed ("fsync") the temporary file.
struct Case {
  const char* name;
  std::vector<std::string> args;
  void (*configure)(EmulatorConfig*);
  std::string output;
  int exitByte;
  std::string frames = "";
  int switchPort = -1;
  std::string file = "", errors = "";
  int com = 1;
  bool held = false, earlier = false;
  long long fileSizeLimit = 0;
  int signal = 0;
  const char* in = "fsync";
};

void Unit(EmulatorConfig*) {}
using C = EmulatorConfig;

const Case kCases[] = {
    // Rejected command lines never reach the unit.
    {"NoArguments", {}, Unit, kUsage, 255}, {"Three", {"out.mat", "-o1", "-o0"}, Unit, kUsage, 255},
    {"NameSecond", {"-o1", "out.mat"}, Unit, kInvalid, 254},
    {"TwoNames", {"out.mat", "other.mat"}, Unit, kInvalid, 254}, {"UnknownOption", {"-x"}, Unit, kUnknown, 254},
    {"Dash", {"-"}, Unit, kUnknown, 254}, {"UnknownAfterName", {"out.mat", "-p1"}, Unit, kUnknown, 254},
    {"Port2", {"-o2"}, Unit, kBadPort, 255}, {"PortMinus1", {"-o-1"}, Unit, kBadPort, 255},
    {"LaterPortBad", {"-o0", "-o2"}, Unit, kBadPort, 255},
    // Digits beyond the int range must not wrap around to a valid port.
    {"PortWraps", {"-o4294967297"}, Unit, kBadPort, 255}, {"PortHuge", {"-o99999999999999999999"}, Unit, kBadPort, 255},
    {"Name256", {kName}, Unit, kTooLong, 255}, {"Name256AndPort", {kName, "-o1"}, Unit, kTooLong, 255},
    {"Option256", {"-o" + kName.substr(2)}, Unit, kTooLong, 255},
    // Accepted: identification first, the switch before the query.
    {"ReadOnly", {"out.mat"}, Unit, "", 0, "f1 | 60", -1, kTemps},
    {"SwitchOnly", {"-o1"}, Unit, "", 0, "f1 | 50 01", 1},
    {"SwitchAndRead0", {"out.mat", "-o0"}, Unit, "", 0, "f1 | 50 00 | 60", 0, kTemps},
    {"SwitchAndRead1", {"out.mat", "-o1"}, Unit, "", 0, "f1 | 50 01 | 60", 1, kTemps},
    {"LaterPortWins", {"-o0", "-o1"}, Unit, "", 0, "f1 | 50 01", 1},
    {"CapitalO", {"-O1"}, Unit, "", 0, "f1 | 50 01", 1}, {"NoDigitsIs0", {"-o"}, Unit, "", 0, "f1 | 50 00", 0},
    {"LetterIs0", {"-ox"}, Unit, "", 0, "f1 | 50 00", 0}, {"LeadingZero", {"-o01"}, Unit, "", 0, "f1 | 50 01", 1},
    {"Name255", {kName.substr(1)}, Unit, "", 0, "f1 | 60", -1, kTemps},
    // Raw values are unsigned little-endian tenths of a degree; raw 0 has no reading, the NaN 0x7FFF...
    {"SmallestAndLargest", {"out.mat"}, [](C* c) { c->internalRaw = 1; c->externalRaw = 65535; }, "", 0, "f1 | 60", -1,
     Temps(0.1, 6553.5)},
    {"NoReadingIsNaN", {"out.mat"}, [](C* c) { c->internalRaw = 1000; c->externalRaw = 0; }, "", 0, "f1 | 60", -1,
     Temps(100, encode::kNaN)},
    // What the unit does wrong: its status, or -4000 (96) without an answer.
    {"SetPortRefused", {"out.mat", "-o1"}, Refuse<0x50, 7>, kSetFailed, 7, "f1 | 50 01"},
    {"SetPortRefusedNegative", {"-o0"}, Refuse<0x50, -300>, kSetFailed, 212, "f1 | 50 00"},
    {"SetPortUnanswered", {"-o1"}, Refuse<0x50, 0, true>, kSetFailed, 96, "f1 | 50 01"},
    {"TempQueryRefused", {"out.mat", "-o1"}, Refuse<0x60, 9>, "Communication error while reading temperatures.", 9,
     "f1 | 50 01 | 60", 1},
    {"NoTempData", {"out.mat"}, [](C* c) { c->withholdTempData = true; }, kNoData, 96, "f1 | 60"},
    {"TempDataTooLate", {"out.mat"}, [](C* c) { c->tempDataDelayMs = 1500; }, kNoData, 96, "f1 | 60"},
    {"TempDataBadCheckByte", {"out.mat"}, [](C* c) { c->corruptEvery = 1; }, kNoData, 96, "f1 | 60"},
    // Skipped before TEMPDATA: a packet of a foreign type, a TEMPDATA of the wrong length. A late one is waited for.
    {"ForeignPacketFirst", {"out.mat"}, [](C* c) { c->insertEvery = 1; c->insertType = 0x7E; }, "", 0, "f1 | 60", -1,
     kTemps},
    {"ShortTempDataFirst", {"out.mat"}, [](C* c) { c->insertEvery = 1; c->insertType = 0x61; }, "", 0, "f1 | 60", -1,
     kTemps},
    {"TempDataLate", {"out.mat"}, [](C* c) { c->tempDataDelayMs = 250; }, "", 0, "f1 | 60", -1, kTemps},
    {"ByteWiseFrames", {"out.mat", "-o1"}, [](C* c) { c->splitWrites = true; }, "", 0, "f1 | 50 01 | 60", 1, kTemps},
    // No unit: stderr names each port tried and why it was not taken, and sums up the missing ones, to COM255.
    {"NoPort", {"-o1"}, Unit, kNoUnit, 24, "", -1, "", "\r\n" + kMissing, 0},
    {"SilentUnit", {"-o1"}, [](C* c) { c->silentAfterSets = 0; }, kNoUnit, 24, "f1", -1, "",
     "\r\n%s: no answer to the identification query\r\nCOM2 to COM255: no such port"},
    {"RefusingUnit", {"-o1"}, [](C* c) { c->idStatus = 3; }, kNoUnit, 24, "f1", -1, "",
     "\r\n%s: wrong answer to the identification query\r\nCOM1 to COM2, COM4 to COM255: no such port", 3},
    {"HeldUnit", {"-o1"}, Unit, kNoUnit, 24, "", -1, "",
     "\r\n%s: busy (held by another program)\r\nCOM1, COM3 to COM255: no such port", 2, true},
    {"UnitOnCom255", {"-o1"}, Unit, "", 0, "f1 | 50 01", 1, "", "", 255},
    {"UnitOnCom256", {"-o1"}, Unit, kNoUnit, 24, "", -1, "", "\r\n" + kMissing, 256},
    // The file is replaced, or reported unwritten after the unit was read; a failed save leaves the earlier one.
    {"FileReplaced", {"out.mat"}, Unit, "", 0, "f1 | 60", -1, kTemps, "", 1, false, true},
    {"FileSizeLimit", {"out.mat"}, Unit, kWriteFailed, 48, "f1 | 60", -1, "", "", 1, false, true, 50},
    {"MissingFolder", {"missing/out.mat"}, Unit, kWriteFailed, 48, "f1 | 60"},
    {"FolderInThePlace", {"."}, Unit, kWriteFailed, 48, "f1 | 60"},
    {"DeviceFull", {"/dev/full"}, Unit, kWriteFailed, 48, "f1 | 60"},
    // Ctrl+C or SIGTERM in the save ends vexasw as the signal does, with no temporary file left.
    {"InterruptedInTheSave", {"out.mat"}, Unit, "", 1000 + SIGINT, "f1 | 60", -1, "", "", 1, false, false, 0, SIGINT},
    {"TerminatedInTheSave", {"out.mat"}, Unit, "", 1000 + SIGTERM, "f1 | 60", -1, "", "", 1, false, true, 0, SIGTERM},
    {"TerminatedAsTheFileIsMade", {"out.mat"}, Unit, "", 1000 + SIGTERM, "f1 | 60", -1, "", "", 1, false, true, 0,
     SIGTERM, "open"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Vexasw : public ::testing::TestWithParam<Case> {};

TEST_P(Vexasw, Run) {
  const Case& c = GetParam();
  // Wine does not enforce the exclusive open of a COM port: its suite leaves the row out, as not skipped.
  // Nor can it stand in for a Windows program's system calls: the rows with a signal in the save are native only.
  if ((c.held || c.signal != 0) && WineTargetSelected()) return;
  EmulatorConfig config;
  config.kind = EmuSwitch;
  c.configure(&config);
  Rig r(config, false);
  if (c.com != 0) PublishPort(r.ports, c.com, r.pty);
  const int holder = c.held ? open(r.pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  EXPECT_EQ(c.held ? flock(holder, LOCK_EX | LOCK_NB) : 0, 0);
  if (c.earlier) WriteFileBytes(r.File("out.mat"), std::string(4096, 'x'));
  ProcessOptions o;
  o.fileSizeLimit = c.fileSizeLimit;
  if (c.signal != 0) o.env = RaiseAfter(c.in, c.signal);
  o.stderrPath = r.ports.dir() + "/stderr";  // beside the COM links
  const RunResult result = r.Run("vexasw", c.args, o);
  if (holder >= 0) close(holder);
  EXPECT_EQ(result.output, c.output.empty() ? "" : "\r\n" + c.output);  // every text starts a line
  EXPECT_EQ(result.exitCode, c.exitByte);
  EmulatorWaitFrames(r.emu, c.frames.empty() ? 0 : CountOf(c.frames, "|") + 1, 1000);
  EXPECT_EQ(Frames(r.emu), c.frames);
  EXPECT_EQ(EmulatorSwitchPort(r.emu), c.switchPort);
  std::string errors = c.errors;
  if (errors.find("%s") != std::string::npos) errors.replace(errors.find("%s"), 2, PortName(r.ports, c.com));
  EXPECT_EQ(ReadFileBytes(o.stderrPath), errors);
  // The file, new or earlier, and nothing else (no temporary file).
  const std::string name = c.earlier ? "out.mat" : c.file.empty() ? "" : c.args[0];
  EXPECT_EQ(ListDir(r.work.path), name.empty() ? std::vector<std::string>{} : std::vector<std::string>{name});
  const std::string bytes = c.file.empty() && c.earlier ? std::string(4096, 'x') : c.file;
  EXPECT_EQ(Hex(name.empty() ? "" : ReadFileBytes(r.File(name))), Hex(bytes));
  if (c.file.empty()) return;
  // It loads in SciPy and in Octave (by row) as two 1 x 1 doubles.
  const MatDump d = ReadMat(std::string(c.name).size() % 2 ? Reader::Octave : Reader::SciPy, r.File(name));
  EXPECT_PRED2(Like, d.out, "ExternalTemp double 1x1 *\nInternalTemp double 1x1 *\n") << d.err;
}

INSTANTIATE_TEST_SUITE_P(Vexasw, Vexasw, ::testing::ValuesIn(kCases));

}  // namespace
