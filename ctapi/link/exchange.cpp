#include "ctapi/link/exchange.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>

#include "ctapi/front/reader_commands.h"
#include "ctapi/include/keldapi.h"
#include "ctapi/link/blocks.h"
#include "ctapi/link/engine.h"
#include "ctapi/link/reader_contract.h"
#include "ctapi/link/transport.h"
#include "ctapi/state/library_state.h"

namespace keldapi {

std::int32_t pendingAction = PENDING_NONE;
InterfaceParameters interfaceParameters;
CurrentCommand currentCommand;

void resetExchangeState() {
  pendingAction = PENDING_NONE;
  interfaceParameters = InterfaceParameters{};
  currentCommand = CurrentCommand{};
}

namespace {

using namespace reader;

constexpr std::uint16_t HEADER_LENGTH = 5;  // CLA INS P1 P2 Lc
constexpr std::uint16_t MAX_COMMAND_LENGTH = 270;
constexpr int RESYNCHRONISATIONS = 3;

// Data objects of the interface-parameter commands.
constexpr std::uint8_t TAG_BAUD_RATE = 0x11;
constexpr std::uint8_t TAG_CHARACTER_FORMAT = 0x12;
constexpr std::uint8_t TAG_EPILOGUE = 0x13;
constexpr std::uint8_t TAG_WAITING_TIME = 0x29;
constexpr std::uint8_t TAG_RETRIES = 0x45;

constexpr std::array<std::uint16_t, 7> BAUD_RATES{9600, 19200, 28800, 38400, 57600, 64000, 0};
constexpr std::uint8_t REFUSED_BAUD_RATE_INDEX = 6;

constexpr std::uint8_t MAX_RETRY_DEFAULT = 3;

bool beginsWith(std::span<const std::uint8_t> command, std::initializer_list<std::uint8_t> head) {
  return command.size() >= head.size() && std::equal(head.begin(), head.end(), command.begin());
}

bool isCardReset(std::span<const std::uint8_t> command) {
  return beginsWith(command, {0x20, 0x10, 0x01}) || beginsWith(command, {0x20, 0x1F, 0x01});
}

// RESET CT of the card and REQUEST ICC with the command set's own INS bytes.
// Only firmware that carries them out gets them (older firmware gets 20 10),
// and REQUEST ICC resets nothing when the card is already active (62 01).
bool isFirmwareCardReset(std::span<const std::uint8_t> command) {
  return beginsWith(command, {0x20, 0x11, 0x01}) || beginsWith(command, {0x20, 0x12, 0x01});
}

bool endsWithResetSuccess(const std::uint8_t* response, std::int32_t length, std::uint16_t capacity) {
  if (response == nullptr || length < 2 || length > capacity) return false;
  return response[length - 2] == 0x90 && (response[length - 1] == 0x00 || response[length - 1] == 0x01);
}

// Writes a two-byte status word as the whole response, within the caller's
// buffer. False when it does not fit.
bool writeStatus(std::uint8_t* response, std::uint16_t capacity, StatusWord sw) {
  if (response == nullptr || capacity < 2) return false;
  response[0] = sw.sw1;
  response[1] = sw.sw2;
  return true;
}

int answerWith(int terminal, std::uint8_t source, StatusWord sw) {
  return keldapi::answerLocally(terminal, source, sw.sw1, sw.sw2);
}

// A waiting-time object 29 L V: L of 1 to 4 value bytes, high byte first.
// False when L is out of range or the value runs past the data.
bool readWaitingTime(std::span<const std::uint8_t> data, std::int32_t* value) {
  if (data.size() < 2 || data[0] != TAG_WAITING_TIME) return false;
  const std::size_t length = data[1];
  if (length < 1 || length > 4 || data.size() < 2 + length) return false;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < length; ++i) v = v << 8 | data[2 + i];
  *value = static_cast<std::int32_t>(v);
  return true;
}

// The largest INF the link sends in one block to this terminal's card.
std::uint16_t chunkLimit(const LinkState& link) {
  if (link.ifsc <= 0) return link.ifsc == 0 ? DEFAULT_IFSC : MAX_IFSC;  // negative: above 0x7FFF
  return static_cast<std::uint16_t>(std::min(link.ifsc, MAX_IFSC));
}

// Largest INF of a block that is not chained.
std::uint16_t maxUnchainedInf() {
  if (!longFormEnabled()) return MAX_SHORT_INF;
  return static_cast<std::uint16_t>(BLOCK_BUFFER_SIZE - 5 - (lib.edcMode == 1 ? 1 : 2));
}

bool isChained(const LinkState& link, const CurrentCommand& command) {
  return command.dad != CT_ADDRESS_CT && link.cardProtocol == CARD_PROTOCOL_T1 &&
         command.length > chunkLimit(link);
}

int interceptTerminalReset(int terminal, std::uint8_t sad, std::span<const std::uint8_t> command) {
  if (command[3] != 0) return answerWith(terminal, sad, SW_WRONG_PARAMETERS);
  if (command[4] != 0) return answerWith(terminal, sad, SW_WRONG_LE);
  if (command.size() != HEADER_LENGTH) return answerWith(terminal, sad, SW_WRONG_LENGTH);
  LinkState& link = lib.links[terminal];
  if (!linkValid(terminal)) {
    link.state = LINK_UNUSED;
    return LINK_NOT_OPEN;
  }
  link.state = LINK_COMMAND_IN_PROGRESS;
  openLink(terminal);
  pendingAction = PENDING_NONE;
  return LINK_OK;  // completeReset answers it
}

int interceptTerminalParameters(int terminal, std::uint8_t sad, std::uint8_t dad,
                                std::span<const std::uint8_t> command) {
  if (command[3] != 0) return answerWith(terminal, sad, SW_WRONG_PARAMETERS);
  if (command[4] != command.size() - HEADER_LENGTH) {
    return answerWith(terminal, sad, SW_WRONG_LENGTH);
  }
  const std::span<const std::uint8_t> data = command.subspan(HEADER_LENGTH);
  if (!data.empty() && data[0] == TAG_WAITING_TIME) {
    LinkState& link = lib.links[terminal];
    std::int32_t value = 0;
    if (!readWaitingTime(data, &value)) return answerWith(terminal, sad, SW_WRONG_DATA);
    link.ctWaitingTime = value;
    if (!setWaitingTime(terminal, link.ctWaitingTime, nullptr)) return LINK_TOO_LONG;
    return answerWith(terminal, sad, SW_SUCCESS);
  }
  interfaceParameters.newEdcMode = lib.edcMode;
  getEdcMode(terminal, &interfaceParameters.newEdcMode);
  if (!parseInterfaceParameters(data.data(), static_cast<std::uint16_t>(data.size()))) {
    return answerWith(terminal, sad, SW_FUNCTION_NOT_SUPPORTED);
  }
  if (!linkValid(terminal)) return answerWith(terminal, sad, SW_WRONG_DATA);
  pendingAction = PENDING_EDC_CHANGE;  // the terminal's 90 00 makes it take effect
  const int r = sendCommand(terminal, sad, dad, command.data(),
                            static_cast<std::uint16_t>(command.size()));
  return r < 0 ? r : LINK_OK;
}

// 80 60 01 00: the card's waiting time and the retry budget. *forward stays
// true when the command goes on to the terminal; otherwise the result is the
// command's link result.
int interceptCardParameters(int terminal, std::uint8_t sad, std::span<const std::uint8_t> command,
                            bool* forward) {
  *forward = true;
  const std::span<const std::uint8_t> data = command.subspan(HEADER_LENGTH);
  if (data.empty()) return LINK_OK;
  if (data[0] == TAG_WAITING_TIME) {
    if (data.size() < 2) {
      *forward = false;
      return answerWith(terminal, sad, SW_WRONG_DATA);
    }
    if (data[1] < 1 || data[1] > 4) return LINK_OK;  // not ours: forwarded as it is
    LinkState& link = lib.links[terminal];
    std::int32_t value = 0;
    if (!readWaitingTime(data, &value)) {
      *forward = false;
      return answerWith(terminal, sad, SW_WRONG_DATA);
    }
    link.blockWaitingTime = value;
    if (!setWaitingTime(terminal, link.blockWaitingTime, nullptr)) {
      *forward = false;
      return LINK_TOO_LONG;
    }
    return LINK_OK;
  }
  if (data[0] == TAG_RETRIES) {
    *forward = false;
    if (data.size() >= 3 && data[1] == 1 && data[2] <= MAX_RETRY_DEFAULT) {
      lib.retryDefault = data[2];
      return answerWith(terminal, sad, SW_SUCCESS);
    }
    return answerWith(terminal, sad, SW_WRONG_DATA);
  }
  return LINK_OK;
}

// Reads the card's parameters before its first command after a card reset
// and agrees the information field size with a T=1 card. LINK_OK, or the
// local answer 62 A7 after deactivating a card that cannot be used.
int prepareCard(int terminal) {
  lib.iccParamsPending = 0;
  if (readCardParameters(terminal) == 0) {
    sendDeactivateIcc(terminal);
    return answerWith(terminal, CT_ADDRESS_HOST, SW_CARD_UNUSABLE);
  }
  if (lib.links[terminal].cardProtocol == CARD_PROTOCOL_T1) {
    requestIfs(terminal, REQUESTED_IFSD);
    if (lib.lastBlock[1] != PCB_S_IFS_RESPONSE) {
      sendDeactivateIcc(terminal);
      return answerWith(terminal, CT_ADDRESS_HOST, SW_CARD_UNUSABLE);
    }
  }
  return LINK_OK;
}

bool fromHostToTerminal(std::uint8_t sad, std::uint8_t dad) {
  return dad == CT_ADDRESS_CT && (sad == CT_ADDRESS_HOST || sad == CT_ADDRESS_REMOTE_HOST);
}

// The library answers in place of the card or terminal with a status word.
std::int8_t answerInPlace(std::uint8_t* dad, std::uint8_t* sad, std::uint16_t capacity,
                          std::uint16_t* lenr, std::uint8_t* response, StatusWord sw) {
  if (!writeStatus(response, capacity, sw)) return ERR_MEMORY;
  *lenr = 2;
  *dad = CT_ADDRESS_HOST;
  *sad = CT_ADDRESS_CT;
  return OK;
}

void consumeRetry(LinkState& link) {
  if (link.retriesLeft > std::numeric_limits<std::int8_t>::min()) --link.retriesLeft;
}

}  // namespace

