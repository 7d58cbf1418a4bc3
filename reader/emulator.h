#pragma once
// The emulated reader: its register model at an I/O base, with the firmware,
// the card slot and the scriptable faults behind it. The port bus hands it
// every access to the four ports at `ioBase()`; the host and the tests
// insert and remove cards and script faults through the calls below. Every
// call may come from any thread; one lock keeps the model consistent.
//
// Register model (a single state machine advanced on every port access):
//   - a block the reader offers stays pending (SR_DATA_PENDING) until the host
//     has read from it and ended the transfer; further blocks wait behind it;
//   - SR_READY is set while the reader is in operation and not held busy;
//   - a transfer starts with CR_TRANSFER (or CR_SETUP_TRANSFER) and ends with
//     any other control value; reads of REG_LEN_HI, REG_LEN_LO and REG_DATA
//     take from the pending block, writes give the length and bytes of the
//     host's block, which the firmware answers with exactly one block;
//   - CR_RESET, then CR_IDLE: the identification block (an unused byte, the
//     text length, the text "VNR Keldmatic 2." and a zero byte); CR_SETUP: the
//     second block, two bytes that the host writes back; CR_OPERATE after the
//     right two bytes: ready.
//
// Card-change notification: 21 00 05 30 00 <01 inserted / 00 removed> 00 00
// and its LRC, offered when the card is inserted or removed; if a block is
// pending or a command in progress it follows once the reader is idle (only
// the latest change is kept). A change that ends a waiting REQUEST ICC or
// EJECT ICC is reported by that command's answer instead.

#include <cstdint>
#include <memory>
#include <mutex>
#include <atomic>
#include <deque>

#include "platform/clock/clock.h"
#include "platform/wdm/port_device.h"
#include "reader/card.h"
#include "reader/faults.h"
#include "reader/firmware.h"
#include "reader/personality.h"
#include "reader/slot.h"

namespace keld::reader {

constexpr std::uint16_t defaultIoBase = 0x300;

// The second block of the reset, which the host must write back.
constexpr std::uint8_t setupBlock[] = {0x4B, 0x01};

class ReaderEmulator final : public PortDevice {
 public:
  explicit ReaderEmulator(Personality personality = {}, std::uint16_t ioBase = defaultIoBase);

  std::uint16_t ioBase() const { return ioBase_; }
  const Personality& personality() const { return firmware_.personality(); }

  std::uint8_t readPort(std::uint16_t offset) override;
  void writePort(std::uint16_t offset, std::uint8_t value) override;

  // The slot. A card inserted replaces the one in the slot.
  void insertCard(std::shared_ptr<Card> card);
  void removeCard();
  CardState cardState() const;

  // On by default.
  void setCardChangeNotifications(bool on);

  // Faults.
  void corruptNextAnswers(unsigned count);
  void silenceNextBlocks(unsigned count);
  void timeOutNextBlocks(unsigned count);
  void failNextIdentifications(unsigned count);
  void setStuckBusy(bool busy);
  void offerBeforeNextAnswer(Bytes block);
  void clearFaults();
  FaultScript faults() const;

  // The epilogue the firmware now expects and sends.
  Epilogue epilogue() const;

 private:
  enum class Phase { Operating, ResetHeld, Identification, Setup };

  clock::Microseconds timeIfNeeded(bool needed) const;
  void update(clock::Microseconds now);
  void control(std::uint8_t value, clock::Microseconds now);
  void endTransfer(clock::Microseconds now);
  void hostBlock(const Bytes& block, clock::Microseconds now);
  void offerAnswer(Bytes answer);
  void cardChanged(bool inserted, clock::Microseconds now);
  void offerNotificationIfIdle();
  // Every fault setter: one field of the script, under the lock.
  template <typename T>
  void setFault(T FaultScript::*fault, T value);
  std::uint8_t statusBits() const;
  std::uint8_t readTransfer(std::uint16_t offset);
  void syncFlags();

  const std::uint16_t ioBase_;
  mutable std::mutex mutex_;
  Slot slot_;
  Firmware firmware_;
  FaultScript faults_;
  bool notifications_ = true;
  std::optional<bool> notificationDue_;  // true: insertion

  Phase phase_ = Phase::Operating;
  bool setupEchoed_ = false;
  std::uint8_t control_ = 0;  // CR_IDLE
  std::deque<Bytes> offered_;
  std::size_t readPosition_ = 0;
  bool readStarted_ = false;
  Bytes incoming_;
  std::uint16_t incomingLength_ = 0;
  bool hostWrote_ = false;

  // Read without the lock to decide whether to read the clock, which must not
  // be read under the lock: a clock action due may call back into the model.
  std::atomic<bool> firmwareWaiting_{false};
  std::atomic<bool> blockIncoming_{false};
};

}  // namespace keld::reader
