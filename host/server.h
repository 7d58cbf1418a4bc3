#pragma once
// The host's Unix socket: accepts clients and serves each on its own thread
// through a Session, until told to stop.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/device_service.h"
#include "platform/win32/host_socket.h"

namespace keld::host {

struct ServerOptions {
  std::string socketPath;
  std::optional<gid_t> group;  // also let this group connect
  std::size_t maxClients = 64;  // connections beyond this are closed at once
};

class Server {
 public:
  Server(DeviceService& service, ServerOptions options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  // Stops serving and removes the socket file.
  ~Server();

  // Creates the socket (and its directory when missing) with owner-only
  // permissions, or owner and group. A stale socket file is replaced; one on
  // which another host answers is an error.
  bool listen(std::string& error);

  // Serves until `stopFd` becomes readable; then disconnects every client
  // (closing their handles) and returns.
  void run(int stopFd);

  const std::string& socketPath() const { return options_.socketPath; }

 private:
  struct Client {
    hostproto::Socket socket;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void accept();
  void serve(Client& client, bool mayCommand, std::uint32_t pid);
  void reapFinished();
  void disconnectAll();
  void removeSocketFile();

  DeviceService& service_;
  ServerOptions options_;
  hostproto::Socket listener_;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  bool created_ = false;
  std::mutex clientsLock_;
  std::list<std::unique_ptr<Client>> clients_;
};

}  // namespace keld::host
