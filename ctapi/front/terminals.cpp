#include "ctapi/front/terminals.h"

#include <array>
#include <memory>
#include <mutex>
#include <new>

#include "ctapi/include/keldapi.h"
#include "ctapi/state/library_state.h"
#include "driver/ioctl/reader_ioctl.h"
#include "platform/win32/device_io.h"
#include "platform/win32/message_queue.h"
#include "platform/win32/strings.h"
#include "platform/win32/tick_count.h"

namespace keldapi {
namespace {

constexpr std::array<const char*, 4> DEVICE_NAMES = {
    "\\\\.\\KELDCT_0", "\\\\.\\KELDCT_1", "\\\\.\\KELDCT_2", "\\\\.\\KELDCT_3"};
constexpr std::uint16_t MAX_PORT_NUMBER = 7;
constexpr DWORD TERMINAL_WAIT_MS = 20000;
constexpr char VERSION_TEXT[] = "Version V3.54-W2K XP";
static_assert(sizeof(VERSION_TEXT) == 21);

// CT_init runs without waiting and without pumping messages; one lock keeps
// two of them from choosing the same slot.
std::mutex terminalTableLock;

bool tryMarkBusy(TerminalSlot& slot) {
  std::uint8_t expected = 0;
  return slot.busy.compare_exchange_strong(expected, 1);
}

// Reads the I/O base of an opened reader device.
bool readIoBase(HANDLE device, std::uint32_t* ioBase) {
  keld::ioctl::ReaderConfigRecord config{};
  DWORD returned = 0;
  if (!DeviceIoControl(device, keld::ioctl::IOCTL_READER_GET_CONFIG, nullptr, 0, &config,
                       sizeof config, &returned, nullptr))
    return false;
  *ioBase = config.IoBase;
  return true;
}

void closeDevice(TerminalSlot& slot) {
  if (slot.device != INVALID_HANDLE_VALUE) CloseHandle(slot.device);
  slot.device = INVALID_HANDLE_VALUE;
}

}  // namespace

int findFreeSlot(std::uint16_t ctn) {
  int free = -1;
  for (int i = 0; i < TERMINAL_COUNT; ++i) {
    if (!lib.terminals[i].isOpen()) {
      free = i;
      break;
    }
  }
  if (free < 0) return -1;
  if (findOpenSlot(ctn) >= 0) return -2;
  return free;
}

int findOpenSlot(std::uint16_t ctn) {
  for (int i = 0; i < TERMINAL_COUNT; ++i) {
    const TerminalSlot& slot = lib.terminals[i];
    if (slot.isOpen() && slot.ctn == ctn) return i;
  }
  return -1;
}

void resetSlot(int slot) {
  TerminalSlot& terminal = lib.terminals[slot];
  terminal.flags &= ~SLOT_OPEN;
  terminal.busy = 0;
  terminal.eventArmed = 0;
  terminal.ctn = NO_CTN;
  lib.quitSeen = 0;
  lib.retryDefault = DEFAULT_RETRIES;
  lib.callArrived = 0;
  lib.eventWaitActive = 0;
  resetLinkState(slot);
}

TerminalWait waitForTerminal(int slot, bool refuseIfInUse, bool acceptEventWaitAtEnd) {
  TerminalSlot& terminal = lib.terminals[slot];
  const DWORD deadline = GetTickCount() + TERMINAL_WAIT_MS;
  do {
    lib.callArrived = 1;
    if (lib.eventWaitActive == 0 && tryMarkBusy(terminal)) return TerminalWait::Acquired;
    if (refuseIfInUse) return TerminalWait::EventWaitRefused;
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        lib.quitSeen = 1;
        return TerminalWait::QuitReceived;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  } while (static_cast<std::int32_t>(deadline - GetTickCount()) > 0);
  if (acceptEventWaitAtEnd && tryMarkBusy(terminal)) return TerminalWait::Acquired;
  return TerminalWait::StillBusy;
}

void releaseTerminal(int slot) { lib.terminals[slot].busy = 0; }

}  // namespace keldapi

using namespace keldapi;

extern "C" [[gnu::visibility("default")]] int8_t CT_init(uint16_t ctn, uint16_t pn) {
  std::lock_guard guard(terminalTableLock);
  lib.selectedFF10 = 0;
  lib.selectedFF11 = 0;
  lib.iccParamsPending = 0;

  const int slot = findFreeSlot(ctn);
  if (slot < 0) return ERR_INVALID;
  if (pn > MAX_PORT_NUMBER) return ERR_INVALID;

  resetSlot(slot);
  TerminalSlot& terminal = lib.terminals[slot];
  terminal.busy = 1;

  // The candidate bases of pn 1 to 7: 0x300, 0x320, ... 0x3C0.
  std::unique_ptr<std::uint16_t[]> ioBaseTable(new (std::nothrow) std::uint16_t[MAX_PORT_NUMBER]);
  if (!ioBaseTable) {
    terminal.busy = 0;
    return ERR_MEMORY;
  }
  for (std::uint16_t i = 0; i < MAX_PORT_NUMBER; ++i)
    ioBaseTable[i] = static_cast<std::uint16_t>(0x300 + 0x20 * i);

  bool taken = false;
  std::uint32_t ioBase = 0;
  for (const char* name : DEVICE_NAMES) {
    terminal.device = CreateFileA(name, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (terminal.device == INVALID_HANDLE_VALUE) {
      // A reader that another terminal holds open is skipped; a name that no
      // reader answers to ends the search.
      if (GetLastError() == ERROR_ACCESS_DENIED) continue;
      terminal.busy = 0;
      return ERR_TRANS;
    }
    if (!readIoBase(terminal.device, &ioBase)) {
      closeDevice(terminal);
      continue;
    }
    if (pn == 0 || static_cast<std::uint16_t>(ioBase) == ioBaseTable[pn - 1]) {
      taken = true;
      break;
    }
    closeDevice(terminal);
  }
  if (!taken || (pn == 0 && ioBase == 0)) {
    closeDevice(terminal);
    terminal.busy = 0;
    return ERR_TRANS;
  }

  openTerminalLink(slot, static_cast<std::uint16_t>(ioBase));
  terminal.flags |= SLOT_OPEN;
  terminal.ctn = ctn;
  terminal.pn = pn;
  setDefaultWaitingTimes(slot);
  terminal.busy = 0;
  return OK;
}

extern "C" [[gnu::visibility("default")]] int8_t CT_close(uint16_t ctn) {
  const int slot = findOpenSlot(ctn);
  if (slot < 0) return ERR_INVALID;
  switch (waitForTerminal(slot, false, true)) {
    case TerminalWait::Acquired:
      break;
    case TerminalWait::QuitReceived:
      return ERR_HOST;
    case TerminalWait::StillBusy:
    case TerminalWait::EventWaitRefused:
      return ERR_CT;
  }
  TerminalSlot& terminal = lib.terminals[slot];
  {
    std::lock_guard guard(terminalTableLock);
    closeDevice(terminal);
    terminal.flags &= ~SLOT_OPEN;
    closeTerminalLink(slot);
    terminal.ctn = NO_CTN;
  }
  terminal.busy = 0;
  return OK;
}

extern "C" [[gnu::visibility("default")]] int16_t Get_VersionString(char* buffer, int16_t selector) {
  if (selector < 1 || selector > 3) return 0;
  return lstrcpyA(buffer, VERSION_TEXT) != nullptr ? 1 : 0;
}

extern "C" [[gnu::visibility("default")]] int8_t CT_IccStatus(int32_t, int32_t, int32_t) {
  return ERR_HTSI;
}
