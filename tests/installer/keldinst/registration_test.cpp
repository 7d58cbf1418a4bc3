#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/keldinst.h"
#include "platform/registry/registry_fixture.h"
#include "platform/win32/message_box.h"
#include "platform/win32/registry.h"

// Found by argument lookup, so they live with the types they compare.
namespace keld::win32 {
bool operator==(const RegistryValue& a, const RegistryValue& b) {
  return a.name == b.name && a.type == b.type && a.data == b.data;
}
bool operator==(const RegistryKeyDump& a, const RegistryKeyDump& b) {
  return a.path == b.path && a.values == b.values;
}
}  // namespace keld::win32

namespace keld::test {
namespace {

using Kind = win32::RegistryChange::Kind;

const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kInstance = kHklm + "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C\\1";
const std::string kClassEntry =
    kHklm + "SYSTEM\\CurrentControlSet\\Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}\\0001";
const std::string kService = kHklm + "SYSTEM\\CurrentControlSet\\Services\\VNR488C";
const std::string kBackup = kHklm + "SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver";

win32::RegistryValue text(const std::string& name, const std::string& value, DWORD type = REG_SZ) {
  std::vector<std::uint8_t> data(value.begin(), value.end());
  data.push_back(0);
  return {name, type, data};
}

win32::RegistryChange set(const std::string& key, win32::RegistryValue value) {
  return {Kind::SetValue, key, std::move(value)};
}

// A system with the reader plugged in and bound to another vendor's driver.
std::vector<win32::RegistryChange> pluggedInSystem() {
  return {
      {Kind::CreateKey, kHklm + "SOFTWARE\\Microsoft\\Cryptography\\Calais", {}},
      {Kind::CreateKey, kBackup, {}},
      set(kInstance, text("Driver", "{50dd5230-ba8a-11d1-bf5d-0000f805f530}\\0001")),
      set(kInstance, text("Class", "SmartCardReader")),
      set(kInstance, text("Service", "VNR488C")),
      set(kInstance + "\\Control", text("ActiveService", "Other")),
      set(kClassEntry, text("MatchingDeviceId", "pcmcia\\vrdx-smart_card_reader-488c")),
      set(kClassEntry, text("InfPath", "oem7.inf")),
      set(kClassEntry, text("InfSection", "Other.Install")),
      set(kClassEntry, text("DriverDate", "1-2-2001")),
      set(kClassEntry, text("DriverDesc", "klr850 ct-api")),
      set(kClassEntry, text("DriverVersion", "1.0.0.0")),
      set(kClassEntry, {"DriverDateData", REG_BINARY, {0x00, 0x40, 0x5E, 0x2C, 0x11, 0x4A, 0xC0, 0x01}}),
      set(kService, text("ImagePath", "System32\\DRIVERS\\other.sys", REG_EXPAND_SZ)),
      set(kService + "\\Enum", text("0", "PCMCIA\\VRDX-SMART_CARD_READER-488C\\1")),
  };
}

std::string valueText(const std::string& key, const std::string& name) {
  const auto dump = win32::dumpRegistry(key);
  if (!dump) return "<no key>";
  for (const auto& value : dump->front().values)
    if (value.name == name) return std::string(value.data.begin(), value.data.end());
  return "<none>";
}

bool hasValue(const std::string& key, const std::string& name) { return valueText(key, name) != "<none>" && valueText(key, name) != "<no key>"; }

std::vector<win32::RegistryKeyDump> machine() { return win32::dumpRegistry("HKEY_LOCAL_MACHINE").value(); }


class RegistrationTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    win32::setMessageBoxHook([this](const win32::MessageBoxCall& call) {
      boxes.push_back(call);
      return IDOK;
    });
  }
  void TearDown() override {
    win32::setMessageBoxHook({});
    RegistryTest::TearDown();
  }
  static void apply(const std::vector<win32::RegistryChange>& changes) {
    ASSERT_EQ(win32::applyRegistryChanges(changes), ERROR_SUCCESS);
  }
  std::vector<win32::MessageBoxCall> boxes;
};

