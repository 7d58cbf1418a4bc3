#include "platform/win32/host_control.h"

#include <cerrno>
#include <cstring>

#include "platform/win32/host_socket.h"

namespace keld::hostctl {

using namespace keld::hostproto;

namespace {
// Commands run PnP and power requests through the driver; a reader reset
// takes a few status waits, so allow a host under load some time.
constexpr int COMMAND_TIMEOUT_MS = 30000;
}  // namespace

HostControl::HostControl(std::string socketPath) : socketPath_(std::move(socketPath)) {}

CommandResult HostControl::send(HostCommand command, const CommandOptions& options) {
  const std::string path = socketPath_.empty() ? resolveSocketPath() : socketPath_;
  std::int32_t helloStatus = STATUS_SUCCESS;
  Socket socket = connectAndGreet(path, COMMAND_TIMEOUT_MS, &helloStatus);
  if (!socket.valid()) {
    if (helloStatus == STATUS_REVISION_MISMATCH)
      return {helloStatus, "the host at " + path + " speaks another protocol version"};
    return {STATUS_DEVICE_DOES_NOT_EXIST, "no host answers at " + path};
  }
  if (options.argument.size() > MAX_ARGUMENT_LENGTH) return {STATUS_INVALID_PARAMETER, "argument too long"};
  const CommandRequest request{static_cast<std::uint16_t>(command), options.reader, options.delayMs,
                               static_cast<std::uint32_t>(options.argument.size())};
  std::span<const std::uint8_t> argument(reinterpret_cast<const std::uint8_t*>(options.argument.data()),
                                         options.argument.size());
  std::uint32_t sequence = 1;
  std::optional<Frame> reply = exchange(socket.fd(), MessageType::Command, encodePayload(request, argument),
                                        sequence, COMMAND_TIMEOUT_MS);
  auto decoded = reply ? decodeCommandReply(reply->payload) : std::nullopt;
  if (!decoded) return {STATUS_UNSUCCESSFUL, "the host at " + path + " did not answer"};
  return {decoded->record.status, std::string(decoded->tail.begin(), decoded->tail.end())};
}

}  // namespace keld::hostctl
