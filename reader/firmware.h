#pragma once
// The reader's firmware: one T=1 answer for every block the host writes.
// Blocks to the terminal (destination 1, NAD 0x12) carry terminal commands
// and are answered by the firmware itself (NAD 0x21); blocks to the card
// (destination 0, NAD 0x02 or 0x00) are relayed to a card that speaks T=1,
// or, for any other card, unpacked into the APDU that the firmware exchanges
// with the card, and answered from the card (NAD 0x20).
//
// REQUEST ICC and EJECT ICC may wait for the card: their answer comes later,
// from `poll`, once the card arrives or leaves or the time is up.

#include <cstdint>
#include <optional>
#include <span>

#include "platform/clock/clock.h"
#include "reader/card.h"
#include "reader/personality.h"
#include "reader/reader_files.h"
#include "reader/slot.h"
#include "reader/t1_frame.h"

namespace keld::reader {

class Firmware {
 public:
  Firmware(Personality personality, Slot& slot);

  const Personality& personality() const { return personality_; }
  Epilogue epilogue() const { return epilogue_; }
  bool longForm() const { return personality_.longLengthForm(); }

  // The answer to one block from the host, or nothing while the command waits
  // for the card. A block that arrives while a command waits ends that wait
  // without an answer.
  std::optional<Bytes> receive(std::span<const std::uint8_t> block, clock::Microseconds now);

  bool waiting() const { return wait_.has_value(); }
  // The waiting command's answer once the card came or went or its time is up.
  std::optional<Bytes> poll(clock::Microseconds now);

  // Register-level reset: LRC epilogue, master file, card unpowered, no chain
  // or wait in progress.
  void hardwareReset();

  // A status word from the terminal, framed with the current epilogue.
  Bytes terminalStatus(std::uint8_t sw1, std::uint8_t sw2) const;

 private:
  enum class WaitKind { RequestIcc, EjectIcc };
  struct Wait {
    WaitKind kind;
    clock::Microseconds deadline;
    std::uint8_t p2;
    bool leGiven;
    std::uint8_t answerNad;
  };

  std::optional<Bytes> terminalBlock(const Frame& frame, clock::Microseconds now);
  Bytes cardBlock(const Frame& frame);
  Bytes relayToT1Card(const Frame& frame);
  Bytes apduCardBlock(const Frame& frame);
  Bytes frameError(std::span<const std::uint8_t> block, FrameCheck check);

  // Terminal commands: the response APDU, or nothing when the command waits.
  std::optional<Bytes> terminalCommand(std::span<const std::uint8_t> apdu, std::uint8_t answerNad,
                                       clock::Microseconds now);
  Bytes resetCommand(std::span<const std::uint8_t> apdu);
  Bytes cardReset(std::uint8_t p2, bool leGiven);
  Bytes getStatus(std::span<const std::uint8_t> apdu);
  std::optional<Bytes> requestIcc(std::span<const std::uint8_t> apdu, std::uint8_t answerNad,
                                  clock::Microseconds now);
  std::optional<Bytes> ejectIcc(std::span<const std::uint8_t> apdu, std::uint8_t answerNad,
                                clock::Microseconds now);
  Bytes interfaceParameters(std::span<const std::uint8_t> apdu);
  Bytes selectFile(std::span<const std::uint8_t> apdu);
  Bytes readBinaryCommand(std::span<const std::uint8_t> apdu);

  Bytes block(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf) const;
  Bytes terminalAnswer(std::uint8_t nad, std::span<const std::uint8_t> response) const;
  Bytes sendCardResponse(std::uint8_t nad);
  void resetCardLink();

  Personality personality_;
  Slot& slot_;
  Epilogue epilogue_ = Epilogue::Lrc;
  std::optional<Epilogue> nextEpilogue_;  // after the answer now being built
  ReaderFile current_ = ReaderFile::Master;
  std::optional<Wait> wait_;

  // Link with the host on behalf of a card that does not speak T=1 itself.
  std::uint8_t cardSendSeq_ = 0;      // N(S) of the next I-block to the host
  std::uint8_t hostExpectedSeq_ = 0;  // N(S) expected in the host's next I-block
  Bytes commandChain_;                // INF of chained I-blocks so far
  Bytes responseRest_;                // part of a response not yet sent
  Bytes lastCardBlock_;               // repeated on a negative acknowledgement
  Bytes terminalChain_;
  Bytes lastTerminalAnswer_;
};

}  // namespace keld::reader
