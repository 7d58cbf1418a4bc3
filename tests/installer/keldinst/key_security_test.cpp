#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "installer/keldinst.h"
#include "platform/registry/registry_fixture.h"
#include "platform/win32/registry.h"
#include "support/hex.h"

namespace keld::test {
namespace {

constexpr const char* kKey = "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\Reader";
constexpr const char* kFullKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\Reader";
constexpr std::uint32_t kMask = 0x101F0000;

class KeySecurityTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    const std::vector<win32::RegistryChange> changes = {
        {win32::RegistryChange::Kind::CreateKey, kFullKey, {}},
        {win32::RegistryChange::Kind::CreateKey, std::string("HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver"), {}},
    };
    ASSERT_EQ(win32::applyRegistryChanges(changes), ERROR_SUCCESS);
  }
  void TearDown() override {
    ReleaseKeySecurity();
    RegistryTest::TearDown();
  }
  static uint32_t build(std::vector<const char*> names) {
    names.push_back(nullptr);
    return BuildKeySecurity(names.data(), kMask);
  }
  static std::string daclOf(const char* path) {
    const auto sd = win32::keySecurity(path);
    return sd ? toHex(*sd) : "<missing>";
  }
};

TEST_F(KeySecurityTest, AdministratorsThenSystemWithContainerInherit) {
  ASSERT_EQ(build({"Administrators", "System"}), 0u);
  ASSERT_EQ(ApplyKeySecurity(kKey), 0u);
  const auto sd = win32::keySecurity(kFullKey);
  ASSERT_TRUE(sd);
  // Self-relative: header, then the ACL of 8 + 24 + 20 bytes.
  EXPECT_EQ(toHex(*sd),
            "01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 "
            "02 00 34 00 02 00 00 00 "
            "00 02 18 00 00 00 1F 10 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00 "
            "00 02 14 00 00 00 1F 10 01 01 00 00 00 00 00 05 12 00 00 00");
  win32::setRegistryIdentity(win32::RegistryIdentity::User);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), static_cast<LONG>(ERROR_ACCESS_DENIED));
}

TEST_F(KeySecurityTest, ElevenNamesAreRefusedAndTenBuild) {
  std::vector<const char*> names(11, "System");
  EXPECT_EQ(build(names), ERROR_TOO_MANY_NAMES);
  EXPECT_NE(ApplyKeySecurity(kKey), 0u);
  EXPECT_EQ(daclOf(kFullKey), "");
  names.pop_back();
  EXPECT_EQ(build(names), 0u);
  EXPECT_EQ(ApplyKeySecurity(kKey), 0u);
  const auto entries = win32::daclEntries(*win32::keySecurity(kFullKey));
  ASSERT_TRUE(entries);
  EXPECT_EQ(entries->size(), 10u);
}

TEST_F(KeySecurityTest, UnresolvableGroupNameGetsNoEntry) {
  win32::setAccountNames(std::vector<win32::AccountName>{{"System", "S-1-5-18", "NT AUTHORITY", SidTypeWellKnownGroup},
                                                         {"Administratoren", "S-1-5-32-544", "BUILTIN", SidTypeAlias}});
  ASSERT_EQ(build({"Administrators", "System"}), 0u);
  ASSERT_EQ(ApplyKeySecurity(kKey), 0u);
  const auto entries = win32::daclEntries(*win32::keySecurity(kFullKey));
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ(win32::sidToText((*entries)[0].sid), "S-1-5-18");

  ReleaseKeySecurity();
  EXPECT_EQ(build({"Administrators", "Nobody"}), ERROR_NONE_MAPPED);  // nothing resolves: nothing built
  EXPECT_NE(ApplyKeySecurity(kKey), 0u);
  EXPECT_EQ(build({}), ERROR_NONE_MAPPED);  // an empty list builds nothing either
  EXPECT_NE(ApplyKeySecurity(kKey), 0u);
  win32::setAccountNames(std::nullopt);
}

TEST_F(KeySecurityTest, MissingKeyReportsTheOpenError) {
  ASSERT_EQ(build({"Administrators", "System"}), 0u);
  EXPECT_EQ(ApplyKeySecurity("SYSTEM\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(win32::keySecurity("HKEY_LOCAL_MACHINE\\SYSTEM\\Missing"));
  ReleaseKeySecurity();
  EXPECT_NE(ApplyKeySecurity(kKey), 0u);  // released: nothing to apply
}

TEST_F(KeySecurityTest, BackupStoreSavesPerClassEntryAndRefusesSmallBuffers) {
  const std::string first = "oem1.inf";
  ASSERT_TRUE(SaveOriginalValue("0001", "InfPath", reinterpret_cast<const uint8_t*>(first.c_str()), 9));
  const std::string second = "oem22.inf";
  ASSERT_TRUE(SaveOriginalValue("0001", "InfPath", reinterpret_cast<const uint8_t*>(second.c_str()), 10));
  std::array<uint8_t, 16> buffer{};
  ASSERT_TRUE(ReadSavedValue("0001", "infpath", buffer.data(), buffer.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), "oem22.inf");
  EXPECT_FALSE(ReadSavedValue("0001", "InfPath", buffer.data(), 9));
  EXPECT_FALSE(ReadSavedValue("0002", "InfPath", buffer.data(), buffer.size()));
  const auto dump = win32::dumpRegistry("HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver\\0001");
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->front().values.at(0).type, REG_SZ);
}

TEST_F(KeySecurityTest, MissingBackupKeyMeansNothingSavedOrCreated) {
  const std::vector<win32::RegistryChange> drop = {
      {win32::RegistryChange::Kind::DeleteTree, "HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD", {}}};
  ASSERT_EQ(win32::applyRegistryChanges(drop), ERROR_SUCCESS);
  const uint8_t data[] = "x";
  EXPECT_FALSE(SaveOriginalValue("0001", "InfPath", data, 2));
  std::array<uint8_t, 8> buffer{};
  EXPECT_FALSE(ReadSavedValue("0001", "InfPath", buffer.data(), buffer.size()));
  EXPECT_FALSE(win32::dumpRegistry("HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD"));
}

}  // namespace
}  // namespace keld::test
