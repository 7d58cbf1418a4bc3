#pragma once
// Command APDUs as the card applications see them, and the status words they
// answer with.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "reader/card.h"

namespace keld::reader {

inline constexpr std::uint16_t statusOk = 0x9000;
inline constexpr std::uint16_t statusEndReached = 0x6282;          // fewer bytes than Le: end of the file
inline constexpr std::uint16_t statusWrongLength = 0x6700;
inline constexpr std::uint16_t statusLogicalChannelUnsupported = 0x6881;
inline constexpr std::uint16_t statusSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t statusNoCurrentEf = 0x6986;
inline constexpr std::uint16_t statusFileNotFound = 0x6A82;
inline constexpr std::uint16_t statusNotEnoughSpace = 0x6A84;
inline constexpr std::uint16_t statusIncorrectP1P2 = 0x6A86;
inline constexpr std::uint16_t statusWrongOffset = 0x6B00;
inline constexpr std::uint16_t statusInsUnsupported = 0x6D00;
inline constexpr std::uint16_t statusClaUnsupported = 0x6E00;

// Short command APDU (ISO/IEC 7816-4 cases 1 to 4). `le` is the number of
// bytes asked for, 1 to 256 (Le byte 00 asks for 256); absent in cases 1 and 3.
struct CommandApdu {
  std::uint8_t cla = 0;
  std::uint8_t ins = 0;
  std::uint8_t p1 = 0;
  std::uint8_t p2 = 0;
  std::span<const std::uint8_t> data;
  std::optional<std::size_t> le;
};

// Reads a short APDU; nullopt when the bytes are no short APDU (fewer than
// four bytes, an Lc that disagrees with the length, or the extended form),
// which the applications answer with 67 00.
std::optional<CommandApdu> parseCommandApdu(std::span<const std::uint8_t> bytes);

// A response APDU: the data followed by the status word.
Bytes response(std::span<const std::uint8_t> data, std::uint16_t status);
Bytes response(std::uint16_t status);

// 15-bit offset of READ BINARY / UPDATE BINARY when P1 bit 8 is clear.
constexpr std::size_t binaryOffset(std::uint8_t p1, std::uint8_t p2) {
  return static_cast<std::size_t>((p1 & 0x7F) << 8 | p2);
}

}  // namespace keld::reader
