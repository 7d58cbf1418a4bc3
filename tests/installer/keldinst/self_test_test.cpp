#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "installer/keldinst.h"

namespace keld::test {
namespace {

struct SelfTestCase {
  const char* name;
  const char* library;  // folder below FAKE_CTAPI_DIR; null: none on the search path
  int32_t expected;
  const char* calls;
};

class SelfTest : public ::testing::TestWithParam<SelfTestCase> {
 protected:
  void SetUp() override {
    log_ = "/tmp/keld-fake-ctapi-" + std::to_string(getpid()) + ".log";
    std::remove(log_.c_str());
    setenv("KELD_FAKE_CTAPI_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KELD_FAKE_CTAPI_LOG");
    unsetenv("KELD_LIBRARY_PATH");
    std::remove(log_.c_str());
  }
  std::string calls() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string log_;
};

TEST_P(SelfTest, ResultAndCalls) {
  const SelfTestCase& c = GetParam();
  const std::string dir = c.library ? std::string(FAKE_CTAPI_DIR) + "/" + c.library : std::string(FAKE_CTAPI_DIR);
  setenv("KELD_LIBRARY_PATH", dir.c_str(), 1);
  EXPECT_EQ(CheckInstallation(), c.expected);
  EXPECT_EQ(calls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, SelfTest,
    ::testing::Values(
        SelfTestCase{"NoLibraryOnTheSearchPath", nullptr, 0, ""},
        SelfTestCase{"NoReaderDeviceLeavesTheTerminalClosed", "fake_noreader", 0, "CT_init 0 0\n"},
        SelfTestCase{"MissingCtDataStillClosesTheTerminal", "fake_nodata", 0, "CT_init 0 0\nCT_close\n"},
        SelfTestCase{"FailedCtDataStillClosesTheTerminal", "fake_datafails", 0,
                     "CT_init 0 0\nCT_data RESET CT\nCT_close\n"},
        SelfTestCase{"ErrorStatusWordStillPasses", "fake_working", 1, "CT_init 0 0\nCT_data RESET CT\nCT_close\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckFirmWare, AlwaysMinusOne) {
  for (int32_t argument : {0, 1, -1, 0x7FFFFFFF}) EXPECT_EQ(CheckFirmWare(argument), -1);
}

}  // namespace
}  // namespace keld::test