std::int8_t attemptCode(int linkResult) {
  switch (linkResult) {
    case LINK_NOT_OPEN:
    case LINK_NOT_READY:
      return ERR_CT;
    case LINK_UNUSABLE:
    case LINK_RECEIVE_FAILED:
      return ERR_TRANS;
    case LINK_TOO_LONG:
      return ERR_MEMORY;
    default:
      return ERR_HTSI;
  }
}

// Collecting adds one outcome to those of an attempt: no answer arrived.
std::int8_t fetchCode(int linkResult) {
  if (linkResult == LINK_TRANSMIT_FAILED) return ERR_TRANS;
  return attemptCode(linkResult);
}

int answerLocally(int terminal, std::uint8_t source, std::uint8_t sw1, std::uint8_t sw2) {
  writeStatus(lib.responseBuffer, lib.responseCapacity, StatusWord{sw1, sw2});
  lib.responseLength = 2;  // above a smaller buffer's capacity: reported as too small
  lib.links[terminal].state = LINK_RESPONSE_READY;
  lib.answerNad = static_cast<std::uint8_t>(source << 4 | 1);
  return LINK_ANSWERED_LOCALLY;
}

int prepareCommand(int terminal, std::uint8_t sad, std::uint8_t dad, const std::uint8_t* command,
                   std::uint16_t lenc) {
  if (terminal < 0 || terminal >= TERMINAL_COUNT || !lib.terminals[terminal].isOpen()) {
    return LINK_NOT_OPEN;
  }
  const std::span<const std::uint8_t> bytes(command, command != nullptr ? lenc : 0);

  if (dad == CT_ADDRESS_ICC && sad == CT_ADDRESS_HOST && lib.iccParamsPending == 1) {
    if (const int r = prepareCard(terminal); r != LINK_OK) return r;
  }
  if (dad == CT_ADDRESS_CT && sad == CT_ADDRESS_HOST && isCardReset(bytes)) {
    lib.iccParamsPending = 1;  // the reset itself is forwarded below
  }

  if (fromHostToTerminal(sad, dad)) {
    if (bytes.size() < HEADER_LENGTH) return answerWith(terminal, sad, SW_WRONG_LENGTH);
    if (beginsWith(bytes, {0x20, 0x10, 0x00})) return interceptTerminalReset(terminal, sad, bytes);
    if (beginsWith(bytes, {0x80, 0x60, 0x00})) {
      return interceptTerminalParameters(terminal, sad, dad, bytes);
    }
    if (beginsWith(bytes, {0x80, 0x60, 0x01, 0x00}) && bytes[4] == lenc - HEADER_LENGTH) {
      bool forward = true;
      const int r = interceptCardParameters(terminal, sad, bytes, &forward);
      if (!forward) return r;
    }
  }

  pendingAction = dad == CT_ADDRESS_CT && sad == CT_ADDRESS_HOST && isFirmwareCardReset(bytes) ? PENDING_CARD_RESET
                                                                                              : PENDING_NONE;
  const int r = sendCommand(terminal, sad, dad, command, lenc);
  return r < 0 ? r : LINK_OK;
}

