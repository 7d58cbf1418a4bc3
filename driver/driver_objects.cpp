#include "driver/driver_objects.h"

#include <algorithm>
#include <atomic>

#include "driver/control_dispatch.h"
#include "driver/port_protocol.h"

extern "C" [[gnu::visibility("default")]] NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                PUNICODE_STRING /*RegistryPath*/) {
  using namespace keldrin;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverUnload = ReaderUnload;
  DriverObject->DriverExtension->AddDevice = ReaderAddDevice;
  return STATUS_SUCCESS;
}

namespace keldrin {
namespace {

constexpr WCHAR DEVICE_NAME_TEMPLATE[] = L"\\Device\\KELDCTX";
constexpr WCHAR LINK_NAME_TEMPLATE[] = L"\\DosDevices\\KELDCT_X";

template <std::size_t N>
void FillName(const WCHAR (&Template)[N], ULONG Slot, std::array<WCHAR, N>& Text, UNICODE_STRING& Name) {
  std::copy(std::begin(Template), std::end(Template), Text.begin());
  Text[N - 2] = static_cast<WCHAR>(L'0' + Slot);
  RtlInitUnicodeString(&Name, Text.data());
}

bool HasInterfaceLink(const ReaderExtension* Extension) {
  return Extension->InterfaceLink.Buffer != nullptr && Extension->InterfaceLink.Length != 0;
}

}  // namespace

std::array<UCHAR, MAXIMUM_READERS> DeviceSlots{};

const GUID SMARTCARD_READER_INTERFACE_CLASS = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

void BuildDeviceNames(ULONG Slot, DeviceNames& Names) {
  static_assert(sizeof(DEVICE_NAME_TEMPLATE) / sizeof(WCHAR) == std::tuple_size_v<decltype(Names.DeviceText)>);
  static_assert(sizeof(LINK_NAME_TEMPLATE) / sizeof(WCHAR) == std::tuple_size_v<decltype(Names.LinkText)>);
  FillName(DEVICE_NAME_TEMPLATE, Slot, Names.DeviceText, Names.Device);
  FillName(LINK_NAME_TEMPLATE, Slot, Names.LinkText, Names.Link);
}

void ReaderUnload(PDRIVER_OBJECT /*DriverObject*/) {}

NTSTATUS ReaderAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  const auto freeSlot = std::find(DeviceSlots.begin(), DeviceSlots.end(), 0);
  if (freeSlot == DeviceSlots.end()) return STATUS_INSUFFICIENT_RESOURCES;
  *freeSlot = 1;
  const ULONG slot = static_cast<ULONG>(freeSlot - DeviceSlots.begin());

  DeviceNames names;
  BuildDeviceNames(slot, names);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ReaderExtension), &names.Device, FILE_DEVICE_SMARTCARD, 0,
                                   TRUE, &device);
  if (!NT_SUCCESS(status)) {
    DeviceSlots[slot] = 0;
    return status;
  }

  ReaderExtension* extension = ExtensionOf(device);
  extension->SlotIndex = slot;
  KeInitializeSpinLock(&extension->StateLock);
  extension->Reader.PowerState = POWER_STATE_D0;
  extension->Reader.CardChangeCallback = CardChangeNotify;
  extension->Reader.CallbackContext = device;

  extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (extension->LowerDevice == nullptr) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    // Without an interface the device still serves its DOS device link.
    if (!NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &SMARTCARD_READER_INTERFACE_CLASS, nullptr,
                                              &extension->InterfaceLink)))
      extension->InterfaceLink = UNICODE_STRING{};
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&names.Link, &names.Device);
    if (NT_SUCCESS(status)) {
      extension->LinkCreated = 1;
      return STATUS_SUCCESS;
    }
  }
  RemoveReaderDevice(device);
  return status;
}

void RemoveReaderDevice(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) return;
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  SetDeviceStarted(extension, false);
  if (HasInterfaceLink(extension)) (void)IoSetDeviceInterfaceState(&extension->InterfaceLink, FALSE);
  DeviceSlots[extension->SlotIndex] = 0;
  if (extension->LinkCreated != 0) {
    DeviceNames names;
    BuildDeviceNames(extension->SlotIndex, names);
    (void)IoDeleteSymbolicLink(&names.Link);
    extension->LinkCreated = 0;
  }
  if (HasInterfaceLink(extension)) {
    RtlFreeUnicodeString(&extension->InterfaceLink);
    extension->InterfaceLink = UNICODE_STRING{};
  }
  if (extension->LowerDevice != nullptr) {
    IoDetachDevice(extension->LowerDevice);
    extension->LowerDevice = nullptr;
  }
  IoDeleteDevice(DeviceObject);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassDown(ReaderExtension* Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS SetInterfaceState(ReaderExtension* Extension, BOOLEAN Enable) {
  if (!HasInterfaceLink(Extension)) return STATUS_SUCCESS;
  return IoSetDeviceInterfaceState(&Extension->InterfaceLink, Enable);
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
    // Opening drops any block the reader still holds, which needs a started device.
    if (!ReaderPortsUsable(extension)) {
      status = STATUS_DEVICE_NOT_READY;
    } else if (extension->IsOpen == 0) {
      extension->IsOpen = 1;
      ReaderFlushInput(&extension->Reader);
    }
  } else {
    if (ReaderPortsUsable(extension)) ReaderFlushInput(&extension->Reader);
    extension->IsOpen = 0;
  }
  return CompleteRequest(Irp, status);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return PassDown(ExtensionOf(DeviceObject), Irp);
}

void CardChangeNotify(PVOID CallbackContext, BOOLEAN /*Inserted*/, ULONG /*Reserved*/) {
  ReaderExtension* extension = ExtensionOf(static_cast<PDEVICE_OBJECT>(CallbackContext));
  std::atomic_ref<UCHAR>(extension->CardEvent).store(1);
}

namespace {

NTSTATUS ForwardCompletion(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context) {
  if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  // The request comes back to the dispatch routine, which completes it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const bool power = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = power ? PoCallDriver(LowerDevice, Irp) : IoCallDriver(LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

}  // namespace keldrin
