#include "driver/driver_objects.h"
#include "driver/reader_startup.h"

namespace keldrin {
namespace {

// System state PoSetPowerState is told before the device goes to D3.
constexpr SYSTEM_POWER_STATE SLEEP_NOTICE_STATE = PowerSystemSleeping3;

bool IsSleepState(SYSTEM_POWER_STATE State) { return State >= PowerSystemSleeping1 && State <= PowerSystemShutdown; }

NTSTATUS PassDownPower(ReaderExtension* Extension, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS CompletePowerRequest(PIRP Irp, NTSTATUS Status) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Information = 0;
  return CompleteRequest(Irp, Status);
}

void PowerRequestDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                      PVOID Context, PIO_STATUS_BLOCK /*IoStatus*/) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}

// The system request waits here until the device request it asked for is done.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE DeviceState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = DeviceState;
  const NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, state, PowerRequestDone, &event, nullptr);
  if (status != STATUS_PENDING) return CompletePowerRequest(Irp, status);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  if (DeviceState == PowerDeviceD0) {
    POWER_STATE working;
    working.SystemState = PowerSystemWorking;
    PoSetPowerState(DeviceObject, SystemPowerState, working);
  }
  return PassDownPower(ExtensionOf(DeviceObject), Irp);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ReaderExtension* Extension,
                        DEVICE_POWER_STATE State) {
  if (State == PowerDeviceD0) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerUpComplete, Extension, TRUE, TRUE, TRUE);
    return PoCallDriver(Extension->LowerDevice, Irp);
  }
  if (State == PowerDeviceD3) {
    POWER_STATE off;
    off.DeviceState = PowerDeviceD3;
    PoSetPowerState(DeviceObject, DevicePowerState, off);
    Extension->Reader.PowerState = POWER_STATE_D3;
  }
  return PassDownPower(Extension, Irp);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ReaderExtension* Extension,
                        SYSTEM_POWER_STATE State) {
  if (State == PowerSystemWorking || State == PowerSystemMaximum) {
    if (Extension->Reader.PowerState == POWER_STATE_D0) return CompletePowerRequest(Irp, STATUS_SUCCESS);
    return RequestDevicePower(DeviceObject, Irp, PowerDeviceD0);
  }
  if (IsSleepState(State)) {
    if (Extension->Reader.PowerState == POWER_STATE_D3) return PassDownPower(Extension, Irp);
    POWER_STATE notice;
    notice.SystemState = SLEEP_NOTICE_STATE;
    PoSetPowerState(DeviceObject, SystemPowerState, notice);
    return RequestDevicePower(DeviceObject, Irp, PowerDeviceD3);
  }
  return PassDownPower(Extension, Irp);
}

NTSTATUS QueryPower(PIRP Irp, ReaderExtension* Extension, const IO_STACK_LOCATION* Stack) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (Stack->Parameters.Power.Type == SystemPowerState && IsSleepState(Stack->Parameters.Power.State.SystemState)) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
    const LONG stopPending = Extension->StopPending;
    KeReleaseSpinLock(&Extension->StateLock, oldIrql);
    if (stopPending != 0) return CompletePowerRequest(Irp, STATUS_DEVICE_BUSY);
  }
  return PassDownPower(Extension, Irp);
}

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_QUERY_POWER) return QueryPower(Irp, extension, stack);
  if (stack->MinorFunction != IRP_MN_SET_POWER) return PassDownPower(extension, Irp);
  if (stack->Parameters.Power.Type == DevicePowerState)
    return SetDevicePower(DeviceObject, Irp, extension, stack->Parameters.Power.State.DeviceState);
  if (stack->Parameters.Power.Type == SystemPowerState)
    return SetSystemPower(DeviceObject, Irp, extension, stack->Parameters.Power.State.SystemState);
  return PassDownPower(extension, Irp);
}

NTSTATUS PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  ReaderExtension* extension = static_cast<ReaderExtension*>(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  // Runs at up to DISPATCH_LEVEL: the reset's pauses stall there. A transmit
  // that holds the ports keeps them; no port is touched without a started device.
  if (ReaderPortsUsable(extension) && AcquireReader(extension, Irp)) {
    (void)ReaderHardwareReset(&extension->Reader);
    ReleaseReader(extension, Irp);
  }
  extension->Reader.PowerState = POWER_STATE_D0;
  PoSetPowerState(DeviceObject, DevicePowerState, IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
  PoStartNextPowerIrp(Irp);
  return STATUS_SUCCESS;
}

}  // namespace keldrin
