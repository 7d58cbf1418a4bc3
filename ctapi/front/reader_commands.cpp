#include "ctapi/front/reader_commands.h"

#include <algorithm>
#include <array>

#include "ctapi/link/engine.h"
#include "ctapi/link/reader_contract.h"
#include "ctapi/state/library_state.h"

namespace keldapi {
namespace {

using namespace reader;

constexpr std::uint8_t PCB_COMMAND = 0x00;

constexpr std::array<std::uint8_t, 7> SELECT_MASTER_FILE = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
constexpr std::array<std::uint8_t, 7> SELECT_READER_INFO = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x20};
constexpr std::array<std::uint8_t, 7> SELECT_ICC_STATUS = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x70, 0x21};
constexpr std::array<std::uint8_t, 5> READ_WHOLE_FILE = {0x00, 0xB0, 0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 5> GET_ICC_STATUS = {0x20, 0x13, 0x00, 0x80, 0x00};
constexpr std::array<std::uint8_t, 5> DEACTIVATE_ICC = {0x20, 0x14, 0x01, 0x00, 0x00};
constexpr std::array<std::uint8_t, 5> RESET_ICC = {0x20, 0x10, 0x01, 0x00, 0x00};

template <std::size_t N>
int exchange(int terminal, std::uint8_t nad, std::uint8_t pcb, const std::array<std::uint8_t, N>& inf) {
  if (!linkValid(terminal)) return LINK_NOT_OPEN;
  std::lock_guard guard(exchangeLock());
  sendBlock(terminal, nad, pcb, static_cast<std::uint16_t>(N), inf.data());
  return awaitResponse(terminal, true);
}

int selectAndRead(int terminal, const std::array<std::uint8_t, 7>& select) {
  std::lock_guard guard(exchangeLock());
  // A failed selection shows in the read that follows.
  exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, select);
  return exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, READ_WHOLE_FILE);
}

}  // namespace

std::recursive_mutex& exchangeLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::span<const std::uint8_t> receivedBlock() {
  const auto length = std::clamp<std::size_t>(static_cast<std::size_t>(std::max<std::int16_t>(lib.answerLength, 0)),
                                               0, lib.lastBlock.size());
  return std::span<const std::uint8_t>(lib.lastBlock).first(length);
}

void walkDataObjects(
    std::span<const std::uint8_t> block,
    const std::function<void(std::uint8_t tag, std::span<const std::uint8_t> value)>& action) {
  constexpr std::size_t FIRST_OBJECT = 3;
  if (block.size() < FIRST_OBJECT) return;
  // Only the information field that arrived holds objects.
  const std::size_t infEnd = std::min<std::size_t>(block.size(), FIRST_OBJECT + block[2]);
  const std::size_t walkLimit = block[2] >= 2 ? block[2] - 2u : 0u;
  std::size_t position = FIRST_OBJECT;
  do {
    if (position + 2 > infEnd) return;
    const std::uint8_t tag = block[position];
    const std::size_t length = block[position + 1];
    // An object running past the received bytes is not handed on.
    if (position + 2 + length > infEnd) return;
    action(tag, block.subspan(position + 2, length));
    position += length + 2;
  } while (position <= walkLimit && position < BLOCK_BUFFER_SIZE);
}

std::int16_t parseFirmwareVersion(std::span<const std::uint8_t> text) {
  if (text.size() < 4) return 0;
  return static_cast<std::int16_t>((text[0] - '0') * 0x100 + (text[2] - '0') * 0x10 + (text[3] - '0'));
}

int selectMasterFile(int terminal) {
  return exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, SELECT_MASTER_FILE);
}

int readReaderInfoFile(int terminal) { return selectAndRead(terminal, SELECT_READER_INFO); }

int readIccStatusFile(int terminal) { return selectAndRead(terminal, SELECT_ICC_STATUS); }

