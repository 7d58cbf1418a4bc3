// The key security: one descriptor whose DACL gives a list of accounts a
// fixed access, written onto registry keys in place of their access lists.
// One process-wide object, used within one InstallDriver call at a time.

#include <memory>
#include <string>
#include <vector>

#include "installer/keldinst.h"
#include "installer/registry_values.h"
#include "platform/win32/security.h"

namespace {

constexpr std::size_t kMaxNames = 10;
constexpr DWORD kDomainCapacity = 80;

struct KeySecurity {
  std::unique_ptr<std::uint32_t[]> acl;  // 4-byte aligned block of the DACL
  std::unique_ptr<SECURITY_DESCRIPTOR> descriptor;
  bool built = false;
};

KeySecurity keySecurity;

// The SID of `name`, or nothing with the lookup's error in `error`.
std::vector<std::uint8_t> lookupSid(const char* name, DWORD& error) {
  std::vector<std::uint8_t> sid(GetSidLengthRequired(2));
  while (true) {
    DWORD sidSize = static_cast<DWORD>(sid.size());
    char domain[kDomainCapacity];
    DWORD domainSize = kDomainCapacity;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, name, sid.data(), &sidSize, domain, &domainSize, &use)) {
      sid.resize(GetLengthSid(sid.data()));
      return sid;
    }
    error = GetLastError();
    // Only a larger SID buffer can help; a domain name longer than its
    // buffer would otherwise ask for the same sizes forever.
    if (error != ERROR_INSUFFICIENT_BUFFER || sidSize <= sid.size()) return {};
    sid.resize(sidSize);
  }
}

}  // namespace

uint32_t BuildKeySecurity(const char* const* accountNames, uint32_t accessMask) {
  ReleaseKeySecurity();  // a second build must not leave the first one's blocks behind
  std::size_t count = 0;
  while (accountNames && accountNames[count]) ++count;
  if (count > kMaxNames) return ERROR_TOO_MANY_NAMES;

  std::vector<std::vector<std::uint8_t>> sids;
  DWORD lastError = ERROR_NONE_MAPPED;  // also the answer for an empty list
  DWORD aclSize = sizeof(ACL);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<std::uint8_t> sid = lookupSid(accountNames[i], lastError);
    if (sid.empty()) continue;  // an unresolvable name gets no ACE
    aclSize += 8 + GetLengthSid(sid.data());
    sids.push_back(std::move(sid));
  }
  if (sids.empty()) return lastError;

  keySecurity.acl.reset(new (std::nothrow) std::uint32_t[(aclSize + 3) / 4]);
  keySecurity.descriptor.reset(new (std::nothrow) SECURITY_DESCRIPTOR);
  if (!keySecurity.acl || !keySecurity.descriptor) return ERROR_NOT_ENOUGH_MEMORY;
  auto* acl = reinterpret_cast<PACL>(keySecurity.acl.get());
  SECURITY_DESCRIPTOR* descriptor = keySecurity.descriptor.get();

  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) return GetLastError();
  if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return GetLastError();
  for (std::vector<std::uint8_t>& sid : sids)
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, accessMask, sid.data())) return GetLastError();
  if (!IsValidAcl(acl)) return GetLastError();
  if (!SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) return GetLastError();
  if (!IsValidSecurityDescriptor(descriptor)) return GetLastError();
  keySecurity.built = true;
  return ERROR_SUCCESS;
}

uint32_t ApplyKeySecurity(const char* keyPath) {
  if (!keySecurity.built || !keyPath) return ERROR_INVALID_SECURITY_DESCR;
  keldinst::OpenedKey key;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, WRITE_DAC, key.out());
  if (opened != ERROR_SUCCESS) return static_cast<uint32_t>(opened);
  return static_cast<uint32_t>(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, keySecurity.descriptor.get()));
}

void ReleaseKeySecurity(void) {
  keySecurity.descriptor.reset();
  keySecurity.acl.reset();
  keySecurity.built = false;
}
