#pragma once
// Security identifiers, access lists and security descriptors in the
// platform's binary layouts, and the account-name lookup, as the installer
// builds key security with them. Account names resolve to well-known
// identifiers; the table can be replaced to reproduce a system whose group
// names differ.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/win32_types.h"

using PSID = void*;
using ACCESS_MASK = DWORD;
using SECURITY_INFORMATION = DWORD;

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];  // big-endian
};

// Variable length: SubAuthorityCount sub-authorities follow the header.
struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
};

// Header of an access list; its ACEs follow it within AclSize bytes.
struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;

struct ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
};

// The SID starts at SidStart and runs to the end of the ACE.
struct ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
};

using SECURITY_DESCRIPTOR_CONTROL = WORD;

// The absolute form: the parts are pointers.
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};
using PSECURITY_DESCRIPTOR = void*;

static_assert(sizeof(ACL) == 8);
static_assert(sizeof(ACE_HEADER) == 4);
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8);
static_assert(offsetof(SID, SubAuthority) == 8);

enum SID_NAME_USE : int {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
};
using PSID_NAME_USE = SID_NAME_USE*;

constexpr BYTE SID_REVISION = 1;
constexpr BYTE ACL_REVISION = 2;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr std::size_t SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);

constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE OBJECT_INHERIT_ACE = 0x01;
constexpr BYTE CONTAINER_INHERIT_ACE = 0x02;
constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x04;
constexpr BYTE INHERIT_ONLY_ACE = 0x08;
constexpr BYTE VALID_INHERIT_FLAGS = 0x0F;

constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PRESENT = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_DEFAULTED = 0x0008;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_SELF_RELATIVE = 0x8000;

constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x1;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x2;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;
constexpr SECURITY_INFORMATION SACL_SECURITY_INFORMATION = 0x8;

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
// GENERIC_READ and GENERIC_WRITE come with device access.

DWORD GetSidLengthRequired(BYTE subAuthorityCount);
DWORD GetLengthSid(PSID sid);
BOOL IsValidSid(PSID sid);

// Looks `accountName` up on the local system (`systemName` must be null).
// Fails with ERROR_INSUFFICIENT_BUFFER and the sizes needed in *sidSize and
// *domainSize (characters with the terminating zero) when either buffer is
// too small, with ERROR_NONE_MAPPED for an unknown name.
BOOL LookupAccountNameA(LPCSTR systemName, LPCSTR accountName, PSID sid, LPDWORD sidSize,
                        LPSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use);

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision);
BOOL AddAccessAllowedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, ACCESS_MASK accessMask,
                           PSID sid);
BOOL IsValidAcl(PACL acl);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                               BOOL daclDefaulted);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor);

namespace keld::win32 {

// One name the local system resolves, with its SID in text form ("S-1-5-18").
struct AccountName {
  std::string name;
  std::string sid;
  std::string domain;
  SID_NAME_USE use = SidTypeAlias;
};

// The accounts that LookupAccountNameA knows: by default the well-known
// groups and accounts ("Administrators", "System", "Users", "Everyone", ...).
// $KELD_ACCOUNTS, when set, replaces the table: entries "Name=S-1-5-32-544"
// separated by ';' (for example "Administratoren=S-1-5-32-544;System=S-1-5-18").
// setAccountNames replaces it for the process; an empty optional goes back
// to the environment and the defaults.
void setAccountNames(std::optional<std::vector<AccountName>> accounts);

// Binary SID from its text form; empty for a malformed text.
std::vector<std::uint8_t> sidFromText(std::string_view text);
std::string sidToText(std::span<const std::uint8_t> sid);

// Well-known SIDs that identities and the default key security use.
inline constexpr std::string_view kSidSystem = "S-1-5-18";
inline constexpr std::string_view kSidAdministrators = "S-1-5-32-544";
inline constexpr std::string_view kSidUsers = "S-1-5-32-545";
inline constexpr std::string_view kSidEveryone = "S-1-1-0";
inline constexpr std::string_view kSidAuthenticatedUsers = "S-1-5-11";

// A self-relative descriptor (one block: header, then the DACL) from an
// absolute one; empty when the descriptor is invalid.
std::vector<std::uint8_t> selfRelativeDescriptor(PSECURITY_DESCRIPTOR descriptor);

// One ACE of a DACL as the access check sees it.
struct AccessEntry {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::vector<std::uint8_t> sid;
};

// The DACL of a self-relative descriptor: nullopt when the descriptor has
// no DACL (everyone may do anything), otherwise its entries in order.
std::optional<std::vector<AccessEntry>> daclEntries(std::span<const std::uint8_t> selfRelative);

// A self-relative descriptor whose DACL holds `entries`.
std::vector<std::uint8_t> descriptorWithDacl(std::span<const AccessEntry> entries);

}  // namespace keld::win32
