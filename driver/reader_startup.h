#pragma once
// What the driver says to the reader by itself: the register-level reset with
// the identification check, its own T=1 commands, and the firmware query.

#include "driver/reader_context.h"

namespace keldrin {

constexpr ULONG RESET_TEXT_CAPACITY = 32;
constexpr USHORT MASTER_FILE = 0x3F00;
constexpr USHORT READER_INFO_FILE = 0x0020;
constexpr UCHAR TAG_FIRMWARE_VERSION = 0x0F;
constexpr UCHAR TAG_FIRMWARE_VARIANT = 0x08;
constexpr ULONG TLV_VALUE_CAPACITY = 16;

// STATUS_SUCCESS, STATUS_DEVICE_BUSY or STATUS_IO_DEVICE_ERROR; the
// configuration command follows every reset, whatever its result.
NTSTATUS ReaderHardwareReset(ReaderContext* Reader);
NTSTATUS ReaderResetTerminal(ReaderContext* Reader);
NTSTATUS ReaderSelectFile(ReaderContext* Reader, USHORT FileId);
// *Length: the capacity of Data on entry, the data length on success.
NTSTATUS ReaderReadBinary(ReaderContext* Reader, USHORT Offset, PUCHAR Data, PULONG Length);
NTSTATUS ReaderConfigure(ReaderContext* Reader, UCHAR P1, const UCHAR* Data, UCHAR DataLength);
// Reads file 0020 and takes the firmware fields out of it.
NTSTATUS ReaderQueryVersion(ReaderContext* Reader);
// Copies at most TLV_VALUE_CAPACITY value bytes of the first record with Tag.
NTSTATUS FindTlv(UCHAR Tag, const UCHAR* Data, ULONG DataLength, PUCHAR ValueLength, PUCHAR Value);

}  // namespace keldrin
