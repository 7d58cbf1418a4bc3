/* Keldinst: the installer library of the Keldmatic PC-Card smart-card reader.
 *
 * A setup program calls InstallDriver to take the reader's device-class
 * entry and the driver service over for this system (or to put back what an
 * earlier call replaced), and CheckInstallation to prove the installation
 * through the CT-API library. All calls work on HKEY_LOCAL_MACHINE and need
 * administrator rights; one call at a time per process. */
#ifndef KELDINST_H
#define KELDINST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KELDINST_EXPORT __attribute__((visibility("default")))
#else
#define KELDINST_EXPORT
#endif

/* `mode` non-zero installs, 0 restores; `unused` is ignored.
 * Returns 1 when the reader is known to the system and the service image was
 * handled, 3 when the reader's PC-Card key or the service key could not be
 * opened (and the reader was not confirmed otherwise), 2 otherwise, also
 * when the service reported that the driver failed to start (a message box
 * says so). */
KELDINST_EXPORT int32_t InstallDriver(int32_t unused, int32_t mode);

/* Loads "keldapi", opens terminal 0 on the first reader and sends it one
 * RESET CT. Returns 1 when CT_data returned a non-negative code, else 0. */
KELDINST_EXPORT int32_t CheckInstallation(void);

/* Always -1; the argument is ignored. */
KELDINST_EXPORT int32_t CheckFirmWare(int32_t unused);

/* Saves `size` bytes of `data` as REG_SZ value `valueName` in the subkey
 * `classEntry` of the backup key, creating the subkey. Non-zero when written;
 * 0 when the backup key is missing or a write failed. */
KELDINST_EXPORT int32_t SaveOriginalValue(const char *classEntry, const char *valueName,
                                          const uint8_t *data, uint32_t size);

/* Reads a saved value into `buffer` (at most `capacity` bytes). Non-zero
 * when read; 0 when missing or larger than `capacity`. */
KELDINST_EXPORT int32_t ReadSavedValue(const char *classEntry, const char *valueName,
                                       uint8_t *buffer, uint32_t capacity);

/* Builds the key security: a DACL with one container-inherit ACE of
 * `accessMask` per resolvable name of the null-terminated list, in order.
 * Returns 0, 68 for more than ten names, or the system error code. */
KELDINST_EXPORT uint32_t BuildKeySecurity(const char *const *accountNames, uint32_t accessMask);

/* Replaces the DACL of HKEY_LOCAL_MACHINE\`keyPath` with the built one.
 * Returns 0 or a system error code (non-zero when nothing is built). */
KELDINST_EXPORT uint32_t ApplyKeySecurity(const char *keyPath);

/* Frees the key security. */
KELDINST_EXPORT void ReleaseKeySecurity(void);

#ifdef __cplusplus
}
#endif

#endif /* KELDINST_H */
