// Points every test of this suite at the Windows build run under Wine, or
// skips them all when Wine or the Windows build is not there.
#include <gtest/gtest.h>

#include "tests/support/wine.h"

namespace {

class WineEnvironment : public ::testing::Environment {
  void SetUp() override {
    SelectWineTarget();
    const std::string why = WineUnavailableReason();
    // A skip here skips every test, but gtest counts them as passed; the
    // marker line makes ctest report them as skipped.
    if (!why.empty()) std::printf("[  SKIPPED ] Windows build under Wine: %s\n", why.c_str());
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(WinePrepare(), 0) << "cannot set up the Wine prefix " << WinePrefixDir();
  }
};

const ::testing::Environment* const kWineEnvironment = ::testing::AddGlobalTestEnvironment(new WineEnvironment);

}  // namespace
