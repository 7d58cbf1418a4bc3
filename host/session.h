#pragma once
// One client connection's protocol state: the greeting, the handles it
// opened, and the answer to each frame. No sockets here: the server feeds
// it what it received and sends back what it returns.

#include <cstdint>
#include <optional>
#include <set>

#include "host/device_service.h"
#include "platform/win32/host_socket.h"

namespace keld::host {

// Handles one client may hold at once; a reader device is exclusive, so a
// well-behaved client needs one per terminal.
constexpr std::size_t MAX_HANDLES_PER_CLIENT = 8;

struct SessionAnswer {
  hostproto::Bytes reply;    // a whole frame to send; empty: nothing to send
  bool closeAfter = false;   // drop the connection after sending
};

class Session {
 public:
  // `mayCommand`: the peer is the socket's owner or root.
  Session(DeviceService& service, bool mayCommand, std::uint32_t peerPid)
      : service_(service), mayCommand_(mayCommand), peerPid_(peerPid) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Closes every handle still open: the client went away.
  ~Session();

  SessionAnswer handle(const hostproto::Received& received);

  std::size_t openHandles() const { return handles_.size(); }

 private:
  SessionAnswer onFrame(const hostproto::Frame& frame);
  SessionAnswer onHello(const hostproto::Frame& frame);
  SessionAnswer onOpen(const hostproto::Frame& frame);
  SessionAnswer onControl(const hostproto::Frame& frame);
  SessionAnswer onClose(const hostproto::Frame& frame);
  SessionAnswer onCommand(const hostproto::Frame& frame);

  DeviceService& service_;
  bool mayCommand_;
  std::uint32_t peerPid_;
  bool greeted_ = false;
  std::set<std::uint32_t> handles_;
};

// The reply a request of `type` gets when it is refused with `status`: the
// type's own reply record with zero counts, so that a client can read it.
hostproto::Bytes refusal(std::uint16_t type, std::uint32_t sequence, std::int32_t status);

}  // namespace keld::host
