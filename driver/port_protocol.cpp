#include "driver/port_protocol.h"

#include <atomic>

namespace keldrin {
namespace {

constexpr UCHAR BLOCK_PENDING = SR_DATA_PENDING | SR_READY;
constexpr UCHAR READER_NAD_NIBBLE = 0x01;
constexpr UCHAR NOTIFICATION_NAD = 0x21;
constexpr UCHAR NOTIFICATION_TAG = 0x30;
constexpr ULONG NOTIFICATION_LENGTH = 9;
constexpr UCHAR NOTIFICATION_INSERTED = 0x01;

ULONG CurrentPollLimit(ReaderContext* Reader) {
  // IOCTL_READER_TIMEOUT may replace the limit while a wait runs.
  return std::atomic_ref<ULONG>(Reader->PollLimit).load(std::memory_order_relaxed);
}

ULONG AnnouncedLength(ReaderContext* Reader) {
  const ULONG high = ReadRegister(Reader, REG_LEN_HI);
  const ULONG low = ReadRegister(Reader, REG_LEN_LO);
  return high * 256 + low;
}

void DiscardData(ReaderContext* Reader, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) (void)ReadRegister(Reader, REG_DATA);
}

}  // namespace

void ReaderDelay(ULONG Milliseconds) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    const ULONGLONG stalls = static_cast<ULONGLONG>(Milliseconds) * 100;
    for (ULONGLONG i = 0; i < stalls; ++i) KeStallExecutionProcessor(10);
    return;
  }
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * static_cast<LONGLONG>(Milliseconds);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS ReaderWaitStatus(ReaderContext* Reader, UCHAR Mask) {
  for (ULONG poll = 0; poll < CurrentPollLimit(Reader); ++poll) {
    if ((ReadRegister(Reader, REG_STATUS) & Mask) == Mask) return STATUS_SUCCESS;
    ReaderDelay(STATUS_POLL_PAUSE_MS);
  }
  return STATUS_DEVICE_BUSY;
}

void ReaderFlushInput(ReaderContext* Reader) {
  if ((ReadRegister(Reader, REG_STATUS) & BLOCK_PENDING) != BLOCK_PENDING) return;
  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  DiscardData(Reader, AnnouncedLength(Reader));
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
}

NTSTATUS ReaderSendRaw(ReaderContext* Reader, const UCHAR* Block, ULONG Length, PULONG SentCount) {
  if (Length > MAXIMUM_BLOCK_LENGTH || (Block == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
  if ((ReadRegister(Reader, REG_STATUS) & SR_DATA_PENDING) != 0) return STATUS_DEVICE_BUSY;
  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  // A failed wait leaves CR_TRANSFER; the next transfer or reset rewrites the control register.
  if (const NTSTATUS status = ReaderWaitStatus(Reader, SR_READY); !NT_SUCCESS(status)) return status;
  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  WriteRegister(Reader, REG_LEN_HI, static_cast<UCHAR>(Length >> 8));
  ReaderDelay(1);
  WriteRegister(Reader, REG_LEN_LO, static_cast<UCHAR>(Length & 0xFF));
  ReaderDelay(1);
  for (const UCHAR byte : std::span(Block, Length)) WriteRegister(Reader, REG_DATA, byte);
  if (SentCount != nullptr) *SentCount = Length;
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  return STATUS_SUCCESS;
}

NTSTATUS ReaderSendBlock(ReaderContext* Reader, PUCHAR Buffer, ULONG Length, PULONG SentCount) {
  if (Buffer == nullptr || Length >= MAXIMUM_BLOCK_LENGTH) return STATUS_INVALID_PARAMETER;
  Buffer[Length] = ComputeLrc(Buffer, Length);
  return ReaderSendRaw(Reader, Buffer, Length + 1, SentCount);
}

UCHAR ComputeLrc(std::span<const UCHAR> Bytes) {
  UCHAR lrc = 0;
  for (const UCHAR byte : Bytes) lrc ^= byte;
  return lrc;
}

NTSTATUS ReaderReceiveRaw(ReaderContext* Reader, PUCHAR Buffer, ULONG Capacity, PULONG ReceivedCount) {
  if (const NTSTATUS status = ReaderWaitStatus(Reader, BLOCK_PENDING); !NT_SUCCESS(status)) return status;
  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  const ULONG length = AnnouncedLength(Reader);
  NTSTATUS status = STATUS_SUCCESS;
  if (length > Capacity || (Buffer == nullptr && length != 0)) {
    // The reader would keep the block pending and refuse every later send.
    DiscardData(Reader, length);
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    for (UCHAR& byte : std::span(Buffer, length)) byte = ReadRegister(Reader, REG_DATA);
  }
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  if (NT_SUCCESS(status) && length != 0 && ReceivedCount != nullptr) *ReceivedCount = length;
  return status;
}

NTSTATUS ReaderReceiveBlock(ReaderContext* Reader, PUCHAR Buffer, ULONG Capacity, PULONG ReceivedCount) {
  ULONG count = 0;
  if (const NTSTATUS status = ReaderReceiveRaw(Reader, Buffer, Capacity, &count); !NT_SUCCESS(status))
    return status;
  if (count == 0) return STATUS_SUCCESS;

  const std::span<const UCHAR> block(Buffer, count);
  if (block.back() != ComputeLrc(block.first(count - 1))) return STATUS_DATA_ERROR;

  NTSTATUS result = STATUS_SUCCESS;
  // A bare status word of the reader itself: NAD low nibble 1, LEN 2.
  if (count >= 5 && (block[0] & 0x0F) == READER_NAD_NIBBLE && block[2] == 2) {
    const USHORT statusWord = static_cast<USHORT>(block[3] << 8 | block[4]);
    if (statusWord != 0x9000 && statusWord != 0x9001) {
      count = 0;
      result = statusWord == 0x64A8 ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
    }
  }
  if (count == NOTIFICATION_LENGTH && block[0] == NOTIFICATION_NAD && block[3] == NOTIFICATION_TAG) {
    if (Reader->CardChangeCallback != nullptr && Reader->CallbackContext != nullptr)
      Reader->CardChangeCallback(Reader->CallbackContext, block[5] == NOTIFICATION_INSERTED ? TRUE : FALSE, 0);
    count = 0;
  }
  if (count == 0) return result;
  if (ReceivedCount != nullptr) *ReceivedCount = count;
  return STATUS_SUCCESS;
}

}  // namespace keldrin
