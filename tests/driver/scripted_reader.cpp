#include "scripted_reader.h"

#include "driver/registers.h"
#include "platform/wdm/irql.h"

namespace keld::test {

using namespace keld::reader_registers;

ScriptedReader::ScriptedReader() {
  identification_.assign(IDENTIFICATION_TEXT, IDENTIFICATION_TEXT + IDENTIFICATION_LENGTH);
  infoFile_ = hex("0F 04 32 2E 33 32 08 01 05");
}

void ScriptedReader::setIdentification(Bytes text) {
  std::lock_guard guard(lock_);
  identification_ = std::move(text);
}

void ScriptedReader::setInfoFile(Bytes records) {
  std::lock_guard guard(lock_);
  infoFile_ = std::move(records);
}

void ScriptedReader::respond(std::function<std::optional<Bytes>(const Bytes&)> responder) {
  std::lock_guard guard(lock_);
  responder_ = std::move(responder);
}

void ScriptedReader::offer(Bytes block) {
  std::lock_guard guard(lock_);
  outgoing_.push_back(std::move(block));
}

void ScriptedReader::setSilent(bool silent) {
  std::lock_guard guard(lock_);
  silent_ = silent;
}

std::vector<Bytes> ScriptedReader::received() const {
  std::lock_guard guard(lock_);
  return received_;
}

int ScriptedReader::resets() const {
  std::lock_guard guard(lock_);
  return resets_;
}

int ScriptedReader::portAccesses() const {
  std::lock_guard guard(lock_);
  return accesses_;
}

unsigned ScriptedReader::takeHighestIrql() {
  std::lock_guard guard(lock_);
  const unsigned highest = highestIrql_;
  highestIrql_ = 0;
  return highest;
}

void ScriptedReader::noteAccess() {
  ++accesses_;
  if (KeGetCurrentIrql() > highestIrql_) highestIrql_ = KeGetCurrentIrql();
}

bool ScriptedReader::holdsBlock() const {
  std::lock_guard guard(lock_);
  return !outgoing_.empty();
}

Bytes ScriptedReader::answer(const Bytes& information) {
  Bytes block = {0x21, 0x00, static_cast<std::uint8_t>(information.size())};
  block.insert(block.end(), information.begin(), information.end());
  std::uint8_t lrc = 0;
  for (const std::uint8_t b : block) lrc ^= b;
  block.push_back(lrc);
  return block;
}

std::optional<Bytes> ScriptedReader::answerFor(const Bytes& block) {
  if (responder_) {
    if (auto scripted = responder_(block)) return scripted;
  }
  if (block.size() < 5) return std::nullopt;
  const Bytes inf(block.begin() + 3, block.end() - 1);
  if (inf.size() >= 2 && inf[0] == 0x20 && inf[1] == 0x10) return answer(hex("90 00"));
  if (inf.size() >= 2 && inf[0] == 0x80 && inf[1] == 0x60) return answer(hex("90 00"));
  if (inf.size() >= 2 && inf[0] == 0x00 && inf[1] == 0xA4) return answer(hex("90 00"));
  if (inf.size() >= 2 && inf[0] == 0x00 && inf[1] == 0xB0) {
    Bytes data = infoFile_;
    data.push_back(0x90);
    data.push_back(0x00);
    return answer(data);
  }
  return std::nullopt;
}

void ScriptedReader::control(std::uint8_t value) {
  const std::uint8_t previous = control_;
  control_ = value;
  switch (value) {
    case CR_RESET:
      ++resets_;
      ready_ = false;
      inReset_ = true;
      outgoing_.clear();
      incoming_.clear();
      hostWriting_ = false;
      break;
    case CR_IDLE:
      if (previous == CR_RESET) {
        if (silent_) break;
        Bytes first = {0x00, static_cast<std::uint8_t>(identification_.size())};
        first.insert(first.end(), identification_.begin(), identification_.end());
        outgoing_.push_back(first);
      } else if (hostWriting_) {
        hostWriting_ = false;
        if (incoming_.size() >= 2) {
          const Bytes block(incoming_.begin() + 2, incoming_.end());
          received_.push_back(block);
          if (auto reply = answerFor(block)) outgoing_.push_back(*reply);
        }
        incoming_.clear();
      } else if ((previous == CR_TRANSFER || previous == CR_SETUP_TRANSFER) && !outgoing_.empty()) {
        outgoing_.pop_front();
      }
      readPosition_ = 0;
      break;
    case CR_SETUP:
      outgoing_.push_back(hex("3B 00"));
      break;
    case CR_TRANSFER:
    case CR_SETUP_TRANSFER:
      if (outgoing_.empty() && value == CR_TRANSFER) {
        if (!hostWriting_) incoming_.clear();
        hostWriting_ = true;
      }
      readPosition_ = 0;
      break;
    case CR_OPERATE:
      hostWriting_ = false;
      incoming_.clear();
      inReset_ = false;
      ready_ = !silent_;
      break;
    default:
      break;
  }
}

std::uint8_t ScriptedReader::readPort(std::uint16_t offset) {
  std::lock_guard guard(lock_);
  noteAccess();
  const Bytes* pending = outgoing_.empty() ? nullptr : &outgoing_.front();
  switch (offset) {
    case REG_STATUS: {
      std::uint8_t status = ready_ ? SR_READY : 0;
      if (pending != nullptr) status |= SR_DATA_PENDING;
      return status;
    }
    case REG_LEN_HI:
      return pending != nullptr ? static_cast<std::uint8_t>(pending->size() >> 8) : 0;
    case REG_LEN_LO:
      return pending != nullptr ? static_cast<std::uint8_t>(pending->size() & 0xFF) : 0;
    case REG_DATA:
      if (pending != nullptr && readPosition_ < pending->size()) return (*pending)[readPosition_++];
      return 0;
    default:
      return 0xFF;
  }
}

void ScriptedReader::writePort(std::uint16_t offset, std::uint8_t value) {
  std::lock_guard guard(lock_);
  noteAccess();
  if (offset == REG_CONTROL) {
    control(value);
  } else if (hostWriting_) {
    incoming_.push_back(value);  // length high, length low, then the data bytes
  }
}

}  // namespace keld::test
