#include "platform/wdm/io_manager.h"

#include <cstring>
#include <new>

#include "platform/wdm/bugcheck.h"
#include "platform/wdm/kernel_state.h"

using keld::wdm::bugCheck;
using namespace keld::wdm::detail;

namespace {

PIO_STACK_LOCATION stackLocations(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

bool shouldInvoke(UCHAR control, NTSTATUS status, BOOLEAN cancel) {
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (cancel && (control & SL_INVOKE_ON_CANCEL));
}

}  // namespace

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
  if (driverObject == nullptr || deviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  std::wstring name = deviceName != nullptr ? fromUnicodeString(deviceName) : std::wstring{};
  if (!name.empty() && name.front() != L'\\') return STATUS_OBJECT_NAME_INVALID;

  auto node = std::make_shared<DeviceNode>();
  if (deviceExtensionSize != 0) {
    const std::size_t units = (deviceExtensionSize + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    node->extension = std::make_unique<std::max_align_t[]>(units);
    std::memset(node->extension.get(), 0, units * sizeof(std::max_align_t));
  }
  DEVICE_OBJECT& device = node->object;
  device.DriverObject = driverObject;
  device.Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
  device.Characteristics = deviceCharacteristics;
  device.DeviceExtension = node->extension.get();
  device.DeviceType = deviceType;
  device.StackSize = 1;
  device.DeviceObjectExtension = &node->bookkeeping;
  node->bookkeeping.name = name;
  node->bookkeeping.exclusive = exclusive != FALSE;

  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (!name.empty()) {
    if (k.deviceNames.contains(name)) return STATUS_OBJECT_NAME_COLLISION;
    k.deviceNames.emplace(name, &device);
  }
  device.NextDevice = driverObject->DeviceObject;
  driverObject->DeviceObject = &device;
  k.devices.emplace(&device, node);
  *deviceObject = &device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
  std::shared_ptr<DeviceNode> node;  // released after the lock, possibly freeing the object
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  node = findDevice(k, deviceObject);
  if (!node) bugCheck("IoDeleteDevice of a device that does not exist");
  DEVOBJ_EXTENSION& book = node->bookkeeping;
  book.deleted = true;
  if (!book.name.empty()) k.deviceNames.erase(book.name);
  for (PDEVICE_OBJECT* link = &deviceObject->DriverObject->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == deviceObject) {
      *link = deviceObject->NextDevice;
      break;
    }
  }
  // Unhook the device from its stack, so that no neighbour keeps a pointer to it.
  if (book.attachedTo != nullptr) {
    book.attachedTo->AttachedDevice = nullptr;
    book.attachedTo = nullptr;
  }
  if (deviceObject->AttachedDevice != nullptr) {
    deviceObject->AttachedDevice->DeviceObjectExtension->attachedTo = nullptr;
    deviceObject->AttachedDevice = nullptr;
  }
  std::erase_if(k.interfaces, [deviceObject](const DeviceInterfaceEntry& e) { return e.physicalDevice == deviceObject; });
  k.devices.erase(deviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (!findDevice(k, sourceDevice) || !findDevice(k, targetDevice)) return nullptr;
  PDEVICE_OBJECT top = topOfStack(targetDevice);
  top->AttachedDevice = sourceDevice;
  sourceDevice->DeviceObjectExtension->attachedTo = top;
  sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT targetDevice) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (PDEVICE_OBJECT upper = targetDevice->AttachedDevice; upper != nullptr) {
    upper->DeviceObjectExtension->attachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
  }
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  std::lock_guard guard(kernel().lock);
  return topOfStack(deviceObject);
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  if (stackSize < 1) return nullptr;
  void* memory = ::operator new(sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
  PIRP irp = new (memory) IRP{};
  PIO_STACK_LOCATION stack = stackLocations(irp);
  for (int i = 0; i < stackSize; ++i) new (&stack[i]) IO_STACK_LOCATION{};
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  return irp;
}

VOID IoFreeIrp(PIRP irp) { ::operator delete(irp); }

VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  if (irp->CurrentLocation <= 1) bugCheck("no stack location left below the current one");
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  *next = *current;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
  next->Control = 0;
}

VOID IoSetNextIrpStackLocation(PIRP irp) {
  if (irp->CurrentLocation <= 1) bugCheck("no stack location left in the request");
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}

VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE completionRoutine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel) {
  if (irp->CurrentLocation <= 1) bugCheck("no stack location left below the current one");
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = completionRoutine;
  next->Context = context;
  next->Control = static_cast<UCHAR>((invokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                     (invokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                                     (invokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (deviceObject == nullptr) bugCheck("IoCallDriver without a device");
  if (irp->CurrentLocation <= 1) bugCheck("IoCallDriver with no stack location left");
  irp->CurrentLocation--;
  PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = deviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) bugCheck("request with an unknown major function");
  return deviceObject->DriverObject->MajorFunction[stack->MajorFunction](deviceObject, irp);
}

VOID IoCompleteRequest(PIRP irp, CCHAR) {
  if (irp->IoStatus.Status == STATUS_PENDING) bugCheck("request completed with STATUS_PENDING");
  if (irp->CurrentLocation > irp->StackCount) bugCheck("request completed twice");
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION finished = IoGetCurrentIrpStackLocation(irp);
    irp->PendingReturned = (finished->Control & SL_PENDING_RETURNED) != 0;
    const PIO_COMPLETION_ROUTINE routine = finished->CompletionRoutine;
    const PVOID context = finished->Context;
    const UCHAR control = finished->Control;
    finished->CompletionRoutine = nullptr;
    finished->Context = nullptr;
    finished->Control = 0;
    IoSkipCurrentIrpStackLocation(irp);
    // The routine belongs to the driver above and gets that driver's device.
    const PDEVICE_OBJECT owner =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    if (routine != nullptr && shouldInvoke(control, irp->IoStatus.Status, irp->Cancel)) {
      if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  // Last touch of the request: its sender may free it as soon as the event is set.
  if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
}
