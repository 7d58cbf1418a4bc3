#pragma once
// What `keld` says about smart-card data: hex as people write it, status
// words and CT-API codes in words, and a decoded answer to reset.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keld::tools {

using Bytes = std::vector<std::uint8_t>;

struct HexError {
  std::size_t position;  // 0-based character index in the input
  std::string reason;
};

// Parses "00 A4 04 00", "00A40400" or "00:A4:04:00".
std::optional<Bytes> parseHex(std::string_view text, HexError* error);
std::string formatHex(std::span<const std::uint8_t> bytes);

// Meaning of a status word, for example "success" or "file not found".
std::string describeStatusWord(std::uint8_t sw1, std::uint8_t sw2);
bool statusWordIsSuccess(std::uint8_t sw1, std::uint8_t sw2);

// Name of a CT-API return code ("ERR_TRANS") and what usually causes it.
std::string_view ctApiCodeName(int code);
std::string_view ctApiCodeCause(int code);

struct AnswerToReset {
  struct InterfaceByte {
    std::string name;  // "TA1", "TD2", ...
    std::uint8_t value;
  };
  std::uint8_t ts = 0;
  std::uint8_t t0 = 0;
  std::vector<InterfaceByte> interfaceBytes;
  std::vector<int> protocols;  // T=0, T=1, ... in the order indicated
  Bytes historicalBytes;
  std::optional<std::uint8_t> tck;
  bool tckValid = true;
  std::optional<std::string> problem;  // why the bytes are not a well-formed ATR
};

AnswerToReset decodeAnswerToReset(std::span<const std::uint8_t> atr);

}  // namespace keld::tools
