#include "reader/emulator.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "driver/registers.h"

namespace keld::reader {

using namespace keld::reader_registers;

namespace {

bool isTransfer(std::uint8_t value) { return value == CR_TRANSFER || value == CR_SETUP_TRANSFER; }

// An unused byte, the text length, the text.
Bytes identificationBlock(bool wrong) {
  Bytes text(std::begin(IDENTIFICATION_TEXT), std::end(IDENTIFICATION_TEXT));
  if (wrong) text[15] = '3';  // "VNR Keldmatic 3."
  Bytes block{0x00, static_cast<std::uint8_t>(text.size())};
  block.insert(block.end(), text.begin(), text.end());
  return block;
}

Bytes notificationBlock(bool inserted) {
  Bytes block{0x21, 0x00, 0x05, 0x30, 0x00, static_cast<std::uint8_t>(inserted ? 0x01 : 0x00),
              0x00, 0x00};
  // Always LRC: the driver's own exchanges, which look for it, never switch.
  appendEpilogue(block, Epilogue::Lrc);
  return block;
}

}  // namespace

ReaderEmulator::ReaderEmulator(Personality personality, std::uint16_t ioBase)
    : ioBase_(ioBase), firmware_(std::move(personality), slot_) {}

clock::Microseconds ReaderEmulator::timeIfNeeded(bool needed) const {
  return needed ? clock::now() : 0;
}

std::uint8_t ReaderEmulator::readPort(std::uint16_t offset) {
  const clock::Microseconds now = timeIfNeeded(firmwareWaiting_);
  std::lock_guard lock(mutex_);
  update(now);
  if (offset == REG_STATUS) return statusBits();
  return readTransfer(offset);
}

void ReaderEmulator::writePort(std::uint16_t offset, std::uint8_t value) {
  const clock::Microseconds now =
      timeIfNeeded(firmwareWaiting_ || (offset == REG_CONTROL && blockIncoming_));
  std::lock_guard lock(mutex_);
  update(now);
  if (offset == REG_CONTROL) {
    control(value, now);
  } else if (isTransfer(control_)) {
    switch (offset) {
      case REG_LEN_HI:
        incomingLength_ = static_cast<std::uint16_t>((incomingLength_ & 0x00FF) | value << 8);
        hostWrote_ = true;
        break;
      case REG_LEN_LO:
        incomingLength_ = static_cast<std::uint16_t>((incomingLength_ & 0xFF00) | value);
        hostWrote_ = true;
        break;
      case REG_DATA:
        // Bytes beyond the announced length have nowhere to go.
        if (incoming_.size() < incomingLength_) incoming_.push_back(value);
        hostWrote_ = true;
        break;
      default: break;
    }
  }
  syncFlags();
}

std::uint8_t ReaderEmulator::statusBits() const {
  std::uint8_t bits = 0;
  if (!offered_.empty()) bits |= SR_DATA_PENDING;
  if (phase_ == Phase::Operating && !faults_.stuckBusy) bits |= SR_READY;
  return bits;
}

std::uint8_t ReaderEmulator::readTransfer(std::uint16_t offset) {
  if (!isTransfer(control_) || offered_.empty()) return 0x00;
  const Bytes& block = offered_.front();
  switch (offset) {
    case REG_LEN_HI:
      readStarted_ = true;
      return static_cast<std::uint8_t>(block.size() >> 8);
    case REG_LEN_LO:
      readStarted_ = true;
      return static_cast<std::uint8_t>(block.size() & 0xFF);
    case REG_DATA:
      readStarted_ = true;
      return readPosition_ < block.size() ? block[readPosition_++] : 0x00;
    default: return 0x00;
  }
}

void ReaderEmulator::control(std::uint8_t value, clock::Microseconds now) {
  if (isTransfer(control_) && !isTransfer(value)) endTransfer(now);
  control_ = value;
  switch (value) {
    case CR_RESET:
      phase_ = Phase::ResetHeld;
      offered_.clear();
      readPosition_ = 0;
      notificationDue_.reset();
      setupEchoed_ = false;
      firmware_.hardwareReset();
      break;
    case CR_IDLE:
      if (phase_ == Phase::ResetHeld) {
        const bool wrong = faults_.failIdentifications > 0;
        if (wrong) --faults_.failIdentifications;
        offered_.push_back(identificationBlock(wrong));
        // A reader with a wrong text is not taken into operation: it waits
        // for the next reset.
        phase_ = Phase::Identification;
        if (wrong) setupEchoed_ = false;
      }
      break;
    case CR_SETUP:
      if (phase_ == Phase::Identification) {
        offered_.clear();
        readPosition_ = 0;
        offered_.emplace_back(std::begin(setupBlock), std::end(setupBlock));
        phase_ = Phase::Setup;
      }
      break;
    case CR_OPERATE:
      if (phase_ == Phase::Setup && setupEchoed_) phase_ = Phase::Operating;
      break;
    default: break;
  }
  offerNotificationIfIdle();
}

void ReaderEmulator::endTransfer(clock::Microseconds now) {
  if (readStarted_ && !offered_.empty()) offered_.pop_front();
  readStarted_ = false;
  readPosition_ = 0;
  if (!hostWrote_) return;
  Bytes block = std::move(incoming_);
  incoming_.clear();
  incomingLength_ = 0;
  hostWrote_ = false;
  hostBlock(block, now);
}

void ReaderEmulator::hostBlock(const Bytes& block, clock::Microseconds now) {
  if (phase_ == Phase::Setup) {
    setupEchoed_ = std::equal(block.begin(), block.end(), std::begin(setupBlock), std::end(setupBlock));
    return;
  }
  if (phase_ != Phase::Operating || faults_.stuckBusy) return;
  if (faults_.silentBlocks > 0) {
    --faults_.silentBlocks;
    return;
  }
  if (faults_.timeOutBlocks > 0) {
    --faults_.timeOutBlocks;
    offerAnswer(firmware_.terminalStatus(0x64, 0xA8));
    return;
  }
  if (std::optional<Bytes> answer = firmware_.receive(block, now)) offerAnswer(std::move(*answer));
}

void ReaderEmulator::offerAnswer(Bytes answer) {
  if (faults_.unsolicited) {
    offered_.push_back(std::move(*faults_.unsolicited));
    faults_.unsolicited.reset();
  }
  if (faults_.corruptAnswers > 0 && !answer.empty()) {
    --faults_.corruptAnswers;
    answer.back() ^= 0xFF;
  }
  offered_.push_back(std::move(answer));
}

void ReaderEmulator::update(clock::Microseconds now) {
  if (!firmware_.waiting()) return;
  if (std::optional<Bytes> answer = firmware_.poll(now)) {
    offerAnswer(std::move(*answer));
    offerNotificationIfIdle();
  }
}

void ReaderEmulator::offerNotificationIfIdle() {
  if (!notificationDue_ || !offered_.empty() || firmware_.waiting() || hostWrote_ ||
      phase_ != Phase::Operating) {
    return;
  }
  offered_.push_back(notificationBlock(*notificationDue_));
  notificationDue_.reset();
}

void ReaderEmulator::cardChanged(bool inserted, clock::Microseconds now) {
  if (firmware_.waiting()) {
    if (std::optional<Bytes> answer = firmware_.poll(now)) {
      offerAnswer(std::move(*answer));
      return;
    }
  }
  if (!notifications_) return;
  notificationDue_ = inserted;
  offerNotificationIfIdle();
}

void ReaderEmulator::syncFlags() {
  firmwareWaiting_ = firmware_.waiting();
  blockIncoming_ = hostWrote_;
}

void ReaderEmulator::insertCard(std::shared_ptr<Card> card) {
  const clock::Microseconds now = timeIfNeeded(firmwareWaiting_);
  std::lock_guard lock(mutex_);
  slot_.insert(std::move(card));
  cardChanged(true, now);
  syncFlags();
}

void ReaderEmulator::removeCard() {
  const clock::Microseconds now = timeIfNeeded(firmwareWaiting_);
  std::lock_guard lock(mutex_);
  if (!slot_.present()) return;
  slot_.remove();
  cardChanged(false, now);
  syncFlags();
}

CardState ReaderEmulator::cardState() const {
  std::lock_guard lock(mutex_);
  return slot_.state();
}

void ReaderEmulator::setCardChangeNotifications(bool on) {
  std::lock_guard lock(mutex_);
  notifications_ = on;
  if (!on) notificationDue_.reset();
}

template <typename T>
void ReaderEmulator::setFault(T FaultScript::*fault, T value) {
  std::lock_guard lock(mutex_);
  faults_.*fault = std::move(value);
}

void ReaderEmulator::corruptNextAnswers(unsigned count) { setFault(&FaultScript::corruptAnswers, count); }
void ReaderEmulator::silenceNextBlocks(unsigned count) { setFault(&FaultScript::silentBlocks, count); }
void ReaderEmulator::timeOutNextBlocks(unsigned count) { setFault(&FaultScript::timeOutBlocks, count); }
void ReaderEmulator::failNextIdentifications(unsigned count) {
  setFault(&FaultScript::failIdentifications, count);
}
void ReaderEmulator::setStuckBusy(bool busy) { setFault(&FaultScript::stuckBusy, busy); }
void ReaderEmulator::offerBeforeNextAnswer(Bytes block) {
  setFault(&FaultScript::unsolicited, std::optional<Bytes>(std::move(block)));
}

void ReaderEmulator::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_ = FaultScript{};
}

FaultScript ReaderEmulator::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

Epilogue ReaderEmulator::epilogue() const {
  std::lock_guard lock(mutex_);
  return firmware_.epilogue();
}

}  // namespace keld::reader
