#include "reader/slot.h"

namespace keld::reader {

void Slot::insert(std::shared_ptr<Card> card) {
  remove();
  card_ = std::move(card);
}

void Slot::remove() {
  // A card pulled out loses its power and session; tell it so that a card
  // that is inserted again starts afresh.
  if (card_ && powered_) card_->powerOff();
  card_.reset();
  powered_ = false;
}

CardState Slot::state() const {
  if (!card_) return CardState::None;
  return powered_ ? CardState::Active : CardState::Present;
}

std::uint8_t Slot::fileStatus() const {
  switch (state()) {
    case CardState::None: return 0;
    case CardState::Present: return 1;
    case CardState::Active: return 2;
  }
  return 0;
}

std::uint8_t Slot::statusByte() const {
  switch (state()) {
    case CardState::None: return 0x00;
    case CardState::Present: return 0x03;
    case CardState::Active: return 0x05;
  }
  return 0x00;
}

std::optional<Bytes> Slot::reset() {
  if (!card_) return std::nullopt;
  Bytes atr = card_->reset();
  if (atr.empty()) {
    card_->powerOff();
    powered_ = false;
    return std::nullopt;
  }
  powered_ = true;
  return atr;
}

void Slot::deactivate() {
  if (card_ && powered_) card_->powerOff();
  powered_ = false;
}

}  // namespace keld::reader
