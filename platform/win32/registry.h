#pragma once
// The registry: keys with typed values and a security descriptor each, kept
// in one SQLite database ($KELD_REGISTRY; otherwise /var/lib/keld/registry.db
// for root and $XDG_STATE_HOME/keld/registry.db or
// ~/.local/state/keld/registry.db for others). Every change is one
// transaction. Key and value names compare without regard to case and keep
// the case they were created with. Opens are checked against the caller's
// identity: root is the system account and an administrator, other users are
// ordinary users ($KELD_IDENTITY=system|administrator|user overrides, and
// tests call setRegistryIdentity). A key without security of its own takes
// the inheritable entries of its nearest ancestor that has one; the roots
// give administrators and the system full access and users read access.
// Reg* calls return their error code and leave GetLastError alone.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/security.h"
#include "platform/win32/win32_types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LPBYTE = BYTE*;
using REGSAM = ACCESS_MASK;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM KEY_WRITE = STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM desired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                     LPDWORD disposition);
// Subkeys in the order of their names, compared without regard to case.
// *nameSize: capacity in characters with the terminating zero on entry, the
// name's length without it on return; ERROR_MORE_DATA when it does not fit.
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classSize, FILETIME* lastWriteTime);
// ERROR_MORE_DATA (with the size needed in *dataSize) when the value is
// larger than the buffer; a null `data` asks for the size only.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
// Only a subkey without subkeys of its own can be deleted (ERROR_ACCESS_DENIED otherwise).
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegCloseKey(HKEY key);
// Only the DACL part is stored; the handle needs WRITE_DAC.
LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);

namespace keld::win32 {

enum class RegistryIdentity { System, Administrator, User };

// The identity whose rights every later open is checked against; an empty
// optional goes back to $KELD_IDENTITY and the process's user.
void setRegistryIdentity(std::optional<RegistryIdentity> identity);
// Uses the database at `path` from now on (handles already open become
// invalid); an empty path goes back to $KELD_REGISTRY and the default.
void useRegistryDatabase(const std::string& path);
// Path of the database the store uses (or will use).
std::string registryDatabasePath();

// Whole-store access for import and export. These run as the store's owner:
// the database file's own permissions guard them, not the keys' DACLs.
struct RegistryValue {
  std::string name;  // empty: the key's default value
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> data;
};

struct RegistryKeyDump {
  std::string path;  // full path with its root, "HKEY_LOCAL_MACHINE\SOFTWARE\..."
  std::vector<RegistryValue> values;
};

struct RegistryChange {
  enum class Kind { CreateKey, DeleteTree, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  std::string path;   // full path with its root
  RegistryValue value;  // SetValue: name, type, data; DeleteValue: name
};

// Applies all changes in one transaction: all of them or none. Returns
// ERROR_SUCCESS or the error of the first change that failed (a path whose
// root is not a predefined key: ERROR_BADKEY).
LONG applyRegistryChanges(std::span<const RegistryChange> changes);

// The key at `path` and everything below it, parents before children and
// siblings in the order of their names; values in the order they were first
// written. An empty path dumps every root. nullopt when the key is missing.
std::optional<std::vector<RegistryKeyDump>> dumpRegistry(std::string_view path);

// The stored descriptor of a key (self-relative), empty when the key has
// none of its own; nullopt when the key is missing.
std::optional<std::vector<std::uint8_t>> keySecurity(std::string_view path);

}  // namespace keld::win32
