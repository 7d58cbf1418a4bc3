#pragma once
// The terminal table: choosing slots, opening and closing terminals, and the
// wait for a busy terminal that CT_data and CT_close share.

#include <cstdint>

namespace keldapi {

// Lowest free slot index; -1 when the table is full, -2 when `ctn` is open.
int findFreeSlot(std::uint16_t ctn);
// Lowest open slot holding `ctn`, or -1.
int findOpenSlot(std::uint16_t ctn);
// Puts the slot and the process-wide values that CT_init resets back.
void resetSlot(int slot);

enum class TerminalWait {
  Acquired,       // the terminal was free and is now marked busy for the caller
  StillBusy,      // 20 s passed and another call still holds the terminal
  QuitReceived,   // WM_QUIT was taken from the queue; quitSeen is set
  EventWaitRefused,  // the caller's command was an event wait and the terminal was in use
};

// Waits up to 20 s (pumping the thread's messages) until the slot is neither
// busy nor in an event wait, then marks it busy. Every pass raises
// callArrived, which ends an event wait in progress. With
// `refuseIfInUse`, the first pass that finds the terminal in use gives
// EventWaitRefused. With `acceptEventWaitAtEnd`, a terminal that after the
// 20 s is held only by an event wait is taken anyway (CT_close).
TerminalWait waitForTerminal(int slot, bool refuseIfInUse, bool acceptEventWaitAtEnd);

// Releases the busy mark taken by waitForTerminal.
void releaseTerminal(int slot);

}  // namespace keldapi
