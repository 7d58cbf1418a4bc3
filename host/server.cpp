#include "host/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "host/log.h"
#include "host/session.h"

namespace keld::host {

using namespace keld::hostproto;

namespace {

std::string errnoText(int error) { return std::strerror(error); }

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Server::Server(DeviceService& service, ServerOptions options) : service_(service), options_(std::move(options)) {}

Server::~Server() {
  disconnectAll();
  listener_.reset();
  removeSocketFile();
}

bool Server::listen(std::string& error) {
  const std::string& path = options_.socketPath;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "socket path '" + path + "' is empty or too long";
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  const std::string directory = parentOf(path);
  struct stat st{};
  if (::stat(directory.c_str(), &st) != 0) {
    // Only the last level (the "keld" folder of the runtime directory) is made.
    const mode_t mode = options_.group ? 0710 : 0700;
    if (::mkdir(directory.c_str(), mode) != 0) {
      error = "cannot create " + directory + ": " + errnoText(errno);
      return false;
    }
    if (options_.group && ::chown(directory.c_str(), static_cast<uid_t>(-1), *options_.group) != 0) {
      error = "cannot give " + directory + " to the group: " + errnoText(errno);
      return false;
    }
  }

  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = path + " exists and is not a socket";
      return false;
    }
    if (connectToHost(path).valid()) {
      error = "another keldrind is serving " + path;
      return false;
    }
    ::unlink(path.c_str());  // stale: its host is gone
  }

  Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) {
    error = "cannot create a socket: " + errnoText(errno);
    return false;
  }
  // Owner-only from the moment the file exists; the group bit follows below.
  const mode_t oldMask = ::umask(0177);
  const int bound = ::bind(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(oldMask);
  if (bound != 0) {
    error = "cannot bind " + path + ": " + errnoText(bindError);
    return false;
  }
  created_ = true;
  if (::lstat(path.c_str(), &st) == 0) {
    socketDevice_ = st.st_dev;
    socketInode_ = st.st_ino;
  }
  if (options_.group) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), *options_.group) != 0 || ::chmod(path.c_str(), 0660) != 0) {
      error = "cannot grant the group access to " + path + ": " + errnoText(errno);
      return false;
    }
  } else if (::chmod(path.c_str(), 0600) != 0) {
    error = "cannot restrict " + path + ": " + errnoText(errno);
    return false;
  }
  if (::listen(s.fd(), 16) != 0) {
    error = "cannot listen on " + path + ": " + errnoText(errno);
    return false;
  }
  listener_ = std::move(s);
  return true;
}

void Server::run(int stopFd) {
  for (;;) {
    pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      logLine(LogLevel::Error, "waiting for clients failed: %s", errnoText(errno).c_str());
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents & POLLIN) accept();
    reapFinished();
  }
  disconnectAll();
}

void Server::accept() {
  Socket connection(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!connection.valid()) return;
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(connection.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return;
  // The socket's permissions decide who may connect; host commands change
  // what every client sees, so only the owner (or root) may send them.
  const bool mayCommand = peer.uid == 0 || peer.uid == ::geteuid();

  std::lock_guard guard(clientsLock_);
  if (clients_.size() >= options_.maxClients) {
    logLine(LogLevel::Warn, "too many clients: refused process %d", static_cast<int>(peer.pid));
    return;
  }
  logLine(LogLevel::Debug, "client connected: process %d, user %u", static_cast<int>(peer.pid),
          static_cast<unsigned>(peer.uid));
  auto client = std::make_unique<Client>();
  client->socket = std::move(connection);
  Client& c = *client;
  clients_.push_back(std::move(client));
  c.thread = std::thread([this, &c, mayCommand, pid = static_cast<std::uint32_t>(peer.pid)] {
    serve(c, mayCommand, pid);
  });
}

void Server::serve(Client& client, bool mayCommand, std::uint32_t pid) {
  {
    Session session(service_, mayCommand, pid);
    for (;;) {
      Received received = receiveFrame(client.socket.fd());
      SessionAnswer answer = session.handle(received);
      if (!answer.reply.empty() && !sendAll(client.socket.fd(), answer.reply)) break;
      if (answer.closeAfter) break;
    }
  }  // the session closes the client's handles
  ::shutdown(client.socket.fd(), SHUT_RDWR);
  logLine(LogLevel::Debug, "client %" PRIu32 " disconnected", pid);
  client.done.store(true);
}

void Server::reapFinished() {
  std::list<std::unique_ptr<Client>> finished;
  {
    std::lock_guard guard(clientsLock_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if ((*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& client : finished) client->thread.join();
}

void Server::disconnectAll() {
  std::list<std::unique_ptr<Client>> all;
  {
    std::lock_guard guard(clientsLock_);
    all.swap(clients_);
  }
  // Ends each client's wait for its next request; a request in progress
  // finishes first.
  for (auto& client : all) ::shutdown(client->socket.fd(), SHUT_RDWR);
  for (auto& client : all) client->thread.join();
}

void Server::removeSocketFile() {
  if (!created_) return;
  created_ = false;
  // Only our own socket: another host may have taken the path since.
  struct stat st{};
  if (::lstat(options_.socketPath.c_str(), &st) == 0 && st.st_dev == socketDevice_ && st.st_ino == socketInode_)
    ::unlink(options_.socketPath.c_str());
}

}  // namespace keld::host
