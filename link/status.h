// Status codes and their messages, the same in all three programs.
//
// Every operation that can fail returns a status: 0, a named failure (a
// multiple of -1000), one of the link's own codes, or a device's non-zero
// status handed on unchanged.
#pragma once

#include <cstdint>

enum Status : int32_t {
  NoError = 0,
  DetectError = -1000,
  WriteError = -2000,
  InvalidValue = -3000,
  NoData = -4000,
  ChecksumError = -5000,
  OutOfMemory = -6000,
  CantOpenFile = -7000,
  InvalidOperation = -8000,
  ReadError = -9000,
  PacketTooLong = -202,
  ParserStateError = -203,
};

// The message of a status code. The ten named codes map to constant texts;
// any other code is formatted as "Error %d." into one static buffer that the
// next call with an unlisted code overwrites.
const char* StatusMessage(int32_t code);

// Exit codes of a rejected command line, in all three programs.
constexpr int kExitRejectedValue = -1;     // the usage text, or a value out of its range
constexpr int kExitRejectedArgument = -2;  // an unknown option, or an argument of the wrong form
