#include "ctapi/state/library_state.h"

#include "ctapi/link/transport.h"
#include "platform/win32/device_io.h"

namespace keldapi {

LibraryState lib;

void resetLibraryState() {
  for (TerminalSlot& slot : lib.terminals) {
    if (slot.device != INVALID_HANDLE_VALUE) CloseHandle(slot.device);
    slot.device = INVALID_HANDLE_VALUE;
    slot.flags = 0;
    slot.busy = 0;
    slot.ctn = 0;
    slot.pn = 0;
    slot.eventArmed = 0;
  }
  for (LinkState& link : lib.links) link = LinkState{};
  lib.edcMode = 1;
  lib.extendedLength = 0;
  lib.firmwareVersion = 0;
  lib.answerByteCount = 0;
  lib.answerLength = 0;
  lib.blockLength = 0;
  lib.blockBuffer.fill(0);
  lib.answerBuffer.fill(0);
  lib.linkPhase = 0;
  lib.linkOwner = -1;
  lib.failedTransmits = 0;
  lib.answerNad = 0;
  lib.lastBlock.fill(0);
  lib.responseLength = 0;
  lib.responseBuffer = nullptr;
  lib.responseCapacity = 0;
  lib.retryDefault = DEFAULT_RETRIES;
  lib.iccParamsPending = 0;
  lib.quitSeen = 0;
  lib.callArrived = 0;
  lib.eventWaitActive = 0;
  lib.eventCode = 0;
  lib.eventCommandCopy.fill(0);
  lib.selectedFF10 = 0;
  lib.selectedFF11 = 0;
}

void resetLinkState(int terminal) {
  LinkState& link = lib.links[terminal];
  link.linkIndex = -1;
  link.ctWaitingTime = DEFAULT_CT_WAITING_TIME;
  link.blockWaitingTime = DEFAULT_BLOCK_WAITING_TIME;
}

int openTerminalLink(int terminal, std::uint16_t ioBase) {
  LinkState& link = lib.links[terminal];
  if (link.linkIndex >= 0) return terminal;
  link.state = LINK_OPENING;
  lib.edcMode = 1;
  lib.extendedLength = 0;
  link.state = LINK_UNUSED;
  link.linkIndex = static_cast<std::int16_t>(terminal);
  link.ioBase = static_cast<std::int16_t>(ioBase);
  return terminal;
}

void closeTerminalLink(int terminal) {
  LinkState& link = lib.links[terminal];
  if (link.linkIndex < 0) return;
  if (lib.linkOwner == link.linkIndex) {
    lib.linkOwner = -1;
    lib.linkPhase = 0;
  }
  link.linkIndex = -1;
}

bool linkValid(int terminal) {
  return terminal >= 0 && terminal < TERMINAL_COUNT && lib.links[terminal].linkIndex >= 0;
}

int setDefaultWaitingTimes(int terminal) {
  LinkState& link = lib.links[terminal];
  link.ctWaitingTime = DEFAULT_CT_WAITING_TIME;
  link.blockWaitingTime = DEFAULT_BLOCK_WAITING_TIME;
  std::int32_t previous = 0;
  return setWaitingTime(terminal, link.blockWaitingTime, &previous) ? 0 : -8;
}

}  // namespace keldapi
