#include <algorithm>
#include <atomic>
#include <span>

#include "driver/driver_objects.h"
#include "driver/port_protocol.h"
#include "driver/reader_startup.h"

namespace keldrin {
namespace {

void SetStopPending(ReaderExtension* Extension, LONG Value) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
  Extension->StopPending = Value;
  KeReleaseSpinLock(&Extension->StateLock, oldIrql);
}

PCM_FULL_RESOURCE_DESCRIPTOR FirstFullDescriptor(PCM_RESOURCE_LIST Resources) {
  if (Resources == nullptr || Resources->Count == 0) return nullptr;
  return &Resources->List[0];
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, ReaderExtension* Extension) {
  Irp->IoStatus.Information = 0;
  NTSTATUS status = ForwardAndWait(Extension->LowerDevice, Irp);
  if (NT_SUCCESS(status)) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    status = StartReaderDevice(DeviceObject,
                               FirstFullDescriptor(stack->Parameters.StartDevice.AllocatedResourcesTranslated));
  }
  return CompleteRequest(Irp, status);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, ReaderExtension* Extension) {
  Irp->IoStatus.Information = 0;
  const PDEVICE_OBJECT lowerDevice = Extension->LowerDevice;
  // The link and the number are gone before the request reaches the lower driver.
  RemoveReaderDevice(DeviceObject);
  return CompleteRequest(Irp, ForwardAndWait(lowerDevice, Irp));
}

NTSTATUS CancelRemove(PIRP Irp, ReaderExtension* Extension) {
  Irp->IoStatus.Information = 0;
  NTSTATUS status = ForwardAndWait(Extension->LowerDevice, Irp);
  if (status == STATUS_SUCCESS) status = SetInterfaceState(Extension, TRUE);
  return CompleteRequest(Irp, status);
}

NTSTATUS CancelStop(PIRP Irp, ReaderExtension* Extension) {
  Irp->IoStatus.Information = 0;
  const NTSTATUS status = ForwardAndWait(Extension->LowerDevice, Irp);
  if (NT_SUCCESS(status)) SetStopPending(Extension, 0);
  return CompleteRequest(Irp, status);
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp, extension);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      (void)SetInterfaceState(extension, FALSE);
      return PassDown(extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp, extension);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return CancelRemove(Irp, extension);
    case IRP_MN_STOP_DEVICE:
      SetDeviceStarted(extension, false);
      return PassDown(extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      SetStopPending(extension, -1);
      return PassDown(extension, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return CancelStop(Irp, extension);
    case IRP_MN_SURPRISE_REMOVAL:
      SetDeviceStarted(extension, false);
      (void)SetInterfaceState(extension, FALSE);
      return PassDown(extension, Irp);
    default:
      return PassDown(extension, Irp);
  }
}

NTSTATUS StartReaderDevice(PDEVICE_OBJECT DeviceObject, PCM_FULL_RESOURCE_DESCRIPTOR Resources) {
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  ReaderContext* reader = &extension->Reader;
  SetDeviceStarted(extension, false);
  // A stop that was queried has either been cancelled or carried out by now;
  // left set, it would refuse every system sleep from here on.
  SetStopPending(extension, 0);

  if (Resources != nullptr) {
    const CM_PARTIAL_RESOURCE_LIST& partial = Resources->PartialResourceList;
    const std::span descriptors(partial.PartialDescriptors);
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor :
         descriptors.first(std::min<std::size_t>(partial.Count, descriptors.size()))) {
      if (descriptor.Type == CmResourceTypePort)
        reader->IoBase = static_cast<ULONG>(descriptor.u.Port.Start.QuadPart & 0xFFFFFFFF);
      else if (descriptor.Type == CmResourceTypeInterrupt)
        reader->InterruptVector = descriptor.u.Interrupt.Vector;
    }
  }
  if (reader->IoBase == 0) return STATUS_INSUFFICIENT_RESOURCES;

  reader->ConfigP1 = 1;
  std::atomic_ref<ULONG>(reader->PollLimit).store(DEFAULT_POLL_LIMIT);
  if (const NTSTATUS status = ReaderHardwareReset(reader); status != STATUS_SUCCESS) return status;
  if (const NTSTATUS status = ReaderResetTerminal(reader); status != STATUS_SUCCESS) return status;
  ReaderFlushInput(reader);
  (void)ReaderQueryVersion(reader);

  NTSTATUS status = SetInterfaceState(extension, TRUE);
  if (status == STATUS_OBJECT_NAME_EXISTS) status = STATUS_SUCCESS;
  if (NT_SUCCESS(status)) SetDeviceStarted(extension, true);
  return status;
}

}  // namespace keldrin
