#pragma once
// The driver's objects and their life: entry point, devices and names,
// open and close, plug and play, power.

#include <array>

#include "driver/reader_context.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace keldrin {

constexpr ULONG MAXIMUM_READERS = 2;

// 1 while the device number is taken. Only AddDevice and removal touch it,
// and the plug-and-play manager never runs them at once.
extern std::array<UCHAR, MAXIMUM_READERS> DeviceSlots;

// The smart-card-reader device interface class.
extern const GUID SMARTCARD_READER_INTERFACE_CLASS;

// Names of device number Slot, e.g. "\Device\KELDCT0" and "\DosDevices\KELDCT_0".
struct DeviceNames {
  std::array<WCHAR, 16> DeviceText{};
  std::array<WCHAR, 21> LinkText{};
  UNICODE_STRING Device{};
  UNICODE_STRING Link{};
};
void BuildDeviceNames(ULONG Slot, DeviceNames& Names);

void ReaderUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS ReaderAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
void RemoveReaderDevice(PDEVICE_OBJECT DeviceObject);

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the request to the lower driver and waits until it comes back; the
// caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS StartReaderDevice(PDEVICE_OBJECT DeviceObject, PCM_FULL_RESOURCE_DESCRIPTOR Resources);
NTSTATUS PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The devices' CardChangeCallback: any insertion or removal sets CardEvent.
void CardChangeNotify(PVOID CallbackContext, BOOLEAN Inserted, ULONG Reserved);

// Shared by the dispatch routines.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS PassDown(ReaderExtension* Extension, PIRP Irp);
// IoSetDeviceInterfaceState on InterfaceLink; nothing to do without one.
NTSTATUS SetInterfaceState(ReaderExtension* Extension, BOOLEAN Enable);

}  // namespace keldrin
