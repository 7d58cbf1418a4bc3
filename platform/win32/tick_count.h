#pragma once
// Milliseconds since the shared clock's epoch, wrapping at 2^32 as the
// platform's tick count does.

#include "platform/win32/win32_types.h"

DWORD GetTickCount();
