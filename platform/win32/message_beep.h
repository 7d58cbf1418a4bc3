#pragma once
// MessageBeep: the system's alert sound. The stand-in makes no sound; it
// counts the beeps and hands each to a hook, so that programs and tests can
// observe them.

#include <cstddef>
#include <functional>

#include "platform/win32/win32_types.h"

BOOL MessageBeep(UINT type);

namespace keld::win32 {

// Beeps of the process since the last reset.
std::size_t messageBeepCount();
// Called with the type of every beep (in the beeping thread); empty to drop.
void setMessageBeepHook(std::function<void(UINT type)> hook);
// Sets the count back to 0 and drops the hook.
void resetMessageBeeps();

}  // namespace keld::win32
