#pragma once
// The register-level exchange with the reader: timed status waits and the
// routines that move one block each way, raw (for the caller's blocks) and
// validating (for the driver's own commands).

#include <cstdint>
#include <span>

#include "driver/reader_context.h"
#include "driver/registers.h"

namespace keldrin {

using namespace keld::reader_registers;

// Answer blocks never exceed this; every receive buffer of the driver has this size.
constexpr ULONG RECEIVE_BUFFER_SIZE = 270;
// Both length registers together.
constexpr ULONG MAXIMUM_BLOCK_LENGTH = 0xFFFF;
constexpr ULONG STATUS_POLL_PAUSE_MS = 5;

inline PUCHAR ReaderPort(const ReaderContext* Reader, std::uint16_t Offset) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Reader->IoBase) + Offset);
}
inline UCHAR ReadRegister(const ReaderContext* Reader, std::uint16_t Offset) {
  return READ_PORT_UCHAR(ReaderPort(Reader, Offset));
}
inline void WriteRegister(const ReaderContext* Reader, std::uint16_t Offset, UCHAR Value) {
  WRITE_PORT_UCHAR(ReaderPort(Reader, Offset), Value);
}

// Pauses; sleeps below DISPATCH_LEVEL, stalls the processor at or above it.
void ReaderDelay(ULONG Milliseconds);

// STATUS_SUCCESS once every bit of Mask is set in REG_STATUS, STATUS_DEVICE_BUSY
// after PollLimit polls (at once, without a read, when the limit is 0).
NTSTATUS ReaderWaitStatus(ReaderContext* Reader, UCHAR Mask);

// Drains one block the reader holds, if any; never waits.
void ReaderFlushInput(ReaderContext* Reader);

// Sends Length bytes unchanged. STATUS_DEVICE_BUSY, writing nothing, while the
// reader holds a block; STATUS_INVALID_PARAMETER for a block the length
// registers cannot announce.
NTSTATUS ReaderSendRaw(ReaderContext* Reader, const UCHAR* Block, ULONG Length, PULONG SentCount);

// Appends the LRC in Buffer[Length] (the buffer must hold Length + 1 bytes) and sends.
NTSTATUS ReaderSendBlock(ReaderContext* Reader, PUCHAR Buffer, ULONG Length, PULONG SentCount);

// Reads the block the reader offers. An announced length above Capacity is
// read and dropped: STATUS_BUFFER_TOO_SMALL. The count is written only for a
// non-empty block.
NTSTATUS ReaderReceiveRaw(ReaderContext* Reader, PUCHAR Buffer, ULONG Capacity, PULONG ReceivedCount);

// ReaderReceiveRaw plus the LRC check, bare status words and card-change
// notifications. Success without a count written means a notification came
// instead of an answer.
NTSTATUS ReaderReceiveBlock(ReaderContext* Reader, PUCHAR Buffer, ULONG Capacity, PULONG ReceivedCount);

// XOR of the bytes; 0 for none.
UCHAR ComputeLrc(std::span<const UCHAR> Bytes);
inline UCHAR ComputeLrc(const UCHAR* Bytes, ULONG Length) { return ComputeLrc({Bytes, Length}); }

}  // namespace keldrin
