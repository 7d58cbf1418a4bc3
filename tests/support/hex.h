#pragma once
// Hex as smart-card people write it: "00 A4 04 00".

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keld::test {

using Bytes = std::vector<std::uint8_t>;

// Parses pairs of hex digits; spaces are ignored. Throws on anything else.
Bytes hex(std::string_view text);

// Upper-case pairs separated by single spaces.
std::string toHex(std::span<const std::uint8_t> bytes);

}  // namespace keld::test
