#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "installer/keldinst.h"
#include "platform/registry/registry_fixture.h"
#include "platform/win32/message_box.h"
#include "platform/win32/reg_file.h"
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

// A machine with the reader plugged in and bound to another vendor's driver
// under the service VNR488C, with an empty backup key: the keys that
// InstallDriver reads and writes, as the registry editor exports them.
std::string pluggedInSystem() {
  std::ifstream in(KELDINST_FIXTURE_DIR "/plugged_in_system.reg", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string exported() { return win32::exportRegFile("HKEY_LOCAL_MACHINE").value_or("<no key>"); }

std::string valueText(const std::string& key, const std::string& name) {
  const auto dump = win32::dumpRegistry(key);
  if (!dump) return "<no key>";
  for (const auto& value : dump->front().values)
    if (value.name == name) return std::string(value.data.begin(), value.data.end());
  return "<none>";
}

bool hasValue(const std::string& key, const std::string& name) { return valueText(key, name) != "<none>" && valueText(key, name) != "<no key>"; }



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
  static void importPluggedInSystem() {
    const auto imported = win32::importRegFile(pluggedInSystem());
    ASSERT_TRUE(imported.ok()) << imported.error;
  }
  std::vector<win32::MessageBoxCall> boxes;
};

TEST_F(RegistrationTest, InstallTakesOverAndRestorePutsBack) {
  const std::string original = pluggedInSystem();
  importPluggedInSystem();
  ASSERT_EQ(exported(), original);  // the fixture is in the form an export writes

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
  EXPECT_TRUE(boxes.empty());
  // The other reader's class entry is not touched.
  const std::string installed = exported();
  EXPECT_NE(installed.find("\"InfPath\"=\"usbscr.inf\"\n\"InfSection\"=\"UsbReader.Install\""), std::string::npos);

  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(exported(), installed);  // a second install changes nothing

  EXPECT_EQ(InstallDriver(0, 0), 1);
  // What restore leaves different from the machine before install:
  // - InfSection stays "VNR488C.Install" (no copy of it is kept);
  // - the DACLs of the reader's PC-Card key and of its instance's Control key
  //   stay replaced. A .reg file carries no security, so they are checked
  //   on their own below.
  std::string expected = original;
  const std::string theirSection = "\"InfSection\"=\"Other.Install\"";
  expected.replace(expected.find(theirSection), theirSection.size(), "\"InfSection\"=\"VNR488C.Install\"");
  EXPECT_EQ(exported(), expected);
  for (const std::string& key : {kHklm + "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C", kInstance + "\\Control"}) {
    const auto entries = win32::daclEntries(win32::keySecurity(key).value());
    ASSERT_TRUE(entries) << key;
    ASSERT_EQ(entries->size(), 2u) << key;
    EXPECT_EQ((*entries)[0].sid, win32::sidFromText(win32::kSidAdministrators));
    EXPECT_EQ((*entries)[1].sid, win32::sidFromText(win32::kSidSystem));
    for (const auto& entry : *entries) {
      EXPECT_EQ(entry.mask, GENERIC_ALL | STANDARD_RIGHTS_ALL);
      EXPECT_EQ(entry.flags, CONTAINER_INHERIT_ACE);
    }
  }
}

TEST_F(RegistrationTest, OursInAnyCaseIsLeftAloneAndNoCopyIsKept) {
  importPluggedInSystem();
  apply({set(kClassEntry, text("InfPath", "keldrin.INF")), set(kClassEntry, text("DriverDate", "7-23-2003")),
         set(kClassEntry, text("DriverDesc", "KLR850 CT-API")), set(kClassEntry, text("DriverVersion", "2.1.0.1"))});
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("keldrin.INF\0", 12));
  EXPECT_FALSE(win32::dumpRegistry(kBackup + "\\0001"));
  EXPECT_TRUE(hasValue(kClassEntry, "DriverDateData"));  // nowhere to move it
}

TEST_F(RegistrationTest, MissingBackupKeySavesNothingButStillWrites) {
  importPluggedInSystem();
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
  importPluggedInSystem();
  apply({set(kClassEntry, text("MatchingDeviceId", "pcmcia\\other-reader"))});
  const auto entry = win32::dumpRegistry(kClassEntry);
  InstallDriver(0, 1);
  EXPECT_EQ(win32::dumpRegistry(kClassEntry)->front(), entry->front());
}

TEST_F(RegistrationTest, MissingHardwareIdKeyGivesThreeUnlessTheServiceConfirmsTheReader) {
  importPluggedInSystem();
  apply({{Kind::DeleteTree, kHklm + "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C", {}}});
  EXPECT_EQ(InstallDriver(0, 1), 1);  // Enum\0 names the reader and it started
  apply({{Kind::DeleteValue, kService + "\\Enum", {"0", REG_NONE, {}}}});
  EXPECT_EQ(InstallDriver(0, 1), 3);
}

TEST_F(RegistrationTest, ReaderUnderAnotherClassGivesTwo) {
  importPluggedInSystem();
  apply({set(kInstance, text("Driver", "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000")),
         {Kind::DeleteValue, kService + "\\Enum", {"0", REG_NONE, {}}}});
  EXPECT_EQ(InstallDriver(0, 1), 2);
}

TEST_F(RegistrationTest, StartFailureGivesTwoAndOneMessage) {
  importPluggedInSystem();
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
  importPluggedInSystem();
  apply({set(kClassEntry, text("InfPath", "Keldrin.inf")),
         set(kService, text("ImagePath", "System32\\DRIVERS\\KELDRIN.SYS", REG_EXPAND_SZ))});
  EXPECT_EQ(InstallDriver(0, 0), 1);
  EXPECT_EQ(valueText(kClassEntry, "InfPath"), std::string("Keldrin.inf\0", 12));
  EXPECT_EQ(valueText(kClassEntry, "InfSection"), std::string("VNR488C.Install\0", 16));
  EXPECT_EQ(valueText(kService, "ImagePath"), std::string("System32\\DRIVERS\\KELDRIN.SYS\0", 29));
}

TEST_F(RegistrationTest, SavedValueThatFillsItsBufferIsRestoredWithoutOverrun) {
  importPluggedInSystem();
  // 200 bytes and no terminator: the read fills the whole 200-byte capacity.
  const std::string full(200, 'd');
  apply({set(kClassEntry, {"DriverDesc", REG_SZ, std::vector<std::uint8_t>(full.begin(), full.end())})});
  EXPECT_EQ(InstallDriver(0, 1), 1);
  EXPECT_EQ(valueText(kBackup + "\\0001", "DriverDesc"), full);
  EXPECT_EQ(InstallDriver(0, 0), 1);
  EXPECT_EQ(valueText(kClassEntry, "DriverDesc"), full + std::string(1, '\0'));
}

TEST_F(RegistrationTest, LongSubkeyNamesAndOversizedValuesAreSkipped) {
  importPluggedInSystem();
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
