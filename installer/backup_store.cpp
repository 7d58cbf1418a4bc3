// Saved copies of the values that InstallDriver replaces, per class entry
// under the backup key. The backup key itself is never created here.

#include "installer/backup_store.h"
#include "installer/keldinst.h"
#include "installer/registry_values.h"

using namespace keldinst;

int32_t SaveOriginalValue(const char* classEntry, const char* valueName, const uint8_t* data, uint32_t size) {
  OpenedKey backup;
  if (!openKey(backup, HKEY_LOCAL_MACHINE, kBackupKey, KEY_ALL_ACCESS)) return 0;
  OpenedKey entry;
  if (RegCreateKeyExA(backup.get(), classEntry, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      entry.out(), nullptr) != ERROR_SUCCESS)
    return 0;
  return RegSetValueExA(entry.get(), valueName, 0, REG_SZ, data, size) == ERROR_SUCCESS ? 1 : 0;
}

int32_t ReadSavedValue(const char* classEntry, const char* valueName, uint8_t* buffer, uint32_t capacity) {
  OpenedKey backup;
  if (!openKey(backup, HKEY_LOCAL_MACHINE, kBackupKey, KEY_READ)) return 0;
  OpenedKey entry;
  if (!openKey(entry, backup.get(), classEntry, KEY_READ)) return 0;
  DWORD size = capacity;
  return RegQueryValueExA(entry.get(), valueName, nullptr, nullptr, buffer, &size) == ERROR_SUCCESS ? 1 : 0;
}
