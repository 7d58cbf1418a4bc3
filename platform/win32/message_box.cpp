#include "platform/win32/message_box.h"

#include <cstdio>
#include <mutex>

namespace keld::win32 {
namespace {

struct Hook {
  std::mutex lock;
  MessageBoxHook hook;
};

Hook& current() {
  static Hook h;
  return h;
}

}  // namespace

void setMessageBoxHook(MessageBoxHook hook) {
  Hook& h = current();
  std::lock_guard guard(h.lock);
  h.hook = std::move(hook);
}

}  // namespace keld::win32

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  using namespace keld::win32;
  const MessageBoxCall call{text ? text : "", caption ? caption : "Error", type, owner != nullptr};
  MessageBoxHook hook;
  {
    Hook& h = current();
    std::lock_guard guard(h.lock);
    hook = h.hook;
  }
  if (hook) return hook(call);
  std::fprintf(stderr, "%s: %s\n", call.caption.c_str(), call.text.c_str());
  return IDOK;
}
