#include "platform/win32/socket_backend.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "platform/win32/host_socket.h"

namespace keld::win32 {
namespace {

using namespace keld::hostproto;

// How long the host may take to answer a greeting, an open or a close. A
// host that died closes the socket and is seen at once; this only bounds a
// host that lives but does not answer. Control requests have no such bound:
// a transmit may legitimately wait for the reader as long as its timeout says.
constexpr int ANSWER_TIMEOUT_MS = 5000;

class SocketConnection final : public DeviceConnection {
 public:
  SocketConnection(Socket socket, std::uint32_t handle, std::uint32_t sequence)
      : socket_(std::move(socket)), handle_(handle), sequence_(sequence) {}

  ~SocketConnection() override {
    // Close explicitly and wait for the answer, so that a reopen right after
    // CloseHandle finds the device free.
    std::lock_guard guard(lock_);
    if (!socket_.valid()) return;
    const CloseRequest request{handle_};
    exchange(socket_.fd(), MessageType::Close, encodePayload(request), sequence_, ANSWER_TIMEOUT_MS);
  }

  ControlResult control(std::uint32_t code, std::span<const std::uint8_t> input,
                        std::span<std::uint8_t> output) override {
    if (input.size() > MAX_CONTROL_BUFFER || output.size() > MAX_CONTROL_BUFFER)
      return {STATUS_INVALID_PARAMETER, 0};
    std::lock_guard guard(lock_);
    if (!socket_.valid()) return {STATUS_DEVICE_DOES_NOT_EXIST, 0};
    const ControlRequest request{handle_, code, static_cast<std::uint32_t>(input.size()),
                                 static_cast<std::uint32_t>(output.size())};
    std::optional<Frame> reply =
        exchange(socket_.fd(), MessageType::Control, encodePayload(request, input), sequence_);
    auto decoded = reply ? decodeControlReply(reply->payload, request.outputSize) : std::nullopt;
    if (!decoded) {
      // The host went away or broke the protocol: this handle is dead.
      socket_.reset();
      return {STATUS_DEVICE_DOES_NOT_EXIST, 0};
    }
    if (!decoded->tail.empty()) std::memcpy(output.data(), decoded->tail.data(), decoded->tail.size());
    return {decoded->record.status, decoded->record.bytesReturned};
  }

 private:
  std::mutex lock_;  // one request at a time on the connection
  Socket socket_;
  std::uint32_t handle_;
  std::uint32_t sequence_;
};

DWORD openError(std::int32_t status) {
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_DEVICE_DOES_NOT_EXIST:
      return ERROR_FILE_NOT_FOUND;
    case STATUS_SHARING_VIOLATION:
    case STATUS_ACCESS_DENIED:
      return ERROR_ACCESS_DENIED;
    default:
      return win32ErrorFromStatus(status);
  }
}

class SocketBackend final : public DeviceBackend {
 public:
  explicit SocketBackend(std::string socketPath) : socketPath_(std::move(socketPath)) {}

  OpenResult open(std::string_view name) override {
    std::optional<std::string> inNamespace = namespaceName(name);
    if (!inNamespace || inNamespace->size() > MAX_NAME_LENGTH) return {nullptr, ERROR_FILE_NOT_FOUND};
    // No host listening means no device exists.
    Socket socket = connectAndGreet(socketPath_.empty() ? resolveSocketPath() : socketPath_,
                                    ANSWER_TIMEOUT_MS);
    if (!socket.valid()) return {nullptr, ERROR_FILE_NOT_FOUND};
    std::uint32_t sequence = 1;
    const OpenRequest request{static_cast<std::uint32_t>(inNamespace->size())};
    const auto nameBytes = std::as_bytes(std::span(*inNamespace));
    std::span<const std::uint8_t> tail(reinterpret_cast<const std::uint8_t*>(nameBytes.data()),
                                       nameBytes.size());
    std::optional<Frame> reply = exchange(socket.fd(), MessageType::Open, encodePayload(request, tail),
                                          sequence, ANSWER_TIMEOUT_MS);
    auto decoded = reply ? decodeFixed<OpenReply>(reply->payload) : std::nullopt;
    if (!decoded) return {nullptr, ERROR_FILE_NOT_FOUND};
    if (decoded->record.status < 0) return {nullptr, openError(decoded->record.status)};
    return {std::make_unique<SocketConnection>(std::move(socket), decoded->record.handle, sequence),
            ERROR_SUCCESS};
  }

 private:
  std::string socketPath_;
};

}  // namespace

std::shared_ptr<DeviceBackend> makeSocketBackend(std::string socketPath) {
  return std::make_shared<SocketBackend>(std::move(socketPath));
}

}  // namespace keld::win32
