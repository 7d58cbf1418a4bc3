#pragma once
// The driver's device-control codes and the transmit of one caller block.

#include "driver/reader_context.h"

namespace keldrin {

// Completes every request before it returns; nothing is queued.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends Input unchanged (but for the card-reset rewrite) and copies the
// reader's answer to Output; *ByteCount is written on success.
NTSTATUS ReaderTransmit(ReaderContext* Reader, const UCHAR* Input, ULONG InputLength, PUCHAR Output,
                        ULONG OutputLength, PULONG_PTR ByteCount);

}  // namespace keldrin
