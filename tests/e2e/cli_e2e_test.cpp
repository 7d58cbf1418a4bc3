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

  KeldRun status = keld("status");
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_NE(status.output.find("card present"), std::string::npos) << status.output;

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

  KeldRun missing = keld("apdu '00 A4 04 00 02 12 34'");
  EXPECT_EQ(missing.exitCode, 2) << missing.output;
  EXPECT_NE(missing.output.find("6A 82  file or application not found"), std::string::npos) << missing.output;

  KeldRun malformed = keld("apdu '00 A4 0x'");
  EXPECT_EQ(malformed.exitCode, 64) << malformed.output;
  EXPECT_NE(malformed.output.find("at character 8: 'x' is not a hex digit"), std::string::npos) << malformed.output;
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
  KeldRun removed = keld("card remove");
  EXPECT_EQ(removed.exitCode, 0) << removed.output;
  KeldRun status = keld("status");
  EXPECT_NE(status.output.find("no card"), std::string::npos) << status.output;
  KeldRun request = keld("request");
  EXPECT_EQ(request.exitCode, 2) << request.output;
  EXPECT_NE(request.output.find("no card"), std::string::npos) << request.output;

  EXPECT_EQ(keld("card insert --delay 2000").exitCode, 0);
  KeldRun waited = keld("wait-card --timeout 20");
  EXPECT_EQ(waited.exitCode, 0) << waited.output;
  EXPECT_NE(waited.output.find("card inserted"), std::string::npos) << waited.output;

  KeldRun hostStatus = keld("host status");
  EXPECT_EQ(hostStatus.exitCode, 0) << hostStatus.output;
  EXPECT_NE(hostStatus.output.find("0x300"), std::string::npos) << hostStatus.output;
}

TEST_F(CliEndToEnd, ResetEjectPowerReaderAndFaultCommands) {
  KeldRun reset = keld("reset");
  EXPECT_EQ(reset.exitCode, 0) << reset.output;
  EXPECT_NE(reset.output.find("90 00  success"), std::string::npos) << reset.output;

  KeldRun suspend = keld("power suspend");
  EXPECT_EQ(suspend.exitCode, 0) << suspend.output;
  EXPECT_EQ(keld("power resume").exitCode, 0);
  EXPECT_EQ(keld("status").exitCode, 0);

  KeldRun fault = keld("fault timeout=1");
  EXPECT_EQ(fault.exitCode, 0) << fault.output;
  KeldRun badFault = keld("fault explode=1");
  EXPECT_EQ(badFault.exitCode, 3) << badFault.output;

  EXPECT_EQ(keld("reader unplug").exitCode, 0);
  KeldRun gone = keld("status");
  EXPECT_EQ(gone.exitCode, 3) << gone.output;
  EXPECT_NE(gone.output.find("ERR_TRANS"), std::string::npos) << gone.output;
  EXPECT_EQ(keld("reader plug").exitCode, 0);

  // No card to hold: the eject is answered at once, the slot seen empty.
  EXPECT_EQ(keld("card remove").exitCode, 0);
  KeldRun eject = keld("eject");
  EXPECT_EQ(eject.exitCode, 0) << eject.output;
  EXPECT_NE(eject.output.find("90 01"), std::string::npos) << eject.output;

  KeldRun usage = keld("power nap");
  EXPECT_EQ(usage.exitCode, 64) << usage.output;
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
