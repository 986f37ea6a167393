#include <cstdio>
#include <cstring>

#include "link/link.h"

namespace {
char FallbackText[40];
}

const char* StatusMessage(int32_t code) {
  switch (code) {
    case NoError: return "No error.";
    case DetectError: return "Detect error.";
    case WriteError: return "Write error.";
    case InvalidValue: return "Invalid value.";
    case NoData: return "No data.";
    case ChecksumError: return "Checksum error.";
    case OutOfMemory: return "Out of memory.";
    case CantOpenFile: return "Can't open file.";
    case InvalidOperation: return "Invalid operation.";
    case ReadError: return "Read error.";
    default: break;
  }
  std::snprintf(FallbackText, sizeof FallbackText, "Error %d.", static_cast<int>(code));
  return FallbackText;
}

// Output must appear at once even when stdout is a pipe or a log file.
void PrintMessage(const char* text) {
  std::fputs("\r\n", stdout);
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void PrintProgress(const char* text) {
  std::fputc('\r', stdout);
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void PrintDiagnostic(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

const char* PortOutcomeText(PortOutcome outcome) {
  switch (outcome) {
    case PortMissing: return "no such port";
    case PortBusy: return "busy (held by another program)";
    case PortDenied:
      return "permission denied (join the dialout group on Debian and Ubuntu, or uucp on Arch, "
             "then log in again)";
    case PortUnusable: return "cannot be used as a serial port";
    case PortNoAnswer: return "no answer to the identification query";
    case PortWrongAnswer: return "wrong answer to the identification query";
    case PortNotTried:
    case PortFound: break;
  }
  return "";
}

namespace {

// Appends whole lines to a fixed buffer; a line that does not fit is left
// out, and so is every later one.
struct TextOut {
  char* text;
  size_t size;
  size_t length;
  bool full;
};

void AppendLine(TextOut* out, const char* line) {
  const size_t n = std::strlen(line);
  if (out->full || out->length + n >= out->size) {
    out->full = true;
    return;
  }
  std::memcpy(out->text + out->length, line, n + 1);
  out->length += n;
}

constexpr int kLastCom = 255;

}  // namespace

size_t FormatDetectReport(const DetectReport& report, PortNameFn name, char* text, size_t size) {
  TextOut out = {text, size, 0, size == 0};
  if (size > 0) text[0] = '\0';
  char line[4200];
  for (int port = 1; port <= kLastCom; ++port) {
    const PortOutcome outcome = report.outcome[port];
    if (outcome == PortNotTried || outcome == PortFound || outcome == PortMissing) continue;
    char portName[4096];
    if (!name(port, portName, sizeof portName)) {
      std::snprintf(portName, sizeof portName, "COM%d", port);
    }
    std::snprintf(line, sizeof line, "\r\n%s: %s", portName, PortOutcomeText(outcome));
    AppendLine(&out, line);
  }
  // The missing ports as runs: "COM1, COM3 to COM255".
  std::strcpy(line, "\r\n");
  size_t at = 2;
  for (int port = 1; port <= kLastCom; ++port) {
    if (report.outcome[port] != PortMissing) continue;
    int last = port;
    while (last < kLastCom && report.outcome[last + 1] == PortMissing) ++last;
    at += static_cast<size_t>(std::snprintf(line + at, sizeof line - at,
                                            last > port ? "%sCOM%d to COM%d" : "%sCOM%d",
                                            at > 2 ? ", " : "", port, last));
    port = last;
  }
  if (at > 2) {
    std::snprintf(line + at, sizeof line - at, ": %s", PortOutcomeText(PortMissing));
    AppendLine(&out, line);
  }
  return out.length;
}
