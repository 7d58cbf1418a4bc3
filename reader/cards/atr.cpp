#include "reader/cards/atr.h"

namespace keld::reader {

std::variant<AtrSummary, std::string> readAtr(std::span<const std::uint8_t> atr) {
  if (atr.empty()) return std::string("the ATR is empty");
  if (atr.size() > maxAtrLength) return std::string("an ATR has at most 33 bytes");
  if (atr[0] != 0x3B && atr[0] != 0x3F) return std::string("TS must be 3B or 3F");
  if (atr.size() < 2) return std::string("the ATR ends before T0");
  AtrSummary summary;
  const std::size_t historicalCount = atr[1] & 0x0F;
  std::uint8_t indicator = atr[1];  // Y(i) in the high nibble
  std::size_t at = 2;
  bool anyProtocol = false;
  bool tckNeeded = false;
  int protocol = 0;                 // T of the interface bytes read next
  for (int i = 1;; ++i) {
    std::optional<std::uint8_t> ta, tb;
    for (int bit = 0; bit < 3; ++bit) {
      if (!(indicator & (0x10 << bit))) continue;
      if (at >= atr.size()) return std::string("the ATR ends inside its interface bytes");
      if (bit == 0) ta = atr[at];
      if (bit == 1) tb = atr[at];
      ++at;
    }
    if (i >= 3 && protocol == 1) {
      if (ta && !summary.ifsc) summary.ifsc = *ta;
      if (tb && !summary.blockWaiting) summary.blockWaiting = *tb;
    }
    if (!(indicator & 0x80)) break;
    if (at >= atr.size()) return std::string("the ATR ends inside its interface bytes");
    indicator = atr[at++];
    protocol = indicator & 0x0F;
    anyProtocol = true;
    if (protocol == 0) summary.offersT0 = true;
    if (protocol == 1) summary.offersT1 = true;
    // TCK follows unless T=0 is all the ATR indicates.
    if (protocol != 0) tckNeeded = true;
  }
  if (!anyProtocol) summary.offersT0 = true;
  const std::size_t expected = at + historicalCount + (tckNeeded ? 1 : 0);
  if (atr.size() != expected)
    return "the ATR has " + std::to_string(atr.size()) + " bytes where its format bytes announce " +
           std::to_string(expected);
  summary.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(at),
                            atr.begin() + static_cast<std::ptrdiff_t>(at + historicalCount));
  if (tckNeeded) {
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    if (check != 0) return std::string("the TCK of the ATR is wrong");
  }
  return summary;
}

Bytes buildT1Atr(std::uint8_t ifsc, std::uint8_t bwi, std::uint8_t cwi, std::span<const std::uint8_t> historical) {
  Bytes atr{0x3B, static_cast<std::uint8_t>(0x80 | (historical.size() & 0x0F)), 0x81, 0x31, ifsc,
            static_cast<std::uint8_t>((bwi & 0x0F) << 4 | (cwi & 0x0F))};
  atr.insert(atr.end(), historical.begin(), historical.end());
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

Bytes buildT0Atr(std::span<const std::uint8_t> historical) {
  Bytes atr{0x3B, static_cast<std::uint8_t>(historical.size() & 0x0F)};
  atr.insert(atr.end(), historical.begin(), historical.end());
  return atr;
}

}  // namespace keld::reader
