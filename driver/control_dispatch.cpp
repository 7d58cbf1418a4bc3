#include "driver/control_dispatch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "driver/ioctl/reader_ioctl.h"
#include "driver/port_protocol.h"
#include "driver/reader_startup.h"

namespace keldrin {
namespace {

using namespace keld::ioctl;

constexpr std::array<UCHAR, 10> CARD_RESET_COMMAND = {0x12, 0x00, 0x06, 0x20, 0x10, 0x01, 0x00, 0x00, 0x01, 0x24};
constexpr std::array<UCHAR, 9> CARD_RESET_REPLACEMENT = {0x12, 0x00, 0x05, 0x20, 0x10, 0x01, 0x00, 0x00, 0x26};
constexpr std::array<UCHAR, 6> SUBSTITUTE_ANSWER = {0x21, 0x00, 0x02, 0x90, 0x00, 0xB3};
constexpr ULONG TRANSMIT_PAUSE_MS = 5;

// Status words of a card reset that reach the caller as the reader gave them.
bool KeepsCardResetAnswer(std::span<const UCHAR> Answer) {
  if (Answer.size() < 3) return false;
  const USHORT statusWord = static_cast<USHORT>(Answer[Answer.size() - 3] << 8 | Answer[Answer.size() - 2]);
  return statusWord == 0x9001 || statusWord == 0x9000 || statusWord == 0x64A1 || statusWord == 0x62A7;
}

ULONG& PollLimitOf(ReaderExtension* Extension) { return Extension->Reader.PollLimit; }

NTSTATUS Transmit(ReaderExtension* Extension, PIRP Irp, const IO_STACK_LOCATION* Stack) {
  if (!ReaderPortsUsable(Extension)) return STATUS_DEVICE_NOT_READY;
  if (!AcquireReader(Extension, Irp)) return STATUS_DEVICE_BUSY;
  ReaderDelay(TRANSMIT_PAUSE_MS);
  const auto buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  const NTSTATUS status =
      ReaderTransmit(&Extension->Reader, buffer, Stack->Parameters.DeviceIoControl.InputBufferLength, buffer,
                     Stack->Parameters.DeviceIoControl.OutputBufferLength, &Irp->IoStatus.Information);
  ReleaseReader(Extension, Irp);
  return status;
}

NTSTATUS GetVersion(ReaderExtension* Extension, PIRP Irp, ULONG OutputLength) {
  if (OutputLength < sizeof(ReaderVersionRecord)) return STATUS_BUFFER_TOO_SMALL;
  if (!ReaderPortsUsable(Extension)) return STATUS_DEVICE_NOT_READY;
  if (!AcquireReader(Extension, Irp)) return STATUS_DEVICE_BUSY;
  // A failed query leaves the values of the last one that succeeded.
  (void)ReaderQueryVersion(&Extension->Reader);
  ReleaseReader(Extension, Irp);
  const ReaderVersionRecord record = {.Reserved0 = 0,
                                      .DriverMajor = DRIVER_VERSION_MAJOR,
                                      .DriverMinor = DRIVER_VERSION_MINOR,
                                      .FwMajor = Extension->Reader.FwMajor,
                                      .FwMinor = Extension->Reader.FwMinor,
                                      .FwVariant = Extension->Reader.FwVariant,
                                      .Reserved = {0, 0, 0}};
  std::memcpy(Irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
  Irp->IoStatus.Information = sizeof record;
  return STATUS_SUCCESS;
}

NTSTATUS Timeout(ReaderExtension* Extension, PIRP Irp, ULONG InputLength, ULONG OutputLength) {
  const auto buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  std::atomic_ref<ULONG> pollLimit(PollLimitOf(Extension));
  const ULONG previous = pollLimit.load(std::memory_order_relaxed);
  if (InputLength == sizeof(ULONG)) {
    ULONG value;
    std::memcpy(&value, buffer, sizeof value);
    pollLimit.store(value / TIMEOUT_UNITS_PER_POLL, std::memory_order_relaxed);
  }
  if (OutputLength == sizeof(ULONG)) {
    const ULONG value = previous * TIMEOUT_UNITS_PER_POLL;
    std::memcpy(buffer, &value, sizeof value);
    Irp->IoStatus.Information = sizeof value;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ResetReader(ReaderExtension* Extension, PIRP Irp) {
  if (!ReaderPortsUsable(Extension)) return STATUS_DEVICE_NOT_READY;
  if (!AcquireReader(Extension, Irp)) return STATUS_DEVICE_BUSY;
  const NTSTATUS status = ReaderHardwareReset(&Extension->Reader);
  ReleaseReader(Extension, Irp);
  return status;
}

NTSTATUS GetConfig(ReaderExtension* Extension, PIRP Irp, ULONG OutputLength) {
  if (OutputLength < sizeof(ReaderConfigRecord)) return STATUS_BUFFER_TOO_SMALL;
  const ReaderConfigRecord record = {.IoBase = Extension->Reader.IoBase,
                                     .InterruptVector = Extension->Reader.InterruptVector};
  std::memcpy(Irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
  Irp->IoStatus.Information = sizeof record;
  return STATUS_SUCCESS;
}

NTSTATUS CardEventFlag(ReaderExtension* Extension, PIRP Irp, ULONG InputLength, ULONG OutputLength) {
  if (OutputLength == 0) return STATUS_BUFFER_TOO_SMALL;
  const auto buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  const bool clear = InputLength > 0 && buffer[0] == 1;
  std::atomic_ref<UCHAR> cardEvent(Extension->CardEvent);
  buffer[0] = clear ? cardEvent.exchange(0) : cardEvent.load();
  Irp->IoStatus.Information = 1;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ReaderExtension* extension = ExtensionOf(DeviceObject);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  Irp->IoStatus.Information = 0;

  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_READER_TRANSMIT:
      status = Transmit(extension, Irp, stack);
      break;
    case IOCTL_READER_GET_VERSION:
      status = GetVersion(extension, Irp, outputLength);
      break;
    case IOCTL_READER_TIMEOUT:
      status = Timeout(extension, Irp, inputLength, outputLength);
      break;
    case IOCTL_READER_RESET_READER:
      status = ResetReader(extension, Irp);
      break;
    case IOCTL_READER_GET_CONFIG:
      status = GetConfig(extension, Irp, outputLength);
      break;
    case IOCTL_READER_CARD_EVENT:
      status = CardEventFlag(extension, Irp, inputLength, outputLength);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ReaderTransmit(ReaderContext* Reader, const UCHAR* Input, ULONG InputLength, PUCHAR Output,
                        ULONG OutputLength, PULONG_PTR ByteCount) {
  if (Input == nullptr || Output == nullptr || ByteCount == nullptr || InputLength == 0 || OutputLength == 0)
    return STATUS_INVALID_PARAMETER;

  const std::span<const UCHAR> input(Input, InputLength);
  const bool cardReset = std::equal(input.begin(), input.end(), CARD_RESET_COMMAND.begin(), CARD_RESET_COMMAND.end());
  const std::span<const UCHAR> block = cardReset ? std::span<const UCHAR>(CARD_RESET_REPLACEMENT) : input;
  if (const NTSTATUS status = ReaderSendRaw(Reader, block.data(), static_cast<ULONG>(block.size()), nullptr);
      !NT_SUCCESS(status))
    return status;

  // Input and output may share one system buffer: the input is not read after this point.
  std::array<UCHAR, RECEIVE_BUFFER_SIZE> answerBuffer{};
  ULONG answerLength = 0;
  if (const NTSTATUS status = ReaderReceiveRaw(Reader, answerBuffer.data(), RECEIVE_BUFFER_SIZE, &answerLength);
      !NT_SUCCESS(status))
    return status;
  if (answerLength > OutputLength) return STATUS_BUFFER_TOO_SMALL;
  std::span<const UCHAR> answer = std::span(answerBuffer).first(answerLength);
  if (cardReset && !KeepsCardResetAnswer(answer)) answer = SUBSTITUTE_ANSWER;
  // The caller receives, and is told the length of, exactly what is written:
  // a substitute never runs past an output sized for a shorter answer.
  if (answer.size() > OutputLength) return STATUS_BUFFER_TOO_SMALL;
  std::copy(answer.begin(), answer.end(), Output);
  *ByteCount = answer.size();
  return STATUS_SUCCESS;
}

}  // namespace keldrin
