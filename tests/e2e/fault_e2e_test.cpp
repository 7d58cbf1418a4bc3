// The emulator's faults set through the host's inject-fault command, seen
// where they should show: in the CT-API results and in the host's trace of
// the blocks.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "e2e/host_process.h"
#include "support/ct_data_call.h"

namespace keld::test {
namespace {

const char* const SELECT_APPLICATION = "00 A4 04 00 06 F0 4B 45 4C 44 01";

class FaultEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KELD_VIRTUAL_TIME", "1", 1);
    host = std::make_unique<HostProcess>(std::vector<std::string>{"--log-level", "trace"});
    ASSERT_TRUE(host->ready()) << host->log();
    ::setenv("KELD_SOCKET", host->socketPath().c_str(), 1);
    ASSERT_EQ(CT_init(1, 1), OK) << host->log();
    ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
  }
  void TearDown() override { CT_close(1); }

  std::string send(std::uint8_t dad, std::string_view command) { return ctData(1, dad, command); }
  void inject(const std::string& fault) {
    const hostctl::CommandResult r = host->control().injectFault(0, fault);
    ASSERT_TRUE(r.ok()) << r.text;
  }
  // The card reset and a first SELECT; the SELECT's response.
  std::string startCardSession() {
    const std::string atr = send(1, "20 12 01 01 00");
    EXPECT_EQ(atr.substr(atr.size() - 5), "90 01") << atr;
    return send(0, SELECT_APPLICATION);
  }
  // How often the trace shows a control request with this input.
  int timesSent(const std::string& block) const {
    const std::string log = host->log();
    const std::string marker = " in [" + block + "]";
    int count = 0;
    for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) ++count;
    return count;
  }

  std::unique_ptr<HostProcess> host;
};

TEST_F(FaultEndToEnd, CorruptedCardAnswerIsAnsweredWithAnEpilogueRBlock) {
  const std::string expected = startCardSession();
  ASSERT_EQ(expected.substr(expected.size() - 5), "90 00");
  inject("corrupt=1");
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected);
  EXPECT_EQ(timesSent("00 91 00 91"), 1) << host->log();
}

TEST_F(FaultEndToEnd, CardThatKeepsTimingOutIsResynchronisedAndReported64A8) {
  startCardSession();
  inject("timeout=100");
  EXPECT_EQ(send(0, SELECT_APPLICATION), "64 A8");
  EXPECT_EQ(timesSent("00 C0 00 C0"), 3) << host->log();
  // The card reset that ended the recovery left the card powered.
  inject("clear");
  EXPECT_EQ(send(1, "20 13 00 80 00"), "05 90 00");
}

TEST_F(FaultEndToEnd, SilentOrStuckReaderFailsATerminalCommandWithErrCt) {
  inject("silence=1");
  EXPECT_EQ(send(1, "20 13 00 80 00"), "ERR " + std::to_string(ERR_CT));
  EXPECT_NE(host->log().find("status 0x80000011 out []"), std::string::npos) << host->log();
  EXPECT_EQ(send(1, "20 13 00 80 00"), "03 90 00");

  inject("stuck-busy=on");
  EXPECT_EQ(send(1, "20 13 00 80 00"), "ERR " + std::to_string(ERR_CT));
  inject("stuck-busy=off");
  EXPECT_EQ(send(1, "20 13 00 80 00"), "03 90 00");
}

TEST_F(FaultEndToEnd, WrongIdentificationFailsTheNextStartOfTheReader) {
  CT_close(1);
  inject("fail-identification=1");
  ASSERT_TRUE(host->control().unplug(0).ok());
  EXPECT_FALSE(host->control().replug(0).ok());
  EXPECT_NE(host->log().find("start failed with status 0xC0000185"), std::string::npos) << host->log();
  EXPECT_EQ(CT_init(1, 1), ERR_TRANS);
  // A reader whose start failed counts as unplugged: plugging it in again
  // runs a new start.
  const hostctl::CommandResult again = host->control().replug(0);
  ASSERT_TRUE(again.ok()) << again.text;
  EXPECT_EQ(CT_init(1, 1), OK) << host->log();
  EXPECT_EQ(send(1, "20 10 00 00 00"), "90 00");
}

}  // namespace
}  // namespace keld::test
