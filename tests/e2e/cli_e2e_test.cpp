// The `keld` command line against the real driver host: what a person sees
// and the exit codes scripts rely on.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "e2e/host_process.h"
#include "e2e/keld_run.h"

namespace keld::test {
namespace {

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<HostProcess>();
    ASSERT_TRUE(host->ready()) << host->log();
  }

  KeldRun keld(const std::string& arguments) const {
    return runKeld("KELD_VIRTUAL_TIME=1 KELD_SOCKET='" + host->socketPath() + "'", arguments);
  }

  std::unique_ptr<HostProcess> host;
};

TEST_F(CliEndToEnd, InfoStatusAndRequestDescribeTheReaderAndTheCard) {
  KeldRun info = keld("info");
  EXPECT_EQ(info.exitCode, 0) << info.output;
  EXPECT_NE(info.output.find("CT K4-PCMCIA CT-API W2KXP, V3.54, for Keldmatic card readers."), std::string::npos)
      << info.output;
  EXPECT_NE(info.output.find("Firmware      4.00"), std::string::npos) << info.output;

  EXPECT_TRUE(ended(keld("status"), 0, "card present"));

  KeldRun request = keld("request --json");
  EXPECT_EQ(request.exitCode, 0) << request.output;
  EXPECT_NE(request.output.find("\"atr\":\"3B 84 81 31 20 45 4B 45 4C 44"), std::string::npos) << request.output;
  EXPECT_NE(request.output.find("\"protocols\":[1,1]"), std::string::npos) << request.output;
}

TEST_F(CliEndToEnd, ApduExplainsTheStatusWordAndFailsOnAnError) {
  KeldRun read = keld("apdu '00 A4 04 00 06 F0 4B 45 4C 44 01' '00 B0 81 00 00'");
  EXPECT_EQ(read.exitCode, 0) << read.output;
  EXPECT_NE(read.output.find("(256 bytes)"), std::string::npos) << read.output;
  EXPECT_NE(read.output.find("< 90 00  success"), std::string::npos) << read.output;

  EXPECT_TRUE(ended(keld("apdu '00 A4 04 00 02 12 34'"), 2, "6A 82  file or application not found"));

  EXPECT_TRUE(ended(keld("apdu '00 A4 0x'"), 64, "at character 8: 'x' is not a hex digit"));
}

TEST_F(CliEndToEnd, ScriptStopsAtTheFirstMismatchWithItsLine) {
  const std::string path = host->socketPath() + ".script";
  std::ofstream(path) << "# select and read\n"
                         "00 A4 04 00 06 F0 4B 45 4C 44 01 = 90 00\n"
                         "00 B0 81 00 10 = 90 XX\n"
                         "00 A4 04 00 02 12 34 = 90 00\n"
                         "00 B0 81 00 10 = 90 00\n";
  KeldRun run = keld("script '" + path + "'");
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_NE(run.output.find(":4: expected 90 00, got 6A 82"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("   5  "), std::string::npos) << run.output;
}

TEST_F(CliEndToEnd, CardRemovalAndInsertionThroughTheHost) {
  EXPECT_TRUE(ended(keld("card remove"), 0));
  KeldRun status = keld("status");
  EXPECT_NE(status.output.find("no card"), std::string::npos) << status.output;
  EXPECT_TRUE(ended(keld("request"), 2, "no card"));

  EXPECT_TRUE(ended(keld("card insert --delay 2000"), 0));
  EXPECT_TRUE(ended(keld("wait-card --timeout 20"), 0, "card inserted"));

  EXPECT_TRUE(ended(keld("host status"), 0, "0x300"));
}

TEST_F(CliEndToEnd, ResetEjectPowerReaderAndFaultCommands) {
  EXPECT_TRUE(ended(keld("reset"), 0, "90 00  success"));

  EXPECT_TRUE(ended(keld("power suspend"), 0));
  EXPECT_TRUE(ended(keld("power resume"), 0));
  EXPECT_TRUE(ended(keld("status"), 0));

  EXPECT_TRUE(ended(keld("fault timeout=1"), 0));
  EXPECT_TRUE(ended(keld("fault explode=1"), 3));

  EXPECT_TRUE(ended(keld("reader unplug"), 0));
  EXPECT_TRUE(ended(keld("status"), 3, "ERR_TRANS"));
  EXPECT_TRUE(ended(keld("reader plug"), 0));

  // No card to hold: the eject is answered at once, the slot seen empty.
  EXPECT_TRUE(ended(keld("card remove"), 0));
  EXPECT_TRUE(ended(keld("eject"), 0, "90 01"));

  EXPECT_TRUE(ended(keld("power nap"), 64));
}

TEST_F(CliEndToEnd, NoHostExplainsHowToStartOne) {
  host->stop();
  KeldRun info = keld("info");
  EXPECT_EQ(info.exitCode, 3) << info.output;
  EXPECT_NE(info.output.find("ERR_TRANS"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("start the driver host"), std::string::npos) << info.output;
  KeldRun usage = keld("frobnicate");
  EXPECT_EQ(usage.exitCode, 64);
  EXPECT_NE(usage.output.find("unknown command \"frobnicate\""), std::string::npos);
}

}  // namespace
}  // namespace keld::test