int sendCommand(int terminal, std::uint8_t sad, std::uint8_t dad, const std::uint8_t* command,
                std::uint16_t lenc) {
  LinkState& link = lib.links[terminal];
  if (link.retriesLeft < 0) return LINK_NOT_OPEN;
  if (!linkValid(terminal)) {
    consumeRetry(link);
    return LINK_NOT_OPEN;
  }
  if (link.cardProtocol != CARD_PROTOCOL_T1 && lenc > MAX_COMMAND_LENGTH) {
    link.retriesLeft = 0;
    return LINK_TOO_LONG;
  }
  const CurrentCommand next{lenc, sad, dad, command};
  // A block that is not chained must fit the block buffer: terminal commands
  // are never chained, and commands to a card that does not speak T=1 go
  // whole. Refused like an overlong command: no repetition would help.
  if ((lenc > 0 && command == nullptr) || (!isChained(link, next) && lenc > maxUnchainedInf())) {
    link.retriesLeft = 0;
    return LINK_TOO_LONG;
  }
  lib.responseLength = 0;
  currentCommand = next;
  link.state = LINK_COMMAND_IN_PROGRESS;
  if (sendIBlocks(terminal) <= 0) {
    link.state = LINK_SENDING_FAILED;
    consumeRetry(link);
    return LINK_NOT_OPEN;
  }
  link.state = LINK_RESPONSE_READY;
  return LINK_OK;
}

