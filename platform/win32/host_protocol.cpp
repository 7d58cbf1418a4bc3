#include "platform/win32/host_protocol.h"

namespace keld::hostproto {

Bytes encodeFrame(std::uint16_t type, std::uint32_t sequence, std::span<const std::uint8_t> payload) {
  const FrameHeader header{FRAME_MAGIC, PROTOCOL_VERSION, type,
                           static_cast<std::uint32_t>(payload.size()), sequence};
  return encodePayload(header, payload);
}

HeaderProblem checkHeader(const FrameHeader& header) {
  if (header.magic != FRAME_MAGIC) return HeaderProblem::BadMagic;
  if (header.length > MAX_PAYLOAD) return HeaderProblem::TooLong;
  if (header.version != PROTOCOL_VERSION) return HeaderProblem::BadVersion;
  return HeaderProblem::None;
}

FrameHeader decodeHeader(std::span<const std::uint8_t, sizeof(FrameHeader)> bytes) {
  FrameHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  return header;
}

std::optional<Decoded<OpenRequest>> decodeOpenRequest(std::span<const std::uint8_t> payload) {
  auto d = decodeFixed<OpenRequest>(payload);
  if (!d || d->record.nameLength == 0 || d->record.nameLength > MAX_NAME_LENGTH ||
      d->tail.size() != d->record.nameLength)
    return std::nullopt;
  return d;
}

std::optional<Decoded<ControlRequest>> decodeControlRequest(std::span<const std::uint8_t> payload) {
  auto d = decodeFixed<ControlRequest>(payload);
  if (!d || d->record.inputLength > MAX_CONTROL_BUFFER || d->record.outputSize > MAX_CONTROL_BUFFER ||
      d->tail.size() != d->record.inputLength)
    return std::nullopt;
  return d;
}

std::optional<Decoded<CommandRequest>> decodeCommandRequest(std::span<const std::uint8_t> payload) {
  auto d = decodeFixed<CommandRequest>(payload);
  if (!d || d->record.argumentLength > MAX_ARGUMENT_LENGTH ||
      d->tail.size() != d->record.argumentLength)
    return std::nullopt;
  return d;
}

std::optional<Decoded<ControlReply>> decodeControlReply(std::span<const std::uint8_t> payload,
                                                        std::uint32_t outputSize) {
  auto d = decodeFixed<ControlReply>(payload);
  if (!d || d->record.bytesReturned > outputSize || d->tail.size() != d->record.bytesReturned)
    return std::nullopt;
  return d;
}

std::optional<Decoded<CommandReply>> decodeCommandReply(std::span<const std::uint8_t> payload) {
  auto d = decodeFixed<CommandReply>(payload);
  if (!d || d->record.textLength > MAX_REPLY_TEXT || d->tail.size() != d->record.textLength)
    return std::nullopt;
  return d;
}

std::optional<std::string> namespaceName(std::string_view userPath) {
  constexpr std::string_view devicePrefix = "\\\\.\\";
  if (userPath.starts_with(devicePrefix)) {
    std::string_view rest = userPath.substr(devicePrefix.size());
    if (rest.empty() || rest.find('\\') != std::string_view::npos) return std::nullopt;
    return "\\DosDevices\\" + std::string(rest);
  }
  if (userPath.starts_with("\\") && !userPath.starts_with("\\\\")) return std::string(userPath);
  return std::nullopt;
}

const char* commandName(HostCommand command) {
  switch (command) {
    case HostCommand::Status: return "status";
    case HostCommand::InsertCard: return "insert-card";
    case HostCommand::RemoveCard: return "remove-card";
    case HostCommand::Suspend: return "suspend";
    case HostCommand::Resume: return "resume";
    case HostCommand::Unplug: return "unplug";
    case HostCommand::Replug: return "replug";
    case HostCommand::InjectFault: return "inject-fault";
  }
  return "unknown";
}

}  // namespace keld::hostproto
