#pragma once

#include <gtest/gtest.h>

#include "platform/clock/clock.h"
#include "port_host.h"
#include "reader/emulator.h"
#include "test_cards.h"

namespace keld::test {

// A reader on the virtual clock, taken through the driver's reset.
class EmulatorTest : public ::testing::Test {
 protected:
  explicit EmulatorTest(std::string_view version = "4.00")
      : reader_(*reader::makePersonality(version, 0x05)), host_(reader_) {}

  void SetUp() override {
    clock::useVirtualClock(0, 0);
    ASSERT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success);
  }
  void TearDown() override { clock::useRealClock(); }

  // A block with the LRC; its answer as hex, or "none".
  std::string exchange(std::string_view blockWithoutLrc) {
    const std::optional<Bytes> answer = host_.exchange(lrcBlock(blockWithoutLrc));
    return answer ? toHex(*answer) : "none";
  }

  // A terminal command in a block of its own; the answer's INF as hex.
  std::string terminal(std::string_view command) {
    const Bytes apdu = hex(command);
    Bytes block{0x12, 0x00, static_cast<std::uint8_t>(apdu.size())};
    block.insert(block.end(), apdu.begin(), apdu.end());
    block.push_back(reader::lrc(block));
    const std::optional<Bytes> answer = host_.exchange(block);
    if (!answer) return "none";
    const reader::Frame frame = reader::checkFrame(*answer, reader_.epilogue(), false);
    if (frame.check != reader::FrameCheck::Good || frame.nad != 0x21) return "bad " + toHex(*answer);
    return toHex(frame.inf);
  }

  reader::ReaderEmulator reader_;
  PortHost host_;
};

}  // namespace keld::test
