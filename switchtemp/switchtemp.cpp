// vexasw: command line, discovery, switch setting and temperature reading.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "link/console.h"
#include "link/link.h"
#include "platform/platform.h"
#include "switchtemp/switchtemp.h"

const char kUsageText[] =
    "\r\nUsage: VEXASW filename -oPORT\r\n\r\nwhere: \r\n"
    "  filename        MATLAB file for temperatures\r\n"
    "  -oPORT          specifies the measurement port; PORT can be 0 or 1.\r\n\r\n"
    "At least one parameter have to be specified.\r\n\r\n";

namespace {

// Number of 10 ms waits for TEMPDATA after the unit accepted TEMPQUERY.
constexpr int kTempDataWaitMs = 500;
constexpr int kPollMs = 10;

// Reads a decimal integer the way atoi does (leading white space, optional
// sign, digits up to the first non-digit, none gives 0), except that a value
// beyond the int range saturates instead of wrapping, so that no long digit
// string can come out as 0 or 1.
int ParseDecimal(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

int Fail(const char* message, int code) {
  PrintMessage(message);
  return code;
}

// Waits for a TEMPDATA packet of exactly 4 bytes; any other packet, a bad
// one or an empty read costs one 10 ms wait. Returns the packet or null.
const ReceivedPacket* WaitTempData(PortHandle port) {
  ReceivedPacket* rbuf = nullptr;
  for (int waited = 0; waited < kTempDataWaitMs; waited += kPollMs) {
    if (ReceiveStep(port, &rbuf) == 0 && rbuf->type == PktTempData &&
        rbuf->length == kTempDataBytes) {
      return rbuf;
    }
    SleepMs(kPollMs);
  }
  return nullptr;
}

}  // namespace

int ParseSwitchTempArgs(int argc, const char* const* argv, SwitchTempArgs* args,
                        const char** message) {
  args->fileName[0] = '\0';
  args->readTemperatures = false;
  args->setSwitch = false;
  args->switchPort = 0;
  *message = nullptr;
  if (argc < 2 || argc > 3) {
    *message = kUsageText;
    return kExitRejectedValue;
  }
  size_t firstLength = std::strlen(argv[1]);
  if (firstLength > static_cast<size_t>(kMaxFileNameChars)) {
    *message = "Filename length limit exceeded.";
    return kExitRejectedValue;
  }
  int option = 1;
  if (argv[1][0] != '-') {
    std::memcpy(args->fileName, argv[1], firstLength + 1);
    args->readTemperatures = true;
    option = 2;
  }
  for (; option < argc; ++option) {
    const char* arg = argv[option];
    if (arg[0] != '-') {
      *message = "Invalid parameter";
      return kExitRejectedArgument;
    }
    if (arg[1] != 'o' && arg[1] != 'O') {
      *message = "Unknown option.";
      return kExitRejectedArgument;
    }
    int value = ParseDecimal(arg + 2);
    if (value != 0 && value != 1) {
      *message = "RF switch parameter must be either 0 or 1.";
      return kExitRejectedValue;
    }
    args->setSwitch = true;
    args->switchPort = static_cast<uint8_t>(value);
  }
  return 0;
}

int RunSwitchTemp(int argc, const char* const* argv) {
  SwitchTempArgs args;
  const char* message = nullptr;
  int rc = ParseSwitchTempArgs(argc, argv, &args, &message);
  if (rc != 0) {
    if (message == kUsageText) {
      std::fputs(kUsageText, stdout);
      std::fflush(stdout);
      return rc;
    }
    return Fail(message, rc);
  }

  PortHandle port = kInvalidPort;
  static DetectReport report;
  int32_t status = DetectDevice(&port, &report);
  if (status != NoError) {
    char text[80];
    std::snprintf(text, sizeof text, "Error initializing connection: %s", StatusMessage(status));
    Fail(text, status);
    static char diagnosis[kDetectReportTextBytes];
    FormatDetectReport(report, ComPortName, diagnosis, sizeof diagnosis);
    PrintDiagnostic(diagnosis);
    return status;
  }

  if (args.setSwitch) {
    SendFrame(port, PktSetPort, &args.switchPort, 1);
    status = WaitStatusReply(port);
    if (status != 0) return Fail("Communication error while setting output.", status);
  }

  if (args.readTemperatures) {
    SendFrame(port, PktTempQuery, nullptr, 0);
    status = WaitStatusReply(port);
    if (status != 0) return Fail("Communication error while reading temperatures.", status);
    const ReceivedPacket* packet = WaitTempData(port);
    if (packet == nullptr) return Fail("No answer to temperature query.", NoData);
    if (WriteTemperatureFile(packet->payload, args.fileName) != NoError) {
      return Fail("Error writing Matlab file.", WriteError);
    }
  }

  ClosePort(port);
  return 0;
}
