#include <gtest/gtest.h>

#include "driver/registers.h"
#include "emulator_fixture.h"

namespace keld::test {
namespace {

using namespace keld::reader_registers;

class RegisterModel : public EmulatorTest {};

TEST_F(RegisterModel, ResetPulseOffersTheIdentificationBlock) {
  host_.control(CR_RESET);
  EXPECT_EQ(host_.status() & SR_DATA_PENDING, 0) << "nothing while the pulse is held";
  host_.control(CR_IDLE);
  EXPECT_EQ(host_.status(), SR_DATA_PENDING) << "pending, not yet ready";
  host_.control(CR_TRANSFER);
  Bytes block;
  block.push_back(reader_.readPort(REG_LEN_HI));
  block.push_back(reader_.readPort(REG_LEN_LO));
  for (int i = 0; i < 19; ++i) block.push_back(reader_.readPort(REG_DATA));
  host_.control(CR_IDLE);
  EXPECT_EQ(toHex(block),
            "00 13 00 11 56 4E 52 20 4B 65 6C 64 6D 61 74 69 63 20 32 2E 00");
  EXPECT_EQ(host_.status(), 0) << "read: neither pending nor ready before the setup";
}

TEST_F(RegisterModel, DriverResetEndsReadyWithTheConfigurationAnswered) {
  ASSERT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success);
  ASSERT_TRUE(host_.configAnswer);
  EXPECT_EQ(toHex(*host_.configAnswer), "21 00 02 90 00 B3");
  EXPECT_EQ(host_.status(), SR_READY);
}

TEST_F(RegisterModel, WrongSetupEchoLeavesTheReaderNotReady) {
  host_.control(CR_RESET);
  host_.control(CR_IDLE);
  host_.flushInput();  // not ready yet: flush leaves the block
  EXPECT_EQ(host_.status(), SR_DATA_PENDING);
  host_.control(CR_SETUP);
  ASSERT_EQ(host_.status(), SR_DATA_PENDING);
  host_.control(CR_SETUP_TRANSFER);
  EXPECT_EQ(reader_.readPort(REG_LEN_HI), 0x00);
  EXPECT_EQ(reader_.readPort(REG_LEN_LO), 0x02);
  reader_.readPort(REG_DATA);
  reader_.readPort(REG_DATA);
  host_.control(CR_IDLE);
  host_.control(CR_TRANSFER);
  reader_.writePort(REG_LEN_HI, 0x00);
  reader_.writePort(REG_LEN_LO, 0x02);
  reader_.writePort(REG_DATA, 0x00);
  reader_.writePort(REG_DATA, 0x00);
  host_.control(CR_OPERATE);
  host_.pollLimit = 10;
  EXPECT_FALSE(host_.waitStatus(SR_READY));
  EXPECT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success) << "a proper reset mends it";
}

TEST_F(RegisterModel, AnswerStaysPendingUntilReadAndBlocksTheNextSend) {
  ASSERT_TRUE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  EXPECT_EQ(host_.status(), SR_DATA_PENDING | SR_READY);
  clock::advance(clock::seconds(60));
  EXPECT_EQ(host_.status(), SR_DATA_PENDING | SR_READY) << "time does not drop it";
  EXPECT_FALSE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  const auto answer = host_.receiveRaw();
  ASSERT_TRUE(answer);
  EXPECT_EQ(toHex(*answer), "21 00 02 90 00 B3");
  EXPECT_EQ(host_.status(), SR_READY);
}

TEST_F(RegisterModel, PartlyReadBlockIsGoneAfterTheTransfer) {
  ASSERT_TRUE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  host_.control(CR_TRANSFER);
  EXPECT_EQ(reader_.readPort(REG_LEN_HI), 0);
  EXPECT_EQ(reader_.readPort(REG_LEN_LO), 6);
  host_.control(CR_IDLE);
  EXPECT_EQ(host_.status(), SR_READY);
}

TEST_F(RegisterModel, FlushDrainsOneBlock) {
  ASSERT_TRUE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  host_.flushInput();
  EXPECT_EQ(host_.status(), SR_READY);
  EXPECT_EQ(exchange("12 00 05 20 13 00 80 00"), toHex(lrcBlock("21 00 03 00 90 00")));
}

TEST_F(RegisterModel, ResetDropsWhatWasPending) {
  ASSERT_TRUE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00")));
  host_.control(CR_RESET);
  host_.control(CR_IDLE);
  host_.control(CR_TRANSFER);
  EXPECT_EQ(reader_.readPort(REG_LEN_LO), 0x13) << "the identification, not the old answer";
  host_.control(CR_IDLE);
}

struct NotificationCase {
  const char* name;
  bool insert;
  const char* block;
};

class CardChangeNotification : public EmulatorTest,
                               public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(CardChangeNotification, OfferedAtOnceWhenIdle) {
  if (!GetParam().insert) {
    reader_.setCardChangeNotifications(false);
    reader_.insertCard(t1Card());
    reader_.setCardChangeNotifications(true);
    reader_.removeCard();
  } else {
    reader_.insertCard(t1Card());
  }
  EXPECT_EQ(host_.status(), SR_DATA_PENDING | SR_READY);
  EXPECT_FALSE(host_.sendRaw(lrcBlock("12 00 05 20 10 00 00 00"))) << "pending until read";
  const auto block = host_.receiveRaw();
  ASSERT_TRUE(block);
  EXPECT_EQ(toHex(*block), GetParam().block);
  EXPECT_EQ(host_.status(), SR_READY);
}

INSTANTIATE_TEST_SUITE_P(
    Slot, CardChangeNotification,
    ::testing::Values(NotificationCase{"Insertion", true, "21 00 05 30 00 01 00 00 15"},
                      NotificationCase{"Removal", false, "21 00 05 30 00 00 00 00 14"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegisterModel, NotificationWaitsBehindAPendingAnswer) {
  ASSERT_TRUE(host_.sendRaw(lrcBlock("12 00 05 20 13 00 80 00")));
  reader_.insertCard(t1Card());
  EXPECT_EQ(toHex(*host_.receiveRaw()), toHex(lrcBlock("21 00 03 00 90 00")))
      << "the answer was taken before the card came";
  EXPECT_EQ(toHex(*host_.receiveRaw()), "21 00 05 30 00 01 00 00 15");
  EXPECT_EQ(host_.status(), SR_READY);
}

TEST_F(RegisterModel, NotificationsCanBeTurnedOff) {
  reader_.setCardChangeNotifications(false);
  reader_.insertCard(t1Card());
  reader_.removeCard();
  EXPECT_EQ(host_.status(), SR_READY);
  EXPECT_EQ(reader_.cardState(), reader::CardState::None);
}

}  // namespace
}  // namespace keld::test
