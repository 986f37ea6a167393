// The level 4 temperature file, written in-process and checked byte for byte
// for the edge values of the raw range. The program tests cover replacing
// and failing files.
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"
#include "switchtemp/switchtemp.h"
#include "tests/support/legacy.h"
#include "tests/switchtemp/file_bytes.h"

using namespace legacy;

namespace {

struct LayoutCase {
  uint8_t payload[4];
  const char* internalHex;
  const char* externalHex;
};

TEST(TemperatureFile, LayoutByteForByte) {
  const LayoutCase cases[] = {
      // raw 0 has no reading: NaN 0x7FFFFFFFFFFFFFFF; raw 253 is 25.3
      {{0x00, 0x00, 0xFD, 0x00}, kNanHex, k25_3Hex},
      // raw 1 is 0.1, raw 65535 the largest value 6553.5
      {{0x01, 0x00, 0xFF, 0xFF}, "9a9999999999b93f", "000000008099b940"},
      // bytes are little-endian: 0xE8 0x03 is 1000, 100 degrees
      {{0xE8, 0x03, 0x00, 0x00}, "0000000000005940", kNanHex},
  };
  std::string dir = MakeTempDir("tempfile");
  std::string path = dir + "/t.mat";
  for (const LayoutCase& c : cases) {
    ASSERT_EQ(WriteTemperatureFile(c.payload, path.c_str()), NoError);
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), kTemperatureFileBytes);
    EXPECT_EQ(PlainHex(bytes), ExpectedFileHex(c.internalHex, c.externalHex));
  }
  RemoveTree(dir);
}

}  // namespace
