// Points every test of the suite at the Windows build under Wine, or skips them all where that cannot run.
#include <gtest/gtest.h>

#include "tests/support/wine.h"

class WineEnvironment : public ::testing::Environment {
  void SetUp() override {
    SelectWineTarget();
    const std::string why = WineUnavailableReason();
    // gtest counts tests skipped here as passed; the marker line makes ctest report them as skipped.
    if (!why.empty()) std::printf("[  SKIPPED ] Windows build under Wine: %s\n", why.c_str());
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(WinePrepare(), 0) << "cannot set up the Wine prefix " << WinePrefixDir();
  }
};

const ::testing::Environment* const kWineEnvironment = ::testing::AddGlobalTestEnvironment(new WineEnvironment);
