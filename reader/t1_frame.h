#pragma once
// T=1 blocks as the firmware sees them on the host link: the two epilogues,
// the long length form, the frame check of a block the host wrote and the
// building of an answer.

#include <cstdint>
#include <span>

#include "reader/card.h"

namespace keld::reader {

enum class Epilogue { Lrc, Crc };

// Longest information field in the short length form.
constexpr std::size_t shortFormLimit = 254;

std::uint8_t lrc(std::span<const std::uint8_t> bytes);
// CRC-16/X.25 as sent: the complemented register, to go out low byte first.
std::uint16_t crc(std::span<const std::uint8_t> bytes);

void appendEpilogue(Bytes& block, Epilogue epilogue);

enum class FrameCheck {
  Good,
  BadLength,    // too short, or the byte count does not match LEN
  BadEpilogue,
};

struct Frame {
  FrameCheck check = FrameCheck::BadLength;
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0;
  Bytes inf;
};

// `longForm`: a LEN byte 0xFF announces a two-byte length.
Frame checkFrame(std::span<const std::uint8_t> block, Epilogue epilogue, bool longForm);

// NAD, PCB, LEN (the long form when allowed and the field needs it), INF and
// the epilogue.
Bytes buildBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf,
                 Epilogue epilogue, bool longForm);

// A block in the form the card interface takes: NAD, PCB, LEN, INF; no epilogue.
Bytes bareBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf);

// PCB classes of ISO/IEC 7816-3 T=1.
constexpr bool isIBlock(std::uint8_t pcb) { return (pcb & 0x80) == 0; }
constexpr bool isRBlock(std::uint8_t pcb) { return (pcb & 0xC0) == 0x80; }
constexpr bool isSBlock(std::uint8_t pcb) { return (pcb & 0xC0) == 0xC0; }
constexpr std::uint8_t sequenceBit(std::uint8_t pcb) { return (pcb >> 6) & 1; }
constexpr bool moreData(std::uint8_t pcb) { return (pcb & 0x20) != 0; }
constexpr std::uint8_t iBlockPcb(std::uint8_t ns, bool more) {
  return static_cast<std::uint8_t>((ns ? 0x40 : 0x00) | (more ? 0x20 : 0x00));
}
constexpr std::uint8_t rBlockPcb(std::uint8_t nr, std::uint8_t errorCode) {
  return static_cast<std::uint8_t>(0x80 | (nr ? 0x10 : 0x00) | (errorCode & 0x03));
}

}  // namespace keld::reader