TEST_F(RegistrationTest, InstallTakesOverAndRestorePutsBack) {
  apply(pluggedInSystem());
  const auto original = machine();

  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
  EXPECT_EQ(valueText(kClassEntry, "DriverDesc"), std::string("KLR850 CT-API\0", 14));  // lower case is not ours
  EXPECT_EQ(valueText(kClassEntry, "InfSection"), std::string("VNR488C.Install\0", 16));
  EXPECT_FALSE(hasValue(kClassEntry, "DriverDateData"));
  EXPECT_EQ(valueText(kService, "ImagePath"), std::string("System32\\DRIVERS\\KELDRIN.SYS\0", 29));
  EXPECT_EQ(valueText(kBackup, "ImagePath"), std::string("System32\\DRIVERS\\other.sys\0", 27));
  EXPECT_EQ(valueText(kBackup + "\\0001", "InfPath"), std::string("oem7.inf\0", 9));
  EXPECT_EQ(valueText(kBackup + "\\0001", "DriverDesc"), std::string("klr850 ct-api\0", 14));
  EXPECT_TRUE(hasValue(kBackup + "\\0001", "DriverDateData"));
  EXPECT_TRUE(win32::dumpRegistry(kHklm + "SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers"));
  EXPECT_EQ(win32::daclEntries(*win32::keySecurity(kHklm + "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C"))->size(), 2u);
  EXPECT_EQ(win32::daclEntries(*win32::keySecurity(kInstance + "\\Control"))->size(), 2u);
  EXPECT_TRUE(boxes.empty());

  const auto installed = machine();
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(machine(), installed);  // a second install changes nothing

  EXPECT_EQ(InstallDriver(0, 0), 1);
  auto restored = machine();
  // The documented difference: InfSection stays ours.
  auto expected = original;
  for (auto& key : expected)
    for (auto& value : key.values)
      if (value.name == "InfSection") value = text("InfSection", "VNR488C.Install");
  // The reader list key that install made stays.
  std::erase_if(restored, [](const auto& key) { return key.path.ends_with("Calais\\Readers"); });
  EXPECT_EQ(restored, expected);
}

TEST_F(RegistrationTest, OursInAnyCaseIsLeftAloneAndNoCopyIsKept) {
  apply(pluggedInSystem());
  apply({set(kClassEntry, text("InfPath", "keldrin.INF")), set(kClassEntry, text("DriverDate", "7-23-2003")),
         set(kClassEntry, text("DriverDesc", "KLR850 CT-API")), set(kClassEntry, text("DriverVersion", "2.1.0.1"))});
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("keldrin.INF\0", 12));
  EXPECT_FALSE(win32::dumpRegistry(kBackup + "\\0001"));
  EXPECT_TRUE(hasValue(kClassEntry, "DriverDateData"));  // nowhere to move it
}

TEST_F(RegistrationTest, MissingBackupKeySavesNothingButStillWrites) {
  apply(pluggedInSystem());
  apply({{Kind::DeleteTree, kHklm + "SOFTWARE\\VNR PC CARD", {}}});
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
  EXPECT_TRUE(hasValue(kClassEntry, "DriverDateData"));
  EXPECT_FALSE(win32::dumpRegistry(kHklm + "SOFTWARE\\VNR PC CARD"));
  EXPECT_EQ(InstallDriver(0, 0), 1);  // nothing to restore from
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
  EXPECT_EQ(valueText(kService, "ImagePath"), std::string("System32\\DRIVERS\\KELDRIN.SYS\0", 29));
}

TEST_F(RegistrationTest, NoMatchingClassEntryTouchesNoClassValue) {
  apply(pluggedInSystem());
  apply({set(kClassEntry, text("MatchingDeviceId", "pcmcia\\other-reader"))});
  const auto entry = win32::dumpRegistry(kClassEntry);
  InstallDriver(0, 1);
  EXPECT_EQ(win32::dumpRegistry(kClassEntry)->front(), entry->front());
}

