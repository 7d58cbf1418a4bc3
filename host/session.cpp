#include "host/session.h"

#include <algorithm>
#include <cinttypes>

#include "host/log.h"

namespace keld::host {

using namespace keld::hostproto;

namespace {

std::span<const std::uint8_t> textBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes replyFrame(MessageType type, std::uint32_t sequence, const Bytes& payload) {
  return encodeFrame(replyType(type), sequence, payload);
}

std::string hexOf(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace

Bytes refusal(std::uint16_t type, std::uint32_t sequence, std::int32_t status) {
  const std::uint16_t reply = static_cast<std::uint16_t>(type | REPLY_FLAG);
  switch (static_cast<MessageType>(type)) {
    case MessageType::Hello: return encodeFrame(reply, sequence, encodePayload(HelloReply{status, PROTOCOL_VERSION, 0}));
    case MessageType::Open: return encodeFrame(reply, sequence, encodePayload(OpenReply{status, 0}));
    case MessageType::Control: return encodeFrame(reply, sequence, encodePayload(ControlReply{status, 0}));
    case MessageType::Close: return encodeFrame(reply, sequence, encodePayload(CloseReply{status}));
    case MessageType::Command: return encodeFrame(reply, sequence, encodePayload(CommandReply{status, 0}));
  }
  return encodeFrame(reply, sequence, encodePayload(status));
}

Session::~Session() {
  for (std::uint32_t handle : handles_) {
    logLine(LogLevel::Debug, "client %" PRIu32 " went away: closing handle %" PRIu32, peerPid_, handle);
    service_.close(handle);
  }
}

SessionAnswer Session::handle(const Received& received) {
  const FrameHeader& header = received.frame.header;
  switch (received.error) {
    case ReceiveError::None:
      return onFrame(received.frame);
    case ReceiveError::BadVersion:
      logLine(LogLevel::Warn, "client %" PRIu32 " speaks protocol version %u, not %u", peerPid_, header.version,
              PROTOCOL_VERSION);
      return {refusal(header.type, header.sequence, STATUS_REVISION_MISMATCH), true};
    case ReceiveError::TooLong:
      logLine(LogLevel::Warn, "client %" PRIu32 " sent a frame of %" PRIu32 " bytes: refused", peerPid_, header.length);
      return {refusal(header.type, header.sequence, STATUS_INVALID_PARAMETER), true};
    case ReceiveError::BadMagic:
      logLine(LogLevel::Warn, "client %" PRIu32 " sent a frame that is not ours: dropped", peerPid_);
      return {{}, true};
    case ReceiveError::Closed:
    case ReceiveError::Timeout:
      break;
  }
  return {{}, true};
}

SessionAnswer Session::onFrame(const Frame& frame) {
  const std::uint16_t type = frame.header.type;
  if (type == static_cast<std::uint16_t>(MessageType::Hello)) return onHello(frame);
  if (!greeted_) {
    logLine(LogLevel::Warn, "client %" PRIu32 " sent a request before its greeting", peerPid_);
    return {refusal(type, frame.header.sequence, STATUS_INVALID_DEVICE_STATE), true};
  }
  switch (static_cast<MessageType>(type)) {
    case MessageType::Open: return onOpen(frame);
    case MessageType::Control: return onControl(frame);
    case MessageType::Close: return onClose(frame);
    case MessageType::Command: return onCommand(frame);
    case MessageType::Hello: break;
  }
  logLine(LogLevel::Debug, "client %" PRIu32 " sent unknown message type 0x%04X", peerPid_, type);
  return {refusal(type, frame.header.sequence, STATUS_NOT_SUPPORTED), false};
}

SessionAnswer Session::onHello(const Frame& frame) {
  auto request = decodeFixed<HelloRequest>(frame.payload);
  if (!request || request->record.version != PROTOCOL_VERSION) {
    return {refusal(frame.header.type, frame.header.sequence, STATUS_REVISION_MISMATCH), true};
  }
  greeted_ = true;
  return {replyFrame(MessageType::Hello, frame.header.sequence,
                     encodePayload(HelloReply{STATUS_SUCCESS, PROTOCOL_VERSION, 0})),
          false};
}

SessionAnswer Session::onOpen(const Frame& frame) {
  auto request = decodeOpenRequest(frame.payload);
  if (!request) return {refusal(frame.header.type, frame.header.sequence, STATUS_OBJECT_NAME_INVALID), false};
  const std::string name(request->tail.begin(), request->tail.end());
  if (handles_.size() >= MAX_HANDLES_PER_CLIENT)
    return {refusal(frame.header.type, frame.header.sequence, STATUS_INSUFFICIENT_RESOURCES), false};
  OpenOutcome outcome = service_.open(name);
  logLine(LogLevel::Debug, "client %" PRIu32 " opens %s: status 0x%08" PRIX32, peerPid_, name.c_str(),
          static_cast<std::uint32_t>(outcome.status));
  if (outcome.status >= 0) handles_.insert(outcome.handle);
  return {replyFrame(MessageType::Open, frame.header.sequence,
                     encodePayload(OpenReply{outcome.status, outcome.status >= 0 ? outcome.handle : 0})),
          false};
}

SessionAnswer Session::onControl(const Frame& frame) {
  auto request = decodeControlRequest(frame.payload);
  if (!request) return {refusal(frame.header.type, frame.header.sequence, STATUS_INVALID_PARAMETER), false};
  const ControlRequest& r = request->record;
  if (!handles_.contains(r.handle))
    return {refusal(frame.header.type, frame.header.sequence, STATUS_INVALID_HANDLE), false};
  if (logEnabled(LogLevel::Trace))
    logLine(LogLevel::Trace, "handle %" PRIu32 " control 0x%08" PRIX32 " in [%s] out %" PRIu32, r.handle, r.code,
            hexOf(request->tail).c_str(), r.outputSize);
  ControlOutcome outcome = service_.control(r.handle, r.code, request->tail, r.outputSize);
  const std::uint32_t count = std::min<std::uint32_t>(
      {outcome.bytesReturned, r.outputSize, static_cast<std::uint32_t>(outcome.output.size())});
  std::span<const std::uint8_t> output(outcome.output.data(), count);
  if (logEnabled(LogLevel::Trace))
    logLine(LogLevel::Trace, "handle %" PRIu32 " status 0x%08" PRIX32 " out [%s]", r.handle,
            static_cast<std::uint32_t>(outcome.status), hexOf(output).c_str());
  return {replyFrame(MessageType::Control, frame.header.sequence,
                     encodePayload(ControlReply{outcome.status, count}, output)),
          false};
}

SessionAnswer Session::onClose(const Frame& frame) {
  auto request = decodeFixed<CloseRequest>(frame.payload);
  if (!request || request->tail.size() != 0)
    return {refusal(frame.header.type, frame.header.sequence, STATUS_INVALID_PARAMETER), false};
  const std::uint32_t handle = request->record.handle;
  if (handles_.erase(handle) == 0)
    return {refusal(frame.header.type, frame.header.sequence, STATUS_INVALID_HANDLE), false};
  const std::int32_t status = service_.close(handle);
  return {replyFrame(MessageType::Close, frame.header.sequence, encodePayload(CloseReply{status})), false};
}

SessionAnswer Session::onCommand(const Frame& frame) {
  const std::uint32_t sequence = frame.header.sequence;
  auto withText = [&](std::int32_t status, std::string_view text) {
    const std::string_view shown = text.substr(0, MAX_REPLY_TEXT);
    return SessionAnswer{replyFrame(MessageType::Command, sequence,
                                    encodePayload(CommandReply{status, static_cast<std::uint32_t>(shown.size())},
                                                  textBytes(shown))),
                         false};
  };
  if (!mayCommand_) {
    logLine(LogLevel::Warn, "client %" PRIu32 " may not send host commands: refused", peerPid_);
    return withText(STATUS_ACCESS_DENIED, "only the owner of the host's socket may send host commands");
  }
  auto request = decodeCommandRequest(frame.payload);
  if (!request) return withText(STATUS_INVALID_PARAMETER, "malformed host command");
  const auto command = static_cast<HostCommand>(request->record.command);
  if (request->record.command < static_cast<std::uint16_t>(HostCommand::Status) ||
      request->record.command > static_cast<std::uint16_t>(HostCommand::InjectFault))
    return withText(STATUS_INVALID_PARAMETER, "unknown host command");
  const std::string argument(request->tail.begin(), request->tail.end());
  CommandOutcome outcome = service_.command(command, request->record.reader, request->record.delayMs, argument);
  logLine(outcome.status >= 0 ? LogLevel::Info : LogLevel::Warn, "host command %s (reader %u): %s",
          commandName(command), request->record.reader, outcome.status >= 0 ? "done" : outcome.text.c_str());
  return withText(outcome.status, outcome.text);
}

}  // namespace keld::host
