#include "platform/win32/message_beep.h"

#include <atomic>
#include <mutex>

namespace {

std::atomic<std::size_t> beepCount{0};
std::mutex hookLock;
std::function<void(UINT)> beepHook;

}  // namespace

BOOL MessageBeep(UINT type) {
  ++beepCount;
  std::function<void(UINT)> hook;
  {
    std::lock_guard guard(hookLock);
    hook = beepHook;
  }
  if (hook) hook(type);
  return TRUE;
}

namespace keld::win32 {

std::size_t messageBeepCount() { return beepCount; }

void setMessageBeepHook(std::function<void(UINT type)> hook) {
  std::lock_guard guard(hookLock);
  beepHook = std::move(hook);
}

void resetMessageBeeps() {
  beepCount = 0;
  setMessageBeepHook({});
}

}  // namespace keld::win32
