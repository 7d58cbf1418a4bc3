#pragma once
// The reader's one card slot. A card may be inserted or removed at any time;
// the slot tracks whether the card is powered.
//
// Card states, as file 7021 (tag 0x21) and the card status command report them:
//   none     7021 status 0, status byte 0x00: the slot is empty;
//   present  7021 status 1, status byte 0x03: a card is in, not powered (just
//            inserted, or deactivated, or the reader was reset);
//   active   7021 status 2, status byte 0x05: the card was reset and is powered;
//            REQUEST ICC answers 62 01 for it (present and activated).

#include <cstdint>
#include <memory>
#include <optional>

#include "reader/card.h"

namespace keld::reader {

enum class CardState { None, Present, Active };

class Slot {
 public:
  // A card already in the slot is taken out first.
  void insert(std::shared_ptr<Card> card);
  void remove();

  bool present() const { return card_ != nullptr; }
  CardState state() const;
  Card* card() const { return card_.get(); }

  // Tag 0x21 of file 7021: 0, 1 or 2.
  std::uint8_t fileStatus() const;
  // First byte of the card status answer: 0x00, 0x03 or 0x05.
  std::uint8_t statusByte() const;

  // Powers and resets the card: its ATR, or nothing without a card or when the
  // card gave no ATR (it then stays unpowered).
  std::optional<Bytes> reset();
  void deactivate();

 private:
  std::shared_ptr<Card> card_;
  bool powered_ = false;
};

}  // namespace keld::reader
