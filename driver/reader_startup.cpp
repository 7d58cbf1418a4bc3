#include "driver/reader_startup.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "driver/port_protocol.h"

namespace keldrin {
namespace {

constexpr UCHAR HOST_NAD = 0x12;
constexpr UCHAR HOST_PCB = 0x00;
constexpr ULONG PROLOGUE_LENGTH = 3;
// Prologue, at most Lc + 5 information bytes of the configuration command, LRC.
constexpr ULONG COMMAND_BUFFER_SIZE = PROLOGUE_LENGTH + 5 + 255 + 1;

constexpr std::array<UCHAR, 3> CONFIGURATION_DATA = {0x28, 0x01, 0x00};

using CommandBuffer = std::array<UCHAR, COMMAND_BUFFER_SIZE>;
using AnswerBuffer = std::array<UCHAR, RECEIVE_BUFFER_SIZE>;

struct Answer {
  AnswerBuffer Bytes{};
  ULONG Length = 0;
};

// The status word is the two bytes before the LRC; an answer too short to
// hold them has none.
std::optional<USHORT> StatusWordOf(const Answer& Reply) {
  if (Reply.Length < 3) return std::nullopt;
  return static_cast<USHORT>(Reply.Bytes[Reply.Length - 3] << 8 | Reply.Bytes[Reply.Length - 2]);
}

// Sends the information field in a block of the driver's own and reads the answer.
NTSTATUS Exchange(ReaderContext* Reader, std::span<const UCHAR> Information, Answer& Reply) {
  CommandBuffer block{};
  block[0] = HOST_NAD;
  block[1] = HOST_PCB;
  block[2] = static_cast<UCHAR>(Information.size());
  std::copy(Information.begin(), Information.end(), block.begin() + PROLOGUE_LENGTH);
  const ULONG length = PROLOGUE_LENGTH + static_cast<ULONG>(Information.size());
  if (const NTSTATUS status = ReaderSendBlock(Reader, block.data(), length, nullptr); !NT_SUCCESS(status))
    return status;
  Reply.Length = 0;
  if (const NTSTATUS status = ReaderReceiveBlock(Reader, Reply.Bytes.data(), RECEIVE_BUFFER_SIZE, &Reply.Length);
      !NT_SUCCESS(status))
    return status;
  // A card-change notification came in place of the answer: nothing to
  // evaluate. The answer may still follow it; left pending, it would make the
  // reader refuse every later block until the device is opened again.
  if (Reply.Length == 0) {
    ReaderFlushInput(Reader);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

bool MatchesIdentification(std::span<const UCHAR> Text) {
  if (Text.size() < IDENTIFICATION_LENGTH) return false;
  return std::memcmp(Text.data(), IDENTIFICATION_TEXT, IDENTIFICATION_LENGTH) == 0;
}

ULONG ReadResetText(ReaderContext* Reader, std::array<UCHAR, RESET_TEXT_CAPACITY>& Text, ULONG Announced) {
  const ULONG length = std::min(Announced, RESET_TEXT_CAPACITY);
  for (ULONG i = 0; i < length; ++i) Text[i] = ReadRegister(Reader, REG_DATA);
  return length;
}

NTSTATUS IdentifyAndOperate(ReaderContext* Reader) {
  WriteRegister(Reader, REG_CONTROL, CR_RESET);
  ReaderDelay(1);
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  if (!NT_SUCCESS(ReaderWaitStatus(Reader, SR_DATA_PENDING))) return STATUS_DEVICE_BUSY;

  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  ReaderDelay(1);
  (void)ReadRegister(Reader, REG_LEN_HI);
  (void)ReadRegister(Reader, REG_LEN_LO);
  (void)ReadRegister(Reader, REG_DATA);
  std::array<UCHAR, RESET_TEXT_CAPACITY> text{};
  const ULONG textLength = ReadResetText(Reader, text, ReadRegister(Reader, REG_DATA));
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  // Only what the reader sent is compared: a text shorter than the constant never matches.
  if (!MatchesIdentification(std::span(text).first(textLength))) return STATUS_IO_DEVICE_ERROR;

  WriteRegister(Reader, REG_CONTROL, CR_SETUP);
  if (!NT_SUCCESS(ReaderWaitStatus(Reader, SR_DATA_PENDING))) return STATUS_DEVICE_BUSY;
  WriteRegister(Reader, REG_CONTROL, CR_SETUP_TRANSFER);
  ReaderDelay(1);
  (void)ReadRegister(Reader, REG_LEN_HI);
  (void)ReadResetText(Reader, text, ReadRegister(Reader, REG_LEN_LO));

  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  ReaderDelay(1);
  WriteRegister(Reader, REG_CONTROL, CR_TRANSFER);
  ReaderDelay(1);
  WriteRegister(Reader, REG_LEN_HI, 0x00);
  WriteRegister(Reader, REG_LEN_LO, 0x02);
  WriteRegister(Reader, REG_DATA, text[0]);
  WriteRegister(Reader, REG_DATA, text[1]);

  WriteRegister(Reader, REG_CONTROL, CR_OPERATE);
  return ReaderWaitStatus(Reader, SR_READY);
}

}  // namespace

NTSTATUS ReaderHardwareReset(ReaderContext* Reader) {
  ReaderFlushInput(Reader);
  const NTSTATUS result = IdentifyAndOperate(Reader);
  WriteRegister(Reader, REG_CONTROL, CR_IDLE);
  (void)ReaderConfigure(Reader, Reader->ConfigP1, CONFIGURATION_DATA.data(),
                        static_cast<UCHAR>(CONFIGURATION_DATA.size()));
  return result;
}

NTSTATUS ReaderResetTerminal(ReaderContext* Reader) {
  constexpr std::array<UCHAR, 5> command = {0x20, 0x10, 0x00, 0x00, 0x00};
  Answer reply;
  if (const NTSTATUS status = Exchange(Reader, command, reply); !NT_SUCCESS(status)) return status;
  const std::optional<USHORT> statusWord = StatusWordOf(reply);
  if (statusWord == 0x9000 || statusWord == 0x9001) return STATUS_SUCCESS;
  return statusWord == 0x64A1 ? STATUS_NO_MEDIA : STATUS_UNRECOGNIZED_MEDIA;
}

NTSTATUS ReaderSelectFile(ReaderContext* Reader, USHORT FileId) {
  const std::array<UCHAR, 7> command = {0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<UCHAR>(FileId >> 8),
                                        static_cast<UCHAR>(FileId & 0xFF)};
  Answer reply;
  if (const NTSTATUS status = Exchange(Reader, command, reply); !NT_SUCCESS(status)) return status;
  const std::optional<USHORT> statusWord = StatusWordOf(reply);
  if (!statusWord || *statusWord == 0x6A82) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS ReaderReadBinary(ReaderContext* Reader, USHORT Offset, PUCHAR Data, PULONG Length) {
  if (Data == nullptr || Length == nullptr) return STATUS_INVALID_PARAMETER;
  const std::array<UCHAR, 5> command = {0x00, 0xB0, static_cast<UCHAR>(Offset >> 8),
                                        static_cast<UCHAR>(Offset & 0xFF), 0x00};
  Answer reply;
  if (const NTSTATUS status = Exchange(Reader, command, reply); !NT_SUCCESS(status)) return status;
  const std::optional<USHORT> statusWord = StatusWordOf(reply);
  if (!statusWord || *statusWord == 0x6282 || *statusWord == 0x6982 || *statusWord == 0x6985 ||
      *statusWord == 0x6B00)
    return STATUS_UNSUCCESSFUL;
  // The information field without its last byte: the data and the first status byte.
  if (reply.Length < PROLOGUE_LENGTH + 2) return STATUS_UNSUCCESSFUL;
  const ULONG dataLength = reply.Length - 5;
  if (*Length < dataLength) return STATUS_BUFFER_TOO_SMALL;
  std::copy_n(reply.Bytes.begin() + PROLOGUE_LENGTH, dataLength, Data);
  *Length = dataLength;
  return STATUS_SUCCESS;
}

NTSTATUS ReaderConfigure(ReaderContext* Reader, UCHAR P1, const UCHAR* Data, UCHAR DataLength) {
  if (Data == nullptr) return STATUS_INVALID_PARAMETER;
  std::array<UCHAR, 5 + 255> command{};
  command[0] = 0x80;
  command[1] = 0x60;
  command[2] = P1;
  command[3] = 0x00;
  command[4] = DataLength;
  std::copy_n(Data, DataLength, command.begin() + 5);
  Answer reply;
  if (const NTSTATUS status = Exchange(Reader, std::span(command).first(5u + DataLength), reply);
      !NT_SUCCESS(status))
    return status;
  return StatusWordOf(reply) == 0x9000 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS ReaderQueryVersion(ReaderContext* Reader) {
  if (const NTSTATUS status = ReaderSelectFile(Reader, MASTER_FILE); !NT_SUCCESS(status)) return status;
  if (const NTSTATUS status = ReaderSelectFile(Reader, READER_INFO_FILE); !NT_SUCCESS(status)) return status;
  std::array<UCHAR, RECEIVE_BUFFER_SIZE> file{};
  ULONG fileLength = RECEIVE_BUFFER_SIZE;
  if (const NTSTATUS status = ReaderReadBinary(Reader, 0, file.data(), &fileLength); !NT_SUCCESS(status))
    return status;

  std::array<UCHAR, TLV_VALUE_CAPACITY> value{};
  UCHAR valueLength = 0;
  // digit, point, digit, digit
  if (NT_SUCCESS(FindTlv(TAG_FIRMWARE_VERSION, file.data(), fileLength, &valueLength, value.data())) &&
      valueLength >= 4) {
    Reader->FwMajor = value[0] & 0x0F;
    Reader->FwMinor = static_cast<UCHAR>((value[2] & 0x0F) << 4 | (value[3] & 0x0F));
  }
  value = {};
  if (NT_SUCCESS(FindTlv(TAG_FIRMWARE_VARIANT, file.data(), fileLength, &valueLength, value.data())) &&
      valueLength >= 1)
    Reader->FwVariant = value[0];
  return STATUS_SUCCESS;
}

NTSTATUS FindTlv(UCHAR Tag, const UCHAR* Data, ULONG DataLength, PUCHAR ValueLength, PUCHAR Value) {
  if (Data == nullptr || ValueLength == nullptr || Value == nullptr) return STATUS_INVALID_PARAMETER;
  const std::span<const UCHAR> records(Data, DataLength);
  // A record whose length byte lies beyond the data ends the walk.
  for (std::size_t p = 0; p + 1 < records.size(); p += records[p + 1] + 2u) {
    if (records[p] != Tag) continue;
    *ValueLength = records[p + 1];
    const std::size_t available = records.size() - (p + 2);
    const std::size_t copied = std::min<std::size_t>({records[p + 1], TLV_VALUE_CAPACITY, available});
    std::copy_n(records.begin() + p + 2, copied, Value);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

}  // namespace keldrin
