#include "ctapi/link/blocks.h"

#include <algorithm>
#include <cstring>

#include "ctapi/link/reader_contract.h"
#include "ctapi/state/library_state.h"

namespace keldapi {
namespace {

constexpr std::uint16_t CRC_POLYNOMIAL = 0x8408;  // 0x1021 bit-reversed
constexpr std::uint16_t CRC_START = 0xFFFF;
constexpr std::uint16_t CRC_GOOD_RESIDUE = 0xF0B8;

constexpr std::array<std::uint16_t, 256> makeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint16_t i = 0; i < 256; ++i) {
    std::uint16_t value = i;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) != 0 ? static_cast<std::uint16_t>((value >> 1) ^ CRC_POLYNOMIAL)
                               : static_cast<std::uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> CRC_TABLE = makeCrcTable();
static_assert(CRC_TABLE[1] == 0x1189 && CRC_TABLE[2] == 0x2312 && CRC_TABLE[255] == 0x0F78);

constexpr std::uint16_t crcRegister(std::span<const std::uint8_t> bytes) {
  std::uint16_t reg = CRC_START;
  for (std::uint8_t byte : bytes) {
    reg = static_cast<std::uint16_t>(CRC_TABLE[(reg ^ byte) & 0xFF] ^ (reg >> 8));
  }
  return reg;
}

using namespace reader;

constexpr std::size_t SHORT_PROLOGUE = 3;
constexpr std::size_t LONG_PROLOGUE = 5;

std::size_t epilogueSize() { return lib.edcMode == 1 ? 1 : 2; }

}  // namespace

const std::array<std::uint16_t, 256> crcTable = CRC_TABLE;

std::uint8_t computeLrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t lrc = 0;
  for (std::uint8_t byte : bytes) lrc ^= byte;
  return lrc;
}

std::uint16_t computeCrc(std::span<const std::uint8_t> bytes) { return crcRegister(bytes); }

std::size_t appendLrc(std::span<std::uint8_t> block, std::size_t n) {
  block[n] = computeLrc(block.first(n));
  return n + 1;
}

std::size_t appendCrc(std::span<std::uint8_t> block, std::size_t n) {
  const auto fcs = static_cast<std::uint16_t>(~computeCrc(block.first(n)));
  block[n] = static_cast<std::uint8_t>(fcs & 0xFF);
  block[n + 1] = static_cast<std::uint8_t>(fcs >> 8);
  return n + 2;
}

bool checkLrc(std::span<const std::uint8_t> block) {
  return !block.empty() && computeLrc(block) == 0;
}

bool checkCrc(std::span<const std::uint8_t> block) {
  return block.size() >= 2 && computeCrc(block) == CRC_GOOD_RESIDUE;
}

bool longFormEnabled() { return (lib.firmwareVersion & 0xFF) >= MIN_LONG_FORM_MINOR; }

std::size_t infOffset() { return lib.extendedLength != 0 ? LONG_PROLOGUE : SHORT_PROLOGUE; }

std::size_t buildBlock(std::uint8_t nad, std::uint8_t pcb, std::uint16_t infLength,
                       const std::uint8_t* inf) {
  const bool longForm = infLength > MAX_SHORT_INF;
  if (longForm && !longFormEnabled()) return 0;  // LEN could not say it
  const std::size_t prologue = longForm ? LONG_PROLOGUE : SHORT_PROLOGUE;
  if (prologue + infLength + epilogueSize() > BLOCK_BUFFER_SIZE) return 0;
  if (infLength > 0 && inf == nullptr) return 0;

  if (lib.firmwareVersion >= CARD_NAD_REWRITE_VERSION && nad == 0x02) nad = 0x00;
  std::span<std::uint8_t> block(lib.blockBuffer);
  block[0] = nad;
  block[1] = pcb;
  if (longForm) {
    block[2] = LONG_FORM_MARK;
    block[3] = static_cast<std::uint8_t>(infLength >> 8);
    block[4] = static_cast<std::uint8_t>(infLength & 0xFF);
  } else {
    block[2] = static_cast<std::uint8_t>(infLength);
  }
  if (infLength > 0) std::memmove(block.data() + prologue, inf, infLength);
  const std::size_t n = prologue + infLength;
  return lib.edcMode == 1 ? appendLrc(block, n) : appendCrc(block, n);
}

int takeAnswer() {
  auto fail = [](std::int16_t code) {
    lib.blockLength = code;
    lib.linkPhase = 7;
    return 0;
  };
  const auto count = static_cast<std::int16_t>(lib.answerByteCount);
  if (count <= 0 || static_cast<std::size_t>(count) > BLOCK_BUFFER_SIZE) return fail(-5);
  const auto n = static_cast<std::size_t>(count);
  std::copy_n(lib.answerBuffer.begin(), n, lib.blockBuffer.begin());
  lib.answerLength = count;
  const std::span<const std::uint8_t> block(lib.blockBuffer.data(), n);
  if (n <= SHORT_PROLOGUE) return fail(-128);

  std::size_t infLength = block[2];
  std::size_t prologue = SHORT_PROLOGUE;
  if (longFormEnabled() && block[2] == LONG_FORM_MARK) {
    // Both length bytes must have arrived before they are read.
    if (n < LONG_PROLOGUE) return fail(-5);
    infLength = static_cast<std::size_t>(block[3]) << 8 | block[4];
    prologue = LONG_PROLOGUE;
    lib.extendedLength = 1;
  } else {
    lib.extendedLength = 0;
  }
  if (prologue + infLength + epilogueSize() != n) return fail(-5);
  lib.blockLength = static_cast<std::int16_t>(infLength);
  if (!(lib.edcMode == 1 ? checkLrc(block) : checkCrc(block))) return fail(-128);
  lib.linkPhase = 6;
  return 1;
}

int isValidIBlock(int terminal, std::uint8_t nad, std::uint8_t pcb) {
  if (terminal < 0 || terminal >= TERMINAL_COUNT) return 0;
  if (lib.links[terminal].cardProtocol != 2) return 1;
  if ((nad & 0x0F) == 1) return 1;  // from the terminal
  if ((nad & 0x88) != 0) return 0;
  const int high = nad >> 4;
  const int low = nad & 0x0F;
  if (high == low && high != 0) return 0;
  if ((pcb & 0x1F) != 0) return 0;
  return 1;
}

}  // namespace keldapi
