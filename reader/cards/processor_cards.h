#pragma once
// Processor cards for the slot: one that speaks T=1 with the host itself, and
// one whose protocol the reader firmware runs (it takes whole APDUs). Both
// carry the ISO/IEC 7816-4 application over their file system.

#include <cstdint>
#include <span>

#include "reader/card.h"
#include "reader/cards/iso_application.h"
#include "reader/cards/t1_card_engine.h"

namespace keld::reader {

class ProcessorT1Card final : public Card {
 public:
  // `atr` as the card answers; its TA3 should agree with `settings.ifsc`
  // (the image loader checks this).
  ProcessorT1Card(Bytes atr, T1CardSettings settings, FileSystem files, std::uint64_t challengeSeed = 0x4B454C44);
  // The engine's handler refers to this card's application.
  ProcessorT1Card(const ProcessorT1Card&) = delete;
  ProcessorT1Card& operator=(const ProcessorT1Card&) = delete;

  CardKind kind() const override { return CardKind::ProcessorT1; }
  std::uint8_t protocolByte() const override { return 2; }
  // The IFSC of the answer to reset (what the firmware reports in 7021),
  // not a size the card later asked for with S(IFS request).
  std::uint16_t ifsc() const override { return atrIfsc_; }
  Bytes reset() override;
  void powerOff() override { powered_ = false; }
  // Empty (the card stays mute) while the card is not powered.
  Bytes exchangeBlock(std::span<const std::uint8_t> block) override;
  // The application directly, outside the block protocol (for tests).
  Bytes exchangeApdu(std::span<const std::uint8_t> apdu) override;

  const T1CardEngine& engine() const { return engine_; }
  const IsoApplication& application() const { return application_; }

 private:
  Bytes atr_;
  std::uint8_t atrIfsc_;
  IsoApplication application_;
  T1CardEngine engine_;
  bool powered_ = false;
};

class ProcessorOtherCard final : public Card {
 public:
  // `protocolByte` is anything but 2 (1 stands for T=0); `ifsc` is what
  // the firmware reports in 7021 and must not be 0.
  ProcessorOtherCard(Bytes atr, std::uint8_t protocolByte, std::uint16_t ifsc, FileSystem files,
                     std::uint64_t challengeSeed = 0x4B454C44);

  CardKind kind() const override { return CardKind::ProcessorOther; }
  std::uint8_t protocolByte() const override { return protocolByte_; }
  std::uint16_t ifsc() const override { return ifsc_; }
  Bytes reset() override;
  void powerOff() override { powered_ = false; }
  // Not a block-protocol card: always empty.
  Bytes exchangeBlock(std::span<const std::uint8_t>) override { return {}; }
  // Empty while the card is not powered.
  Bytes exchangeApdu(std::span<const std::uint8_t> apdu) override;

  const IsoApplication& application() const { return application_; }

 private:
  Bytes atr_;
  std::uint8_t protocolByte_;
  std::uint16_t ifsc_;
  IsoApplication application_;
  bool powered_ = false;
};

}  // namespace keld::reader
