#pragma once
// Where the driver host listens, and whole frames over its Unix stream
// socket. Shared by the library's device access, the host-command client and
// the host itself. Plain POSIX: nothing here reads the shared clock.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/win32/host_protocol.h"

namespace keld::hostproto {

// $KELD_SOCKET if set and not empty, else $XDG_RUNTIME_DIR/keld/keldrind.sock,
// else /run/keld/keldrind.sock (the system-wide host).
std::string resolveSocketPath();

// An owned file descriptor.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { reset(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// Connects to the host's socket; an invalid Socket and `errno` when nothing listens there.
Socket connectToHost(const std::string& path);

// Sends the whole buffer; false when the peer is gone. Never raises SIGPIPE.
bool sendAll(int fd, std::span<const std::uint8_t> bytes);

struct Frame {
  FrameHeader header{};
  Bytes payload;
};

enum class ReceiveError { None, Closed, Timeout, BadMagic, BadVersion, TooLong };

struct Received {
  ReceiveError error = ReceiveError::None;
  Frame frame;  // header always filled once it was read; payload only without error
};

// Reads one frame. `timeoutMs` < 0 waits as long as the peer lives; a
// timeout applies to each wait for more bytes. A header whose magic is wrong
// or whose length is beyond MAX_PAYLOAD is not followed by a payload read.
// A version mismatch still reads the payload, so that it can be answered.
Received receiveFrame(int fd, int timeoutMs = -1);

// One request and its reply on a client connection: sends the request with
// a fresh sequence number and reads frames until the reply to it arrives.
std::optional<Frame> exchange(int fd, MessageType type, std::span<const std::uint8_t> payload,
                              std::uint32_t& sequence, int timeoutMs = -1);

// Connects and says Hello. Fails when nothing listens or the host speaks
// another protocol version (`helloStatus` tells which when it answered).
Socket connectAndGreet(const std::string& path, int timeoutMs, std::int32_t* helloStatus = nullptr);

}  // namespace keld::hostproto
