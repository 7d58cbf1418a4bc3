#pragma once
// The per-thread message queue: what the library's waiting loops call
// (PeekMessageA, TranslateMessage, DispatchMessageA) and what a program or a
// test needs to feed it (posting, quitting, and a handler per message that
// DispatchMessageA runs in place of a window procedure).

#include <cstddef>
#include <functional>

#include "platform/win32/win32_types.h"

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

// Looks at the calling thread's queue; filter 0, 0 takes any message.
BOOL PeekMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* message);
// Runs the handler registered for the message on the calling thread; 0 without one.
LRESULT DispatchMessageA(const MSG* message);

DWORD GetCurrentThreadId();
// Posts to another thread's queue (or the caller's own).
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// With no window, posts to the calling thread's queue.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

namespace keld::win32 {

using MessageHandler = std::function<LRESULT(const MSG&)>;

// Handler that DispatchMessageA calls for `message` on the calling thread.
void setMessageHandler(UINT message, MessageHandler handler);
// Drops the calling thread's handlers and queued messages.
void resetMessageQueue();
// Messages waiting in the calling thread's queue.
std::size_t pendingMessages();

}  // namespace keld::win32
