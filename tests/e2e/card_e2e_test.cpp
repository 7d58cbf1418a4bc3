// Card journeys through the real library, host, driver, emulator and card.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "e2e/host_process.h"
#include "keldapi.h"
#include "support/hex.h"

namespace keld::test {
namespace {

class CardEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("KELD_VIRTUAL_TIME", "1", 1); }

  void startHost(std::vector<std::string> arguments = {}) {
    host = std::make_unique<HostProcess>(std::move(arguments));
    ASSERT_TRUE(host->ready()) << host->log();
    ::setenv("KELD_SOCKET", host->socketPath().c_str(), 1);
  }

  // CT_data to `dad` (1 terminal, 0 card); the response, or "ERR <code>".
  std::string send(std::uint8_t dad, std::string_view command, std::uint16_t ctn = 1) {
    Bytes c = hex(command);
    std::uint8_t response[300];
    std::uint16_t length = sizeof response;
    std::uint8_t sad = 2;
    const std::int8_t r = CT_data(ctn, &dad, &sad, static_cast<std::uint16_t>(c.size()), c.data(), &length, response);
    if (r != OK) return "ERR " + std::to_string(r);
    return toHex(std::span(response, length));
  }

  static std::string tail(const std::string& response, std::size_t bytes) {
    return response.size() >= bytes * 3 - 1 ? response.substr(response.size() - (bytes * 3 - 1)) : response;
  }

  std::unique_ptr<HostProcess> host;
};

TEST_F(CardEndToEnd, ResetRequestIccAndChainedCardResponses) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  const std::string atr = send(1, "20 12 01 01 00");
  EXPECT_EQ(atr.substr(0, 29), "3B 84 81 31 20 45 4B 45 4C 44") << atr;
  EXPECT_EQ(tail(atr, 2), "90 01") << atr;
  EXPECT_EQ(tail(send(0, "00 A4 04 00 06 F0 4B 45 4C 44 01"), 2), "90 00");
  // 256 bytes from a card whose blocks carry 32: the answer comes chained.
  const std::string data = send(0, "00 B0 81 00 00");
  ASSERT_EQ(data.size(), 258u * 3 - 1) << data;
  EXPECT_EQ(data.substr(0, 11), "00 01 02 03");
  EXPECT_EQ(tail(data, 3), "FF 90 00");
  EXPECT_EQ(tail(send(1, "20 13 00 80 00"), 2), "90 00");
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(CardEndToEnd, SuspendAndResumeBetweenTwoCommands) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  ASSERT_TRUE(host->control().suspend().ok());
  ASSERT_TRUE(host->control().resume().ok());
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00") << host->log();
  EXPECT_EQ(tail(send(1, "20 12 01 01 00"), 2), "90 01");
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(CardEndToEnd, UnplugDuringUseFailsThenANewTerminalWorksAfterReplug) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  ASSERT_TRUE(host->control().unplug(0).ok());
  const std::string failed = send(1, "20 11 00 00 00");
  EXPECT_TRUE(failed == "ERR -10" || failed == "ERR -8") << failed;
  EXPECT_EQ(CT_close(1), OK);
  ASSERT_TRUE(host->control().replug(0).ok());
  ASSERT_EQ(CT_init(2, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00", 2), "90 00");
  EXPECT_EQ(CT_close(2), OK);
}

}  // namespace
}  // namespace keld::test
