#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "link/status.h"

TEST(StatusMessage, NamedCodesAndFallback) {
  const struct {
    int32_t code;
    const char* text;
  } cases[] = {
      {0, "No error."},           {-1000, "Detect error."},     {-2000, "Write error."},
      {-3000, "Invalid value."},  {-4000, "No data."},          {-5000, "Checksum error."},
      {-6000, "Out of memory."},  {-7000, "Can't open file."},  {-8000, "Invalid operation."},
      {-9000, "Read error."},     {-202, "Error -202."},        {-203, "Error -203."},
      {-1, "Error -1."},          {5, "Error 5."},              {-1001, "Error -1001."},
      {INT32_MIN, "Error -2147483648."},
  };
  for (const auto& c : cases) EXPECT_STREQ(StatusMessage(c.code), c.text) << c.code;
}

TEST(StatusMessage, FallbackBufferIsReused) {
  const char* first = StatusMessage(-1);
  std::string copy = first;
  const char* second = StatusMessage(7);
  EXPECT_EQ(first, second);
  EXPECT_EQ(copy, "Error -1.");
  EXPECT_STREQ(first, "Error 7.");
}

TEST(Printing, MessageAndProgressForms) {
  testing::internal::CaptureStdout();
  PrintMessage("Connecting...");
  PrintProgress("1.0s since start, 2 records received.");
  PrintMessage("");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\r\nConnecting...\r1.0s since start, 2 records received.\r\n");
}
