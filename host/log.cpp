#include "host/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace keld::host {
namespace {
std::atomic<LogLevel> currentLevel{LogLevel::Info};
std::mutex writeLock;
}  // namespace

void setLogLevel(LogLevel level) { currentLevel.store(level); }

bool logEnabled(LogLevel level) { return level <= currentLevel.load(); }

void logLine(LogLevel level, const char* format, ...) {
  if (!logEnabled(level)) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard guard(writeLock);
  std::fprintf(stderr, "keldrind: %s: %s\n", logLevelName(level), text);
  std::fflush(stderr);
}

}  // namespace keld::host
