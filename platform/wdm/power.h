#pragma once
// The power manager as a driver sees it.

#include "platform/wdm/io_manager.h"
#include "platform/wdm/power_types.h"

using REQUEST_POWER_COMPLETE = VOID(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                    PVOID context, PIO_STATUS_BLOCK ioStatus);
using PREQUEST_POWER_COMPLETE = REQUEST_POWER_COMPLETE*;

// Passes a power request down, as IoCallDriver does for other requests.
NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);

// Lets the next power request of the device through. Power requests are not
// queued here, so there is nothing to release.
VOID PoStartNextPowerIrp(PIRP irp);

// Builds a power request for the top of the stack `deviceObject` belongs to and
// sends it; `completionFunction` runs once it has completed, after which the
// request is freed. Returns STATUS_PENDING once the request was sent.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp);

// Records the power state of the device; returns the one it replaces.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);
