#pragma once
#include "platform/win32/win32_types.h"

// Copies `source` with its terminating zero; null when either pointer is null.
LPSTR lstrcpyA(LPSTR destination, LPCSTR source);
