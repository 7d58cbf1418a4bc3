#include <gtest/gtest.h>

#include "driver/registers.h"
#include "emulator_fixture.h"

namespace keld::test {
namespace {

using namespace keld::reader_registers;

class Faults : public EmulatorTest {};

TEST_F(Faults, CorruptEpilogueOfTheNextAnswers) {
  reader_.corruptNextAnswers(2);
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 4C");
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 4C");
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 B3");
}

TEST_F(Faults, SilenceLetsTheHostTimeOut) {
  reader_.silenceNextBlocks(1);
  const clock::Microseconds start = clock::now();
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "none");
  EXPECT_GE(clock::now() - start, clock::seconds(5)) << "1000 polls of 5 ms";
  EXPECT_EQ(host_.status(), SR_READY);
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 B3");
}

TEST_F(Faults, TimeOutStatusInsteadOfTheAnswer) {
  auto card = t1Card();
  reader_.setCardChangeNotifications(false);
  reader_.insertCard(card);
  reader_.timeOutNextBlocks(1);
  EXPECT_EQ(exchange("12 00 05 20 10 01 00 00"), "21 00 02 64 A8 EF");
  EXPECT_EQ(card->resets, 0) << "the command was not carried out";
  EXPECT_EQ(terminal("20 13 00 80 00"), "03 90 00");
}

TEST_F(Faults, StuckBusyNeverGetsReady) {
  reader_.setStuckBusy(true);
  host_.pollLimit = 20;
  EXPECT_FALSE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  EXPECT_EQ(host_.hardwareReset(), PortHost::ResetResult::DeviceBusy);
  EXPECT_FALSE(host_.configAnswer);
  reader_.setStuckBusy(false);
  EXPECT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success);
  EXPECT_EQ(toHex(*host_.configAnswer), "21 00 02 90 00 B3");
}

TEST_F(Faults, WrongIdentificationTextFailsOneReset) {
  reader_.failNextIdentifications(1);
  host_.pollLimit = 20;
  EXPECT_EQ(host_.hardwareReset(), PortHost::ResetResult::IoDeviceError);
  EXPECT_FALSE(host_.configAnswer) << "a reader that failed its check takes no block";
  EXPECT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success);
}

TEST_F(Faults, UnsolicitedBlockComesBeforeTheAnswer) {
  reader_.offerBeforeNextAnswer(hex("21 00 05 30 00 01 00 00 15"));
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 05 30 00 01 00 00 15");
  EXPECT_EQ(host_.status(), SR_DATA_PENDING | SR_READY);
  EXPECT_EQ(toHex(*host_.receiveRaw()), "21 00 02 90 00 B3");
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 B3") << "once only";
}

TEST_F(Faults, ClearFaultsEndsThemAll) {
  reader_.corruptNextAnswers(5);
  reader_.silenceNextBlocks(5);
  reader_.clearFaults();
  EXPECT_EQ(reader_.faults().silentBlocks, 0u);
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 B3");
}

}  // namespace
}  // namespace keld::test
