#pragma once
// Symbolic links and device interfaces in the object namespace, and the
// counted-string helpers that go with them.

#include "platform/wdm/io_manager.h"
#include "platform/wdm/ntstatus.h"
#include "platform/wdm/wdm_types.h"

// Points the string at the zero-terminated `sourceString`, without copying (nullptr gives an empty string).
VOID RtlInitUnicodeString(PUNICODE_STRING destinationString, PCWSTR sourceString);
// Frees a string the system allocated (IoRegisterDeviceInterface) and empties it.
VOID RtlFreeUnicodeString(PUNICODE_STRING unicodeString);

// STATUS_OBJECT_NAME_COLLISION when the link name is taken.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
// STATUS_OBJECT_NAME_NOT_FOUND when there is no such link.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);

// Registers an interface of class `interfaceClassGuid` on the physical device
// object and hands back its symbolic link name in a string the caller frees
// with RtlFreeUnicodeString. The interface starts disabled; registering the
// same one again gives the same name.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName);
// Enables or disables the interface. Enabling an enabled one returns
// STATUS_OBJECT_NAME_EXISTS; an unknown name STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
