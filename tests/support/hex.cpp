#include "support/hex.h"

#include <stdexcept>

namespace keld::test {
namespace {

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int value = digit(c);
    if (value < 0) throw std::invalid_argument("not a hex digit in \"" + std::string(text) + "\"");
    if (high < 0) {
      high = value;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in \"" + std::string(text) + "\"");
  return out;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

}  // namespace keld::test
