#pragma once
// The one clock of the system. GetTickCount, the kernel's delays and stalls and
// the host's timers all read it. By default it is the machine's monotonic
// clock; tests (and `keldrind --virtual-time`, or KELD_VIRTUAL_TIME=1 in the
// environment) switch it to a virtual clock on which pauses are instant and
// time moves only when something waits or reads it.

#include <cstdint>
#include <functional>

namespace keld::clock {

using Microseconds = std::uint64_t;

// Current time in microseconds since the clock's epoch.
Microseconds now();

// Pause the caller: sleeps on the real clock, advances the virtual clock.
void sleepFor(Microseconds duration);

// Busy-wait (a processor stall): spins on the real clock, advances the virtual one.
void stallFor(Microseconds duration);

// Switch to the virtual clock, starting at `start`. Every reading of the
// virtual clock advances it by `readStep`, the way a caller that spins on the
// clock sees time pass; 0 makes readings free.
void useVirtualClock(Microseconds start = 0, Microseconds readStep = 1000);

// Back to the real clock; drops every scheduled action.
void useRealClock();

bool isVirtual();

// Virtual clock only: move time forward, running the actions that fall due.
void advance(Microseconds duration);

// Run `action` once the clock reaches `at` (virtual clock: when a reading,
// pause or advance passes it; real clock: at the first reading after it).
// Actions run on the thread that moved the clock, without the clock's lock held.
void scheduleAt(Microseconds at, std::function<void()> action);

// Honour KELD_VIRTUAL_TIME=1 in the environment. Called on first use; cheap.
void configureFromEnvironment();

constexpr Microseconds milliseconds(std::uint64_t ms) { return ms * 1000; }
constexpr Microseconds seconds(std::uint64_t s) { return s * 1000 * 1000; }

}  // namespace keld::clock
