// keldrind: the driver host daemon.

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/kernel_host.h"
#include "host/log.h"
#include "host/options.h"
#include "host/server.h"
#include "platform/clock/clock.h"
#include "platform/win32/host_socket.h"

namespace {

using namespace keld::host;

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(stopPipe[1], &byte, 1);
  errno = saved;
}

bool installSignals() {
  if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction stop{};
  stop.sa_handler = onStopSignal;
  sigemptyset(&stop.sa_mask);
  if (::sigaction(SIGTERM, &stop, nullptr) != 0 || ::sigaction(SIGINT, &stop, nullptr) != 0) return false;
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

std::string absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// Fork twice and leave the terminal; the first parent exits once the child
// reports through `readyPipe` that it serves (or why it could not).
bool daemonize(int& readyFd) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const pid_t first = ::fork();
  if (first < 0) return false;
  if (first > 0) {
    ::close(pipeFds[1]);
    char result = 0;
    const ssize_t n = ::read(pipeFds[0], &result, 1);
    std::_Exit(n == 1 && result == 'r' ? 0 : 1);
  }
  ::close(pipeFds[0]);
  ::setsid();
  const pid_t second = ::fork();
  if (second < 0) std::_Exit(1);
  if (second > 0) std::_Exit(0);
  ::umask(022);
  if (::chdir("/") != 0) return false;
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  readyFd = pipeFds[1];
  return true;
}

void reportReady(int readyFd, bool ok) {
  if (readyFd < 0) return;
  const char result = ok ? 'r' : 'f';
  [[maybe_unused]] ssize_t n = ::write(readyFd, &result, 1);
  ::close(readyFd);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  ParseResult parsed = parseCommandLine(arguments);
  if (!parsed.config) {
    std::fprintf(stderr, "keldrind: %s\n", parsed.error.c_str());
    return 2;
  }
  HostConfig config = std::move(*parsed.config);
  if (config.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  setLogLevel(config.logLevel);

  ServerOptions serverOptions;
  serverOptions.socketPath = absolute(config.socketPath.empty() ? keld::hostproto::resolveSocketPath()
                                                                : config.socketPath);
  if (!config.socketGroup.empty()) {
    const group* g = ::getgrnam(config.socketGroup.c_str());
    if (g == nullptr) {
      std::fprintf(stderr, "keldrind: unknown group '%s'\n", config.socketGroup.c_str());
      return 2;
    }
    serverOptions.group = g->gr_gid;
  }
  // Paths are taken as given on the command line, before daemonizing leaves the directory.
  for (ReaderConfig& reader : config.readers)
    if (reader.card == CardChoice::Image) reader.cardImage = absolute(reader.cardImage);
  config.driverPath = absolute(config.driverPath);
  const std::string programPath = absolute(argv[0]);

  if (!installSignals()) {
    std::fprintf(stderr, "keldrind: cannot install signal handlers: %s\n", std::strerror(errno));
    return 1;
  }
  int readyFd = -1;
  if (!config.foreground && !daemonize(readyFd)) {
    std::fprintf(stderr, "keldrind: cannot daemonize: %s\n", std::strerror(errno));
    return 1;
  }

  if (config.virtualTime) keld::clock::useVirtualClock();

  // Refuse early, before any device is touched, when another host serves the path.
  if (keld::hostproto::connectToHost(serverOptions.socketPath).valid()) {
    logLine(LogLevel::Error, "another keldrind is serving %s", serverOptions.socketPath.c_str());
    reportReady(readyFd, false);
    return 1;
  }

  std::string error;
  std::unique_ptr<KernelHost> kernel = KernelHost::start(config, programPath, error);
  if (!kernel) {
    logLine(LogLevel::Error, "%s", error.c_str());
    reportReady(readyFd, false);
    return 1;
  }
  int status = 0;
  {
    Server server(*kernel, serverOptions);
    if (!server.listen(error)) {
      logLine(LogLevel::Error, "%s", error.c_str());
      status = 1;
      reportReady(readyFd, false);
    } else {
      logLine(LogLevel::Info, "serving on %s", serverOptions.socketPath.c_str());
      reportReady(readyFd, true);
      server.run(stopPipe[0]);
      logLine(LogLevel::Info, "stopping");
    }
  }  // clients are gone and the socket file removed
  kernel->stop();
  return status;
}
