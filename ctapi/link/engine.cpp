#include "ctapi/link/engine.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "ctapi/link/blocks.h"
#include "ctapi/link/reader_contract.h"
#include "ctapi/link/transport.h"
#include "ctapi/state/library_state.h"

namespace keldapi {
namespace {

using namespace reader;

constexpr int ERROR_EDC = R_ERROR_EDC;
constexpr int ERROR_OTHER = R_ERROR_OTHER;

// A side that answers every S-response with a new request would otherwise
// keep one evaluation going for ever; no sound card asks this often in a row.
constexpr int MAX_SUPERVISORY_REQUESTS = 256;

std::uint8_t pcbOf() { return lib.blockBuffer[1]; }
std::uint8_t nadOf() { return lib.blockBuffer[0]; }
bool isSupervisory(std::uint8_t pcb) { return (pcb & 0xC0) == 0xC0; }
bool isSupervisoryRequest(std::uint8_t pcb) { return (pcb & 0xE0) == 0xC0; }
bool isRBlock(std::uint8_t pcb) { return (pcb & 0xC0) == 0x80; }
bool isIBlock(std::uint8_t pcb) { return (pcb & 0x80) == 0; }
bool fromTerminal(std::uint8_t nad) { return (nad & 0x0F) == 1; }

void consumeRetry(LinkState& link) {
  if (link.retriesLeft > std::numeric_limits<std::int8_t>::min()) --link.retriesLeft;
}

// The code of the R-block that answers a failed frame check.
int frameErrorCode() { return lib.blockLength == -128 ? ERROR_EDC : ERROR_OTHER; }

// One retry spent, then an R-block while the budget lasts.
int errorReply(int terminal, int errorCode) {
  consumeRetry(lib.links[terminal]);
  return sendRBlock(terminal, errorCode) != 0 ? LINK_RECOVERING : LINK_GIVEN_UP;
}

int sendSupervisory(int terminal, std::uint8_t pcb, std::uint16_t infLength,
                    const std::uint8_t* inf) {
  return sendBlock(terminal, NAD_LIBRARY, pcb, infLength, inf);
}

// Answers the supervisory requests of the other side until its newest block
// is none; 0 when that block is waiting, else the link result.
int serveSupervisoryRequests(int terminal) {
  LinkState& link = lib.links[terminal];
  for (int served = 0; isSupervisoryRequest(pcbOf()); ++served) {
    if (served == MAX_SUPERVISORY_REQUESTS) return errorReply(terminal, ERROR_OTHER);
    const std::uint8_t pcb = pcbOf();
    const bool hasByte = lib.blockLength >= 1;
    const std::uint8_t value = hasByte ? lib.blockBuffer[infOffset()] : 0;
    switch (pcb) {
      case PCB_S_ABORT_REQUEST:
        sendSupervisory(terminal, PCB_S_ABORT_REQUEST | PCB_S_RESPONSE, 0, nullptr);
        if (takeAnswer() == 0) return errorReply(terminal, frameErrorCode());
        break;
      case PCB_S_IFS_REQUEST:
        if (!hasByte || value == 0 || value == 0xFF) return errorReply(terminal, ERROR_OTHER);
        link.ifsc = value;
        sendSupervisory(terminal, PCB_S_IFS_REQUEST | PCB_S_RESPONSE, 1, &value);
        if (takeAnswer() == 0) return errorReply(terminal, frameErrorCode());
        break;
      case PCB_S_WTX_REQUEST: {
        if (!hasByte) return errorReply(terminal, ERROR_OTHER);
        // The prolonged waiting time holds for the one answer to our response.
        std::int32_t previous = 0;
        link.blockWaitingTime = value * WTX_UNIT;
        if (!setWaitingTime(terminal, link.blockWaitingTime, &previous)) return LINK_GIVEN_UP;
        sendSupervisory(terminal, PCB_S_WTX_REQUEST | PCB_S_RESPONSE, 1, &value);
        const bool good = takeAnswer() != 0;
        link.blockWaitingTime = previous;
        const bool restored = setWaitingTime(terminal, previous, nullptr);
        if (!good) return errorReply(terminal, frameErrorCode());
        if (!restored) return LINK_GIVEN_UP;
        break;
      }
      case PCB_S_RESYNCH_REQUEST:
        // Resynchronisation is the host's business only.
        return errorReply(terminal, ERROR_OTHER);
      default:
        return LINK_OK;  // 0xC4..0xDF: left to the checks behind
    }
  }
  return LINK_OK;
}

bool isTerminalTimeOutReport() {
  return nadOf() == NAD_TERMINAL_TO_HOST && lib.blockLength == 2 && lib.blockBuffer[infOffset()] == SW_CARD_TIMED_OUT.sw1 &&
         lib.blockBuffer[infOffset() + 1] == SW_CARD_TIMED_OUT.sw2;
}

// Sends S(ABORT request) in place of a chained block that does not fit, takes
// its answer, and leaves a response length above the caller's capacity, which
// the command level reports as a buffer that is too small. The chain is not
// received again: the card would only send the same too-long response.
int abortOversizedChain(int terminal, std::int32_t neededLength) {
  sendSupervisory(terminal, PCB_S_ABORT_REQUEST, 0, nullptr);
  if (lib.linkPhase == 4) {
    lib.linkPhase = 5;
    takeAnswer();
  }
  lib.responseLength = neededLength;
  lib.linkOwner = -1;
  return LINK_OK;
}

void sendAcknowledgement(int terminal, std::uint8_t receivedPcb) {
  const std::uint8_t nr = (receivedPcb & PCB_NS) == 0 ? PCB_NR : 0;
  sendSupervisory(terminal, PCB_R_BLOCK | nr, 0, nullptr);
}

void appendInf(std::int32_t at, std::int32_t length) {
  if (lib.responseBuffer == nullptr || length <= 0) return;
  std::memcpy(lib.responseBuffer + at, lib.blockBuffer.data() + infOffset(),
              static_cast<std::size_t>(length));
}

}  // namespace

int sendBlock(int terminal, std::uint8_t nad, std::uint8_t pcb, std::uint16_t infLength,
              const std::uint8_t* inf) {
  const std::size_t length = buildBlock(nad, pcb, infLength, inf);
  lib.linkOwner = static_cast<std::int16_t>(terminal);
  lib.answerLength = 0;
  if (length == 0) {
    lib.answerByteCount = 0;
    lib.linkPhase = 7;
    return 0;
  }
  if (transmitBlock(terminal, static_cast<std::uint16_t>(length)) > 0) {
    lib.linkPhase = 4;
    lib.failedTransmits = 0;
    return static_cast<int>(length);
  }
  lib.linkPhase = 7;
  if (lib.failedTransmits < std::numeric_limits<std::int16_t>::max()) ++lib.failedTransmits;
  return 0;
}

int sendRBlock(int terminal, int errorCode) {
  const LinkState& link = lib.links[terminal];
  if (link.retriesLeft <= 0) return 0;
  const std::uint8_t pcb = static_cast<std::uint8_t>(PCB_R_BLOCK | (link.recvSeq() ? PCB_NR : 0) |
                                                     (errorCode & 0x03));
  sendSupervisory(terminal, pcb, 0, nullptr);
  return 1;
}

int evaluateBlock(int terminal, std::uint16_t capacity, bool raw) {
  (void)capacity;  // the receive decides what fits
  LinkState& link = lib.links[terminal];
  if (takeAnswer() == 0) return errorReply(terminal, frameErrorCode());
  if (const int r = serveSupervisoryRequests(terminal); r != LINK_OK) return r;

  if (raw) {
    std::copy_n(lib.blockBuffer.begin(), lib.answerLength, lib.lastBlock.begin());
    return LINK_OK;
  }

  std::uint8_t pcb = pcbOf();
  const std::uint8_t nad = nadOf();
  if (isSupervisory(pcb)) return errorReply(terminal, ERROR_OTHER);

  // The reader reports a card that stopped answering as 64 A8 of its own; the
  // card is then treated as having asked for a repetition it could not read.
  if (link.cardProtocol == CARD_PROTOCOL_T1 && isTerminalTimeOutReport()) pcb = link.recvSeq() ? 0x82 : 0x92;

  if (isRBlock(pcb)) {
    const int errorCode = pcb & 0x03;
    const bool nr = (pcb & PCB_NR) != 0;
    if (errorCode == 0) return errorReply(terminal, ERROR_OTHER);  // acknowledged, no response
    if (nr == link.recvSeq()) {
      link.invertSendSeq();  // back to the N(S) of the I-block to send again
      consumeRetry(link);
      return LINK_RETRANSMIT;
    }
    const int sent = sendRBlock(terminal, ERROR_OTHER);
    consumeRetry(link);
    return sent != 0 ? LINK_RECOVERING : LINK_GIVEN_UP;
  }

  const bool card = !fromTerminal(nad);
  if (card && ((pcb & PCB_NS) != 0) != link.recvSeq()) return errorReply(terminal, ERROR_OTHER);
  lib.responseLength = lib.blockLength;
  if (isValidIBlock(terminal, nad, pcb) == 0) return errorReply(terminal, ERROR_OTHER);
  lib.answerNad = card ? NAD_CARD_TO_HOST : NAD_TERMINAL_TO_HOST;
  if (card) link.invertRecvSeq();
  return LINK_OK;
}

int receiveResponse(int terminal, std::uint16_t capacity, bool raw) {
  if (terminal != lib.linkOwner) return LINK_GIVEN_UP;
  LinkState& link = lib.links[terminal];
  switch (lib.linkPhase) {
    case 1:
      lib.blockLength = 0;
      lib.linkOwner = -1;
      return LINK_OK;
    case 4:
      break;
    case 7:
      // No answer came. Reported as a failed transmission however often it
      // happened: there is no new response to hand out.
      if (lib.failedTransmits < std::numeric_limits<std::int16_t>::max()) ++lib.failedTransmits;
      return LINK_GIVEN_UP;
    default:
      return LINK_GIVEN_UP;
  }

  lib.linkPhase = 5;
  int r = evaluateBlock(terminal, capacity, raw);
  if (raw || r != LINK_OK) return r;

  std::int32_t gathered = lib.responseLength;
  if (gathered <= capacity) appendInf(0, gathered);
  const bool cardChain = lib.answerNad == NAD_CARD_TO_HOST;

  while (isIBlock(pcbOf()) && (pcbOf() & PCB_MORE) != 0) {
    const std::uint8_t chainedPcb = pcbOf();
    if (gathered > capacity) return abortOversizedChain(terminal, gathered);
    sendAcknowledgement(terminal, chainedPcb);
    for (;;) {
      lib.blockBuffer.fill(0);
      if (link.retriesLeft < 0) return LINK_UNUSABLE;
      lib.linkPhase = 5;
      r = evaluateBlock(terminal, capacity, false);
      if (r == LINK_RETRANSMIT) {
        // The card did not get our acknowledgement: send it again.
        sendAcknowledgement(terminal, chainedPcb);
        link.invertSendSeq();
        continue;
      }
      if (r == LINK_RECOVERING) continue;
      if (r != LINK_OK) return r;
      break;
    }
    // The reader answering in the middle of the card's chain (the card was
    // taken out) ends it: its status is the response, not the tail of the
    // card's data.
    if (cardChain && lib.answerNad == NAD_TERMINAL_TO_HOST) gathered = 0;
    const std::int32_t length = lib.blockLength;
    if (gathered + length > capacity) return abortOversizedChain(terminal, gathered + length);
    appendInf(gathered, length);
    gathered += length;
  }
  lib.responseLength = gathered;
  lib.linkOwner = -1;
  return LINK_OK;
}

int awaitResponse(int terminal, bool raw) {
  int r = LINK_OK;
  do {
    r = receiveResponse(terminal, lib.responseCapacity, raw);
  } while (r == LINK_RECOVERING && lib.links[terminal].retriesLeft >= 0);
  return r != LINK_OK ? LINK_RECEIVE_FAILED : LINK_OK;
}

int fetchBlock(std::uint8_t* nad, std::uint8_t* pcb, const std::uint8_t** inf) {
  switch (lib.linkPhase) {
    case 1:
      lib.linkPhase = 0;
      return lib.blockLength;
    case 6:
      if (nad != nullptr) *nad = lib.blockBuffer[0];
      if (pcb != nullptr) *pcb = lib.blockBuffer[1];
      if (inf != nullptr) *inf = lib.blockBuffer.data() + infOffset();
      lib.linkPhase = 3;
      return lib.blockLength;
    case 7:
      lib.linkPhase = 3;
      return lib.blockLength;
    default:
      return LINK_NOT_READY;
  }
}

int setEdcMode(int terminal, std::int32_t value) {
  if (!linkValid(terminal)) return LINK_NOT_OPEN;
  lib.edcMode = value == 0 ? 0 : 1;
  return LINK_OK;
}

int getEdcMode(int terminal, std::int32_t* value) {
  if (!linkValid(terminal)) return LINK_NOT_OPEN;
  if (value != nullptr) *value = lib.edcMode;
  return LINK_OK;
}

}  // namespace keldapi
