#include "ctapi/front/command_handling.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string_view>

#include "ctapi/front/reader_commands.h"
#include "ctapi/include/keldapi.h"
#include "ctapi/link/exchange.h"
#include "ctapi/state/library_state.h"
#include "platform/win32/message_beep.h"
#include "platform/win32/message_queue.h"
#include "platform/win32/tick_count.h"

namespace keldapi {
namespace {

constexpr std::string_view LIBRARY_TEXT =
    "CT K4-PCMCIA CT-API W2KXP, V3.54, for Keldmatic card readers.";
static_assert(LIBRARY_TEXT.size() == 61);

constexpr std::array<std::uint8_t, 72> makeFileFF10() {
  std::array<std::uint8_t, 72> file{};
  file[0] = 0x01;
  file[1] = 0x3D;
  for (std::size_t i = 0; i < LIBRARY_TEXT.size(); ++i)
    file[2 + i] = static_cast<std::uint8_t>(LIBRARY_TEXT[i]);
  constexpr std::array<std::uint8_t, 9> tail = {0x02, 0x01, 0x01, 0x02, 0x01, 0x10, 0x02, 0x01, 0x40};
  for (std::size_t i = 0; i < tail.size(); ++i) file[63 + i] = tail[i];
  return file;
}
constexpr std::array<std::uint8_t, 72> FILE_FF10 = makeFileFF10();

constexpr std::array<std::uint8_t, 12> SELECTED_FF10 = {0x00, 0x48, 0x00, 0x48, 0x08, 0x00,
                                                        0x00, 0x00, 0x00, 0x00, 0x90, 0x00};
constexpr std::array<std::uint8_t, 12> SELECTED_FF11 = {0x00, 0x08, 0x00, 0x08, 0x08, 0x00,
                                                        0x00, 0x00, 0x00, 0x00, 0x90, 0x00};

constexpr std::uint16_t FIRMWARE_OWN_CT_COMMANDS = 0x400;
constexpr std::uint16_t FIRMWARE_STATUS_BYTE = 0x232;
constexpr std::uint8_t TAG_TIME_OUT = 0x80;
constexpr DWORD PUMP_PAUSE_MS = 100;

// What one call of handleCommand works with.
struct Call {
  int terminal;
  std::uint8_t* dad;
  std::uint8_t* sad;
  std::uint16_t lenc;
  std::uint8_t* command;
  std::uint16_t* lenr;
  std::uint8_t* response;
  std::uint16_t capacity;
  bool* holdsBusy;

