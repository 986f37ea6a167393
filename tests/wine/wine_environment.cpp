// Points every test of this suite at the Windows build run under Wine, or
// skips them all when Wine or the Windows build is not there.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/wine.h"

namespace {

class WineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    SelectWineTarget();
    std::string why = WineUnavailableReason();
    if (!why.empty()) {
      // A skip here skips every test, but gtest counts them as passed; the
      // marker line makes ctest report them as skipped.
      std::printf("[  SKIPPED ] Windows build under Wine: %s\n", why.c_str());
      GTEST_SKIP() << why;
    }
    ASSERT_EQ(WinePrepare(), 0) << "cannot set up the Wine prefix " << WinePrefixDir();
  }
};

const ::testing::Environment* const kWineEnvironment =
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);

}  // namespace
