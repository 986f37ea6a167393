// The level 4 temperature file, written in-process and checked byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/link.h"
#include "switchtemp/switchtemp.h"
#include "tests/support/harness.h"

namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Header of a 1 x 1 real double matrix with a 13-byte name.
const char kHeaderHex[] = "00000000" "01000000" "01000000" "00000000" "0d000000";
const char kInternalHex[] = "496e7465726e616c54656d7000";  // "InternalTemp\0"
const char kExternalHex[] = "45787465726e616c54656d7000";  // "ExternalTemp\0"

std::string ExpectedFile(const char* internalValueHex, const char* externalValueHex) {
  return std::string(kHeaderHex) + kInternalHex + internalValueHex + kHeaderHex +
         kExternalHex + externalValueHex;
}

struct LayoutCase {
  uint8_t payload[4];
  const char* internalHex;
  const char* externalHex;
};

TEST(TemperatureFile, LayoutByteForByte) {
  const LayoutCase cases[] = {
      // raw 0 has no reading: NaN 0x7FFFFFFFFFFFFFFF; raw 253 is 25.3
      {{0x00, 0x00, 0xFD, 0x00}, "ffffffffffffff7f", "cdcccccccc4c3940"},
      // raw 1 is 0.1, raw 65535 the largest value 6553.5
      {{0x01, 0x00, 0xFF, 0xFF}, "9a9999999999b93f", "000000008099b940"},
      // bytes are little-endian: 0xE8 0x03 is 1000, 100 degrees
      {{0xE8, 0x03, 0x00, 0x00}, "0000000000005940", "ffffffffffffff7f"},
  };
  std::string dir = MakeTempDir("tempfile");
  std::string path = dir + "/t.mat";
  for (const LayoutCase& c : cases) {
    ASSERT_EQ(WriteTemperatureFile(c.payload, path.c_str()), NoError);
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), kTemperatureFileBytes);
    EXPECT_EQ(Hex(bytes), ExpectedFile(c.internalHex, c.externalHex));
  }
  RemoveTree(dir);
}

TEST(TemperatureFile, ReplacesLongerFile) {
  std::string dir = MakeTempDir("tempfile");
  std::string path = dir + "/t.mat";
  ASSERT_TRUE(WriteFileBytes(path, std::string(4096, 'x')));
  const uint8_t payload[4] = {0xFD, 0x00, 0xFD, 0x00};
  ASSERT_EQ(WriteTemperatureFile(payload, path.c_str()), NoError);
  EXPECT_EQ(Hex(ReadFileBytes(path)), ExpectedFile("cdcccccccc4c3940", "cdcccccccc4c3940"));
  RemoveTree(dir);
}

TEST(TemperatureFile, FailuresReportWriteError) {
  std::string dir = MakeTempDir("tempfile");
  const uint8_t payload[4] = {1, 0, 2, 0};
  // A folder that does not exist cannot hold the file; /dev/full accepts the
  // open but fails every write.
  const std::string paths[] = {dir + "/missing/t.mat", dir, "/dev/full"};
  for (const std::string& path : paths) {
    EXPECT_EQ(WriteTemperatureFile(payload, path.c_str()), WriteError) << path;
  }
  RemoveTree(dir);
}

}  // namespace
