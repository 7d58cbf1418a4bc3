#pragma once
// Answers to reset: built for the processor cards, and read back to check an
// ATR given in a card image (structure, TCK, the T=1 parameters).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "reader/card.h"

namespace keld::reader {

inline constexpr std::size_t maxAtrLength = 33;

struct AtrSummary {
  bool offersT0 = false;                 // T=0, offered explicitly or by default
  bool offersT1 = false;
  std::optional<std::uint8_t> ifsc;      // first TA for T=1 from TA3 on
  std::optional<std::uint8_t> blockWaiting;  // first TB for T=1 from TB3 on: BWI high nibble, CWI low
  Bytes historical;
};

// Reads an asynchronous-card ATR (TS 3B or 3F, T0, interface bytes, historical
// bytes, TCK when a protocol other than T=0 is offered). Returns the reason
// when the bytes are no such ATR.
std::variant<AtrSummary, std::string> readAtr(std::span<const std::uint8_t> atr);

// 3B, T0, TD1 = 81 (T=1), TD2 = 31 (TA3, TB3 for T=1), TA3 = IFSC,
// TB3 = BWI/CWI, the historical bytes, TCK.
Bytes buildT1Atr(std::uint8_t ifsc, std::uint8_t bwi, std::uint8_t cwi, std::span<const std::uint8_t> historical);
// 3B, T0 without interface bytes (T=0 by default), the historical bytes.
Bytes buildT0Atr(std::span<const std::uint8_t> historical);

// Historical bytes of the cards of this emulator: a proprietary category
// byte and the text KELD.
inline constexpr std::uint8_t defaultHistorical[] = {0x4B, 0x45, 0x4C, 0x44};

}  // namespace keld::reader
