#include "reader/cards/processor_cards.h"

#include "reader/cards/atr.h"

namespace keld::reader {

ProcessorT1Card::ProcessorT1Card(Bytes atr, T1CardSettings settings, FileSystem files, std::uint64_t challengeSeed)
    : atr_(std::move(atr)),
      atrIfsc_(settings.ifsc),
      application_(std::move(files), challengeSeed),
      engine_(std::move(settings), [this](std::span<const std::uint8_t> command) {
        return application_.process(command);
      }) {}

Bytes ProcessorT1Card::reset() {
  powered_ = true;
  application_.reset();
  engine_.reset();
  return atr_;
}

Bytes ProcessorT1Card::exchangeBlock(std::span<const std::uint8_t> block) {
  if (!powered_) return {};
  return engine_.exchange(block);
}

Bytes ProcessorT1Card::exchangeApdu(std::span<const std::uint8_t> apdu) {
  if (!powered_) return {};
  return application_.process(apdu);
}

ProcessorOtherCard::ProcessorOtherCard(Bytes atr, std::uint8_t protocolByte, std::uint16_t ifsc, FileSystem files,
                                       std::uint64_t challengeSeed)
    : atr_(std::move(atr)),
      protocolByte_(protocolByte),
      ifsc_(ifsc),
      application_(std::move(files), challengeSeed) {}

Bytes ProcessorOtherCard::reset() {
  powered_ = true;
  application_.reset();
  return atr_;
}

Bytes ProcessorOtherCard::exchangeApdu(std::span<const std::uint8_t> apdu) {
  if (!powered_) return {};
  return application_.process(apdu);
}

}  // namespace keld::reader
