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
