#include "platform/win32/security.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace keld::win32 {
namespace {

constexpr std::size_t kSidHeader = 8;
constexpr BYTE kMaxSubAuthorities = 15;

const std::vector<AccountName>& defaultAccounts() {
  static const std::vector<AccountName> accounts = {
      {"Administrators", std::string(kSidAdministrators), "BUILTIN", SidTypeAlias},
      {"Users", std::string(kSidUsers), "BUILTIN", SidTypeAlias},
      {"Guests", "S-1-5-32-546", "BUILTIN", SidTypeAlias},
      {"Power Users", "S-1-5-32-547", "BUILTIN", SidTypeAlias},
      {"System", std::string(kSidSystem), "NT AUTHORITY", SidTypeWellKnownGroup},
      {"Local Service", "S-1-5-19", "NT AUTHORITY", SidTypeWellKnownGroup},
      {"Network Service", "S-1-5-20", "NT AUTHORITY", SidTypeWellKnownGroup},
      {"Authenticated Users", std::string(kSidAuthenticatedUsers), "NT AUTHORITY",
       SidTypeWellKnownGroup},
      {"Everyone", std::string(kSidEveryone), "", SidTypeWellKnownGroup},
      {"Creator Owner", "S-1-3-0", "", SidTypeWellKnownGroup},
  };
  return accounts;
}

struct AccountTable {
  std::mutex lock;
  std::optional<std::vector<AccountName>> override;
};

AccountTable& accountTable() {
  static AccountTable t;
  return t;
}

std::vector<AccountName> accountsFromEnvironment(std::string_view text) {
  std::vector<AccountName> accounts;
  while (!text.empty()) {
    const auto end = text.find(';');
    const std::string_view entry = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    AccountName account{std::string(entry.substr(0, equals)), std::string(entry.substr(equals + 1)),
                        "", SidTypeAlias};
    if (sidFromText(account.sid).empty()) continue;
    accounts.push_back(std::move(account));
  }
  return accounts;
}

std::vector<AccountName> currentAccounts() {
  AccountTable& t = accountTable();
  std::lock_guard guard(t.lock);
  if (t.override) return *t.override;
  if (const char* text = std::getenv("KELD_ACCOUNTS")) return accountsFromEnvironment(text);
  return defaultAccounts();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::span<const std::uint8_t> sidBytes(const void* sid) {
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return {bytes, kSidHeader + 4u * bytes[1]};
}

void putWord(std::uint8_t* at, WORD value) { std::memcpy(at, &value, sizeof value); }
void putDword(std::uint8_t* at, DWORD value) { std::memcpy(at, &value, sizeof value); }
WORD getWord(const std::uint8_t* at) {
  WORD value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
DWORD getDword(const std::uint8_t* at) {
  DWORD value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Walks the ACEs of an ACL held in `acl` (at least its AclSize bytes);
// false when an ACE runs past the list or is malformed.
template <typename Visit>
bool walkAces(std::span<const std::uint8_t> acl, Visit visit) {
  if (acl.size() < sizeof(ACL)) return false;
  const WORD size = getWord(acl.data() + 2);
  const WORD count = getWord(acl.data() + 4);
  if (size < sizeof(ACL) || size > acl.size()) return false;
  std::size_t offset = sizeof(ACL);
  for (WORD i = 0; i < count; ++i) {
    if (offset + sizeof(ACE_HEADER) > size) return false;
    const WORD aceSize = getWord(acl.data() + offset + 2);
    if (aceSize < sizeof(ACE_HEADER) || offset + aceSize > size) return false;
    if (!visit(acl.subspan(offset, aceSize))) return false;
    offset += aceSize;
  }
  return true;
}

// End of the used part of an ACL (header and its ACEs); 0 when malformed.
std::size_t usedAclBytes(const ACL* acl) {
  std::size_t used = sizeof(ACL);
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(acl), acl->AclSize);
  const bool ok = walkAces(bytes, [&](std::span<const std::uint8_t> ace) {
    used += ace.size();
    return true;
  });
  return ok ? used : 0;
}

bool validAllowedAce(std::span<const std::uint8_t> ace) {
  if (ace[0] != ACCESS_ALLOWED_ACE_TYPE) return true;  // other types are carried, not checked
  if (ace.size() < 8 + kSidHeader) return false;
  const BYTE count = ace[8 + 1];
  return ace[8] == SID_REVISION && count <= kMaxSubAuthorities && 8 + kSidHeader + 4u * count <= ace.size();
}

}  // namespace

void setAccountNames(std::optional<std::vector<AccountName>> accounts) {
  AccountTable& t = accountTable();
  std::lock_guard guard(t.lock);
  t.override = std::move(accounts);
}

std::vector<std::uint8_t> sidFromText(std::string_view text) {
  if (!text.starts_with("S-1-")) return {};
  text.remove_prefix(4);
  std::vector<std::uint64_t> parts;
  while (true) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) return {};
    parts.push_back(value);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (text.empty()) break;
    if (text.front() != '-') return {};
    text.remove_prefix(1);
  }
  const std::size_t subCount = parts.size() - 1;
  if (subCount > kMaxSubAuthorities || parts[0] >= (std::uint64_t{1} << 48)) return {};
  std::vector<std::uint8_t> sid(kSidHeader + 4 * subCount);
  sid[0] = SID_REVISION;
  sid[1] = static_cast<std::uint8_t>(subCount);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<std::uint8_t>(parts[0] >> (8 * (5 - i)));
  for (std::size_t i = 0; i < subCount; ++i) {
    if (parts[i + 1] > 0xFFFFFFFFu) return {};
    putDword(sid.data() + kSidHeader + 4 * i, static_cast<DWORD>(parts[i + 1]));
  }
  return sid;
}