  std::uint8_t at(std::size_t i) const { return i < lenc ? command[i] : 0; }
  std::span<const std::uint8_t> bytes() const { return {command, lenc}; }
};

std::int8_t answer(const Call& call, std::span<const std::uint8_t> bytes) {
  *call.dad = 2;
  *call.sad = 1;
  if (bytes.size() > call.capacity) {
    *call.lenr = 0;
    return ERR_MEMORY;
  }
  std::copy(bytes.begin(), bytes.end(), call.response);
  *call.lenr = static_cast<std::uint16_t>(bytes.size());
  return OK;
}

std::int8_t status(const Call& call, std::uint8_t sw1, std::uint8_t sw2) {
  const std::array<std::uint8_t, 2> bytes = {sw1, sw2};
  return answer(call, bytes);
}

std::int8_t quit(const Call& call) {
  lib.quitSeen = 1;
  *call.dad = 2;
  *call.sad = 1;
  *call.lenr = 0;
  return ERR_HOST;
}

// Takes one message if there is one; false on WM_QUIT.
bool pumpOneMessage() {
  MSG message;
  if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return true;
  if (message.message == WM_QUIT) return false;
  TranslateMessage(&message);
  DispatchMessageA(&message);
  return true;
}

bool before(DWORD deadline) { return static_cast<std::int32_t>(deadline - GetTickCount()) > 0; }

bool pumpFor(DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  do {
    if (!pumpOneMessage()) return false;
  } while (before(end));
  return true;
}

std::int8_t forward(const Call& call, std::uint8_t* command, std::uint16_t lenc) {
  std::lock_guard guard(exchangeLock());
  lib.responseBuffer = call.response;
  lib.responseCapacity = call.capacity;
  *call.lenr = call.capacity;
  return exchangeCommand(call.terminal, call.dad, call.sad, lenc, command, call.lenr, call.response);
}

// The time-out of REQUEST ICC and EJECT ICC in milliseconds, read within lenc.
DWORD commandTimeOut(const Call& call) {
  const std::uint8_t lc = call.at(4);
  if (lc == 0) return 0;
  if (lc == 1) return call.at(5) * 1000u;
  DWORD timeOut = 0;
  const std::size_t end = std::min<std::size_t>(lc + 5u, call.lenc);
  for (std::size_t i = 5; i + 1 < end; i += 2u + call.command[i + 1]) {
    if (call.command[i] == TAG_TIME_OUT && call.command[i + 1] == 1 && i + 2 < call.lenc)
      timeOut = call.command[i + 2] * 1000u;
  }
  return timeOut;
}

enum class PollResult { Met, TimedOut, Quit };

// Reads the card status until `seen` (given each tag 0x21 object) reports
// the condition met, or the time-out passes.
template <typename Seen>
PollResult pollIccStatus(int terminal, DWORD timeOut, Seen seen) {
  const DWORD deadline = GetTickCount() + timeOut;
  do {
    bool read = false;
    bool met = false;
    {
      std::lock_guard guard(exchangeLock());
      if (readIccStatusFile(terminal) == 0) {
        read = true;
        walkDataObjects(receivedBlock(), [&](std::uint8_t tag, std::span<const std::uint8_t> value) {
          if (tag == TAG_ICC_STATUS && !value.empty()) met = seen(value[0]);
        });
        selectMasterFile(terminal);
      }
    }
    if (met) return PollResult::Met;
    if (read && !pumpFor(PUMP_PAUSE_MS)) return PollResult::Quit;
  } while (before(deadline));
  return PollResult::TimedOut;
}

std::int8_t readBinary(const Call& call, std::span<const std::uint8_t> file) {
  if (call.lenc != 5 && call.lenc != 7) return status(call, 0x67, 0x00);
  const std::size_t size = file.size();
  const std::size_t offset = call.at(2) * 256u + call.at(3);
  if (offset >= size) return status(call, 0x6B, 0x00);
  const std::size_t le = call.at(4);
  const bool pastEnd = le + offset > size;
  const std::size_t n = (le != 0 && !pastEnd) ? le : size - offset;
  std::array<std::uint8_t, 74> bytes{};
  std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), n, bytes.begin());
  bytes[n] = pastEnd ? 0x62 : 0x90;
  bytes[n + 1] = pastEnd ? 0x82 : 0x00;
  return answer(call, std::span(bytes).first(n + 2));
}

// SELECT FILE of one of the library's files; `selected` is its flag.
std::int8_t selectOwnFile(const Call& call, std::int32_t& selected,
                          std::span<const std::uint8_t> selectionAnswer) {
  if (call.at(2) != 0 || call.at(3) != 0) return status(call, 0x6B, 0x00);
  if (call.at(4) != 2 || call.lenc != 7) return status(call, 0x67, 0x00);
  selected = 1;
  return answer(call, selectionAnswer);
}

std::int8_t eventWait(const Call& call) {
  TerminalSlot& slot = lib.terminals[call.terminal];
  if (call.lenc < 4) return status(call, 0x67, 0x00);
  if (slot.eventArmed == 0) return status(call, 0x64, 0xF0);
  const DWORD timeOut = (call.at(2) * 60u + call.at(3)) * 1000u;
  const DWORD deadline = GetTickCount() + timeOut;

  const auto endWith = [&call](std::int8_t result) {
    lib.eventWaitActive = 0;
    *call.lenr = 0;
    *call.dad = 2;
    *call.sad = 1;
    return result;
  };

  *call.holdsBusy = false;
  lib.eventWaitActive = 1;
  lib.callArrived = 0;
  slot.busy = 0;
  do {
    if (lib.callArrived != 0) {
      slot.eventArmed = 0;
      return endWith(ERR_HTSI);
    }
    if (slot.ctn == NO_CTN) return endWith(ERR_HTSI);
    std::uint8_t expected = 0;
    if (slot.busy.compare_exchange_strong(expected, 1)) {
      bool event = false;
      bool failed = false;
      if (lib.firmwareVersion >= FIRMWARE_STATUS_BYTE) {
        const std::uint8_t x = getIccStatusByte(call.terminal);
        failed = x == 0xFF;
        event = !failed && (x & 0x0F) == lib.eventCommandCopy[7];
      } else {
        std::lock_guard guard(exchangeLock());
        if (readIccStatusFile(call.terminal) != 0) {
          failed = true;
        } else {
          walkDataObjects(receivedBlock(), [&event](std::uint8_t tag, std::span<const std::uint8_t> value) {
            if (tag != TAG_ICC_STATUS || value.empty()) return;
            if ((lib.eventCode == 1 && (value[0] == 1 || value[0] == 2)) ||
                (lib.eventCode == 3 && value[0] == 0))
              event = true;
          });
        }
      }
      slot.busy = 0;
      if (failed) return endWith(ERR_HTSI);
      if (event) {
        slot.eventArmed = 0;
        lib.eventWaitActive = 0;
        return status(call, 0x90, 0x00);
      }
    }
    if (!pumpOneMessage()) {
      lib.eventWaitActive = 0;
      return quit(call);
    }
  } while (before(deadline) || timeOut == 0);
  lib.eventWaitActive = 0;
  return status(call, 0x62, 0xF0);
}