std::uint8_t getIccStatusByte(int terminal) {
  std::lock_guard guard(exchangeLock());
  const int result = exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, GET_ICC_STATUS);
  const auto block = receivedBlock();
  // Without an answer there is no status to map; 0xFF is the reader's own
  // "cannot tell", which the event wait ends on.
  if (result != LINK_OK || block.size() < 4) return 0xFF;
  const std::uint8_t x = block[3];
  switch (x & 0x0F) {
    case 0x0:
      return static_cast<std::uint8_t>((x & 0xF0) | 0x3);
    case 0x3:
    case 0x5:
      return static_cast<std::uint8_t>((x & 0xF0) | 0x1);
    default:
      return x;
  }
}

int sendDeactivateIcc(int terminal) {
  return exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, DEACTIVATE_ICC);
}

int sendResetIcc(int terminal) { return exchange(terminal, NAD_HOST_TO_TERMINAL, PCB_COMMAND, RESET_ICC); }

int resynchronise(int terminal) {
  if (!linkValid(terminal)) return 0;
  std::lock_guard guard(exchangeLock());
  LinkState& link = lib.links[terminal];
  link.state = LINK_IDLE;
  link.clearSequence();
  const int result = exchange(terminal, 0x00, PCB_S_RESYNCH_REQUEST, std::array<std::uint8_t, 0>{});
  if (result != LINK_OK || receivedBlock().size() < 2 || lib.lastBlock[1] != PCB_S_RESYNCH_RESPONSE)
    return 0;
  link.retriesLeft = static_cast<std::int8_t>(lib.retryDefault);
  return 1;
}

int requestIfs(int terminal, std::uint8_t value) {
  if (!linkValid(terminal)) return LINK_NOT_OPEN;
  LinkState& link = lib.links[terminal];
  if (link.state == LINK_UNUSED) return LINK_UNUSABLE;
  if (link.cardProtocol != 2) return LINK_OK;
  std::lock_guard guard(exchangeLock());
  link.retriesLeft = static_cast<std::int8_t>(lib.retryDefault);
  const std::array<std::uint8_t, 1> inf = {value};
  // The engine counts retriesLeft down on failures it answers; the attempt
  // bound keeps the loop finite should it not.
  int result = LINK_OK;
  int attempts = lib.retryDefault + 1;
  do {
    result = exchange(terminal, 0x00, PCB_S_IFS_REQUEST, inf);
  } while (result != LINK_OK && link.retriesLeft > 0 && --attempts > 0);
  return result;
}

int readCardParameters(int terminal) {
  if (!linkValid(terminal)) return 0;
  std::lock_guard guard(exchangeLock());
  LinkState& link = lib.links[terminal];
  link.cardProtocol = 0;
  link.ifsc = DEFAULT_IFSC;
  if (readIccStatusFile(terminal) == LINK_OK) {
    walkDataObjects(receivedBlock(), [&link](std::uint8_t tag, std::span<const std::uint8_t> value) {
      if (tag == TAG_CARD_PROTOCOL && !value.empty()) link.cardProtocol = value[0];
      if (tag == TAG_IFSC && value.size() >= 2)
        link.ifsc = static_cast<std::int16_t>(value[0] * 256 + value[1]);
    });
  }
  if (selectMasterFile(terminal) != LINK_OK) return 0;
  if (link.ifsc == 0) {
    link.ifsc = DEFAULT_IFSC;
    return 0;
  }
  return link.ifsc;
}

int openLink(int terminal) {
  std::lock_guard guard(exchangeLock());
  lib.edcMode = 1;
  lib.linkOwner = static_cast<std::int16_t>(terminal);
  if (lib.firmwareVersion == 0) {
    if (readReaderInfoFile(terminal) == LINK_OK) {
      walkDataObjects(receivedBlock(), [](std::uint8_t tag, std::span<const std::uint8_t> value) {
        if (tag == TAG_FIRMWARE_VERSION && value.size() >= 4)
          lib.firmwareVersion = parseFirmwareVersion(value);
      });
    }
    selectMasterFile(terminal);
  }
  sendDeactivateIcc(terminal);
  lib.linkPhase = 1;
  lib.answerNad = NAD_TERMINAL_TO_HOST;
  return 0;
}

}  // namespace keldapi
