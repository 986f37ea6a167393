// The level 4 temperature file: two 1 x 1 double matrices, written directly
// (it is far too small to need the level 5 writer).
#include <cstring>

#include "link/byteorder.h"
#include "link/status.h"
#include "platform/platform.h"
#include "switchtemp/switchtemp.h"

namespace {

// Writes one scalar variable as header, name and value. Each write is
// checked: a write that fails silently would leave a corrupt file that is
// reported as saved.
bool WriteScalar(FileHandle file, const char (&name)[kTemperatureNameBytes], uint64_t bits) {
  uint8_t header[kLevel4HeaderBytes];
  PutU32(header + 0, 0);   // little-endian IEEE, double, full numeric matrix
  PutU32(header + 4, 1);   // mrows
  PutU32(header + 8, 1);   // ncols
  PutU32(header + 12, 0);  // imagf: real only
  PutU32(header + 16, kTemperatureNameBytes);
  uint8_t value[8];
  for (int i = 0; i < 8; ++i) value[i] = static_cast<uint8_t>(bits >> (8 * i));
  return WriteOutputFile(file, header, sizeof header) &&
         WriteOutputFile(file, name, kTemperatureNameBytes) &&
         WriteOutputFile(file, value, sizeof value);
}

}  // namespace

uint64_t TemperatureBits(uint16_t raw) {
  double celsius = raw * 0.1;
  if (celsius == 0.0) return kNoTemperatureBits;
  uint64_t bits;
  std::memcpy(&bits, &celsius, sizeof bits);
  return bits;
}

int32_t WriteTemperatureFile(const uint8_t* data, const char* fileName) {
  static const char kInternalName[kTemperatureNameBytes] = "InternalTemp";
  static const char kExternalName[kTemperatureNameBytes] = "ExternalTemp";
  FileHandle file = CreateOutputFile(fileName);
  if (file == kInvalidFile) return WriteError;
  const bool written = WriteScalar(file, kInternalName, TemperatureBits(GetU16(data))) &&
                       WriteScalar(file, kExternalName, TemperatureBits(GetU16(data + 2)));
  if (!written) {
    DiscardOutputFile(file);
    return WriteError;
  }
  return CloseOutputFile(file) ? NoError : WriteError;
}