TEST_F(RegistrationTest, MissingHardwareIdKeyGivesThreeUnlessTheServiceConfirmsTheReader) {
  apply(pluggedInSystem());
  apply({{Kind::DeleteTree, kHklm + "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C", {}}});
  EXPECT_EQ(InstallDriver(0, 1), 1);  // Enum\0 names the reader and it started
  apply({{Kind::DeleteValue, kService + "\\Enum", {"0", REG_NONE, {}}}});
  EXPECT_EQ(InstallDriver(0, 1), 3);
}

TEST_F(RegistrationTest, ReaderUnderAnotherClassGivesTwo) {
  apply(pluggedInSystem());
  apply({set(kInstance, text("Driver", "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000")),
         {Kind::DeleteValue, kService + "\\Enum", {"0", REG_NONE, {}}}});
  EXPECT_EQ(InstallDriver(0, 1), 2);
}

TEST_F(RegistrationTest, StartFailureGivesTwoAndOneMessage) {
  apply(pluggedInSystem());
  apply({set(kInstance, text("Driver", "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000")),
         set(kService + "\\Enum", {"INITSTARTFAILED", REG_DWORD, {1, 0, 0, 0}})});
  EXPECT_EQ(InstallDriver(0, 1), 2);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "The start of driver VNR488C failed. It isn't possible to update the driver.");
  EXPECT_EQ(boxes[0].type, MB_ICONERROR);
  EXPECT_FALSE(boxes[0].hasOwner);
  EXPECT_EQ(boxes[0].caption, "Error");
}

TEST_F(RegistrationTest, RestoreWithoutCopiesLeavesValuesButSetsInfSection) {
  apply(pluggedInSystem());
  apply({set(kClassEntry, text("InfPath", "Keldrin.inf")),
         set(kService, text("ImagePath", "System32\\DRIVERS\\KELDRIN.SYS", REG_EXPAND_SZ))});
  EXPECT_EQ(InstallDriver(0, 0), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
  EXPECT_EQ(valueText(kClassEntry, "InfSection"), std::string("VNR488C.Install\0", 16));
  EXPECT_EQ(valueText(kService, "ImagePath"), std::string("System32\\DRIVERS\\KELDRIN.SYS\0", 29));
}

TEST_F(RegistrationTest, SavedValueThatFillsItsBufferIsRestoredWithoutOverrun) {
  apply(pluggedInSystem());
  // 200 bytes and no terminator: the read fills the whole 200-byte capacity.
  const std::string full(200, 'd');
  apply({set(kClassEntry, {"DriverDesc", REG_SZ, std::vector<std::uint8_t>(full.begin(), full.end())})});
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kBackup + "\\0001", "DriverDesc"), full);
  EXPECT_EQ(InstallDriver(0, 0), 1);
  EXPECT_EQ(valueText(kClassEntry, "DriverDesc"), full + std::string(1, '\0'));
}

TEST_F(RegistrationTest, LongSubkeyNamesAndOversizedValuesAreSkipped) {
  apply(pluggedInSystem());
  const std::string classKey = kClassEntry.substr(0, kClassEntry.size() - 5);
  // A 150-character entry name fits the enumeration but not the path buffer;
  // a 200-character one does not even fit the enumeration.
  for (const std::string& name : {std::string(150, 'a'), std::string(200, 'b')})
    apply({set(classKey + "\\" + name, text("MatchingDeviceId", "PCMCIA\\VRDX-SMART_CARD_READER-488C")),
           set(classKey + "\\" + name, text("InfPath", "oem9.inf"))});
  apply({set(kClassEntry, text("DriverVersion", std::string(250, 'v')))});  // does not fit 200 bytes
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(classKey + "\\" + std::string(150, 'a'), "InfPath"), std::string("oem9.inf\0", 9));
  EXPECT_EQ(valueText(kClassEntry, "DriverVersion"), std::string(250, 'v') + std::string(1, '\0'));
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
}

}  // namespace
}  // namespace keld::test