std::int8_t requestIcc(const Call& call, std::uint8_t* command, std::uint16_t lenc) {
  const std::uint8_t p2 = command[3];
  if (command[2] != 1) return status(call, 0x6B, 0x00);
  if ((p2 & 0xF0) != 0x00 && (p2 & 0xF0) != 0xF0) return status(call, 0x6B, 0x00);
  std::uint8_t cardStatus = 0;
  const PollResult polled = pollIccStatus(call.terminal, commandTimeOut(call), [&cardStatus](std::uint8_t value) {
    cardStatus = value;
    return value != 0;
  });
  if (polled == PollResult::Quit) return quit(call);
  if (cardStatus != 1) return status(call, 0x62, cardStatus == 2 ? 0x01 : 0x00);

  const std::array<std::uint8_t, 5> reset = {0x20, 0x10, 0x01, static_cast<std::uint8_t>(p2 & 0x0F), 0x00};
  std::copy_n(reset.begin(), std::min<std::size_t>(lenc, reset.size()), command);
  std::copy_n(reset.begin(), std::min<std::size_t>(call.lenc, reset.size()), call.command);
  const std::int8_t result = forward(call, command, 5);
  if (*call.lenr >= 2 && call.response[*call.lenr - 2] == 0x62 && call.response[*call.lenr - 1] == 0xA6) {
    call.response[*call.lenr - 2] = 0x90;
    call.response[*call.lenr - 1] = 0x00;
  }
  return result;
}

std::int8_t getStatus(const Call& call, const std::uint8_t* command, std::uint16_t lenc) {
  const std::uint8_t p1 = command[2];
  const std::uint8_t p2 = command[3];
  if (p2 == 0x46 && p1 != 0) return status(call, 0x6B, 0x00);
  if (p2 == 0x80 && p1 != 0 && p1 != 1) return status(call, 0x6B, 0x00);
  if (lenc != 4 && lenc != 5) return status(call, 0x67, 0x00);
  std::lock_guard guard(exchangeLock());
  if (p2 == 0x46) {
    std::array<std::uint8_t, 17> data = {'D', 'E', 'V', 'N', 'R', ' ', ' ', 'Q', 'T', 'V',
                                         ' ', ' ', ' ', ' ', ' ', 0x90, 0x00};
    if (readReaderInfoFile(call.terminal) != 0) return status(call, 0x6F, 0x00);
    walkDataObjects(receivedBlock(), [&data](std::uint8_t tag, std::span<const std::uint8_t> value) {
      if (tag != TAG_FIRMWARE_VERSION) return;
      // A longer version text gives its first five characters.
      const std::size_t length = std::min<std::size_t>(value.size(), 5);
      std::fill_n(data.begin() + 10, 5, ' ');
      std::copy_n(value.begin(), length, data.begin() + static_cast<std::ptrdiff_t>(15 - length));
    });
    selectMasterFile(call.terminal);
    return answer(call, data);
  }
  if (p2 == 0x80) {
    if (readIccStatusFile(call.terminal) != 0) return status(call, 0x6F, 0x00);
    // Without a status object the card counts as absent.
    std::array<std::uint8_t, 3> data = {0x00, 0x90, 0x00};
    walkDataObjects(receivedBlock(), [&data](std::uint8_t tag, std::span<const std::uint8_t> value) {
      if (tag != TAG_ICC_STATUS || value.empty()) return;
      data[0] = value[0] == 0 ? 0x00 : value[0] == 1 ? 0x03 : value[0] == 2 ? 0x05 : 0x01;
    });
    selectMasterFile(call.terminal);
    return answer(call, data);
  }
  return status(call, 0x6B, 0x00);
}

