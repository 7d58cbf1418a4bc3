#include "e2e/host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/win32/host_socket.h"

namespace keld::test {

std::string makeTestDirectory(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/keld-" + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = ::mkdtemp(buffer.data());
  return made ? made : pattern;
}

HostProcess::HostProcess(std::vector<std::string> arguments) {
  directory_ = makeTestDirectory("e2e");
  socketPath_ = directory_ + "/keldrind.sock";
  logPath_ = directory_ + "/keldrind.log";
  std::vector<std::string> argv{KELDRIND_PATH, "--foreground", "--virtual-time", "--socket", socketPath_};
  argv.insert(argv.end(), arguments.begin(), arguments.end());

  pid_ = ::fork();
  if (pid_ == 0) {
    const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) ::dup2(log, STDERR_FILENO);
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  if (pid_ < 0) return;
  // The host creates its socket only once every reader is started, so the
  // first greeting that succeeds means it is ready. Bounded: a host that
  // does not come up within 30 s fails the test.
  for (int attempt = 0; attempt < 15000; ++attempt) {
    if (hostproto::connectAndGreet(socketPath_, 1000).valid()) {
      ready_ = true;
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    const timespec pause{0, 2'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

HostProcess::~HostProcess() {
  if (pid_ > 0) stop(SIGKILL);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string HostProcess::log() const {
  std::ifstream in(logPath_);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void HostProcess::signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

int HostProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace keld::test
