// `keld reg` and `keld setup` as a person runs them: a machine's registry
// imported from a .reg file, the driver installed and restored through
// libkeldinst.so, and the installation checked against the real host.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "e2e/host_process.h"
#include "e2e/keld_run.h"

namespace keld::test {
namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SetupCli : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<HostProcess>();
    ASSERT_TRUE(host->ready()) << host->log();
    directory = makeTestDirectory("setup-cli");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  // Runs keld as an administrator on this test's registry; `libraryPath`
  // is where libkeldinst.so and libkeldapi.so are looked for.
  KeldRun keld(const std::string& arguments, const std::string& libraryPath = KELDINST_DIR) const {
    return runKeld("KELD_VIRTUAL_TIME=1 KELD_IDENTITY=administrator KELD_SOCKET='" + host->socketPath() +
                       "' KELD_REGISTRY='" + directory + "/registry.db' KELD_LIBRARY_PATH='" + libraryPath + "'",
                   arguments);
  }

  std::unique_ptr<HostProcess> host;
  std::string directory;
};

TEST_F(SetupCli, CheckPassesOnlyWithTheLibraryAndTheHost) {
  KeldRun passed = keld("setup check", KELDINST_DIR ":" KELDAPI_DIR);
  EXPECT_EQ(passed.exitCode, 0) << passed.output;
  EXPECT_NE(passed.output.find("installation check passed"), std::string::npos) << passed.output;
  EXPECT_NE(passed.output.find("CheckFirmWare answers -1"), std::string::npos) << passed.output;

  EXPECT_TRUE(ended(keld("setup check"), 3, "the installation check failed"));

  EXPECT_TRUE(ended(keld("setup check", directory), 1, "libkeldinst.so was not found"));

  EXPECT_TRUE(ended(keld("setup"), 64));
  EXPECT_TRUE(ended(keld("setup install now"), 64));
  KeldRun help = keld("setup --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("usage: keld setup install | restore | check"), std::string::npos) << help.output;
}

TEST_F(SetupCli, ImportInstallRestoreAndExportTheMachine) {
  const std::string fixture = fileText(KELDINST_FIXTURE);
  ASSERT_FALSE(fixture.empty());
  // An empty machine: InstallDriver finds neither the reader nor the service.
  KeldRun nothing = keld("setup install");
  EXPECT_EQ(nothing.exitCode, 1) << nothing.output;
  EXPECT_NE(nothing.output.find("the backup key HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver does not exist"),
            std::string::npos)
      << nothing.output;
  EXPECT_NE(nothing.output.find("(result 2)"), std::string::npos) << nothing.output;

  KeldRun imported = keld("reg import - < '" KELDINST_FIXTURE "'");
  EXPECT_EQ(imported.exitCode, 0) << imported.output;
  EXPECT_NE(imported.output.find("imported 24 key sections and 33 values from standard input"), std::string::npos)
      << imported.output;

  KeldRun installed = keld("setup install");
  EXPECT_EQ(installed.exitCode, 0) << installed.output;
  EXPECT_NE(installed.output.find("installed: the reader is known to the system"), std::string::npos) << installed.output;
  // What the call changed, key by key.
  EXPECT_NE(installed.output.find("    - \"InfPath\"=\"oem7.inf\"\n    + \"InfPath\"=\"Keldrin.inf\"\n"), std::string::npos)
      << installed.output;
  EXPECT_NE(installed.output.find("  [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C]\n"
                                  "    (access list replaced)\n"),
            std::string::npos)
      << installed.output;
  EXPECT_TRUE(ended(keld("setup install"), 0, "the registry was not changed"));
  KeldRun entry = keld("reg export 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}\\0001'");
  EXPECT_EQ(entry.exitCode, 0) << entry.output;
  EXPECT_NE(entry.output.find("\"InfPath\"=\"Keldrin.inf\"\n\"InfSection\"=\"VNR488C.Install\"\n"), std::string::npos)
      << entry.output;

  EXPECT_TRUE(ended(keld("setup restore"), 0, "restored: "));
  const std::string exportPath = directory + "/machine.reg";
  EXPECT_TRUE(ended(keld("reg export HKEY_LOCAL_MACHINE -o '" + exportPath + "'"), 0));
  // InfSection is the one value that restore does not put back.
  std::string expected = fixture;
  const std::string theirSection = "\"InfSection\"=\"Other.Install\"";
  expected.replace(expected.find(theirSection), theirSection.size(), "\"InfSection\"=\"VNR488C.Install\"");
  EXPECT_EQ(fileText(exportPath), expected);
}

TEST_F(SetupCli, RegRefusesMalformedFilesAndBadCommandLines) {
  const std::string bad = directory + "/bad.reg";
  std::ofstream(bad) << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n\"a\"=\"1\"\n[HKLM\\X]\n";
  KeldRun refused = keld("reg import '" + bad + "'");
  EXPECT_EQ(refused.exitCode, 1) << refused.output;
  EXPECT_NE(refused.output.find("bad.reg: line 5: unknown root key \"HKLM\"; nothing was imported"), std::string::npos)
      << refused.output;
  EXPECT_TRUE(ended(keld("reg export 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld'"), 1,
                    "no key \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\""));

  EXPECT_TRUE(ended(keld("reg"), 64));
  EXPECT_TRUE(ended(keld("reg import"), 64));
  EXPECT_TRUE(ended(keld("reg export -o"), 64));
  EXPECT_TRUE(ended(keld("reg export --recursive"), 64));
  KeldRun help = keld("reg --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("keld reg export [KEY] [-o FILE]"), std::string::npos) << help.output;
}

}  // namespace
}  // namespace keld::test
