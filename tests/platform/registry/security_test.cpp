#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/win32/security.h"
#include "support/hex.h"

namespace keld::test {
namespace {

struct LookupResult {
  BOOL ok;
  DWORD error;
  Bytes sid;
  std::string domain;
};

LookupResult lookup(const char* name) {
  std::vector<std::uint8_t> sid(GetSidLengthRequired(2));
  DWORD sidSize = static_cast<DWORD>(sid.size());
  char domain[80];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  SetLastError(0);
  const BOOL ok = LookupAccountNameA(nullptr, name, sid.data(), &sidSize, domain, &domainSize, &use);
  if (!ok) return {ok, GetLastError(), {}, {}};
  sid.resize(GetLengthSid(sid.data()));
  return {ok, 0, sid, domain};
}

class AccountsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    win32::setAccountNames(std::nullopt);
    unsetenv("KELD_ACCOUNTS");
  }
};

TEST_F(AccountsTest, WellKnownNamesResolveToTheirSids) {
  EXPECT_EQ(GetSidLengthRequired(2), 16u);
  const auto admins = lookup("Administrators");
  ASSERT_TRUE(admins.ok);
  EXPECT_EQ(toHex(admins.sid), "01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00");
  EXPECT_EQ(admins.domain, "BUILTIN");
  EXPECT_EQ(toHex(lookup("system").sid), "01 01 00 00 00 00 00 05 12 00 00 00");
  EXPECT_EQ(toHex(lookup("NT AUTHORITY\\SYSTEM").sid), "01 01 00 00 00 00 00 05 12 00 00 00");
  EXPECT_EQ(win32::sidToText(lookup("Users").sid), "S-1-5-32-545");
  EXPECT_EQ(win32::sidToText(lookup("Everyone").sid), "S-1-1-0");
  EXPECT_EQ(lookup("Administratoren").error, ERROR_NONE_MAPPED);
}

TEST_F(AccountsTest, SmallBufferReportsTheSizeNeeded) {
  std::uint8_t sid[4];
  DWORD sidSize = sizeof sid;
  char domain[80];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountNameA(nullptr, "Administrators", sid, &sidSize, domain, &domainSize, &use));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(sidSize, 16u);
}

TEST_F(AccountsTest, AliasTableReproducesAnotherSystemsNames) {
  setenv("KELD_ACCOUNTS", "Administratoren=S-1-5-32-544;System=S-1-5-18;broken", 1);
  EXPECT_EQ(win32::sidToText(lookup("administratoren").sid), "S-1-5-32-544");
  EXPECT_EQ(lookup("Administrators").error, ERROR_NONE_MAPPED);
  EXPECT_TRUE(lookup("System").ok);

  win32::setAccountNames(std::vector<win32::AccountName>{{"Only", "S-1-5-32-545", "", SidTypeAlias}});
  EXPECT_TRUE(lookup("only").ok);
  EXPECT_FALSE(lookup("System").ok);
}

TEST(SecurityDescriptor, AclHoldsAcesInOrderWithExactBytes) {
  const Bytes admins = win32::sidFromText("S-1-5-32-544");
  const Bytes system = win32::sidFromText("S-1-5-18");
  const DWORD size = 8 + (8 + 16) + (8 + 12);
  alignas(4) std::uint8_t block[64] = {};
  auto* acl = reinterpret_cast<PACL>(block);
  ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, 0x101F0000, const_cast<std::uint8_t*>(admins.data())));
  ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, 0x101F0000, const_cast<std::uint8_t*>(system.data())));
  EXPECT_TRUE(IsValidAcl(acl));
  EXPECT_EQ(toHex({block, size}),
            "02 00 34 00 02 00 00 00 "
            "00 02 18 00 00 00 1F 10 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00 "
            "00 02 14 00 00 00 1F 10 01 01 00 00 00 00 00 05 12 00 00 00");

  // A third ACE does not fit in the size the list was given.
  EXPECT_FALSE(AddAccessAllowedAceEx(acl, ACL_REVISION, 0, 1, const_cast<std::uint8_t*>(system.data())));
  EXPECT_EQ(GetLastError(), ERROR_ALLOTTED_SPACE_EXCEEDED);

  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
  EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
  EXPECT_EQ(sd.Owner, nullptr);
  const Bytes selfRelative = win32::selfRelativeDescriptor(&sd);
  ASSERT_EQ(selfRelative.size(), 20u + size);
  EXPECT_EQ(toHex({selfRelative.data(), 20}), "01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00");
  const auto entries = win32::daclEntries(selfRelative);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].sid, admins);
  EXPECT_EQ((*entries)[1].flags, CONTAINER_INHERIT_ACE);

  block[8 + 2] = 0x40;  // first ACE claims to run past the list
  EXPECT_FALSE(IsValidAcl(acl));
  EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
}

TEST(SecurityDescriptor, RejectsWrongRevisionsAndSizes) {
  alignas(4) std::uint8_t block[16];
  EXPECT_FALSE(InitializeAcl(reinterpret_cast<PACL>(block), 4, ACL_REVISION));
  EXPECT_FALSE(InitializeAcl(reinterpret_cast<PACL>(block), 16, 3));
  SECURITY_DESCRIPTOR sd;
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_TRUE(win32::sidFromText("S-1-5-x").empty());
  EXPECT_TRUE(win32::sidFromText("S-2-5").empty());
}

}  // namespace
}  // namespace keld::test
