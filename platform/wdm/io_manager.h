#pragma once
// The I/O manager as a driver sees it: driver and device objects, I/O
// request packets with their stack locations, and the calls that create
// devices, stack them, pass requests down and complete them.

#include "platform/wdm/ke_sync.h"
#include "platform/wdm/ntstatus.h"
#include "platform/wdm/power_types.h"
#include "platform/wdm/resources.h"
#include "platform/wdm/wdm_types.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PIRP = IRP*;

// Major functions.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Plug-and-play minor functions.
constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Power minor functions.
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

// Device object flags.
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;

using DEVICE_TYPE = ULONG;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
constexpr DEVICE_TYPE FILE_DEVICE_SMARTCARD = 0x31;
constexpr DEVICE_TYPE FILE_DEVICE_BUS_EXTENDER = 0x2A;

constexpr CCHAR IO_NO_INCREMENT = 0;

// Control bits of a stack location.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

using DRIVER_DISPATCH = NTSTATUS(PDEVICE_OBJECT deviceObject, PIRP irp);
using PDRIVER_DISPATCH = DRIVER_DISPATCH*;
using DRIVER_ADD_DEVICE = NTSTATUS(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
using PDRIVER_ADD_DEVICE = DRIVER_ADD_DEVICE*;
using DRIVER_UNLOAD = VOID(PDRIVER_OBJECT driverObject);
using PDRIVER_UNLOAD = DRIVER_UNLOAD*;
using DRIVER_INITIALIZE = NTSTATUS(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;
using IO_COMPLETION_ROUTINE = NTSTATUS(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
using PIO_COMPLETION_ROUTINE = IO_COMPLETION_ROUTINE*;

struct DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
};
using PDRIVER_EXTENSION = DRIVER_EXTENSION*;

struct DRIVER_OBJECT {
  PDEVICE_OBJECT DeviceObject;  // first of the driver's devices
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// The stand-in's own bookkeeping of a device object; drivers never look inside.
struct DEVOBJ_EXTENSION;
using PDEVOBJ_EXTENSION = DEVOBJ_EXTENSION*;

struct DEVICE_OBJECT {
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;      // next device of the same driver
  PDEVICE_OBJECT AttachedDevice;  // device attached above this one
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;  // zero-filled, of the size given to IoCreateDevice
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;  // stack locations a request for this stack needs
  PDEVOBJ_EXTENSION DeviceObjectExtension;
};

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PCM_RESOURCE_LIST AllocatedResources;
      PCM_RESOURCE_LIST AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      POWER_ACTION ShutdownType;
    } Power;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

// A request. Its stack locations follow it in memory; the top driver's
// location is the last one, and each IoCallDriver moves one step down.
struct IRP {
  IO_STATUS_BLOCK IoStatus;
  union {
    PVOID SystemBuffer;  // buffered I/O: input on the way down, output on the way up
  } AssociatedIrp;
  BOOLEAN Cancel;
  BOOLEAN PendingReturned;
  CCHAR StackCount;
  CCHAR CurrentLocation;  // 1..StackCount; StackCount + 1 before the first IoCallDriver
  PKEVENT UserEvent;  // set once the last stack location has completed
  struct {
    struct {
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
};

// Creates a device object with a zero-filled extension. A name, when given,
// goes into the object namespace (STATUS_OBJECT_NAME_COLLISION when taken).
// The device starts with DO_DEVICE_INITIALIZING set.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject);
// Removes the device from the namespace; the object itself lives on until the
// last request or open handle on it is gone.
VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject);
// Puts `sourceDevice` on top of the stack that `targetDevice` belongs to and
// returns the device it now sits on, or nullptr when the stack is gone.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice);
// Detaches whatever device is attached above `targetDevice`.
VOID IoDetachDevice(PDEVICE_OBJECT targetDevice);
// Top of the stack `deviceObject` belongs to.
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject);

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
VOID IoFreeIrp(PIRP irp);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }

// The next driver gets this driver's stack location as it is.
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}

// Makes the next location a copy of this one, without this driver's completion routine.
VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp);

// Occupies the next stack location without calling a driver, for the one
// who built the request.
VOID IoSetNextIrpStackLocation(PIRP irp);

VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE completionRoutine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel);

inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

// Moves the request one stack location down and calls the dispatch routine
// of `deviceObject` for its major function; returns what that returns.
NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);

// Runs the completion routines from the completing driver's location up the
// stack; a routine that returns STATUS_MORE_PROCESSING_REQUIRED stops the
// walk, and a later IoCompleteRequest by its driver goes on from there. When
// the walk passes the top location, the request's UserEvent is set.
VOID IoCompleteRequest(PIRP irp, CCHAR priorityBoost);
