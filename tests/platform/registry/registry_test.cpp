#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry/registry_fixture.h"
#include "platform/win32/registry.h"
#include "platform/win32/security.h"

namespace keld::test {
namespace {

using win32::RegistryIdentity;

HKEY create(const char* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  return key;
}

void createAndClose(const char* path) { RegCloseKey(create(path)); }

LONG openKey(const char* path, REGSAM access, HKEY* key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

LONG setString(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string readString(HKEY key, const char* name) {
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
    return "<missing>";
  return buffer;
}

std::vector<std::string> subkeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD size = sizeof name;
    const LONG rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    EXPECT_EQ(rc, ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  return names;
}

// An access list that gives administrators and the system full access.
std::vector<std::uint8_t> adminsAndSystem(BYTE flags = CONTAINER_INHERIT_ACE) {
  const std::vector<win32::AccessEntry> entries = {
      {ACCESS_ALLOWED_ACE_TYPE, flags, GENERIC_ALL | STANDARD_RIGHTS_ALL, win32::sidFromText(win32::kSidAdministrators)},
      {ACCESS_ALLOWED_ACE_TYPE, flags, GENERIC_ALL | STANDARD_RIGHTS_ALL, win32::sidFromText(win32::kSidSystem)},
  };
  return win32::descriptorWithDacl(entries);
}

// Sets an absolute descriptor built from a self-relative one's DACL.
LONG replaceDacl(const char* path, std::vector<std::uint8_t> selfRelative) {
  HKEY key = nullptr;
  if (const LONG rc = openKey(path, WRITE_DAC, &key)) return rc;
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(selfRelative.data() + 20), FALSE);
  const LONG rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
  RegCloseKey(key);
  return rc;
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseAndKeepTheirCase) {
  HKEY key = create("SOFTWARE\\Vendor\\Product");
  ASSERT_EQ(setString(key, "InfPath", "a.inf"), ERROR_SUCCESS);
  ASSERT_EQ(setString(key, "INFPATH", "b.inf"), ERROR_SUCCESS);
  RegCloseKey(key);

  HKEY again = nullptr;
  ASSERT_EQ(openKey("software\\VENDOR\\product", KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_EQ(readString(again, "infpath"), "b.inf");
  RegCloseKey(again);

  const auto dump = win32::dumpRegistry("HKEY_LOCAL_MACHINE\\software\\vendor");
  ASSERT_TRUE(dump);
  ASSERT_EQ(dump->size(), 2u);
  EXPECT_EQ((*dump)[1].path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product");
  ASSERT_EQ((*dump)[1].values.size(), 1u);
  EXPECT_EQ((*dump)[1].values[0].name, "InfPath");

  DWORD disposition = 0;
  HKEY same = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VENDOR", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &same, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(subkeys(same), std::vector<std::string>{"Product"});
  RegCloseKey(same);
}

TEST_F(RegistryTest, SubkeysEnumerateByNameAndLongNamesNeedTheirFullCapacity) {
  for (const char* name : {"SOFTWARE\\T\\b", "SOFTWARE\\T\\A", "SOFTWARE\\T\\c", "SOFTWARE\\T\\0001"})
    createAndClose(name);
  const std::string longName(200, 'x');
  createAndClose(("SOFTWARE\\L\\" + longName).c_str());

  HKEY key = nullptr;
  ASSERT_EQ(openKey("SOFTWARE\\T", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(subkeys(key), (std::vector<std::string>{"0001", "A", "b", "c"}));
  RegCloseKey(key);

  ASSERT_EQ(openKey("SOFTWARE\\L", KEY_READ, &key), ERROR_SUCCESS);
  std::vector<char> name(201, '#');
  DWORD size = 200;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(name[0], '#');  // nothing written when the name does not fit
  size = 201;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(size, 200u);
  EXPECT_EQ(std::string(name.data()), longName);
  RegCloseKey(key);
}

TEST_F(RegistryTest, QueryReportsSizeAndRefusesSmallBuffers) {
  HKEY key = create("SOFTWARE\\Q");
  const std::vector<BYTE> data = {1, 2, 3, 4, 5};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, data.data(), 5), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);

  BYTE buffer[8] = {};
  DWORD size = 4;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "blob", nullptr, &type, buffer, &size), static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buffer[0], 0);
  size = 5;
  EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(buffer[4], 5);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer, &size), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteRules) {
  createAndClose("SOFTWARE\\D\\Child");
  HKEY parent = nullptr;
  ASSERT_EQ(openKey("SOFTWARE", KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "D"), static_cast<LONG>(ERROR_ACCESS_DENIED));  // has a subkey
  EXPECT_EQ(RegDeleteKeyA(parent, "Nothing"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));

  HKEY child = nullptr;
  ASSERT_EQ(openKey("SOFTWARE\\D\\Child", KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  ASSERT_EQ(setString(child, "V", "x"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(child, "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(child, "v"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegDeleteKeyA(parent, "d\\child"), ERROR_SUCCESS);
  EXPECT_EQ(setString(child, "V", "x"), static_cast<LONG>(ERROR_KEY_DELETED));
  EXPECT_EQ(RegDeleteKeyA(parent, "D"), ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(parent);
  EXPECT_EQ(RegCloseKey(child), static_cast<LONG>(ERROR_INVALID_HANDLE));
}

TEST_F(RegistryTest, ChangesApplyAllOrNothingAndPersist) {
  using Kind = win32::RegistryChange::Kind;
  std::vector<win32::RegistryChange> changes = {
      {Kind::CreateKey, "HKEY_LOCAL_MACHINE\\SOFTWARE\\A", {}},
      {Kind::SetValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\A", {"Name", REG_DWORD, {1, 0, 0, 0}}},
      {Kind::CreateKey, "HKEY_NOWHERE\\B", {}},
  };
  EXPECT_EQ(win32::applyRegistryChanges(changes), static_cast<LONG>(ERROR_BADKEY));
  EXPECT_FALSE(win32::dumpRegistry("HKEY_LOCAL_MACHINE\\SOFTWARE\\A"));

  changes.pop_back();
  ASSERT_EQ(win32::applyRegistryChanges(changes), ERROR_SUCCESS);
  win32::useRegistryDatabase(databasePath());  // as a new process would
  const auto dump = win32::dumpRegistry("HKLM\\software\\a");
  ASSERT_TRUE(dump);
  ASSERT_EQ(dump->front().values.size(), 1u);
  EXPECT_EQ(dump->front().values[0].type, REG_DWORD);

  changes = {{Kind::DeleteTree, "HKEY_LOCAL_MACHINE\\SOFTWARE", {}}};
  ASSERT_EQ(win32::applyRegistryChanges(changes), ERROR_SUCCESS);
  EXPECT_FALSE(win32::dumpRegistry("HKEY_LOCAL_MACHINE\\SOFTWARE"));
}

struct AccessCase {
  const char* name;
  RegistryIdentity identity;
  REGSAM access;
  bool replacedDacl;
  LONG expected;
};

class RegistryAccessTest : public RegistryTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(RegistryAccessTest, OpenIsCheckedAgainstTheIdentity) {
  createAndClose("SYSTEM\\Enum\\Reader\\Instance");
  if (GetParam().replacedDacl) {
    ASSERT_EQ(replaceDacl("SYSTEM\\Enum\\Reader", adminsAndSystem()), ERROR_SUCCESS);
  }
  win32::setRegistryIdentity(GetParam().identity);
  for (const char* path : {"SYSTEM\\Enum\\Reader", "SYSTEM\\Enum\\Reader\\Instance"}) {
    HKEY key = nullptr;
    EXPECT_EQ(openKey(path, GetParam().access, &key), GetParam().expected) << path;
    if (key) RegCloseKey(key);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identities, RegistryAccessTest,
    ::testing::Values(
        AccessCase{"UserReadsByDefault", RegistryIdentity::User, KEY_READ, false, ERROR_SUCCESS},
        AccessCase{"UserCannotWriteByDefault", RegistryIdentity::User, KEY_SET_VALUE, false, static_cast<LONG>(ERROR_ACCESS_DENIED)},
        AccessCase{"AdministratorWritesByDefault", RegistryIdentity::Administrator, KEY_ALL_ACCESS, false, ERROR_SUCCESS},
        AccessCase{"UserRefusedAfterReplacement", RegistryIdentity::User, KEY_READ, true, static_cast<LONG>(ERROR_ACCESS_DENIED)},
        AccessCase{"AdministratorAfterReplacement", RegistryIdentity::Administrator, KEY_ALL_ACCESS, true, ERROR_SUCCESS},
        AccessCase{"SystemAfterReplacement", RegistryIdentity::System, KEY_ALL_ACCESS, true, ERROR_SUCCESS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, EntriesWithoutContainerInheritStayOnTheirKey) {
  createAndClose("SYSTEM\\Only\\Child");
  ASSERT_EQ(replaceDacl("SYSTEM\\Only", adminsAndSystem(0)), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(openKey("SYSTEM\\Only", KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(openKey("SYSTEM\\Only\\Child", KEY_READ, &key), static_cast<LONG>(ERROR_ACCESS_DENIED));
}

TEST_F(RegistryTest, SecurityNeedsWriteDacAndOrdinaryUsersCannotCreateMachineKeys) {
  createAndClose("SYSTEM\\S");
  HKEY key = nullptr;
  ASSERT_EQ(openKey("SYSTEM\\S", KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::uint8_t> descriptor = adminsAndSystem();
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(descriptor.data() + 20), FALSE);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd), static_cast<LONG>(ERROR_ACCESS_DENIED));
  RegCloseKey(key);
  EXPECT_EQ(win32::keySecurity("HKEY_LOCAL_MACHINE\\SYSTEM\\S"), std::vector<std::uint8_t>{});

  win32::setRegistryIdentity(RegistryIdentity::User);
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\New", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &created, nullptr),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(win32::dumpRegistry("HKEY_LOCAL_MACHINE\\SYSTEM\\New"));
}

}  // namespace
}  // namespace keld::test
