#include "platform/win32/host_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace keld::hostproto {

std::string resolveSocketPath() {
  if (const char* explicitPath = std::getenv("KELD_SOCKET"); explicitPath && *explicitPath)
    return explicitPath;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/keld/keldrind.sock";
  return "/run/keld/keldrind.sock";
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void Socket::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Socket connectToHost(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return Socket{};
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return s;
  int rc;
  do {
    rc = ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int saved = errno;
    s.reset();
    errno = saved;
  }
  return s;
}

bool sendAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

// Fills `into` completely. Closed when the peer ends the stream (or an error
// ends it), Timeout when a wait for more bytes lasted `timeoutMs`.
ReceiveError receiveAll(int fd, std::span<std::uint8_t> into, int timeoutMs) {
  while (!into.empty()) {
    if (timeoutMs >= 0) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return ReceiveError::Timeout;
      if (ready < 0) return ReceiveError::Closed;
    }
    const ssize_t n = ::recv(fd, into.data(), into.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReceiveError::Closed;
    into = into.subspan(static_cast<std::size_t>(n));
  }
  return ReceiveError::None;
}

}  // namespace

Received receiveFrame(int fd, int timeoutMs) {
  Received r;
  std::uint8_t raw[sizeof(FrameHeader)];
  r.error = receiveAll(fd, raw, timeoutMs);
  if (r.error != ReceiveError::None) return r;
  r.frame.header = decodeHeader(raw);
  switch (checkHeader(r.frame.header)) {
    case HeaderProblem::BadMagic: r.error = ReceiveError::BadMagic; return r;
    case HeaderProblem::TooLong: r.error = ReceiveError::TooLong; return r;
    case HeaderProblem::BadVersion: r.error = ReceiveError::BadVersion; break;
    case HeaderProblem::None: break;
  }
  r.frame.payload.resize(r.frame.header.length);
  if (ReceiveError e = receiveAll(fd, r.frame.payload, timeoutMs); e != ReceiveError::None) {
    r.error = e;
    r.frame.payload.clear();
  }
  return r;
}

std::optional<Frame> exchange(int fd, MessageType type, std::span<const std::uint8_t> payload,
                              std::uint32_t& sequence, int timeoutMs) {
  const std::uint32_t mine = ++sequence;
  if (!sendAll(fd, encodeFrame(static_cast<std::uint16_t>(type), mine, payload))) return std::nullopt;
  for (;;) {
    Received r = receiveFrame(fd, timeoutMs);
    if (r.error != ReceiveError::None) return std::nullopt;
    // A reply to an earlier request that timed out on our side is skipped.
    if (r.frame.header.sequence == mine && r.frame.header.type == replyType(type)) return std::move(r.frame);
    if (r.frame.header.sequence > mine) return std::nullopt;
  }
}

Socket connectAndGreet(const std::string& path, int timeoutMs, std::int32_t* helloStatus) {
  Socket s = connectToHost(path);
  if (!s.valid()) return s;
  std::uint32_t sequence = 0;
  const HelloRequest hello{PROTOCOL_VERSION, 0, 0};
  std::optional<Frame> reply = exchange(s.fd(), MessageType::Hello, encodePayload(hello), sequence, timeoutMs);
  if (!reply) return Socket{};
  auto d = decodeFixed<HelloReply>(reply->payload);
  if (!d) return Socket{};
  if (helloStatus != nullptr) *helloStatus = d->record.status;
  if (d->record.status != STATUS_SUCCESS) return Socket{};
  return s;
}

}  // namespace keld::hostproto
