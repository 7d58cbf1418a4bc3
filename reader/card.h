#pragma once
// What the emulated reader's slot needs of a card. The firmware reads the
// card's parameters into its file 7021, relays blocks to a card that speaks
// T=1 itself, and exchanges whole APDUs with any other card.

#include <cstdint>
#include <span>
#include <vector>

namespace keld::reader {

using Bytes = std::vector<std::uint8_t>;

enum class CardKind {
  ProcessorT1,     // speaks T=1 with the host end to end; the firmware relays blocks
  ProcessorOther,  // the firmware runs the card protocol and exchanges whole APDUs
  Synchronous,     // memory card, presented to the host as an application to read
};

class Card {
 public:
  virtual ~Card() = default;

  virtual CardKind kind() const = 0;
  // Protocol byte for the tag 0x22 object of file 7021 (2 for a T=1 card).
  virtual std::uint8_t protocolByte() const = 0;
  // The card's information field size for the tag 0x03 object of file 7021.
  virtual std::uint16_t ifsc() const = 0;

  // Cold or warm reset: powers the card and returns its answer to reset.
  virtual Bytes reset() = 0;
  // Deactivation: the card loses power and all session state.
  virtual void powerOff() = 0;

  // ProcessorT1 only: one T=1 block from the host (NAD, PCB, LEN, INF; no
  // epilogue, the firmware checks and adds the link's own) and the card's
  // answer block in the same form.
  virtual Bytes exchangeBlock(std::span<const std::uint8_t> block) = 0;

  // ProcessorOther and Synchronous: one command APDU and its response APDU,
  // status word last.
  virtual Bytes exchangeApdu(std::span<const std::uint8_t> apdu) = 0;
};

}  // namespace keld::reader