int sendIBlocks(int terminal) {
  LinkState& link = lib.links[terminal];
  const CurrentCommand& command = currentCommand;
  const int target = link.linkIndex;
  const auto nad = static_cast<std::uint8_t>((command.dad & 0x0F) << 4 | (command.sad & 0x0F));
  const bool toCard = nad == NAD_HOST_TO_CARD || nad == NAD_LIBRARY;
  const auto sequenceBit = [&] {
    return static_cast<std::uint8_t>(nad == NAD_HOST_TO_TERMINAL ? 0 : (link.sendSeq() ? PCB_NS : 0));
  };
  std::uint8_t pcb = sequenceBit();
  int r = 0;

  if (isChained(link, command)) {
    // Command chaining (ISO/IEC 7816-3, 11.6.2): blocks of the card's IFSC,
    // each but the last with M, each acknowledged before the next.
    std::uint16_t chunk = chunkLimit(link);
    std::uint16_t offset = 0;
    pcb |= PCB_MORE;
    do {
      r = sendBlock(target, nad, pcb, chunk, command.bytes + offset);
      if (toCard) link.invertSendSeq();
      if (r <= 0) break;
      if (offset + chunk < command.length) {
        const int ack = awaitResponse(target, true);
        if (ack < 0) {
          sendBlock(target, NAD_LIBRARY, PCB_S_ABORT_REQUEST, 0, nullptr);
          awaitResponse(target, true);
          r = ack;
          break;
        }
      }
      pcb = sequenceBit();
      offset = static_cast<std::uint16_t>(offset + chunk);
      if (command.length - offset > chunk) {
        pcb |= PCB_MORE;
      } else {
        chunk = static_cast<std::uint16_t>(command.length - offset);
      }
    } while (offset < command.length);
  } else {
    r = sendBlock(target, nad, pcb, command.length, command.bytes);
    if (toCard) link.invertSendSeq();
  }

  lib.responseLength += command.length;  // replaced when the response is evaluated
  if (nad == NAD_HOST_TO_TERMINAL &&
      isCardReset(std::span<const std::uint8_t>(command.bytes, command.length))) {
    link.clearSequence();
  }
  return r;
}

