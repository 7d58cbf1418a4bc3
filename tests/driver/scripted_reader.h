#pragma once
// A small register-level model of the reader for the driver's tests: the
// reset and identification sequence, blocks in both directions, and answers
// to the driver's own commands. What a test needs beyond that it scripts
// with `respond` (and unasked blocks with `offer`).

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/wdm/port_device.h"
#include "support/hex.h"

namespace keld::test {

class ScriptedReader : public keld::PortDevice {
 public:
  ScriptedReader();

  // Identification text offered after the reset pulse (17 bytes by default).
  void setIdentification(Bytes text);
  // Contents of file 0020.
  void setInfoFile(Bytes records);
  // Answers a block the host wrote (LRC included); nullopt: the default
  // answers of the driver's own commands (and silence for anything else).
  void respond(std::function<std::optional<Bytes>(const Bytes& block)> responder);
  // Offers a block unasked, as a card change does.
  void offer(Bytes block);
  // Never becomes ready after the reset, like a dead reader.
  void setSilent(bool silent);

  std::vector<Bytes> received() const;  // blocks the host wrote, in order
  int resets() const;                   // reset pulses seen
  int portAccesses() const;
  bool holdsBlock() const;
  // Highest IRQL of the port accesses since the last call.
  unsigned takeHighestIrql();

  std::uint8_t readPort(std::uint16_t offset) override;
  void writePort(std::uint16_t offset, std::uint8_t value) override;

  // Builds a reader answer: NAD 0x21, PCB 0, LEN, information, LRC.
  static Bytes answer(const Bytes& information);

 private:
  std::optional<Bytes> answerFor(const Bytes& block);
  void control(std::uint8_t value);
  void noteAccess();

  mutable std::mutex lock_;
  Bytes identification_;
  Bytes infoFile_;
  std::function<std::optional<Bytes>(const Bytes&)> responder_;
  bool silent_ = false;
  bool ready_ = false;
  bool inReset_ = false;
  std::uint8_t control_ = 0;
  std::deque<Bytes> outgoing_;  // front is the pending block
  std::size_t readPosition_ = 0;
  Bytes incoming_;
  bool hostWriting_ = false;
  std::vector<Bytes> received_;
  int resets_ = 0;
  int accesses_ = 0;
  unsigned highestIrql_ = 0;
};

}  // namespace keld::test
