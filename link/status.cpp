#include <cstdio>
#include <cstring>

#include "link/status.h"

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