int completeReset(int terminal) {
  LinkState& link = lib.links[terminal];
  if (link.state != LINK_COMMAND_IN_PROGRESS) return 1;
  fetchBlock(nullptr, nullptr, nullptr);
  link.state = LINK_IDLE;
  link.clearSequence();
  link.ifsc = DEFAULT_IFSC;
  link.cardProtocol = 0;
  writeStatus(lib.responseBuffer, lib.responseCapacity, SW_SUCCESS);
  lib.responseLength = 2;
  link.state = LINK_RESPONSE_READY;
  return 1;
}

bool isSuccessStatus(int terminal) {
  // Only a response that reached the buffer is looked at.
  return lib.links[terminal].state == LINK_RESPONSE_READY && lib.responseLength >= 2 &&
         lib.responseLength <= lib.responseCapacity && lib.responseBuffer != nullptr &&
         lib.responseBuffer[0] == SW_SUCCESS.sw1 && lib.responseBuffer[1] == SW_SUCCESS.sw2;
}

void finishCommand(int terminal) {
  if (pendingAction == PENDING_EDC_CHANGE && isSuccessStatus(terminal)) {
    setEdcMode(terminal, interfaceParameters.newEdcMode);
  }
  if (pendingAction == PENDING_CARD_RESET &&
      endsWithResetSuccess(lib.responseBuffer, lib.responseLength, lib.responseCapacity)) {
    lib.links[terminal].clearSequence();
    lib.iccParamsPending = 1;
  }
  pendingAction = PENDING_NONE;
}