std::string sidToText(std::span<const std::uint8_t> sid) {
  if (sid.size() < kSidHeader || sid.size() < kSidHeader + 4u * sid[1]) return {};
  std::uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (std::size_t i = 0; i < sid[1]; ++i) text += "-" + std::to_string(getDword(sid.data() + kSidHeader + 4 * i));
  return text;
}

std::vector<std::uint8_t> selfRelativeDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  if (!IsValidSecurityDescriptor(descriptor)) return {};
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  // Revision, Sbz1, Control, then the offsets of owner, group, SACL and DACL.
  std::vector<std::uint8_t> out(20, 0);
  out[0] = sd->Revision;
  SECURITY_DESCRIPTOR_CONTROL control = SE_SELF_RELATIVE;
  if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl) {
    control |= SE_DACL_PRESENT;
    const std::size_t used = usedAclBytes(sd->Dacl);
    const auto* acl = reinterpret_cast<const std::uint8_t*>(sd->Dacl);
    putDword(out.data() + 16, static_cast<DWORD>(out.size()));
    out.insert(out.end(), acl, acl + used);
    putWord(out.data() + 20 + 2, static_cast<WORD>(used));  // the copy holds exactly its ACEs
  }
  putWord(out.data() + 2, control);
  return out;
}

std::optional<std::vector<AccessEntry>> daclEntries(std::span<const std::uint8_t> sd) {
  if (sd.size() < 20) return std::nullopt;
  const WORD control = getWord(sd.data() + 2);
  const DWORD offset = getDword(sd.data() + 16);
  if (!(control & SE_DACL_PRESENT) || offset == 0 || offset >= sd.size()) return std::nullopt;
  std::vector<AccessEntry> entries;
  walkAces(sd.subspan(offset), [&](std::span<const std::uint8_t> ace) {
    if (ace.size() < 8) return false;
    AccessEntry entry{ace[0], ace[1], getDword(ace.data() + 4), {ace.begin() + 8, ace.end()}};
    entries.push_back(std::move(entry));
    return true;
  });
  return entries;
}

std::vector<std::uint8_t> descriptorWithDacl(std::span<const AccessEntry> entries) {
  std::vector<std::uint8_t> out(20, 0);
  out[0] = SECURITY_DESCRIPTOR_REVISION;
  putWord(out.data() + 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  putDword(out.data() + 16, 20);
  std::size_t size = sizeof(ACL);
  for (const AccessEntry& e : entries) size += 8 + e.sid.size();
  out.resize(20 + sizeof(ACL));
  out[20] = ACL_REVISION;
  putWord(out.data() + 22, static_cast<WORD>(size));
  putWord(out.data() + 24, static_cast<WORD>(entries.size()));
  for (const AccessEntry& e : entries) {
    const std::size_t at = out.size();
    out.resize(at + 8 + e.sid.size());
    out[at] = e.type;
    out[at + 1] = e.flags;
    putWord(out.data() + at + 2, static_cast<WORD>(8 + e.sid.size()));
    putDword(out.data() + at + 4, e.mask);
    std::copy(e.sid.begin(), e.sid.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 8));
  }
  return out;
}

}  // namespace keld::win32

