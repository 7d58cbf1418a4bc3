#include "platform/win32/message_queue.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/tick_count.h"

namespace {

struct ThreadQueue {
  std::mutex lock;
  std::deque<MSG> messages;
};

struct Queues {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<ThreadQueue>> byThread;
};

Queues& queues() {
  static Queues q;
  return q;
}

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD threadId = 0;
thread_local std::map<UINT, keld::win32::MessageHandler> handlers;

std::shared_ptr<ThreadQueue> queueOf(DWORD id) {
  Queues& q = queues();
  std::lock_guard guard(q.lock);
  auto& slot = q.byThread[id];
  if (!slot) slot = std::make_shared<ThreadQueue>();
  return slot;
}

bool matches(const MSG& message, HWND window, UINT filterMin, UINT filterMax) {
  if (window != nullptr && message.hwnd != window) return false;
  if (filterMin == 0 && filterMax == 0) return true;
  return message.message >= filterMin && message.message <= filterMax;
}

}  // namespace

DWORD GetCurrentThreadId() {
  if (threadId == 0) threadId = nextThreadId.fetch_add(1);
  return threadId;
}

BOOL PeekMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (message == nullptr) return FALSE;
  auto queue = queueOf(GetCurrentThreadId());
  std::lock_guard guard(queue->lock);
  for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
    if (!matches(*it, window, filterMin, filterMax)) continue;
    *message = *it;
    if (removeFlags & PM_REMOVE) queue->messages.erase(it);
    return TRUE;
  }
  return FALSE;
}

// No keyboard messages exist here, so there is never anything to translate.
BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* message) {
  if (message == nullptr) return 0;
  auto it = handlers.find(message->message);
  if (it == handlers.end()) return 0;
  // A copy, so that the handler may replace itself.
  keld::win32::MessageHandler handler = it->second;
  return handler(*message);
}

BOOL PostThreadMessageA(DWORD id, UINT message, WPARAM wParam, LPARAM lParam) {
  if (id == 0) return FALSE;
  auto queue = queueOf(id);
  std::lock_guard guard(queue->lock);
  queue->messages.push_back(MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}});
  return TRUE;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto queue = queueOf(GetCurrentThreadId());
  std::lock_guard guard(queue->lock);
  queue->messages.push_back(MSG{window, message, wParam, lParam, GetTickCount(), {0, 0}});
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

namespace keld::win32 {

void setMessageHandler(UINT message, MessageHandler handler) {
  if (handler)
    handlers[message] = std::move(handler);
  else
    handlers.erase(message);
}

void resetMessageQueue() {
  handlers.clear();
  auto queue = queueOf(GetCurrentThreadId());
  std::lock_guard guard(queue->lock);
  queue->messages.clear();
}

std::size_t pendingMessages() {
  auto queue = queueOf(GetCurrentThreadId());
  std::lock_guard guard(queue->lock);
  return queue->messages.size();
}

}  // namespace keld::win32
