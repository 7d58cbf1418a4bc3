#pragma once
// The driver's register sequences, step by step, for driving the emulator
// by port reads and writes in tests: flush, raw send and receive, and the
// hardware reset with its configuration command.

#include <cstdint>
#include <optional>

#include "driver/registers.h"
#include "platform/clock/clock.h"
#include "reader/emulator.h"
#include "support/hex.h"

namespace keld::test {

class PortHost {
 public:
  explicit PortHost(reader::ReaderEmulator& reader) : reader_(reader) {}

  std::uint32_t pollLimit = 1000;

  std::uint8_t status() { return reader_.readPort(reader_registers::REG_STATUS); }
  void control(std::uint8_t value) { reader_.writePort(reader_registers::REG_CONTROL, value); }

  bool waitStatus(std::uint8_t mask) {
    for (std::uint32_t poll = 0; poll < pollLimit; ++poll) {
      if ((status() & mask) == mask) return true;
      clock::sleepFor(clock::milliseconds(5));
    }
    return false;
  }

  void flushInput() {
    using namespace reader_registers;
    if ((status() & (SR_DATA_PENDING | SR_READY)) != (SR_DATA_PENDING | SR_READY)) return;
    control(CR_TRANSFER);
    const unsigned high = reader_.readPort(REG_LEN_HI);
    const unsigned low = reader_.readPort(REG_LEN_LO);
    for (unsigned i = 0; i < high * 256 + low; ++i) reader_.readPort(REG_DATA);
    control(CR_IDLE);
  }

  bool sendRaw(const Bytes& block) {
    using namespace reader_registers;
    if (status() & SR_DATA_PENDING) return false;
    control(CR_TRANSFER);
    if (!waitStatus(SR_READY)) return false;
    control(CR_TRANSFER);
    reader_.writePort(REG_LEN_HI, static_cast<std::uint8_t>(block.size() >> 8));
    clock::sleepFor(clock::milliseconds(1));
    reader_.writePort(REG_LEN_LO, static_cast<std::uint8_t>(block.size() & 0xFF));
    clock::sleepFor(clock::milliseconds(1));
    for (std::uint8_t byte : block) reader_.writePort(REG_DATA, byte);
    control(CR_IDLE);
    return true;
  }

  std::optional<Bytes> receiveRaw() {
    using namespace reader_registers;
    if (!waitStatus(SR_DATA_PENDING | SR_READY)) return std::nullopt;
    control(CR_TRANSFER);
    const unsigned high = reader_.readPort(REG_LEN_HI);
    const unsigned low = reader_.readPort(REG_LEN_LO);
    Bytes block(high * 256 + low);
    for (auto& byte : block) byte = reader_.readPort(REG_DATA);
    control(CR_IDLE);
    return block;
  }

  // One block and its answer; nothing when either step fails.
  std::optional<Bytes> exchange(const Bytes& block) {
    if (!sendRaw(block)) return std::nullopt;
    return receiveRaw();
  }

  enum class ResetResult { Success, DeviceBusy, IoDeviceError };

  // The driver's hardware reset, ending with the configuration command whose
  // answer lands in `configAnswer`.
  ResetResult hardwareReset() {
    using namespace reader_registers;
    flushInput();
    control(CR_RESET);
    clock::sleepFor(clock::milliseconds(1));
    control(CR_IDLE);
    ResetResult result = ResetResult::Success;
    Bytes text(32);
    if (!waitStatus(SR_DATA_PENDING)) {
      result = ResetResult::DeviceBusy;
    } else {
      control(CR_TRANSFER);
      clock::sleepFor(clock::milliseconds(1));
      reader_.readPort(REG_LEN_HI);
      reader_.readPort(REG_LEN_LO);
      reader_.readPort(REG_DATA);
      const unsigned length = std::min<unsigned>(reader_.readPort(REG_DATA), 32);
      for (unsigned i = 0; i < length; ++i) text[i] = reader_.readPort(REG_DATA);
      control(CR_IDLE);
      if (!std::equal(text.begin(), text.begin() + IDENTIFICATION_LENGTH, IDENTIFICATION_TEXT)) {
        result = ResetResult::IoDeviceError;
      } else {
        control(CR_SETUP);
        if (!waitStatus(SR_DATA_PENDING)) {
          result = ResetResult::DeviceBusy;
        } else {
          control(CR_SETUP_TRANSFER);
          clock::sleepFor(clock::milliseconds(1));
          reader_.readPort(REG_LEN_HI);
          const unsigned count = std::min<unsigned>(reader_.readPort(REG_LEN_LO), 32);
          for (unsigned i = 0; i < count; ++i) text[i] = reader_.readPort(REG_DATA);
          control(CR_IDLE);
          clock::sleepFor(clock::milliseconds(1));
          control(CR_TRANSFER);
          clock::sleepFor(clock::milliseconds(1));
          reader_.writePort(REG_LEN_HI, 0x00);
          reader_.writePort(REG_LEN_LO, 0x02);
          reader_.writePort(REG_DATA, text[0]);
          reader_.writePort(REG_DATA, text[1]);
          control(CR_OPERATE);
          if (!waitStatus(SR_READY)) result = ResetResult::DeviceBusy;
        }
      }
    }
    control(CR_IDLE);
    configAnswer = exchange(hex("12 00 08 80 60 01 00 03 28 01 00 D1"));
    return result;
  }

  std::optional<Bytes> configAnswer;

 private:
  reader::ReaderEmulator& reader_;
};

}  // namespace keld::test