std::int8_t ejectIcc(const Call& call, const std::uint8_t* command) {
  const std::uint8_t p2 = command[3];
  if (command[2] != 1) return status(call, 0x6B, 0x00);
  if (((p2 & 0xF0) != 0x00 && (p2 & 0xF0) != 0xF0) || (p2 & 0x08) != 0) return status(call, 0x6B, 0x00);
  const DWORD timeOut = commandTimeOut(call);
  sendDeactivateIcc(call.terminal);
  const bool beep = (p2 & 0x01) != 0;
  if (beep)
    for (int i = 0; i < 3; ++i) MessageBeep(0);
  const PollResult polled = pollIccStatus(call.terminal, timeOut, [](std::uint8_t value) { return value == 0; });
  if (polled == PollResult::Quit) return quit(call);
  if (beep) MessageBeep(0);
  return status(call, 0x90, polled == PollResult::Met ? 0x01 : 0x00);
}

std::int8_t cardTerminalCommand(const Call& call) {
  // A command without Le is taken with Le 00, in a copy of our own.
  std::array<std::uint8_t, 5> extended{};
  std::uint8_t* command = call.command;
  std::uint16_t lenc = call.lenc;
  if (lenc == 4) {
    std::copy_n(call.command, 4, extended.begin());
    command = extended.data();
    lenc = 5;
  }
  if (lib.firmwareVersion >= FIRMWARE_OWN_CT_COMMANDS) return forward(call, command, lenc);
  switch (lenc >= 2 ? command[1] : 0) {
    case 0x11:
      command[1] = 0x10;
      call.command[1] = 0x10;
      return forward(call, command, lenc);
    case 0x12:
    case 0x13:
    case 0x15:
      // Without P1 and P2 there is nothing to carry out.
      if (lenc < 4) return status(call, 0x67, 0x00);
      if (command[1] == 0x12) return requestIcc(call, command, lenc);
      if (command[1] == 0x13) return getStatus(call, command, lenc);
      return ejectIcc(call, command);
    default:
      return forward(call, command, lenc);
  }
}

}  // namespace

std::int8_t handleCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                          std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response,
                          std::uint16_t capacity, bool* holdsBusy) {
  bool ownHoldsBusy = true;
  const Call call{terminal, dad, sad, lenc, command, lenr, response, capacity,
                  holdsBusy != nullptr ? holdsBusy : &ownHoldsBusy};
  *lenr = 0;
  if (*dad != CT_ADDRESS_CT || *sad != CT_ADDRESS_HOST) return forward(call, command, lenc);

  const std::uint8_t cla = call.at(0);
  const std::uint8_t ins = call.at(1);
  if (cla == 0x00 && ins == 0xA4) {
    const bool namesFile = lenc >= 7 && command[5] == 0xFF;
    if (namesFile && command[6] == 0x10) return selectOwnFile(call, lib.selectedFF10, SELECTED_FF10);
    lib.selectedFF10 = 0;
    if (namesFile && command[6] == 0x11) return selectOwnFile(call, lib.selectedFF11, SELECTED_FF11);
    lib.selectedFF11 = 0;
  }
  if (cla == 0x00 && ins == 0xB0) {
    if (lib.selectedFF10 != 0) return readBinary(call, FILE_FF10);
    if (lib.selectedFF11 != 0) {
      const TerminalSlot& slot = lib.terminals[terminal];
      const std::array<std::uint8_t, 8> fileFF11 = {
          0x0E, 0x03, static_cast<std::uint8_t>(slot.ctn & 0xFF), static_cast<std::uint8_t>(slot.pn & 0xFF),
          0x03, 0x1D, 0x01, 0xFE};
      return readBinary(call, fileFF11);
    }
  }
  if (cla == 0x80 && ins == 0x71) return eventWait(call);
  if (cla == 0x20) return cardTerminalCommand(call);
  return forward(call, command, lenc);
}

std::int8_t handleCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                          std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
  return handleCommand(terminal, dad, sad, lenc, command, lenr, response, lib.responseCapacity, nullptr);
}

}  // namespace keldapi
