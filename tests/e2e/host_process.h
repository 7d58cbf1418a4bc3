#pragma once
// A real keldrind for an end-to-end test: started in the foreground on its
// own socket with the virtual clock, as a child of the test, and stopped
// (or killed) by it. The library finds it through KELD_SOCKET.

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/win32/host_control.h"

namespace keld::test {

class HostProcess {
 public:
  // `arguments` are added to --foreground --virtual-time --socket PATH.
  explicit HostProcess(std::vector<std::string> arguments = {});
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  ~HostProcess();

  // True once the host answers on its socket; false when it exited first.
  bool ready() const { return ready_; }
  const std::string& socketPath() const { return socketPath_; }
  pid_t pid() const { return pid_; }
  // What the host wrote to stderr so far.
  std::string log() const;

  // Sends `signal` and waits for the host to end; its exit status, or
  // 128 + the signal that ended it.
  int stop(int signal = 15);
  void signal(int signal) const;

  hostctl::HostControl control() const { return hostctl::HostControl(socketPath_); }

 private:
  std::string directory_;
  std::string socketPath_;
  std::string logPath_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A fresh temporary directory for this test process.
std::string makeTestDirectory(const std::string& tag);

}  // namespace keld::test
