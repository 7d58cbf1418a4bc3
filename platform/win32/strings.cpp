#include "platform/win32/strings.h"

#include <cstring>

LPSTR lstrcpyA(LPSTR destination, LPCSTR source) {
  if (destination == nullptr || source == nullptr) return nullptr;
  return std::strcpy(destination, source);
}
