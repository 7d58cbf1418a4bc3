#include "platform/wdm/power.h"

#include "platform/wdm/kernel_state.h"

using namespace keld::wdm::detail;

namespace {

struct PowerRequest {
  PREQUEST_POWER_COMPLETE completionFunction;
  PVOID context;
  PDEVICE_OBJECT device;
  UCHAR minorFunction;
  POWER_STATE state;
};

// Sits in the requester's own stack location: hands the outcome to the
// requester and ends the request here.
NTSTATUS powerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  if (request->completionFunction != nullptr)
    request->completionFunction(request->device, request->minorFunction, request->state, request->context,
                                &irp->IoStatus);
  delete request;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) { return IoCallDriver(deviceObject, irp); }

VOID PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp) {
  if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<DeviceNode> top;  // keeps the target alive while the request runs
  {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    if (!findDevice(k, deviceObject)) return STATUS_INVALID_PARAMETER;
    top = findDevice(k, topOfStack(deviceObject));
  }
  PIRP request = IoAllocateIrp(static_cast<CCHAR>(top->object.StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(request);
  IoGetCurrentIrpStackLocation(request)->DeviceObject = deviceObject;
  request->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minorFunction;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = powerState;
  IoSetCompletionRoutine(request,
                         powerRequestDone,
                         new PowerRequest{completionFunction, context, deviceObject, minorFunction, powerState},
                         TRUE, TRUE, TRUE);
  if (irp != nullptr) *irp = request;
  PoCallDriver(&top->object, request);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  std::lock_guard guard(kernel().lock);
  DEVOBJ_EXTENSION& book = *deviceObject->DeviceObjectExtension;
  POWER_STATE& recorded = type == DevicePowerState ? book.devicePower : book.systemPower;
  const POWER_STATE previous = recorded;
  recorded = state;
  return previous;
}
