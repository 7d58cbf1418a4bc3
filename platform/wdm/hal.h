#pragma once
// HAL services the driver uses: port I/O and processor stalls. A port
// address is the I/O port number cast to a pointer (IoBase + offset); the
// access goes to the port bus (platform/wdm/port_bus.h).

#include "platform/wdm/wdm_types.h"

UCHAR READ_PORT_UCHAR(PUCHAR port);
VOID WRITE_PORT_UCHAR(PUCHAR port, UCHAR value);

// Busy-waits on the shared clock; allowed at any IRQL.
VOID KeStallExecutionProcessor(ULONG microseconds);
