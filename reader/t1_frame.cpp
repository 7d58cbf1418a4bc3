#include "reader/t1_frame.h"

#include <array>

namespace keld::reader {

namespace {

constexpr std::array<std::uint16_t, 256> crcTable = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t value = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408)
                          : static_cast<std::uint16_t>(value >> 1);
    }
    table[i] = value;
  }
  return table;
}();
static_assert(crcTable[1] == 0x1189 && crcTable[255] == 0x0F78);

std::uint16_t crcRegister(std::span<const std::uint8_t> bytes) {
  std::uint16_t reg = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    reg = static_cast<std::uint16_t>(crcTable[(reg ^ byte) & 0xFF] ^ (reg >> 8));
  }
  return reg;
}

// Register value after running over a block and its own correct CRC.
constexpr std::uint16_t crcGoodResidue = 0xF0B8;

}  // namespace

std::uint8_t lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t value = 0;
  for (std::uint8_t byte : bytes) value ^= byte;
  return value;
}

std::uint16_t crc(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint16_t>(~crcRegister(bytes));
}

void appendEpilogue(Bytes& block, Epilogue epilogue) {
  if (epilogue == Epilogue::Lrc) {
    block.push_back(lrc(block));
    return;
  }
  const std::uint16_t value = crc(block);
  block.push_back(static_cast<std::uint8_t>(value & 0xFF));
  block.push_back(static_cast<std::uint8_t>(value >> 8));
}

Frame checkFrame(std::span<const std::uint8_t> block, Epilogue epilogue, bool longForm) {
  Frame frame;
  const std::size_t epilogueSize = epilogue == Epilogue::Lrc ? 1 : 2;
  if (block.size() < 3 + epilogueSize) return frame;
  std::size_t header = 3;
  std::size_t infLength = block[2];
  if (longForm && block[2] == 0xFF) {
    if (block.size() < 5 + epilogueSize) return frame;
    header = 5;
    infLength = static_cast<std::size_t>(block[3]) << 8 | block[4];
  }
  if (block.size() != header + infLength + epilogueSize) return frame;
  const bool good = epilogue == Epilogue::Lrc ? lrc(block) == 0
                                              : crcRegister(block) == crcGoodResidue;
  frame.check = good ? FrameCheck::Good : FrameCheck::BadEpilogue;
  frame.nad = block[0];
  frame.pcb = block[1];
  const auto inf = block.subspan(header, infLength);
  frame.inf.assign(inf.begin(), inf.end());
  return frame;
}

Bytes buildBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf,
                 Epilogue epilogue, bool longForm) {
  Bytes block{nad, pcb};
  if (longForm && inf.size() > shortFormLimit) {
    block.push_back(0xFF);
    block.push_back(static_cast<std::uint8_t>(inf.size() >> 8));
    block.push_back(static_cast<std::uint8_t>(inf.size() & 0xFF));
  } else {
    block.push_back(static_cast<std::uint8_t>(inf.size()));
  }
  block.insert(block.end(), inf.begin(), inf.end());
  appendEpilogue(block, epilogue);
  return block;
}

Bytes bareBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  Bytes block{nad, pcb, static_cast<std::uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  return block;
}

}  // namespace keld::reader
