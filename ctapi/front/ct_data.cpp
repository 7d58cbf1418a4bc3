// CT_data: the frame around every command to a terminal or its card.

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "ctapi/front/command_handling.h"
#include "ctapi/front/reader_commands.h"
#include "ctapi/front/terminals.h"
#include "ctapi/include/keldapi.h"
#include "ctapi/state/library_state.h"

namespace keldapi {
namespace {

constexpr std::uint8_t HIGHEST_DESTINATION = 14;
constexpr std::uint16_t EVENT_COPY_LIMIT = 267;

bool begins(const std::uint8_t* command, std::uint16_t lenc, std::uint8_t cla, std::uint8_t ins) {
  return lenc >= 2 && command[0] == cla && command[1] == ins;
}

void answerFromLibrary(std::uint8_t* dad, std::uint8_t* sad) {
  *dad = CT_ADDRESS_HOST;
  *sad = CT_ADDRESS_CT;
}

void keepEventBookkeeping(TerminalSlot& slot, std::int8_t result, std::uint16_t lenc,
                          const std::uint8_t* command, std::uint16_t lenr, const std::uint8_t* response) {
  if (begins(command, lenc, 0x80, 0x70)) {
    if (result == OK && lenr >= 2 && response[lenr - 2] == 0x90 && response[lenr - 1] == 0x00) {
      lib.eventCode = command[lenc - 1];
      if (lenc < EVENT_COPY_LIMIT) std::copy_n(command, lenc, lib.eventCommandCopy.begin());
      slot.eventArmed = 1;
    }
    return;
  }
  // Commands of CLA 0x80, or with INS 0x71, leave the terminal armed.
  const bool keepsArmed = command[0] == 0x80 || (lenc >= 2 && command[1] == 0x71);
  if (!keepsArmed) slot.eventArmed = 0;
}

}  // namespace
}  // namespace keldapi

using namespace keldapi;

extern "C" [[gnu::visibility("default")]] int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad,
                                                         uint16_t lenc, uint8_t* command,
                                                         uint16_t* lenr, uint8_t* response) {
  if (dad == nullptr || sad == nullptr) return ERR_INVALID;
  const int index = findOpenSlot(ctn);
  if (index < 0) {
    answerFromLibrary(dad, sad);
    return ERR_INVALID;
  }
  const bool eventWait =
      *dad == CT_ADDRESS_CT && *sad == CT_ADDRESS_HOST && command != nullptr && begins(command, lenc, 0x80, 0x71);
  switch (waitForTerminal(index, eventWait, false)) {
    case TerminalWait::Acquired:
      break;
    case TerminalWait::EventWaitRefused:
      return ERR_HTSI;
    case TerminalWait::QuitReceived:
      answerFromLibrary(dad, sad);
      return ERR_HOST;
    case TerminalWait::StillBusy:
      return ERR_CT;
  }
  TerminalSlot& slot = lib.terminals[index];

  if ((*sad != CT_ADDRESS_HOST && *sad != CT_ADDRESS_REMOTE_HOST) || *dad > HIGHEST_DESTINATION || lenc == 0 ||
      command == nullptr) {
    answerFromLibrary(dad, sad);
    releaseTerminal(index);
    return ERR_INVALID;
  }
  if (lenr == nullptr || *lenr < 2 || response == nullptr) {
    answerFromLibrary(dad, sad);
    releaseTerminal(index);
    return ERR_MEMORY;
  }
  const std::uint16_t capacity = *lenr;
  {
    std::lock_guard guard(exchangeLock());
    lib.responseBuffer = response;
    lib.responseCapacity = capacity;
  }
  bool holdsBusy = true;
  const std::int8_t result = handleCommand(index, dad, sad, lenc, command, lenr, response, capacity, &holdsBusy);

  keepEventBookkeeping(slot, result, lenc, command, *lenr, response);
  if (result != OK && *sad == CT_ADDRESS_HOST) {
    *sad = *dad;
    *dad = CT_ADDRESS_HOST;
  }
  if (holdsBusy) releaseTerminal(index);
  return result;
}
