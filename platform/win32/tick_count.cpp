#include "platform/win32/tick_count.h"

#include "platform/clock/clock.h"

DWORD GetTickCount() { return static_cast<DWORD>(keld::clock::now() / 1000); }
