// The installer's self-test against the real keldrind: CheckInstallation
// loads the real libkeldapi.so from the search path, opens terminal 0 on the
// emulated reader and sends it one RESET CT through the host.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "e2e/host_process.h"
#include "installer/keldinst.h"

namespace keld::test {
namespace {

class InstallerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KELD_VIRTUAL_TIME", "1", 1);
    emptyDirectory = makeTestDirectory("no-keldapi");
  }
  void TearDown() override {
    ::unsetenv("KELD_LIBRARY_PATH");
    ::unsetenv("KELD_SOCKET");
    std::error_code ignored;
    std::filesystem::remove_all(emptyDirectory, ignored);
  }

  HostProcess& startHost(std::vector<std::string> arguments = {}) {
    host = std::make_unique<HostProcess>(std::move(arguments));
    EXPECT_TRUE(host->ready()) << host->log();
    ::setenv("KELD_SOCKET", host->socketPath().c_str(), 1);
    return *host;
  }
  static void searchKeldapiIn(const std::string& directory) { ::setenv("KELD_LIBRARY_PATH", directory.c_str(), 1); }
  std::string openHandles() const {
    const std::string report = host->control().status().text;
    const auto at = report.find("open handles: ");
    return at == std::string::npos ? report : report.substr(at, report.find('\n', at) - at);
  }

  std::unique_ptr<HostProcess> host;
  std::string emptyDirectory;
};

TEST_F(InstallerEndToEnd, PassesWithTheLibraryAndARunningHostAndClosesItsTerminal) {
  startHost();
  searchKeldapiIn(KELDAPI_DIR);
  EXPECT_EQ(CheckInstallation(), 1);
  EXPECT_EQ(openHandles(), "open handles: 0");  // CT_close ran before the library was released
  EXPECT_EQ(CheckInstallation(), 1);

  // The same host, but no keldapi on the search path.
  searchKeldapiIn(emptyDirectory);
  EXPECT_EQ(CheckInstallation(), 0);
}

TEST_F(InstallerEndToEnd, TheTerminalAnswersWithoutACard) {
  startHost({"--reader", "sim,card=none"});
  searchKeldapiIn(KELDAPI_DIR);
  EXPECT_EQ(CheckInstallation(), 1);
}

TEST_F(InstallerEndToEnd, FailsWhenNoReaderDeviceAnswers) {
  startHost();
  searchKeldapiIn(KELDAPI_DIR);
  ASSERT_TRUE(host->control().unplug(0).ok());
  EXPECT_EQ(CheckInstallation(), 0);
  ASSERT_TRUE(host->control().replug(0).ok());
  EXPECT_EQ(CheckInstallation(), 1);
  host->stop();
  EXPECT_EQ(CheckInstallation(), 0);
}

}  // namespace
}  // namespace keld::test
