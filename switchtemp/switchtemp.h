// Switch and temperature tool (vexasw): one run finds the switch unit,
// optionally sets its RF switch to measurement port 0 or 1, optionally reads
// the unit's internal and external temperatures into a MATLAB level 4 file,
// and exits with a status code. One thread, no heap allocation.
//
// Command line: vexasw filename -oPORT (one or two arguments). The filename
// comes first when given; -oPORT sets the switch. The switch is always set
// before the temperatures are read.
//
// Switch unit messages (frames as in link.h):
//   0x50 SETPORT    host -> unit   1 byte: port 0 or 1      answer STATUS
//   0x60 TEMPQUERY  host -> unit   no payload               answer STATUS,
//                                                           then TEMPDATA
//   0x61 TEMPDATA   unit -> host   u16 internal raw, u16 external raw (LE)
//
// Temperature file, little-endian, 82 bytes, two variables in this order:
//   offset  0  20 bytes  header: type 0, mrows 1, ncols 1, imagf 0, namlen 13
//   offset 20  13 bytes  "InternalTemp\0"
//   offset 33   8 bytes  internal temperature, double
//   offset 41  20 bytes  header as above
//   offset 61  13 bytes  "ExternalTemp\0"
//   offset 74   8 bytes  external temperature, double
#pragma once

#include <cstdint>

constexpr uint32_t kTemperatureFileBytes = 82;
constexpr uint32_t kLevel4HeaderBytes = 20;
constexpr uint32_t kTemperatureNameBytes = 13;  // name and its terminating zero
constexpr uint32_t kTempDataBytes = 4;          // TEMPDATA payload

// The longest file name accepted; the name is kept in a buffer one larger.
constexpr int kMaxFileNameChars = 255;

// Bit pattern stored for a raw value of 0, which the unit reports when it has
// no reading: a quiet NaN, so that analysis tools see a missing value.
constexpr uint64_t kNoTemperatureBits = 0x7FFFFFFFFFFFFFFFull;

// The double stored for a raw value (raw x 0.1, in degrees), as its IEEE bit
// pattern; raw 0 gives kNoTemperatureBits.
uint64_t TemperatureBits(uint16_t raw);

// Saves the two temperatures of a 4-byte TEMPDATA payload as the 82-byte
// level 4 file fileName, each variable as three writes (header, name,
// value), atomically (see CreateOutputFile). Returns NoError, or WriteError
// when the file cannot be created, any write fails or the save cannot be
// completed; an earlier file of that name is then left as it was.
int32_t WriteTemperatureFile(const uint8_t* data, const char* fileName);

// The validated command line.
struct SwitchTempArgs {
  char fileName[kMaxFileNameChars + 1];
  bool readTemperatures;  // a filename was given
  bool setSwitch;         // an -o option was given
  uint8_t switchPort;     // 0 or 1, the last -o option
};

// The usage text, printed as it stands (it brings its own line breaks).
extern const char kUsageText[];

// Validates argv[1..argc-1] into *args. Returns 0, or the exit code
// kExitRejectedValue or kExitRejectedArgument with *message set to the text
// to print: kUsageText (printed unchanged) or a message printed on a fresh
// line.
int ParseSwitchTempArgs(int argc, const char* const* argv, SwitchTempArgs* args,
                        const char** message);

// The whole program: parses the command line, finds the unit, sets the
// switch and/or reads the temperatures into the file, and returns the
// process exit code (0, -1, -2 or the status code of the failure). The port
// is closed on success; after a failure the process exit releases it.
int RunSwitchTemp(int argc, const char* const* argv);
