#pragma once
// MessageBoxA: the text goes to stderr, or to a hook that tests and the
// command line install. It never waits for a person.

#include <functional>
#include <string>

#include "platform/win32/win32_types.h"

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;

// A null caption shows the system's default caption, "Error".
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

namespace keld::win32 {

struct MessageBoxCall {
  std::string text;
  std::string caption;
  UINT type = 0;
  bool hasOwner = false;
};

// Receives every later message box in place of stderr; returns the button
// the box reports. An empty function goes back to stderr.
using MessageBoxHook = std::function<int(const MessageBoxCall&)>;
void setMessageBoxHook(MessageBoxHook hook);

}  // namespace keld::win32