bool parseInterfaceParameters(const std::uint8_t* data, std::uint16_t length) {
  if (length > 0 && data == nullptr) return false;
  const std::span<const std::uint8_t> bytes(data, length);
  std::size_t position = 0;
  while (position < bytes.size()) {
    if (bytes.size() - position < 2) return false;  // no room for the length byte
    const std::uint8_t tag = bytes[position];
    const std::size_t itemLength = bytes[position + 1];
    if (bytes.size() - position - 2 < itemLength) return false;  // runs past the data
    const std::span<const std::uint8_t> value = bytes.subspan(position + 2, itemLength);
    position += itemLength + 2;
    InterfaceParameters& p = interfaceParameters;
    switch (tag) {
      case TAG_BAUD_RATE:
        for (std::uint8_t index : value) {
          if (index >= BAUD_RATES.size()) continue;
          if (index == REFUSED_BAUD_RATE_INDEX) return false;
          p.baudRate = BAUD_RATES[index];
        }
        break;
      case TAG_CHARACTER_FORMAT:
        for (std::uint8_t code : value) {
          switch (code) {
            case 0:
              p.baudRate = 9600;
              p.dataBits = 8;
              p.parity = 2;
              p.stopBits = 0;
              p.newEdcMode = 1;
              break;
            case 1: p.stopBits = 0; break;
            case 2: p.stopBits = 2; break;
            case 3: p.parity = 0; break;
            case 4: p.parity = 2; break;
            case 5: p.parity = 1; break;
            default: break;
          }
        }
        break;
      case TAG_EPILOGUE:
        for (std::uint8_t code : value) {
          if (code == 0) p.newEdcMode = 1;
          if (code == 1) p.newEdcMode = 0;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

int takeResponse(int terminal, std::uint8_t* sad, std::uint8_t* dad, std::uint8_t* response,
                 std::uint16_t capacity) {
  if (!linkValid(terminal)) return LINK_NOT_OPEN;
  LinkState& link = lib.links[terminal];
  switch (link.state) {
    case LINK_IDLE:
      return LINK_NOT_OPEN;
    case LINK_OPENING:
    case LINK_COMMAND_IN_PROGRESS:
      return LINK_NOT_READY;
    case LINK_SENDING_FAILED:
    case LINK_UNUSED:
      return LINK_UNUSABLE;
    case LINK_RESPONSE_READY:
      break;
    default:
      return LINK_NOT_READY;
  }
  if (lib.responseLength < 0 || capacity < lib.responseLength) return LINK_TOO_LONG;
  if (response != nullptr && response != lib.responseBuffer && lib.responseBuffer != nullptr &&
      lib.responseLength > 0 && lib.responseLength <= lib.responseCapacity) {
    std::memcpy(response, lib.responseBuffer, static_cast<std::size_t>(lib.responseLength));
  }
  link.state = LINK_IDLE;
  if (sad != nullptr) *sad = lib.answerNad & 0x0F;
  if (dad != nullptr) *dad = lib.answerNad >> 4;
  return lib.responseLength;
}

int fetchResponse(int terminal, std::uint8_t* sad, std::uint8_t* dad, std::uint8_t* response,
                  std::uint16_t capacity) {
  if (terminal < 0 || terminal >= TERMINAL_COUNT || !lib.terminals[terminal].isOpen()) {
    return LINK_NOT_OPEN;
  }
  return takeResponse(terminal, sad, dad, response, capacity);
}

std::int8_t collectResponse(int terminal, std::uint8_t* dad, std::uint8_t* sad,
                            std::uint16_t* lenr, std::uint8_t* response, int mode) {
  if (mode == 2) {
    const int r = awaitResponse(terminal, false);
    if (r == LINK_OK) {
      completeReset(terminal);
      finishCommand(terminal);
    }
    std::int8_t code = (r == LINK_OK || r == LINK_RECOVERING) ? std::int8_t{OK} : attemptCode(r);
    if (lib.quitSeen != 0) code = ERR_HOST;
    if (code != OK) return code;
  }
  if (lib.responseBuffer == nullptr) return ERR_HTSI;
  const int n = fetchResponse(terminal, sad, dad, response, lib.responseCapacity);
  if (n < 0) return fetchCode(n);
  *lenr = static_cast<std::uint16_t>(n);
  return OK;
}

std::int8_t exchangeCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad,
                            std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                            std::uint8_t* response) {
  if (terminal < 0 || terminal >= TERMINAL_COUNT || dad == nullptr || sad == nullptr ||
      lenr == nullptr) {
    return ERR_HTSI;
  }
  // The engine writes the response into the buffer given here, never beyond
  // the size the caller gave with it.
  const std::uint16_t capacity = response != nullptr ? *lenr : 0;
  lib.responseBuffer = response;
  lib.responseCapacity = capacity;
  *lenr = 0;
  std::int8_t result = ERR_HTSI;
  LinkState& link = lib.links[terminal];
  const bool cardExchange = *dad == CT_ADDRESS_ICC;
  link.retriesLeft =
      static_cast<std::int8_t>(link.cardProtocol == CARD_PROTOCOL_T1 && cardExchange
                                   ? lib.retryDefault
                                   : 0);

  for (;;) {
    if (lib.quitSeen != 0) break;
    const std::int8_t retriesBefore = link.retriesLeft;
    const int r = prepareCommand(terminal, *sad, *dad, command, lenc);
    if (lib.quitSeen != 0) break;
    switch (r) {
      case LINK_OK:
        result = collectResponse(terminal, dad, sad, lenr, response, 2);
        break;
      case LINK_ANSWERED_LOCALLY:
      case LINK_RECOVERING:
        result = collectResponse(terminal, dad, sad, lenr, response, 1);
        break;
      default:
        result = attemptCode(r);
        break;
    }
    if (result == OK || lib.quitSeen != 0) break;
    // The same command would meet the same too-long command or response.
    if (result == ERR_MEMORY) break;
    // Every repetition costs one retry, also when the failure spent none, so
    // that a failure the engine does not count cannot repeat without end.
    if (link.retriesLeft >= retriesBefore) consumeRetry(link);
    if (link.cardProtocol == CARD_PROTOCOL_T1 && *dad == CT_ADDRESS_ICC && link.retriesLeft <= 0) {
      bool resynchronised = false;
      for (int i = 0; i < RESYNCHRONISATIONS && !resynchronised; ++i) {
        resynchronised = resynchronise(terminal) != 0;
      }
      if (!resynchronised) sendResetIcc(terminal);
      result = answerInPlace(dad, sad, capacity, lenr, response, SW_CARD_TIMED_OUT);
      break;
    }
    if (link.retriesLeft <= 0) break;
  }

  // A quit stays visible to the caller rather than turning into 64 00.
  if (result != OK && lib.quitSeen == 0 && *dad == CT_ADDRESS_CT && *sad == CT_ADDRESS_HOST && command != nullptr &&
      lenc >= 3 && command[0] == 0x20 && command[1] == 0x10 && command[2] == 0x00) {
    result = answerInPlace(dad, sad, capacity, lenr, response, SW_RESET_FAILED);
  }
  return result;
}

}  // namespace keldapi
