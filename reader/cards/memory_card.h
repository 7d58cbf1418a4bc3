#pragma once
// A synchronous memory card as card terminals present one to the host
// (CT-BCS): its memory is one application that the host selects by
// identifier (00 A4 00 00 02 3F 00, or by its name with P1 04 when it has
// one) and reads with READ BINARY (offset in P1 P2, Le; fewer bytes than
// asked and 62 82 at the end of the memory). UPDATE BINARY writes it unless
// it is read-only. The memory is selected from the reset on, and a SELECT
// FILE that finds nothing leaves it selected.

#include <cstdint>
#include <span>

#include "reader/card.h"

namespace keld::reader {

inline constexpr std::uint8_t defaultMemoryAtr[] = {0xA2, 0x13, 0x10, 0x91};

struct MemoryCardImage {
  Bytes atr{std::begin(defaultMemoryAtr), std::end(defaultMemoryAtr)};  // 4 bytes
  Bytes memory = Bytes(256, 0xFF);
  std::uint16_t fileId = 0x3F00;
  Bytes aid;
  bool readOnly = false;
  std::uint8_t protocolByte = 0;
  std::uint16_t ifsc = 32;        // reported in 7021; must not be 0
};

class SynchronousCard final : public Card {
 public:
  explicit SynchronousCard(MemoryCardImage image);

  CardKind kind() const override { return CardKind::Synchronous; }
  std::uint8_t protocolByte() const override { return image_.protocolByte; }
  std::uint16_t ifsc() const override { return image_.ifsc; }
  Bytes reset() override;
  void powerOff() override { powered_ = false; }
  Bytes exchangeBlock(std::span<const std::uint8_t>) override { return {}; }
  // Empty while the card is not powered.
  Bytes exchangeApdu(std::span<const std::uint8_t> apdu) override;

  const Bytes& memory() const { return image_.memory; }

 private:
  MemoryCardImage image_;
  bool powered_ = false;
};

}  // namespace keld::reader