using namespace keld::win32;

DWORD GetSidLengthRequired(BYTE subAuthorityCount) {
  return static_cast<DWORD>(kSidHeader + 4u * subAuthorityCount);
}

BOOL IsValidSid(PSID sid) {
  if (!sid) return FALSE;
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return bytes[0] == SID_REVISION && bytes[1] <= kMaxSubAuthorities;
}

DWORD GetLengthSid(PSID sid) {
  if (!IsValidSid(sid)) return 0;
  return static_cast<DWORD>(sidBytes(sid).size());
}

BOOL LookupAccountNameA(LPCSTR systemName, LPCSTR accountName, PSID sid, LPDWORD sidSize,
                        LPSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use) {
  if (systemName != nullptr || accountName == nullptr || sidSize == nullptr || domainSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string_view name = accountName;
  const std::vector<AccountName> accounts = currentAccounts();
  const AccountName* found = nullptr;
  for (const AccountName& account : accounts) {
    // Both "System" and "NT AUTHORITY\System" name the account.
    const bool qualified = !account.domain.empty() && name.size() > account.domain.size() + 1 &&
                           name[account.domain.size()] == '\\' &&
                           equalsIgnoringCase(name.substr(0, account.domain.size()), account.domain);
    const std::string_view bare = qualified ? name.substr(account.domain.size() + 1) : name;
    if (equalsIgnoringCase(bare, account.name)) {
      found = &account;
      break;
    }
  }
  if (!found) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const std::vector<std::uint8_t> binary = sidFromText(found->sid);
  const DWORD domainNeeded = static_cast<DWORD>(found->domain.size() + 1);
  if (*sidSize < binary.size() || *domainSize < domainNeeded || !sid || !referencedDomainName) {
    *sidSize = static_cast<DWORD>(binary.size());
    *domainSize = domainNeeded;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(sid, binary.data(), binary.size());
  std::memcpy(referencedDomainName, found->domain.c_str(), domainNeeded);
  *sidSize = static_cast<DWORD>(binary.size());
  *domainSize = domainNeeded - 1;
  if (use) *use = found->use;
  return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (!descriptor || revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  *sd = SECURITY_DESCRIPTOR{static_cast<BYTE>(revision), 0, 0, nullptr, nullptr, nullptr, nullptr};
  return TRUE;
}

BOOL InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision) {
  if (!acl || aclLength < sizeof(ACL) || aclLength > 0xFFFF || (aclLength % 4) != 0 ||
      aclRevision != ACL_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *acl = ACL{static_cast<BYTE>(aclRevision), 0, static_cast<WORD>(aclLength), 0, 0};
  return TRUE;
}

BOOL AddAccessAllowedAceEx(PACL acl, DWORD aceRevision, DWORD aceFlags, ACCESS_MASK accessMask, PSID sid) {
  if (!acl || !IsValidSid(sid) || aceRevision != ACL_REVISION || (aceFlags & ~DWORD{VALID_INHERIT_FLAGS})) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::size_t used = usedAclBytes(acl);
  if (used == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::span<const std::uint8_t> sidData = sidBytes(sid);
  const std::size_t aceSize = 8 + sidData.size();
  if (used + aceSize > acl->AclSize) {
    SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return FALSE;
  }
  auto* at = reinterpret_cast<std::uint8_t*>(acl) + used;
  at[0] = ACCESS_ALLOWED_ACE_TYPE;
  at[1] = static_cast<BYTE>(aceFlags);
  putWord(at + 2, static_cast<WORD>(aceSize));
  putDword(at + 4, accessMask);
  std::memcpy(at + 8, sidData.data(), sidData.size());
  ++acl->AceCount;
  return TRUE;
}

BOOL IsValidAcl(PACL acl) {
  if (!acl || acl->AclRevision != ACL_REVISION || acl->AclSize < sizeof(ACL)) return FALSE;
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(acl), acl->AclSize);
  return walkAces(bytes, validAllowedAce) ? TRUE : FALSE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                               BOOL daclDefaulted) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (daclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    if (daclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = dacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl && !IsValidAcl(sd->Dacl)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  return TRUE;
}
